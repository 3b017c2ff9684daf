// Shared set-up of the diagnostics tests: a fresh exception table and switches, a counting
// debugger-break hook, and helpers to write "QZO.INI", build exception records and count
// occurrences in a text.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <string>

#include "qzobj/diag.h"
#include "qzobj/diag/debug_switches.h"
#include "qzobj/platform/system.h"
#include "support/fixture.h"

namespace qzo::test {

inline std::atomic<int> g_breaks{0};
inline void CountBreak() {
    g_breaks.fetch_add(1);
}

class DiagTest : public QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        qzo::diag::ResetDebugSwitches();
        // Debug mode would otherwise follow the debug output, which a capture's sink turns on.
        SetDebugMode(FALSE);
        g_breaks.store(0);
        qzo::diag::SetDebuggerBreakHook(&CountBreak);
    }
    void TearDown() override {
        qzo::diag::SetDebuggerBreakHook(nullptr);
        qzo::platform::SetKeyStateHook(nullptr);
        qzo::diag::ResetDebugSwitches();
        QzoTest::TearDown();
    }

    std::string IniPath() const { return WinDir() + "/QZO.INI"; }
    // Writes "QZO.INI" with the given "[QZOUtil]" lines ("KEY=value\r\n" each).
    void WriteIni(const std::string& lines) const {
        mkdir(WinDir().c_str(), 0700);
        WriteFileBytes(IniPath(), "[QZOUtil]\r\n" + lines);
    }
    std::string IniText() const { return ReadFileBytes(IniPath()); }
};

// How often `part` occurs in `text` (overlapping occurrences count).
inline size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// An exception record and context to hand to the filter.
struct FakeException {
    EXCEPTION_RECORD record{};
    CONTEXT context{};
    EXCEPTION_POINTERS pointers{&record, &context};

    FakeException(DWORD code, const void* address) {
        record.ExceptionCode = code;
        record.ExceptionAddress = const_cast<void*>(address);
    }
};

}  // namespace qzo::test
