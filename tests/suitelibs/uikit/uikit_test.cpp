// The uikit: modules and their string tables and resources, headless progress windows (and the
// line they draw on a terminal), message boxes and dialogs with their reports, the debug
// output's targets (standard error, a file that threads and processes append to at once, the
// sink), and the debug output's formatter.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/module.h"
#include "qzobj/platform/text.h"
#include "qzobj/suitelibs/uikit/debug_output.h"
#include "qzobj/suitelibs/uikit/dialogs.h"
#include "qzobj/uikit.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/peer.h"
#include "support/terminal_stderr.h"
#include "support/text.h"

// An unmangled symbol that the test program exports.
extern "C" __attribute__((visibility("default"), noinline)) int qzo_uikit_test_export() {
    return 42;
}

namespace {

using qzo::test::Narrow;
using qzo::test::Wide;

// ---- Modules and their resources: handles, file names, loading a library, and string tables
// read through LLoadStringW, kept apart per module.

using namespace qzo::platform;

// A handle no real module has; resources can be registered under any handle.
const HMODULE kOtherModule = reinterpret_cast<HMODULE>(uintptr_t{0x51000000});

constexpr StringResource kOtherStrings[] = {
    {2, u"OTHER.TXT"},
    {40001, u"Another base class"},
    {7, u""},
};

// One fixture for the uikit: it registers the other module's strings and undoes every hook
// and debug output setting a test made.
class Uikit : public qzo::test::QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        RegisterStringTable(kOtherModule, kOtherStrings, std::size(kOtherStrings));
    }
    void TearDown() override {
        UnregisterStringTable(kOtherModule);
        qzo::uikit::SetMessageBoxAnswerHook(nullptr, nullptr);
        qzo::uikit::SetDialogAnswerHook(nullptr, nullptr);
        unsetenv("QZO_DEBUG_OUTPUT");
        qzo::uikit::ResetDebugOutputTarget();
        QzoTest::TearDown();
    }
    void UseTarget(const std::string& target) {
        setenv("QZO_DEBUG_OUTPUT", target.c_str(), 1);
        qzo::uikit::ResetDebugOutputTarget();
    }
};

std::u16string Load(HMODULE module, UINT id, int size = 256) {
    WCHAR buffer[256];
    buffer[0] = u'#';
    int length = LLoadStringW(module, id, buffer, size);
    EXPECT_EQ(static_cast<size_t>(length), qzo::text::Length(buffer));
    return std::u16string(buffer, length);
}

TEST_F(Uikit, TheLibrarysStringTable) {
    EXPECT_EQ(Load(ThisModule(), 2), u"README.TXT");
    EXPECT_EQ(Load(ThisModule(), 40001), u"QZ base class");
    EXPECT_EQ(Load(ThisModule(), 40002), u"RT object base class");
}

TEST_F(Uikit, SameNumbersInTwoModulesStayApart) {
    EXPECT_EQ(Load(kOtherModule, 2), u"OTHER.TXT");
    EXPECT_EQ(Load(kOtherModule, 40001), u"Another base class");
    EXPECT_EQ(Load(kOtherModule, 40002), u"") << "the other module has no 40002";
    UnregisterStringTable(kOtherModule);
    EXPECT_EQ(Load(kOtherModule, 2), u"") << "an unregistered table is gone";
    EXPECT_EQ(Load(ThisModule(), 2), u"README.TXT");
}

