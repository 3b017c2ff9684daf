// Process functions in this process: hex code, swapping, dialog items, computer name, module
// inspection, exception descriptions and the stub message.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <regex>
#include <string>

#include "qzobj/diag/dialog_items.h"
#include "qzobj/hashid.h"
#include "qzobj/platform/computer_name.h"
#include "qzobj/platform/guard.h"
#include "qzobj/platform/module.h"
#include "qzobj/platform/text.h"
#include "qzobj/process.h"
#include "qzobj/suitelibs/uikit/dialogs.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/text.h"

namespace qzo::test {
namespace {

using Process = QzoTest;

std::string ExecutablePath() {
    char path[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, size_t(n)) : std::string();
}

int g_staticValue = 5;

TEST_F(Process, HexCodeUsesTheLettersAToPLowNibbleFirst) {
    const BYTE byte = 0x3C;
    WCHAR text[8] = {u'x', u'x', u'x'};
    EXPECT_EQ(Bin2HexCode(text, &byte, 1), 1);
    EXPECT_EQ(std::u16string(text), u"MD");
    BYTE back = 0;
    EXPECT_EQ(HexCode2Bin(&back, u"MD", 1), 1);
    EXPECT_EQ(back, 0x3C);

    const BYTE all[] = {0x00, 0xFF, 0x12, 0xA5};
    WCHAR code[16];
    ASSERT_EQ(Bin2HexCode(code, all, 4), 1);
    EXPECT_EQ(std::u16string(code), u"AAPPCBFK");
    BYTE decoded[4] = {};
    EXPECT_EQ(HexCode2Bin(decoded, code, 4), 1);
    EXPECT_EQ(std::memcmp(decoded, all, 4), 0);
}

TEST_F(Process, HexCodeRefusesShortTextAndForeignCharacters) {
    BYTE bytes[2] = {};
    EXPECT_EQ(HexCode2Bin(bytes, u"MD", 2), 0);  // ends early
    EXPECT_EQ(HexCode2Bin(bytes, u"M", 1), 0);   // half a byte
    EXPECT_EQ(HexCode2Bin(bytes, u"M@", 1), 0);  // below "A"
    EXPECT_EQ(HexCode2Bin(bytes, u"MQ", 1), 0);  // above "P"
    EXPECT_EQ(HexCode2Bin(bytes, u"md", 1), 0);  // lower case is outside the code
    EXPECT_EQ(HexCode2Bin(nullptr, u"MD", 1), 0);
    EXPECT_EQ(HexCode2Bin(bytes, nullptr, 1), 0);
    EXPECT_EQ(Bin2HexCode(nullptr, bytes, 1), 0);
    WCHAR empty[2] = {u'x', u'x'};
    EXPECT_EQ(Bin2HexCode(empty, nullptr, 0), 1);
    EXPECT_EQ(empty[0], 0);
}

TEST_F(Process, SwapExchangesBytesAndRefusesOverlap) {
    char a[] = "abcdef";
    char b[] = "UVWXYZ";
    EXPECT_EQ(SwapNOMemory(a, b, 6), 1);
    EXPECT_STREQ(a, "UVWXYZ");
    EXPECT_STREQ(b, "abcdef");
    EXPECT_EQ(SwapNOMemory(a, a, 6), 1);
    EXPECT_EQ(SwapNOMemory(a, b, 0), 1);
    EXPECT_EQ(SwapNOMemory(a, a + 2, 3), 0);  // overlapping
    EXPECT_STREQ(a, "UVWXYZ");
    EXPECT_EQ(SwapNOMemory(a, a + 3, 3), 1);  // adjacent
    EXPECT_STREQ(a, "XYZUVW");
    EXPECT_EQ(SwapNOMemory(nullptr, b, 3), 0);
    if (qzo::platform::SignalGuardEnabled()) {
        EXPECT_EQ(SwapNOMemory(a, reinterpret_cast<void*>(16), 3), 0);
    }
}

TEST_F(Process, DialogItemsHoldHexNumbers) {
    auto* dialog = reinterpret_cast<HWND>(0x1234);
    EXPECT_EQ(_SetDlgItemHex(dialog, 7, 0xBEEF), TRUE);
    std::u16string text;
    ASSERT_TRUE(qzo::diag::GetDialogItemText(dialog, 7, text));
    EXPECT_EQ(text, u"0000BEEF");
    EXPECT_EQ(_GetDlgItemHex(dialog, 7), 0xBEEFu);

    qzo::diag::SetDialogItemText(dialog, 8, u"1A2B");
    EXPECT_EQ(_GetDlgItemHex(dialog, 8), 0x1A2Bu);
    qzo::diag::SetDialogItemText(dialog, 8, u"123456789");  // a ninth digit is not read
    EXPECT_EQ(_GetDlgItemHex(dialog, 8), 0x12345678u);
    qzo::diag::SetDialogItemText(dialog, 8, u"zz");
    EXPECT_EQ(_GetDlgItemHex(dialog, 8), 0u);
    EXPECT_EQ(_GetDlgItemHex(dialog, 99), 0u);
    qzo::diag::ForgetDialogItems(dialog);
    EXPECT_EQ(_GetDlgItemHex(dialog, 7), 0u);
}

TEST_F(Process, ComputerNameIsUpperCasedAndNeedsSixteenCharacters) {
    WCHAR name[32] = {};
    EXPECT_EQ(GetCreateComputerName(name, 15), 0);
    EXPECT_EQ(GetCreateComputerName(nullptr, 16), 0);
    ASSERT_EQ(GetCreateComputerName(name, 16), 1);
    const std::u16string text = name;
    EXPECT_FALSE(text.empty());
    EXPECT_LE(text.size(), 15u);
    for (char16_t c : text) EXPECT_FALSE(c >= u'a' && c <= u'z');
    const DWORD id = GetComputerID();
    EXPECT_EQ(id, GetHashIDW(name));
    EXPECT_EQ(id & QZO_HASHID_INVALID_BITS, 0u);
    EXPECT_EQ(GetComputerID(), id);  // cached
}

TEST_F(Process, ModuleOfAnAddress) {
    WCHAR path[MAX_PATH];
    const void* inProgram = reinterpret_cast<const void*>(&ExecutablePath);
    ASSERT_EQ(GetModuleFilenameFromAddress(inProgram, path), path);
    EXPECT_EQ(Narrow(path), ExecutablePath());
    EXPECT_EQ(GetModuleFilenameFromAddress(reinterpret_cast<const void*>(16), path), nullptr);
    EXPECT_EQ(path[0], 0);
    WCHAR small[4];
    ASSERT_EQ(GetModuleFilenameFromAddress(inProgram, small, 4), small);
    EXPECT_EQ(Narrow(small), ExecutablePath().substr(0, 3));
    EXPECT_EQ(GetModuleFilenameFromAddress(inProgram, nullptr, 4), nullptr);

    EXPECT_EQ(GetModuleInstanceFromAddress(inProgram), GetMainInstance());
    EXPECT_EQ(GetMainInstance(), qzo::platform::MainModule());
    EXPECT_EQ(GetModuleInstanceFromAddress(nullptr), nullptr);
}

TEST_F(Process, StartupFolderIsTheExecutablesFolder) {
    WCHAR folder[MAX_PATH];
    ASSERT_TRUE(GetProcessStartupDir(folder));
    const std::string exe = ExecutablePath();
    EXPECT_EQ(Narrow(folder), exe.substr(0, exe.rfind('/') + 1));
    WCHAR small[3] = {u'x', u'x', u'x'};
    EXPECT_FALSE(GetProcessStartupDir(small, 3));
    EXPECT_EQ(small[2], 0);
    EXPECT_FALSE(GetProcessStartupDir(nullptr));
}

TEST_F(Process, FootprintListsTheMainProgramFirstAndCountsBeyondCapacity) {
    const DWORD count = GetDLLFootprint(nullptr, 0);
    ASSERT_GE(count, 2u);  // the program and at least the C library
    std::unique_ptr<HMODULE[]> bases(new HMODULE[count + 1]());
    EXPECT_EQ(GetDLLFootprint(bases.get(), count + 1), count);
    EXPECT_EQ(bases[0], GetMainInstance());
    EXPECT_EQ(bases[count], nullptr);
    HMODULE one[1] = {};
    EXPECT_EQ(GetDLLFootprint(one, 1), count);
    EXPECT_EQ(one[0], GetMainInstance());
    const HMODULE libc = GetModuleInstanceFromAddress(dlsym(RTLD_DEFAULT, "strlen"));
    bool listed = false;
    for (DWORD i = 0; i < count; ++i) listed = listed || bases[i] == libc;
    EXPECT_TRUE(listed);
}

TEST_F(Process, DirectGetProcAddressComparesNamesWithoutCase) {
    void* strlenAddress = dlsym(RTLD_DEFAULT, "strlen");
    const HMODULE libc = GetModuleInstanceFromAddress(strlenAddress);
    void* found = DirectGetProcAddress(libc, "STRLEN");
    ASSERT_NE(found, nullptr);
    // strlen may be an indirect function: compare the module instead of the exact address.
    EXPECT_EQ(GetModuleInstanceFromAddress(found), libc);
    // Names are the symbols as the dynamic symbol table holds them (C++ names mangled).
    EXPECT_EQ(DirectGetProcAddress(GetMainInstance(), "_z13getcomputeridV"),
              reinterpret_cast<void*>(&GetComputerID));
    EXPECT_EQ(DirectGetProcAddress(GetMainInstance(), "MAIN"), dlsym(RTLD_DEFAULT, "main"));
    EXPECT_EQ(DirectGetProcAddress(libc, "no_such_symbol_here"), nullptr);
    EXPECT_EQ(DirectGetProcAddress(reinterpret_cast<HMODULE>(16), "strlen"), nullptr);
    EXPECT_EQ(DirectGetProcAddress(libc, nullptr), nullptr);
}

TEST_F(Process, AddressKinds) {
    auto heap = std::make_unique<int>(3);
    int onStack = 0;
    const void* inProgram = reinterpret_cast<const void*>(&ExecutablePath);
    const void* inLibrary = dlsym(RTLD_DEFAULT, "strlen");
    EXPECT_EQ(IsApp(inProgram), 1);
    EXPECT_EQ(IsApp(heap.get()), 1);
    EXPECT_EQ(IsApp(inLibrary), 0);
    EXPECT_EQ(IsApp(reinterpret_cast<const void*>(16)), 0);
    EXPECT_EQ(IsStaticArea(&g_staticValue), 1);
    EXPECT_EQ(IsStaticArea(inLibrary), 1);
    EXPECT_EQ(IsStaticArea(heap.get()), 0);
    EXPECT_EQ(IsStaticArea(&onStack), 0);
    const size_t pageSize = size_t(sysconf(_SC_PAGESIZE));
    EXPECT_GE(GetAllocSize(&onStack), pageSize);
    EXPECT_EQ(GetAllocSize(&onStack) % pageSize, 0u);
    EXPECT_EQ(GetAllocSize(reinterpret_cast<const void*>(16)), 0u);
}

TEST_F(Process, ResourcesByNumber) {
    static const char data[] = "resource bytes";
    const HMODULE module = GetMainInstance();
    qzo::platform::RegisterResource(module, qzo::platform::MakeIntResource(10), 77, data,
                                    sizeof data);
    DWORD size = 0;
    EXPECT_EQ(GetResourcePtr(module, 10, 77, &size), data);
    EXPECT_EQ(size, sizeof data);
    EXPECT_EQ(GetResourcePtr(module, 10, 78, &size), nullptr);
    EXPECT_EQ(GetResourcePtr(module, 11, 77, &size), nullptr);
    qzo::platform::UnregisterResources(module);
}

TEST_F(Process, SystemAndFileTime) {
    EXPECT_EQ(IsNTSystem(), 1);
    FILETIME fileTime{};
    ASSERT_EQ(GetCurrentFileTime(&fileTime), 1);
    const unsigned long long value =
        (static_cast<unsigned long long>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
    const long long unixSeconds = static_cast<long long>(value / 10000000ull) - 11644473600ll;
    EXPECT_LE(std::llabs(unixSeconds - static_cast<long long>(std::time(nullptr))), 5);
    EXPECT_EQ(GetCurrentFileTime(nullptr), 0);
}

TEST_F(Process, ModuleDumpListsTheProgramAndItsLibraries) {
    DebugCapture capture;
    DumpAppDLLs();
    const std::string text = capture.Text(0);
    EXPECT_EQ(text.rfind("\r ********** Module dump ********** \r\n", 0), 0u);
    const std::string end = "\r ********** End -- dump ********** \r\n";
    ASSERT_GE(text.size(), end.size());
    EXPECT_EQ(text.substr(text.size() - end.size()), end);
    EXPECT_NE(text.find(ExecutablePath() + " (APP)\r\n"), std::string::npos) << text;
    EXPECT_EQ(capture.Messages().size(), GetDLLFootprint(nullptr, 0) + 2);
    EXPECT_NE(text.find(" (DLL)\r\n"), std::string::npos);
    EXPECT_TRUE(std::regex_search(text, std::regex("\r@[0-9A-F]{8,16} : ")));
}

TEST_F(Process, ExceptionInfoNamesTheExceptionAndTheSymbols) {
    EXCEPTION_RECORD record{};
    CONTEXT context{};
    EXCEPTION_POINTERS pointers{&record, &context};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record.ExceptionAddress = reinterpret_cast<BYTE*>(&GetComputerID) + 4;
    WCHAR text[512];
    ASSERT_EQ(GetExceptionInfo(&pointers, text), 1);
    const std::string info = Narrow(text);
    char address[32];
    std::snprintf(
        address, sizeof address, "%016llX",
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(record.ExceptionAddress)));
    EXPECT_EQ(info.rfind(std::string("ACCESS_VIOLATION @ 0x") + address + "\r\n", 0), 0u) << info;
    const std::string program = ExecutablePath().substr(ExecutablePath().rfind('/') + 1);
    EXPECT_NE(info.find(program + ", offset "), std::string::npos) << info;
    // "%ud" prints the number followed by a literal "d".
    EXPECT_TRUE(std::regex_search(info, std::regex("\r\n\\[GetComputerID.* \\+ 4d"))) << info;

    record.ExceptionCode = 0x12345678;
    ASSERT_EQ(GetExceptionInfo(&pointers, text, 512), 1);
    EXPECT_EQ(Narrow(text).rfind(std::string("Exception 0x12345678 @ 0x") + address, 0), 0u);

    WCHAR small[10];
    ASSERT_EQ(GetExceptionInfo(&pointers, small, 10), 1);
    EXPECT_EQ(Narrow(small), "Exception");
    EXPECT_EQ(GetExceptionInfo(nullptr, text), 0);
    EXPECT_EQ(GetExceptionInfo(&pointers, nullptr), 0);
    EXPECT_EQ(GetExceptionInfo(&pointers, text, 0), 0);
    if (qzo::platform::SignalGuardEnabled()) {
        EXCEPTION_POINTERS broken{reinterpret_cast<EXCEPTION_RECORD*>(16), &context};
        EXPECT_EQ(GetExceptionInfo(&broken, text, 512), 0);
    }
}

struct ShownBox {
    std::u16string text;
    std::u16string caption;
    UINT style = 0;
};

int RecordBox(const WCHAR* text, const WCHAR* caption, UINT style, void* context) {
    auto* box = static_cast<ShownBox*>(context);
    box->text = text ? text : u"";
    box->caption = caption ? caption : u"";
    box->style = style;
    return IDCANCEL;
}

TEST_F(Process, StubMessageNamesTheCallersModuleFile) {
    ShownBox box;
    qzo::uikit::SetMessageBoxAnswerHook(&RecordBox, &box);
    const int answer = StubMsg(u"OldFunction", reinterpret_cast<const void*>(&ExecutablePath));
    qzo::uikit::SetMessageBoxAnswerHook(nullptr, nullptr);
    EXPECT_EQ(answer, IDCANCEL);
    const std::string program = ExecutablePath().substr(ExecutablePath().rfind('/') + 1);
    EXPECT_EQ(Narrow(box.text), "OldFunction called by " + program + " no longer supported");
    EXPECT_EQ(box.caption, u"STUB MESSAGE");
    EXPECT_EQ(box.style & 0xF0u, MB_ICONHAND);
}

}  // namespace
}  // namespace qzo::test
