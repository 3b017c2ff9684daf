// The platform diagnostics: address information, stack walks and their module filter, traces of
// real faults taken inside the fault handler, and the dump output's file redirection.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/platform/guard.h"
#include "qzobj/qzoplatu.h"
#include "qzobj/suitelibs/qzoplatu/address_info.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/text.h"

extern "C" {

__attribute__((noipa, visibility("default"))) int PlatuWalkC(int detail,
                                                             const tagTRACEFILTER* filter) {
    const int result = WalkCallStack(nullptr, nullptr, detail, filter);
    asm volatile("");
    return result;
}
__attribute__((noipa, visibility("default"))) int PlatuWalkB(int detail,
                                                             const tagTRACEFILTER* filter) {
    const int result = PlatuWalkC(detail, filter);
    asm volatile("");
    return result;
}
__attribute__((noipa, visibility("default"))) int PlatuWalkA(int detail,
                                                             const tagTRACEFILTER* filter) {
    const int result = PlatuWalkB(detail, filter);
    asm volatile("");
    return result;
}

__attribute__((noipa, visibility("default"))) int PlatuRecurse(int depth) {
    if (depth == 0) return WalkCallStack(nullptr, nullptr, -1, nullptr);
    const int result = PlatuRecurse(depth - 1);
    asm volatile("");
    return result;
}

// Reads through the pointer: faults for a forbidden page.
__attribute__((noipa, visibility("default"))) int PlatuFaultingRead(volatile int* pointer) {
    return *pointer + 1;
}

}  // extern "C"

