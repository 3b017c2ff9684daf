// Writing the crash record: head, thread and build lines, the exception analysis, and the
// message box. Runs inside the fault handler: fixed buffers only, every line one appending
// write through the dump output.
#include <chrono>

#include "qzobj/diag.h"
#include "qzobj/diag/crash_record.h"
#include "qzobj/platform/system.h"
#include "qzobj/platform/text.h"
#include "qzobj/process.h"
#include "qzobj/qzoplatu.h"
#include "qzobj/uikit.h"

namespace qzo::diag {
namespace {

constexpr const WCHAR* kWeekdays[] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                      u"Thursday", u"Friday", u"Saturday"};
constexpr const WCHAR* kMonths[] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                    u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};

struct LocalTime {
    unsigned weekday, day, month, year, hour, minute, second;
};

// The calendar date of a day count since 1970-01-01 (proleptic Gregorian), without the C
// library's time functions, which may lock.
LocalTime FromSeconds(long long seconds) {
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    LocalTime t{};
    t.hour = unsigned(rest / 3600);
    t.minute = unsigned(rest % 3600 / 60);
    t.second = unsigned(rest % 60);
    t.weekday = unsigned(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long dayOfEra = z - era * 146097;
    const long long yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long monthIndex = (5 * dayOfYear + 2) / 153;
    t.day = unsigned(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    t.month = unsigned(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    t.year = unsigned(yearOfEra + era * 400 + (t.month <= 2 ? 1 : 0));
    return t;
}

void WriteHead(long utcOffsetSeconds) {
    using namespace std::chrono;
    const long long now =
        duration_cast<seconds>(system_clock::now().time_since_epoch()).count() + utcOffsetSeconds;
    const LocalTime t = FromSeconds(now);
    dmp_printf(u"\r\n\nCrash record\r\n%s,%u.%s.%u %02u:%02u:%02u\r\n", kWeekdays[t.weekday], t.day,
               kMonths[t.month - 1], t.year, t.hour, t.minute, t.second);
}

void WriteThreadLine() {
    const DWORD self = platform::GetCurrentThreadId();
    if (self == MainThreadId())
        dmp_printf(u"\rThread: Main (0x%08X)\r\n", self);
    else
        dmp_printf(u"\rThread: Unspecified worker thread (0x%08X)\r\n", self);
}

void ShowMessage(EXCEPTION_POINTERS* pointers) {
    constexpr size_t kDescriptionUnits = 512;
    WCHAR text[kDescriptionUnits + 128] = {};
    GetExceptionInfo(pointers, text, kDescriptionUnits);
    const size_t length = text::BoundedLength(text, kDescriptionUnits);
    text::Copy(text + length, sizeof text / sizeof text[0] - length,
               u"\r\n\r\nProcess will terminate.\r\nView LogView output for details.");
    XMessageBox(nullptr, text, u"Unhandled exception", MB_OK | MB_ICONHAND, nullptr, 0);
}

}  // namespace

void WriteCrashRecord(EXCEPTION_POINTERS* pointers) {
    const CrashRecordSetup& setup = CurrentCrashSetup();
    Is_wPrintf_Active(1);
    SetDebugMode(TRUE);
    dmp_output(setup.recordPath);
    WriteHead(setup.utcOffsetSeconds);
    WriteThreadLine();
    if (setup.build[0]) dmp_printf(u"Build %s\r\n", setup.build);
    AnalyseException(pointers);
    ShowMessage(pointers);
    dmp_output(nullptr);
}

}  // namespace qzo::diag
