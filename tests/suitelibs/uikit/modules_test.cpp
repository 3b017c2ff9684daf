// Modules and their resources: handles, file names, loading a library, and string tables read
// through LLoadStringW, kept apart per module.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/module.h"
#include "qzobj/platform/text.h"
#include "qzobj/uikit.h"
#include "support/fixture.h"

// An unmangled symbol that the test program exports.
extern "C" __attribute__((visibility("default"), noinline)) int qzo_uikit_test_export() {
    return 42;
}

namespace {

using namespace qzo::platform;

// A handle no real module has; resources can be registered under any handle.
const HMODULE kOtherModule = reinterpret_cast<HMODULE>(uintptr_t{0x51000000});

constexpr StringResource kOtherStrings[] = {
    {2, u"OTHER.TXT"},
    {40001, u"Another base class"},
    {7, u""},
};

class ModulesTest : public qzo::test::QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        RegisterStringTable(kOtherModule, kOtherStrings, std::size(kOtherStrings));
    }
    void TearDown() override {
        UnregisterStringTable(kOtherModule);
        QzoTest::TearDown();
    }
};

std::u16string Load(HMODULE module, UINT id, int size = 256) {
    WCHAR buffer[256];
    buffer[0] = u'#';
    int length = LLoadStringW(module, id, buffer, size);
    EXPECT_EQ(static_cast<size_t>(length), qzo::text::Length(buffer));
    return std::u16string(buffer, length);
}

TEST_F(ModulesTest, TheLibrarysStringTable) {
    EXPECT_EQ(Load(ThisModule(), 2), u"README.TXT");
    EXPECT_EQ(Load(ThisModule(), 40001), u"QZ base class");
    EXPECT_EQ(Load(ThisModule(), 40002), u"RT object base class");
}

TEST_F(ModulesTest, SameNumbersInTwoModulesStayApart) {
    EXPECT_EQ(Load(kOtherModule, 2), u"OTHER.TXT");
    EXPECT_EQ(Load(kOtherModule, 40001), u"Another base class");
    EXPECT_EQ(Load(kOtherModule, 40002), u"") << "the other module has no 40002";
    UnregisterStringTable(kOtherModule);
    EXPECT_EQ(Load(kOtherModule, 2), u"") << "an unregistered table is gone";
    EXPECT_EQ(Load(ThisModule(), 2), u"README.TXT");
}

TEST_F(ModulesTest, LoadStringCutsAndFails) {
    WCHAR buffer[8];
    EXPECT_EQ(LLoadStringW(ThisModule(), 40001, buffer, 5), 4);
    EXPECT_EQ(std::u16string(buffer), u"QZ b") << "cut at size-1 and terminated";
    EXPECT_EQ(LLoadStringW(ThisModule(), 40001, buffer, 1), 0);
    EXPECT_EQ(buffer[0], 0);

    buffer[0] = u'#';
    EXPECT_EQ(LLoadStringW(ThisModule(), 40001, buffer, 0), 0);
    EXPECT_EQ(buffer[0], u'#') << "size 0 writes nothing";
    EXPECT_EQ(LLoadStringW(ThisModule(), 40001, buffer, -3), 0);
    EXPECT_EQ(LLoadStringW(ThisModule(), 40001, nullptr, 8), 0);

    EXPECT_EQ(LLoadStringW(ThisModule(), 12345, buffer, 8), 0);
    EXPECT_EQ(buffer[0], 0) << "a missing string leaves an empty buffer";
    EXPECT_EQ(LLoadStringW(kOtherModule, 7, buffer, 8), 0) << "an empty string counts as missing";
    EXPECT_EQ(LLoadStringW(reinterpret_cast<HMODULE>(uintptr_t{0x1234}), 2, buffer, 8), 0);
}

TEST_F(ModulesTest, ResourcesByTypeNameAndNumber) {
    static const char kText[] = "some text";
    static const unsigned char kBytes[] = {1, 2, 3};
    RegisterResource(kOtherModule, "TEXTFILE", 111, kText, sizeof kText - 1);
    RegisterResource(kOtherModule, MakeIntResource(200), 117, kBytes, sizeof kBytes);
    size_t size = 0;
    EXPECT_EQ(FindResource(kOtherModule, "textfile", 111, &size), kText) << "names ignore case";
    EXPECT_EQ(size, sizeof kText - 1);
    EXPECT_EQ(FindResource(kOtherModule, "#200", 117, &size), kBytes);
    EXPECT_EQ(FindResource(kOtherModule, MakeIntResource(200), 117, &size), kBytes);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(FindResource(kOtherModule, "TEXTFILE", 112, &size), nullptr);
    EXPECT_EQ(FindResource(ThisModule(), MakeIntResource(200), 117, &size), nullptr);
    EXPECT_EQ(FindResource(kOtherModule, nullptr, 111, &size), nullptr);
    UnregisterResources(kOtherModule);
    EXPECT_EQ(FindResource(kOtherModule, "TEXTFILE", 111, &size), nullptr);
}