TEST_F(Uikit, LoadStringCutsAndFails) {
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

TEST_F(Uikit, ResourcesByTypeNameAndNumber) {
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

TEST_F(Uikit, ModuleOfAnAddress) {
    EXPECT_NE(ThisModule(), nullptr);
    EXPECT_EQ(ModuleFromAddress(reinterpret_cast<const void*>(&wPrintf)), ThisModule());
    EXPECT_EQ(ModuleFromAddress(reinterpret_cast<const void*>(&LLoadStringW)), ThisModule());
    int local = 0;
    EXPECT_EQ(ModuleFromAddress(&local), nullptr) << "the stack belongs to no module";
    EXPECT_EQ(ModuleFromAddress(nullptr), nullptr);
    // The test program links the library's code in, so here both are the main program.
    EXPECT_EQ(MainModule(), ThisModule());
}

TEST_F(Uikit, FileNameOfTheMainProgram) {
    WCHAR name[MAX_PATH];
    DWORD length = GetModuleFileName(MainModule(), name, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::string path = Narrow(std::u16string_view(name, length));
    EXPECT_EQ(path.front(), '/');
    const std::string program = "/qzo_tests_suitelibs";
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

TEST_F(Uikit, ProcedureOfTheMainProgram) {
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

TEST_F(Uikit, LoadLibraryFindsProceduresAndFrees) {
    const std::string path = MathLibraryPath();
    ASSERT_FALSE(path.empty());
    const std::u16string widePath = Wide(path);
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
    std::string file = Narrow(std::u16string_view(name, length));
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

TEST_F(Uikit, LoadLibraryFailures) {
    SetLastError(0);
    EXPECT_EQ(LoadLibrary(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    const std::u16string missing = Wide(TempPath("driver/missing.so"));
    EXPECT_EQ(LoadLibrary(missing.c_str()), nullptr);
    EXPECT_NE(GetLastError(), 0u);
    const std::string notALibrary = TempPath("not-a-library.so");
    qzo::test::WriteFileBytes(notALibrary, "this is text");
    SetLastError(0);
    EXPECT_EQ(LoadLibrary(Wide(notALibrary).c_str()), nullptr);
    EXPECT_EQ(GetLastError(), kErrorModuleNotFound);
}

// ---- Progress windows: handles even without a terminal, bad handles refused, and the progress
// line drawn on standard error when it is a terminal (a pseudo-terminal here).

// What a progress window opened as `title` and driven by `drive` draws on a terminal; nothing
// when no pseudo-terminal is available.
template <typename Drive>
std::optional<std::string> DrawnOnTerminal(const char16_t* title, Drive drive) {
    qzo::test::TerminalStderr terminal;
    if (!terminal.ok()) return std::nullopt;
    HANDLE progress = Progress_Open(nullptr, title, nullptr, 0, nullptr, 0);
    EXPECT_NE(progress, nullptr);
    drive(progress);
    Progress_Close(progress);
    terminal.Restore();
    return terminal.Read();
}

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST_F(Uikit, HeadlessHandleKeepsWorking) {
    HANDLE progress = Progress_Open(nullptr, u"Copying", nullptr, 0, nullptr, 0);
    ASSERT_NE(progress, nullptr);
    EXPECT_TRUE(Progress_SetTitle(progress, u"Copying project"));
    EXPECT_TRUE(Progress_SetStatus(progress, u"file 1", 10, nullptr));
    EXPECT_TRUE(Progress_SetMasterStatus(progress, u"pass 1", 250, nullptr));
    EXPECT_TRUE(Progress_SetStatus(progress, nullptr, -5, nullptr));
    Progress_Close(progress);
}

TEST_F(Uikit, BadHandlesAreRefused) {
    EXPECT_FALSE(Progress_SetTitle(nullptr, u"x"));
    EXPECT_FALSE(Progress_SetStatus(nullptr, u"x", 1, nullptr));
    EXPECT_FALSE(Progress_SetMasterStatus(nullptr, u"x", 1, nullptr));
    Progress_Close(nullptr);
    int notAWindow = 0;
    EXPECT_FALSE(Progress_SetTitle(&notAWindow, u"x"));
    Progress_Close(&notAWindow);
    HANDLE progress = Progress_Open(nullptr, u"t", nullptr, 0, nullptr, 0);
    Progress_Close(progress);
    EXPECT_FALSE(Progress_SetStatus(progress, u"x", 1, nullptr)) << "a closed handle is refused";
    Progress_Close(progress);
}

TEST_F(Uikit, ProgressDrawsOneLineOnATerminal) {
    const auto drawn = DrawnOnTerminal(u"Purging", [](HANDLE progress) {
        Progress_SetStatus(progress, u"objects", 142, nullptr);
    });
    if (!drawn) GTEST_SKIP() << "no pseudo-terminal available";
    const std::string& text = *drawn;
    EXPECT_NE(text.find("\rPurging [                    ] 0% "), std::string::npos) << text;
    EXPECT_NE(text.find("\rPurging [####################] 100% objects"), std::string::npos)
        << "positions are clamped to 100; text: " << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "closing ends the line once: " << text;

    const auto master = DrawnOnTerminal(u"Copy", [](HANDLE progress) {
        Progress_SetMasterStatus(progress, u"project", 30, nullptr);
        Progress_SetStatus(progress, u"file", 42, nullptr);
    });
    ASSERT_TRUE(master);
    EXPECT_NE(master->find("\rCopy [########            ] 42% file | project 30%"),
              std::string::npos)
        << *master;
}

TEST_F(Uikit, RedrawsAreLimited) {
    const auto drawn = DrawnOnTerminal(u"Busy", [](HANDLE progress) {
        for (int i = 0; i < 200; ++i) Progress_SetStatus(progress, u"step", i / 2, nullptr);
    });
    if (!drawn) GTEST_SKIP() << "no pseudo-terminal available";
    const std::string& text = *drawn;
    // 200 updates in a few milliseconds: the opening line, the closing one and a handful of
    // redraws at most.
    EXPECT_GE(CountOf(text, "\rBusy ["), 2u);
    EXPECT_LE(CountOf(text, "\rBusy ["), 8u) << text;
}

// ---- Headless message boxes and dialogs: the default button of every style, plugged-in
// answers, and the report each prints.

using qzo::uikit::DefaultMessageBoxButton;

TEST_F(Uikit, DefaultButtonOfEveryStyle) {
    struct Case {
        UINT type;
        int buttons[4];  // the buttons MB_DEFBUTTON1..4 choose
    };
    const Case cases[] = {
        {MB_OK, {IDOK, IDOK, IDOK, IDOK}},
        {MB_OKCANCEL, {IDOK, IDCANCEL, IDOK, IDOK}},
        {MB_ABORTRETRYIGNORE, {IDABORT, IDRETRY, IDIGNORE, IDABORT}},
        {MB_YESNOCANCEL, {IDYES, IDNO, IDCANCEL, IDYES}},
        {MB_YESNO, {IDYES, IDNO, IDYES, IDYES}},
        {MB_RETRYCANCEL, {IDRETRY, IDCANCEL, IDRETRY, IDRETRY}},
        {MB_CANCELTRYCONTINUE, {IDCANCEL, IDTRYAGAIN, IDCONTINUE, IDCANCEL}},
    };
    const UINT defaults[] = {MB_DEFBUTTON1, MB_DEFBUTTON2, MB_DEFBUTTON3, MB_DEFBUTTON4};
    for (const Case& c : cases) {
        for (int n = 0; n < 4; ++n) {
            SCOPED_TRACE("type " + std::to_string(c.type) + " default button " +
                         std::to_string(n + 1));
            EXPECT_EQ(DefaultMessageBoxButton(c.type | defaults[n]), c.buttons[n]);
            // Icons and other style bits do not change the answer.
            EXPECT_EQ(XMessageBox(nullptr, u"text", u"caption",
                                  c.type | defaults[n] | MB_ICONEXCLAMATION, nullptr, 0),
                      c.buttons[n]);
        }
    }
    EXPECT_EQ(DefaultMessageBoxButton(0x0000000Fu | MB_DEFBUTTON2), IDOK)
        << "an unknown type answers like MB_OK";
    EXPECT_EQ(DefaultMessageBoxButton(MB_YESNO | 0x00000500u), IDYES)
        << "a default button beyond the box's buttons means the first";
}

TEST_F(Uikit, MessageBoxReportsCaptionAndText) {
    struct Row {
        const char* name;
        const WCHAR* text;
        const WCHAR* caption;
        const char* report;
    };
    const Row rows[] = {
        {"both", u"Project has been edited with a newer version, you will not be able to edit it.",
         u"Version Restriction",
         "\r[MessageBox] Version Restriction: Project has been edited with a newer version, you "
         "will not be able to edit it.\r\n"},
        {"no caption", u"no caption", nullptr, "\r[MessageBox] Error: no caption\r\n"},
        {"no text", nullptr, u"no text", "\r[MessageBox] no text: \r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        qzo::test::DebugCapture capture;
        XMessageBox(nullptr, row.text, row.caption, MB_OK, nullptr, 0);
        const auto messages = capture.Messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].channel, 0);
        EXPECT_EQ(messages[0].level, 3);
        EXPECT_EQ(messages[0].Utf8(), row.report);
    }
}

struct SeenBox {
    std::u16string text;
    std::u16string caption;
    UINT style = 0;
    int answer = 0;
};

int AnswerBox(const WCHAR* text, const WCHAR* caption, UINT style, void* context) {
    auto* seen = static_cast<SeenBox*>(context);
    seen->text = text ? text : u"";
    seen->caption = caption ? caption : u"";
    seen->style = style;
    return seen->answer;
}

TEST_F(Uikit, PluggedAnswerReplacesTheDefault) {
    SeenBox seen;
    seen.answer = IDNO;
    EXPECT_EQ(qzo::uikit::SetMessageBoxAnswerHook(&AnswerBox, &seen), nullptr);
    EXPECT_EQ(XMessageBox(nullptr, u"Delete?", u"Confirm", MB_YESNO | MB_ICONQUESTION, nullptr, 0),
              IDNO);
    EXPECT_EQ(seen.text, u"Delete?");
    EXPECT_EQ(seen.caption, u"Confirm");
    EXPECT_EQ(seen.style, MB_YESNO | MB_ICONQUESTION);

    seen.answer = 0;
    EXPECT_EQ(XMessageBox(nullptr, u"Delete?", u"Confirm", MB_YESNO | MB_DEFBUTTON2, nullptr, 0),
              IDNO)
        << "a hook answering 0 keeps the default";

    EXPECT_EQ(qzo::uikit::SetMessageBoxAnswerHook(nullptr, nullptr), &AnswerBox);
    EXPECT_EQ(XMessageBox(nullptr, u"Delete?", u"Confirm", MB_YESNO, nullptr, 0), IDYES);

    qzo::uikit::SetMessageBoxAnswerHook(
        [](const WCHAR*, const WCHAR*, UINT, void*) -> int { throw std::runtime_error("no"); },
        nullptr);
    EXPECT_EQ(XMessageBox(nullptr, u"t", u"c", MB_RETRYCANCEL, nullptr, 0), IDRETRY)
        << "a throwing hook means the default";
}

constexpr UINT kViewerTemplate = 117;
const unsigned char kTemplateBytes[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

TEST_F(Uikit, DialogReportsTheTemplateAndAnswersOk) {
    qzo::test::DebugCapture capture;
    const HMODULE module = reinterpret_cast<HMODULE>(uintptr_t{0x7A000000});
    qzo::platform::RegisterResource(module, qzo::platform::MakeIntResource(200), kViewerTemplate,
                                    kTemplateBytes, sizeof kTemplateBytes);
    bool procedureCalled = false;
    static bool* called = &procedureCalled;
    XDLGPROC procedure = [](HWND, UINT, WPARAM, LPARAM) -> intptr_t {
        *called = true;
        return 0;
    };
    struct Row {
        UINT dialogTemplate;
        const char* report;
    };
    const Row rows[] = {
        {kViewerTemplate, "\r[Dialog] template 117 of module 000000007A000000 (12 bytes)\r\n"},
        {118, "\r[Dialog] template 118 of module 000000007A000000 (not found)\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.dialogTemplate);
        capture.Clear();
        EXPECT_EQ(XDialog(nullptr, 0, 0, row.dialogTemplate, module, procedure, 1, 2, 3, 4, 0),
                  IDOK);
        EXPECT_EQ(capture.Text(), row.report);
    }
    EXPECT_FALSE(procedureCalled);
    qzo::platform::UnregisterResources(module);
}

TEST_F(Uikit, PluggedDialogAnswer) {
    qzo::uikit::SetDialogAnswerHook(
        [](uintptr_t dialogTemplate, HINSTANCE, void*) -> intptr_t {
            return dialogTemplate == kViewerTemplate ? IDCANCEL : 0;
        },
        nullptr);
    EXPECT_EQ(XDialog(nullptr, 0, 0, kViewerTemplate, nullptr, nullptr, 0, 0, 0, 0, 0), IDCANCEL);
    EXPECT_EQ(XDialog(nullptr, 0, 0, 5, nullptr, nullptr, 0, 0, 0, 0, 0), IDOK);
}

// ---- wPrintf's targets: off by default, standard error, and a file that many threads and
// processes append to at once without any message being torn; the sink sees every message.

constexpr int kMessagesPerWriter = 400;
// Long enough that a torn write would show inside one line.
const char kFiller[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

void PrintNumbered(const char* writer, int count) {
    for (int i = 0; i < count; ++i)
        wPrintf(3, 5, u"\r%hs message %d of %d %hs\r\n", writer, i, count, kFiller);
}

std::string Expected(const std::string& writer, int i, int count) {
    return writer + " message " + std::to_string(i) + " of " + std::to_string(count) + " " +
           kFiller;
}

// The peer side: prints `count` numbered messages as writer `name`.
QZO_PEER_COMMAND(print_messages) {
    PrintNumbered(args.at(0).c_str(), std::atoi(args.at(1).c_str()));
    return "OK";
}

// Standard error redirected to a file for the lifetime of the object.
class StderrRedirect {
  public:
    explicit StderrRedirect(const std::string& path) {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrRedirect() {
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }

  private:
    int saved_;
};

TEST_F(Uikit, StandardErrorOnlyWhenTurnedOnOrChosen) {
    const std::string errors = TempPath("stderr.txt");
    {
        StderrRedirect redirect(errors);
        EXPECT_EQ(Is_wPrintf_Active(0), 0) << "off by default";
        wPrintf(3, 5, u"\rnobody sees this %d\r\n", 1);
        // Turning on sends to standard error until reset.
        EXPECT_NE(Is_wPrintf_Active(1), 0);
        EXPECT_NE(Is_wPrintf_Active(0), 0);
        wPrintf(3, 2, u"\rnow on\r\n");
        qzo::uikit::ResetDebugOutputTarget();
        EXPECT_EQ(Is_wPrintf_Active(0), 0);
        wPrintf(3, 2, u"\roff again\r\n");
        UseTarget("stderr");
        EXPECT_NE(Is_wPrintf_Active(0), 0);
        wPrintf(0, 1, u"\rCorrupted block at %p in %s\r\n", nullptr, u"\u00C4rger");
    }
    EXPECT_EQ(qzo::test::ReadFileBytes(errors),
              "\rnow on\r\n\rCorrupted block at 0000000000000000 in \xC3\x84rger\r\n")
        << "standard error gets the text as UTF-8, unchanged";

    UseTarget("");
    EXPECT_EQ(Is_wPrintf_Active(0), 0) << "an empty setting means off";
    UseTarget(TempPath("missing-folder/debug.log"));
    EXPECT_EQ(Is_wPrintf_Active(0), 0) << "a file that cannot be opened means off";
    wPrintf(3, 5, u"lost\n");
}

TEST_F(Uikit, FileTargetAppendsAndTurningOnKeepsIt) {
    const std::string file = TempPath("debug.log");
    qzo::test::WriteFileBytes(file, "earlier\n");
    UseTarget(file);
    EXPECT_NE(Is_wPrintf_Active(1), 0);
    wPrintf(3, 5, u"\r%hs::%s %d\r\n", "CProjUniID", u"Open", 2);
    EXPECT_EQ(qzo::test::ReadFileBytes(file), "earlier\n\rCProjUniID::Open 2\r\n");
}

TEST_F(Uikit, TargetIsReadOnceUntilReset) {
    const std::string first = TempPath("first.log");
    const std::string second = TempPath("second.log");
    UseTarget(first);
    wPrintf(3, 5, u"one\n");
    setenv("QZO_DEBUG_OUTPUT", second.c_str(), 1);
    wPrintf(3, 5, u"two\n");
    qzo::uikit::ResetDebugOutputTarget();
    wPrintf(3, 5, u"three\n");
    EXPECT_EQ(qzo::test::ReadFileBytes(first), "one\ntwo\n");
    EXPECT_EQ(qzo::test::ReadFileBytes(second), "three\n");
}

TEST_F(Uikit, SinkGetsChannelLevelAndText) {
    std::vector<qzo::test::CapturedMessage> messages;
    {
        qzo::test::DebugCapture capture;
        EXPECT_NE(Is_wPrintf_Active(0), 0) << "a sink counts as output";
        wPrintf(0, 3, u"\r\nWarning: %s\r\n", u"CLOSE HISTORY");
        wPrintf(3, 9, u"\r%hs %u%%\r\n", "progress", 50u);
        messages = capture.Messages();
    }
    EXPECT_EQ(Is_wPrintf_Active(0), 0) << "removing the sink turns output off";
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].channel, 0);
    EXPECT_EQ(messages[0].level, 3);
    EXPECT_EQ(messages[0].text, u"\r\nWarning: CLOSE HISTORY\r\n");
    EXPECT_EQ(messages[1].channel, 3);
    EXPECT_EQ(messages[1].level, 9);
    EXPECT_EQ(messages[1].text, u"\rprogress 50%\r\n");
}

TEST_F(Uikit, SinkAndFileBothGetLongMessagesCut) {
    const std::string file = TempPath("debug.log");
    UseTarget(file);
    qzo::test::DebugCapture capture;
    std::u16string text(5000, u'\u00E9');
    wPrintf(3, 5, u"%s", text.c_str());
    auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, std::u16string(qzo::uikit::kMaxMessageUnits, u'\u00E9'));
    EXPECT_EQ(qzo::test::ReadFileBytes(file).size(), 2 * qzo::uikit::kMaxMessageUnits);
}

// Four threads here and two peer processes append to one file at once; every line must arrive
// whole, exactly once.
TEST_F(Uikit, ThreadsAndProcessesAppendWholeMessages) {
    const std::string file = TempPath("shared.log");
    UseTarget(file);

    qzo::test::Peer peerA({{"QZO_DEBUG_OUTPUT", file}});
    qzo::test::Peer peerB({{"QZO_DEBUG_OUTPUT", file}});
    ASSERT_TRUE(peerA.Start());
    ASSERT_TRUE(peerB.Start());

    const std::string count = std::to_string(kMessagesPerWriter);
    std::string answerA, answerB;
    std::vector<std::thread> writers;
    writers.emplace_back([&] { answerA = peerA.Call("print_messages peerA " + count); });
    writers.emplace_back([&] { answerB = peerB.Call("print_messages peerB " + count); });
    const char* threadNames[] = {"thread0", "thread1", "thread2", "thread3"};
    for (const char* name : threadNames)
        writers.emplace_back([name] { PrintNumbered(name, kMessagesPerWriter); });
    for (auto& writer : writers) writer.join();
    EXPECT_EQ(answerA, "OK");
    EXPECT_EQ(answerB, "OK");

    std::map<std::string, int> expected;
    for (const std::string writer : {"peerA", "peerB", "thread0", "thread1", "thread2", "thread3"})
        for (int i = 0; i < kMessagesPerWriter; ++i)
            ++expected[Expected(writer, i, kMessagesPerWriter)];

    std::map<std::string, int> found;
    std::istringstream lines(qzo::test::ReadFileBytes(file));
    size_t lineCount = 0;
    for (std::string line; std::getline(lines, line); ++lineCount) {
        ASSERT_GE(line.size(), 2u);
        ASSERT_EQ(line.front(), '\r') << "line " << lineCount << " is torn: " << line;
        ASSERT_EQ(line.back(), '\r') << "line " << lineCount << " is torn: " << line;
        ++found[line.substr(1, line.size() - 2)];
    }
    EXPECT_EQ(lineCount, 6u * kMessagesPerWriter);
    EXPECT_EQ(found, expected);
}

// ---- The formatter: golden texts for every conversion the library's messages use, truncation
// at the caller's capacity and at the message limit, and bad arguments.

using qzo::uikit::FormatV;
using qzo::uikit::kMaxMessageUnits;

std::u16string Fmt(const WCHAR* format, ...) {
    WCHAR buffer[2 * kMaxMessageUnits];
    va_list args;
    va_start(args, format);
    size_t length = FormatV(buffer, sizeof buffer / sizeof buffer[0], format, args);
    va_end(args);
    EXPECT_EQ(buffer[length], 0) << "the text must be terminated";
    return std::u16string(buffer, length);
}

struct Formatted {
    const char* name;
    std::u16string actual;
    std::u16string expected;
};

void ExpectRows(const std::vector<Formatted>& rows) {
    for (const Formatted& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.actual, row.expected);
    }
}

TEST(Format, Numbers) {
    int written = 99;
    const void* p = reinterpret_cast<const void*>(uintptr_t{0xABC123});
    ExpectRows({
        {"signed and unsigned", Fmt(u"%d|%i|%u", -42, 17, 4000000000u), u"-42|17|4000000000"},
        {"upper hex", Fmt(u"%08X", 0xBEEFu), u"0000BEEF"},
        {"lower hex", Fmt(u"%08x", 0xDEADBEEFu), u"deadbeef"},
        {"width", Fmt(u"%10u|", 123u), u"       123|"},
        {"left", Fmt(u"%-10d|", -5), u"-5        |"},
        {"signs", Fmt(u"%+d %+d % d", 5, -5, 7), u"+5 -5  7"},
        {"zero padding", Fmt(u"%05d|%-05d|", -42, 42), u"-0042|42   |"},
        {"precision", Fmt(u"%.5d|%8.3d|%.0d|", 42, 7, 0), u"00042|     007||"},
        {"alternate forms", Fmt(u"%#x %#X %#o %#x", 255u, 255u, 8u, 0u), u"0xff 0XFF 010 0"},
        {"octal", Fmt(u"%o", 8u), u"10"},
        {"star", Fmt(u"%*d|%-*d|%.*d", 5, 1, 4, 2, 3, 3), u"    1|2   |003"},
        {"a negative '*' width means left-justified", Fmt(u"%*d|", -4, 9), u"9   |"},
        {"minimum", Fmt(u"%d", INT32_MIN), u"-2147483648"},
        // The system's long is 32 bits wide: 'l' reads 32 bits, 'll' and 'I64' 64 bits.
        {"l", Fmt(u"%ld %lu %lX", int32_t{-1}, uint32_t{4294967295u}, uint32_t{0xABCDu}),
         u"-1 4294967295 ABCD"},
        {"ll", Fmt(u"%lld %llu", -9000000000LL, 18446744073709551615ULL),
         u"-9000000000 18446744073709551615"},
        {"I64", Fmt(u"%I64X %I64d", 0x123456789ABCDEF0ULL, INT64_MIN),
         u"123456789ABCDEF0 -9223372036854775808"},
        {"z", Fmt(u"%zu %zX", size_t{1} << 40, size_t{255}), u"1099511627776 FF"},
        {"h and hh", Fmt(u"%hd %hu %hhd %hhu", 70000, 70000, 300, 300), u"4464 4464 44 44"},
        {"pointer", Fmt(u"%p", p), u"0000000000ABC123"},
        {"pointer width", Fmt(u"[%20p]", p), u"[    0000000000ABC123]"},
        {"pointer left", Fmt(u"[%-18p]", p), u"[0000000000ABC123  ]"},
        {"percent", Fmt(u"100%% done %d%%", 5), u"100% done 5%"},
        {"fixed", Fmt(u"Lap=%fms, Total=%fms", 1.5, 2.25), u"Lap=1.500000ms, Total=2.250000ms"},
        {"fixed forms", Fmt(u"%.2f|%8.3f|%-8.1f|%08.2f", 3.14159, 2.5, -1.25, -3.5),
         u"3.14|   2.500|-1.2    |-0003.50"},
        {"exponent", Fmt(u"%e|%.3E", 12345.678, 0.00012), u"1.234568e+04|1.200E-04"},
        {"general", Fmt(u"%g|%g|%G", 0.0001, 1e20, 1e-10), u"0.0001|1e+20|1E-10"},
        {"floating signs", Fmt(u"%+.1f|% .1f", 2.0, 2.0), u"+2.0| 2.0"},
        {"long double", Fmt(u"%Lf", 1.5L), u"1.500000"},
        {"infinity is never zero-padded", Fmt(u"%05f", 1.0 / 0.0), u"  inf"},
        {"arguments after a floating-point one", Fmt(u"%f %d %hs", 0.5, 7, "x"), u"0.500000 7 x"},
        {"unknown conversion", Fmt(u"a%qb"), u"a%qb"},
        {"unfinished conversion", Fmt(u"50%"), u"50%"},
        {"unfinished flags", Fmt(u"50%-5"), u"50%-5"},
        {"%n is skipped", Fmt(u"x%ny%d", &written, 3), u"xy3"},
    });
    EXPECT_EQ(written, 99) << "%n never writes through the pointer";
}

TEST(Format, TextAndCharacters) {
    const char tag[4] = {'R', 'I', 'F', 'F'};  // no terminator: nothing past the precision is read
    const WCHAR pair[] = {0xD83D, 0xDE00, 0};
    const WCHAR lonely[] = {u'a', 0xDC00, u'b', 0xD800, 0};
    ExpectRows({
        {"wide", Fmt(u"[%s] [%ls]", u"wide", u"also wide"), u"[wide] [also wide]"},
        {"narrow", Fmt(u"[%hs] [%S]", "narrow", "also narrow"), u"[narrow] [also narrow]"},
        {"narrow left", Fmt(u"[%-24hs]", "CHeap"), u"[CHeap                   ]"},
        {"width and precision", Fmt(u"[%8s] [%.3s] [%-6.2hs]", u"ab", u"abcdef", "xyz"),
         u"[      ab] [abc] [xy    ]"},
        {"narrow text is UTF-8", Fmt(u"%hs", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"),
         u"gr\u00FC\u00DF \u20AC \U0001F600"},
        {"a malformed byte becomes U+FFFD",
         Fmt(u"%hs",
             "a\xFF"
             "b"),
         u"a\uFFFDb"},
        {"width counts UTF-16 units", Fmt(u"[%5hs]", "\xE2\x82\xAC"), u"[    \u20AC]"},
        {"null texts",
         Fmt(u"%s|%hs", static_cast<const WCHAR*>(nullptr), static_cast<const char*>(nullptr)),
         u"(null)|(null)"},
        {"precision bounds the narrow bytes read", Fmt(u"%.4hs", tag), u"RIFF"},
        {"surrogate pair", Fmt(u"%s", pair), u"\U0001F600"},
        {"surrogate characters", Fmt(u"%c%c", 0xD83D, 0xDE00), u"\U0001F600"},
        {"unpaired surrogates stay as they are", Fmt(u"%s", lonely), lonely},
        {"characters", Fmt(u"%c%c%c", u'A', 0x20AC, u'z'), u"A\u20ACz"},
        {"narrow characters", Fmt(u"%hc%C", 'n', 'm'), u"nm"},
        {"character width", Fmt(u"[%3c][%-3c]", u'x', u'y'), u"[  x][y  ]"},
        {"heap message", Fmt(u"\rHeap(%hs)::Alloc %08X size %u\r\n", "CSHeap", 0x1234u, 64u),
         u"\rHeap(CSHeap)::Alloc 00001234 size 64\r\n"},
        {"object path", Fmt(u"%sOBJ/%08X/%08X.QZO", u"/p/", 0x4A2B0123u, 1024u),
         u"/p/OBJ/4A2B0123/00000400.QZO"},
        {"location", Fmt(u"@(%3d,%3d^%3d) -> [%3d.%3d.%3d:%3d]", 1, 22, 333, 4, 55, 255, 128),
         u"@(  1, 22^333) -> [  4. 55.255:128]"},
    });
}

TEST(Format, CutsAtTheCapacity) {
    using qzo::uikit::Format;
    WCHAR buffer[8];
    for (auto& c : buffer) c = u'#';
    EXPECT_EQ(Format(buffer, 6, u"%s-%d", u"abc", 12345), 5u);
    EXPECT_EQ(std::u16string(buffer), u"abc-1");
    EXPECT_EQ(buffer[6], u'#') << "nothing is written past the capacity";
    EXPECT_EQ(Format(buffer, 1, u"abc"), 0u);
    EXPECT_EQ(buffer[0], 0);
    buffer[0] = u'#';
    EXPECT_EQ(Format(buffer, 0, u"abc"), 0u);
    EXPECT_EQ(buffer[0], u'#') << "capacity 0 writes nothing";
    EXPECT_EQ(Format(nullptr, 10, u"abc"), 0u);
    EXPECT_EQ(Format(buffer, 8, nullptr), 0u);
    EXPECT_EQ(buffer[0], 0);
    // Padding, numbers and surrogate pairs at the capacity.
    EXPECT_EQ(Format(buffer, 5, u"%100d", 1), 4u);
    EXPECT_EQ(std::u16string(buffer), u"    ");
    EXPECT_EQ(Format(buffer, 5, u"%08X", 0xABCDEF12u), 4u);
    EXPECT_EQ(std::u16string(buffer), u"ABCD");
    EXPECT_EQ(Format(buffer, 4, u"ab%s", u"\U0001F600"), 2u) << "a pair is never split";
    EXPECT_EQ(std::u16string(buffer), u"ab");
}

TEST(Format, CutsAtTheMessageLimit) {
    std::u16string text = Fmt(u"%*s|", 10000, u"x");
    ASSERT_EQ(text.size(), kMaxMessageUnits);
    EXPECT_EQ(text.back(), u' ');
    std::u16string longText(6000, u'q');
    EXPECT_EQ(Fmt(u"%s", longText.c_str()).size(), kMaxMessageUnits);
    EXPECT_EQ(Fmt(longText.c_str()).size(), kMaxMessageUnits);
    EXPECT_EQ(Fmt(u"%.100000d", 1).size(), kMaxMessageUnits) << "huge precisions are cut too";
}

}  // namespace