namespace {

using qzo::test::Wide;

using qzo::test::DebugCapture;

class Platu : public qzo::test::QzoTest {
  protected:
    void TearDown() override {
        dmp_output(nullptr);
        qzo::platu::SetAddressResolver(nullptr);
        QzoTest::TearDown();
    }
};

std::vector<std::string> Lines(const DebugCapture& capture) {
    std::vector<std::string> lines;
    for (const auto& message : capture.Messages()) lines.push_back(message.Utf8());
    return lines;
}

// The test program's own name is longer than a filter holds (15 characters), so the filters
// that must match name the C library, and the code under test runs called back from inside it.
// The test's own module name is longer than a filter holds: the walk filters name the small
// module that calls the test back.
constexpr char kStackModule[] = "libqzo_caller";

extern "C" void QzoCallerCallBack(void (*function)(void*), void* argument);

template <class Body>
void CalledFromOtherModule(Body body) {
    QzoCallerCallBack(
        [](void* argument) {
            (*static_cast<Body*>(argument))();
            // No tail call: this frame keeps the return address into the other module on the
            // frame-pointer chain even when the body faults before its own frame is set up.
            asm volatile("" ::: "memory");
        },
        &body);
}

tagTRACEFILTER Filter(const char* module) {
    tagTRACEFILTER filter{};
    std::snprintf(filter.szModule, sizeof filter.szModule, "%s", module);
    return filter;
}

const void* Code(const void* function, size_t offset = 0) {
    return static_cast<const char*>(function) + offset;
}

TEST_F(Platu, AddressInfoNamesModuleAndFunction) {
    tagADDRESSINFO info;
    const void* address = Code(reinterpret_cast<const void*>(&PlatuWalkB), 5);
    ASSERT_TRUE(GetAddressInfo(address, &info));
    EXPECT_STREQ(info.szModule, "qzo_tests_suitelibs");
    EXPECT_STREQ(info.szFunction, "PlatuWalkB");
    EXPECT_EQ(info.dwDisplacement, 5u);
    Dl_info loader{};
    ASSERT_NE(dladdr(address, &loader), 0);
    EXPECT_EQ(info.uModuleBase, reinterpret_cast<uintptr_t>(loader.dli_fbase));
    // The next exported function lies after the address.
    EXPECT_NE(info.szFunction2[0], '\0');
    EXPECT_GT(info.dwDistance, 0u);
    tagADDRESSINFO next;
    ASSERT_TRUE(GetAddressInfo(Code(address, info.dwDistance), &next));
    EXPECT_STREQ(next.szFunction, info.szFunction2);
    EXPECT_EQ(next.dwDisplacement, 0u);
}

TEST_F(Platu, AddressInfoDemanglesLibraryFunctions) {
    tagADDRESSINFO info;
    ASSERT_TRUE(GetAddressInfo(reinterpret_cast<const void*>(&AnalyseException), &info));
    EXPECT_EQ(std::string(info.szFunction).rfind("AnalyseException(", 0), 0u) << info.szFunction;
    EXPECT_EQ(info.dwDisplacement, 0u);
    // Asked again, the cache answers the same.
    tagADDRESSINFO again;
    ASSERT_TRUE(GetAddressInfo(reinterpret_cast<const void*>(&AnalyseException), &again));
    EXPECT_EQ(std::memcmp(&info, &again, sizeof info), 0);
}

TEST_F(Platu, AddressInfoOfNothing) {
    tagADDRESSINFO info;
    std::memset(&info, 0x5A, sizeof info);
    EXPECT_FALSE(GetAddressInfo(reinterpret_cast<const void*>(uintptr_t{0x10}), &info));
    EXPECT_EQ(info.uModuleBase, 0u);
    EXPECT_STREQ(info.szModule, "");
    EXPECT_STREQ(info.szFunction, "");
    EXPECT_FALSE(GetAddressInfo(nullptr, &info));
    EXPECT_FALSE(GetAddressInfo(reinterpret_cast<const void*>(&PlatuWalkA), nullptr));
}

BOOL FixedResolver(const void*, tagADDRESSINFO* info) {
    info->uModuleBase = 0x400000;
    std::strcpy(info->szModule, "QZOBJU.DLL");
    std::strcpy(info->szFunction, "CHeap::Alloc");
    info->dwDisplacement = 0x12;
    return TRUE;
}

TEST_F(Platu, PluggedResolverAndAddressText) {
    qzo::platu::SetAddressResolver(&FixedResolver);
    WCHAR text[128];
    const int length =
        GetAddressInfoString(reinterpret_cast<const void*>(uintptr_t{0x401234}), text, 128);
    EXPECT_EQ(std::u16string(text), u"QZOBJU.DLL+0x1234 CHeap::Alloc+0x12");
    EXPECT_EQ(length, 35);
    EXPECT_EQ(GetAddressInfoString(reinterpret_cast<const void*>(uintptr_t{0x401234}), text, 11),
              10);
    EXPECT_EQ(std::u16string(text), u"QZOBJU.DLL");
    EXPECT_EQ(GetAddressInfoString(nullptr, nullptr, 10), 0);
    EXPECT_EQ(GetAddressInfoString(nullptr, text, 0), 0);
}

TEST_F(Platu, AddressTextShapes) {
    WCHAR text[600];
    GetAddressInfoString(Code(reinterpret_cast<const void*>(&PlatuWalkA), 3), text, 600);
    const std::u16string named(text);
    EXPECT_EQ(named.rfind(u"qzo_tests_suitelibs+0x", 0), 0u);
    EXPECT_NE(named.find(u" PlatuWalkA+0x3"), std::u16string::npos);
    EXPECT_EQ(GetAddressInfoString(reinterpret_cast<const void*>(uintptr_t{0x10}), text, 600), 18);
    EXPECT_EQ(std::u16string(text), u"0x0000000000000010");
}

TEST_F(Platu, WalkListsCallersInOrder) {
    DebugCapture capture;
    EXPECT_NE(PlatuWalkA(1, nullptr), 0);
    const auto lines = Lines(capture);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "\r\nCall stack:\r\n");
    EXPECT_NE(lines[1].find(" PlatuWalkC+0x"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(" PlatuWalkB+0x"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find(" PlatuWalkA+0x"), std::string::npos) << lines[3];
    // Each line: "\r", the address in 16 hex digits, two blanks, module+offset.
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(lines[i][0], '\r');
        EXPECT_EQ(lines[i].substr(17, 2), "  ");
        EXPECT_EQ(lines[i].find_first_not_of("0123456789ABCDEF", 1), 17u);
        EXPECT_EQ(lines[i].substr(19, 22), "qzo_tests_suitelibs+0x");
        EXPECT_EQ(lines[i].substr(lines[i].size() - 2), "\r\n");
    }
}

TEST_F(Platu, ShortWalkStopsAtTenFrames) {
    DebugCapture capture;
    PlatuRecurse(25);
    EXPECT_EQ(capture.Count(), 11u);  // the heading and ten frames
}

TEST_F(Platu, WalkModuleFilterWritesNothing) {
    DebugCapture capture;
    tagTRACEFILTER own = Filter(kStackModule);
    tagTRACEFILTER other = Filter("libnowhere.so");
    tagTRACEFILTER prefix = Filter("qzo_tests");
    CalledFromOtherModule([&] { EXPECT_EQ(PlatuWalkA(1, &own), 1); });
    EXPECT_EQ(PlatuWalkA(-1, &other), 0);
    EXPECT_EQ(PlatuWalkA(-1, &prefix), 0);
    EXPECT_EQ(capture.Count(), 0u);
    tagTRACEFILTER empty{};
    EXPECT_EQ(PlatuWalkA(-1, &empty), 1);  // an empty filter filters nothing
    EXPECT_GT(capture.Count(), 0u);
}

TEST_F(Platu, TraceOfAnExceptionRecord) {
    DebugCapture capture;
    EXPECT_EQ(TraceOutException(nullptr, 1, nullptr), 0);
    EXCEPTION_RECORD record{};
    CONTEXT context{};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record.ExceptionAddress =
        const_cast<void*>(Code(reinterpret_cast<const void*>(&PlatuWalkC), 4));
    context.Rbp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    EXCEPTION_POINTERS pointers{&record, &context};
    tagTRACEFILTER own = Filter(kStackModule);
    tagTRACEFILTER other = Filter("libnowhere");
    CalledFromOtherModule([&] {
        CONTEXT inner{};
        inner.Rbp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        EXCEPTION_POINTERS below{&record, &inner};
        EXPECT_EQ(TraceOutException(&below, -1, &own), 1);  // a frame of the stack lies in it
    });
    EXPECT_EQ(TraceOutException(&pointers, -1, &other), 0);
    EXPECT_EQ(capture.Count(), 0u);
    EXPECT_EQ(TraceOutException(&pointers, -1, nullptr), 1);
    const auto lines = Lines(capture);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[1].find(" PlatuWalkC+0x4\r\n"), std::string::npos) << lines[1];
}