TEST_F(ModulesTest, ModuleOfAnAddress) {
    EXPECT_NE(ThisModule(), nullptr);
    EXPECT_EQ(ModuleFromAddress(reinterpret_cast<const void*>(&wPrintf)), ThisModule());
    EXPECT_EQ(ModuleFromAddress(reinterpret_cast<const void*>(&LLoadStringW)), ThisModule());
    int local = 0;
    EXPECT_EQ(ModuleFromAddress(&local), nullptr) << "the stack belongs to no module";
    EXPECT_EQ(ModuleFromAddress(nullptr), nullptr);
    // The test program links the library's code in, so here both are the main program.
    EXPECT_EQ(MainModule(), ThisModule());
}

TEST_F(ModulesTest, FileNameOfTheMainProgram) {
    WCHAR name[MAX_PATH];
    DWORD length = GetModuleFileName(MainModule(), name, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::string path = qzo::text::ToUtf8(std::u16string_view(name, length));
    EXPECT_EQ(path.front(), '/');
    const std::string program = "/qzo_tests_uikit";
    ASSERT_GE(path.size(), program.size());
    EXPECT_EQ(path.substr(path.size() - program.size()), program);
    EXPECT_EQ(GetModuleFileName(nullptr, name, MAX_PATH), length) << "null is the main program";

    SetLastError(0);
    EXPECT_EQ(GetModuleFileName(MainModule(), name, 5), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(qzo::text::Length(name), 4u) << "the cut name is terminated";
    EXPECT_EQ(GetModuleFileName(MainModule(), nullptr, 5), 0u);
    EXPECT_EQ(GetModuleFileName(kOtherModule, name, MAX_PATH), 0u);
}

TEST_F(ModulesTest, ProcedureOfTheMainProgram) {
    EXPECT_EQ(GetProcAddress(MainModule(), "qzo_uikit_test_export"),
              reinterpret_cast<void*>(&qzo_uikit_test_export));
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(MainModule(), "no_such_symbol_anywhere"), nullptr);
    EXPECT_EQ(GetLastError(), kErrorProcedureNotFound);
    EXPECT_EQ(GetProcAddress(MainModule(), nullptr), nullptr);
}

// A system library that the test program already has loaded serves as a driver library.
std::string MathLibraryPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(static_cast<double (*)(double)>(&::cos)), &info) == 0)
        return {};
    return info.dli_fname ? info.dli_fname : "";
}

TEST_F(ModulesTest, LoadLibraryFindsProceduresAndFrees) {
    const std::string path = MathLibraryPath();
    ASSERT_FALSE(path.empty());
    const std::u16string widePath = qzo::text::ToUtf16(path);
    HMODULE math = LoadLibrary(widePath.c_str());
    ASSERT_NE(math, nullptr);
    EXPECT_NE(math, MainModule());
    EXPECT_EQ(LoadLibrary(widePath.c_str()), math) << "loading again gives the same handle";

    void* cosine = GetProcAddress(math, "cos");
    ASSERT_NE(cosine, nullptr);
    EXPECT_EQ(ModuleFromAddress(cosine), math);
    EXPECT_EQ(GetProcAddress(math, "qzo_uikit_test_export"), nullptr)
        << "only the module's own symbols";

    WCHAR name[MAX_PATH];
    DWORD length = GetModuleFileName(math, name, MAX_PATH);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(name[0], u'/');
    std::string file = qzo::text::ToUtf8(std::u16string_view(name, length));
    std::string expectedName = path.substr(path.find_last_of('/'));
    EXPECT_EQ(file.substr(file.size() - expectedName.size()), expectedName);

    EXPECT_TRUE(FreeLibrary(math));
    EXPECT_TRUE(FreeLibrary(math));
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(math)) << "every load was freed";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FreeLibrary(MainModule()));
    EXPECT_FALSE(FreeLibrary(nullptr));
}

TEST_F(ModulesTest, LoadLibraryFailures) {
    SetLastError(0);
    EXPECT_EQ(LoadLibrary(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    const std::u16string missing = qzo::text::ToUtf16(TempPath("driver/missing.so"));
    EXPECT_EQ(LoadLibrary(missing.c_str()), nullptr);
    EXPECT_NE(GetLastError(), 0u);
    const std::string notALibrary = TempPath("not-a-library.so");
    qzo::test::WriteFileBytes(notALibrary, "this is text");
    SetLastError(0);
    EXPECT_EQ(LoadLibrary(qzo::text::ToUtf16(notALibrary).c_str()), nullptr);
    EXPECT_EQ(GetLastError(), kErrorModuleNotFound);
}

}  // namespace
