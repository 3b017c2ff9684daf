// A program that links the shared library and ends the way its first argument says: a null
// write on the main thread, a division by zero on a worker, two threads faulting at once, a
// guarded fault, an uncaught C++ exception, a fault after a foreign handler replaced ours (with
// or without ReInit), or two calls of the filter. "computer" prints the computer's name and ID.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "qzobj/crash.h"
#include "qzobj/hashid.h"
#include "qzobj/process.h"

namespace {

volatile int g_divisor = 0;
int* volatile g_nowhere = nullptr;

[[gnu::noinline]] void WriteThroughNull() {
    *g_nowhere = 1;
}

[[gnu::noinline]] int DivideByZero() {
    return 100 / g_divisor;
}

void ForeignHandler(int) {
    _exit(3);
}

int TwoThreads() {
    std::atomic<int> ready{0};
    auto fault = [&ready] {
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        WriteThroughNull();
    };
    std::thread first(fault);
    std::thread second(fault);
    first.join();
    second.join();
    return 0;
}

int FilterTwice() {
    EXCEPTION_RECORD record{};
    CONTEXT context{};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record.ExceptionAddress = reinterpret_cast<void*>(&WriteThroughNull);
    EXCEPTION_POINTERS pointers{&record, &context};
    const LONG first = CUnhandledException::TopLevelExceptionFilter(&pointers);
    const LONG second = CUnhandledException::TopLevelExceptionFilter(&pointers);
    std::printf("%ld %ld\n", long(first), long(second));
    return 0;
}

int Computer() {
    WCHAR name[16] = {};
    if (!GetCreateComputerName(name, 16)) return 2;
    std::string narrow;
    for (const WCHAR* p = name; *p; ++p) narrow += char(*p);
    std::printf("%s %08X %08X\n", narrow.c_str(), GetComputerID(), GetHashIDW(name));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "null-main") WriteThroughNull();
    if (mode == "div-worker") {
        std::thread worker([] { std::printf("%d\n", DivideByZero()); });
        worker.join();
    }
    if (mode == "two-threads") return TwoThreads();
    if (mode == "guarded") {
        // The hash functions read their input under a guard: unreadable text is a failure.
        const DWORD id = GetHashIDW(reinterpret_cast<const WCHAR*>(16));
        std::printf("%08X\n", id);
        return id == 0xFFFFFFFFu ? 0 : 1;
    }
    if (mode == "uncaught") throw std::runtime_error("nobody catches this");
    if (mode == "foreign" || mode == "foreign-reinit") {
        struct sigaction action {};
        action.sa_handler = &ForeignHandler;
        sigaction(SIGSEGV, &action, nullptr);
        if (mode == "foreign-reinit" && !CUnhandledException::ReInit()) return 4;
        WriteThroughNull();
    }
    if (mode == "filter-twice") return FilterTwice();
    if (mode == "computer") return Computer();
    return 9;
}