TEST_F(Platu, ModuleNamesMatchWithOrWithoutExtension) {
    // An address in the C library, whose file is "libc.so.6".
    void* inLibc = dlsym(RTLD_DEFAULT, "getpid");
    ASSERT_NE(inLibc, nullptr);
    EXCEPTION_RECORD record{};
    CONTEXT context{};  // no frame pointer: only the exception address counts
    record.ExceptionAddress = inLibc;
    EXCEPTION_POINTERS pointers{&record, &context};
    DebugCapture capture;
    for (const char* name : {"libc", "LIBC.SO.6", "libc.so", "Libc.dll"}) {
        tagTRACEFILTER filter = Filter(name);
        EXPECT_EQ(TraceOutException(&pointers, -1, &filter), 1) << name;
    }
    for (const char* name : {"lib", "libcx", "libc_", "c.so.6"}) {
        tagTRACEFILTER filter = Filter(name);
        EXPECT_EQ(TraceOutException(&pointers, -1, &filter), 0) << name;
    }
    EXPECT_EQ(capture.Count(), 0u);
}

// Inside the fault handler: a trace of the real fault, naming the faulting function.
LONG TraceInHandler(EXCEPTION_POINTERS* pointers, void* context) {
    auto* results = static_cast<int*>(context);
    tagTRACEFILTER own = Filter(kStackModule);
    results[0] = TraceOutException(pointers, -1, &own);
    results[1] = TraceOutException(pointers, 1, nullptr);
    tagADDRESSINFO info;
    results[2] = GetAddressInfo(pointers->ExceptionRecord->ExceptionAddress, &info) &&
                 std::strcmp(info.szFunction, "PlatuFaultingRead") == 0;
    return EXCEPTION_EXECUTE_HANDLER;
}

TEST_F(Platu, TraceInsideTheFaultHandler) {
    if (!qzo::platform::SignalGuardEnabled()) GTEST_SKIP() << "signal guard compiled out";
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    DebugCapture capture;
    int results[3] = {};
    auto body = [&] {
        CalledFromOtherModule([&] { PlatuFaultingRead(static_cast<volatile int*>(page)); });
    };
    EXPECT_FALSE(qzo::platform::Guarded(body, &TraceInHandler, results));
    munmap(page, 4096);
    EXPECT_EQ(results[0], 1);
    EXPECT_EQ(results[1], 1);
    EXPECT_EQ(results[2], 1);
    const auto lines = Lines(capture);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(lines[1].find(" PlatuFaultingRead+0x"), std::string::npos) << lines[1];
}

TEST_F(Platu, DumpOutputToFile) {
    DebugCapture capture;
    EXPECT_EQ(dmp_printf(u"\rbefore %d\r\n", 1), 11);
    const std::string path = TempPath("CrashRecord.txt");
    const std::u16string widePath = Wide(path);
    dmp_output(widePath.c_str());
    EXPECT_EQ(dmp_printf(u"\r\nCrash record %hs\r\n", "head"), 21);
    dmp_printf(u"caf\u00e9 %s\r\n", u"\u20ac");
    dmp_output(nullptr);
    dmp_printf(u"\rafter\r\n");
    EXPECT_EQ(qzo::test::ReadFileBytes(path),
              "\r\nCrash record head\r\ncaf\xC3\xA9 \xE2\x82\xAC\r\n");
    EXPECT_EQ(Lines(capture), (std::vector<std::string>{"\rbefore 1\r\n", "\rafter\r\n"}));
    EXPECT_EQ(capture.Messages()[0].channel, 0);
}

TEST_F(Platu, DumpOutputAppendsAndFallsBack) {
    const std::string path = TempPath("dump.txt");
    qzo::test::WriteFileBytes(path, "old\r\n");
    dmp_output(Wide(path).c_str());
    dmp_printf(u"new\r\n");
    EXPECT_EQ(qzo::test::ReadFileBytes(path), "old\r\nnew\r\n");
    // A file that cannot be opened: the text goes to the debug output instead of being lost.
    DebugCapture capture;
    const std::string missing = TempPath("no/such/folder/dump.txt");
    dmp_output(Wide(missing).c_str());
    dmp_printf(u"kept\r\n");
    EXPECT_EQ(capture.Text(), "kept\r\n");
    EXPECT_EQ(dmp_printf(nullptr), 0);
}

}  // namespace
