// The signal-based fault guard: handled faults of every kind, nesting, threads, stack overflow,
// and the faults it must not handle (unguarded faults, signals sent with raise).
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/platform/guard.h"
#include "support/fixture.h"
#include "support/peer.h"

namespace {

using qzo::platform::Guarded;
using qzo::platform::RunGuarded;

class Guard : public qzo::test::QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        if (!qzo::platform::SignalGuardEnabled()) GTEST_SKIP() << "signal guard compiled out";
    }
};

// A page nobody may touch.
class ForbiddenPage {
  public:
    ForbiddenPage() {
        page_ = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page_ == MAP_FAILED) page_ = nullptr;
    }
    ~ForbiddenPage() {
        if (page_) munmap(page_, 4096);
    }
    volatile int* Int() const { return static_cast<volatile int*>(page_); }
    uintptr_t Address() const { return reinterpret_cast<uintptr_t>(page_); }

  private:
    void* page_;
};

struct Seen {
    int calls = 0;
    DWORD code = 0;
    void* address = nullptr;
    DWORD parameters = 0;
    uintptr_t access = 99;
    uintptr_t faultAddress = 0;
    ULONGLONG rip = 0;
    bool inHandler = false;
};

LONG Record(EXCEPTION_POINTERS* pointers, void* context) {
    auto* seen = static_cast<Seen*>(context);
    ++seen->calls;
    seen->code = pointers->ExceptionRecord->ExceptionCode;
    seen->address = pointers->ExceptionRecord->ExceptionAddress;
    seen->parameters = pointers->ExceptionRecord->NumberParameters;
    seen->access = pointers->ExceptionRecord->ExceptionInformation[0];
    seen->faultAddress = pointers->ExceptionRecord->ExceptionInformation[1];
    seen->rip = pointers->ContextRecord->Rip;
    seen->inHandler = qzo::platform::InFaultHandler();
    return EXCEPTION_EXECUTE_HANDLER;
}

LONG Decline(EXCEPTION_POINTERS*, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back("decline");
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG Accept(EXCEPTION_POINTERS*, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back("accept");
    return EXCEPTION_EXECUTE_HANDLER;
}

LONG Stale(EXCEPTION_POINTERS*, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back("stale");
    return EXCEPTION_EXECUTE_HANDLER;
}

LONG AcceptQuietly(EXCEPTION_POINTERS*, void*) {
    return EXCEPTION_EXECUTE_HANDLER;
}

TEST_F(Guard, FinishedBodyReportsSuccess) {
    int ran = 0;
    auto body = [&] { ++ran; };
    DWORD code = 77;
    EXPECT_TRUE(Guarded(body, &AcceptQuietly, nullptr, &code));
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(code, 77u);  // untouched when nothing faulted
    EXPECT_FALSE(qzo::platform::InFaultHandler());
}

TEST_F(Guard, ReadOfForbiddenPageFailsEveryTime) {
    ForbiddenPage page;
    ASSERT_NE(page.Int(), nullptr);
    for (int round = 0; round < 100; ++round) {
        Seen seen;
        DWORD code = 0;
        volatile int value = 0;
        auto body = [&] { value = *page.Int(); };
        ASSERT_FALSE(Guarded(body, &Record, &seen, &code)) << "round " << round;
        ASSERT_EQ(code, EXCEPTION_ACCESS_VIOLATION);
        ASSERT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.parameters, 2u);
        EXPECT_EQ(seen.faultAddress, page.Address());
        EXPECT_NE(seen.address, nullptr);
        EXPECT_TRUE(seen.inHandler);
#if defined(__x86_64__)
        EXPECT_EQ(seen.access, 0u);  // a read
        EXPECT_EQ(seen.rip, reinterpret_cast<uintptr_t>(seen.address));
#endif
    }
    EXPECT_FALSE(qzo::platform::InFaultHandler());
}

TEST_F(Guard, WriteFaultIsReportedAsWrite) {
    ForbiddenPage page;
    Seen seen;
    auto body = [&] { page.Int()[3] = 5; };
    EXPECT_FALSE(Guarded(body, &Record, &seen));
    EXPECT_EQ(seen.code, EXCEPTION_ACCESS_VIOLATION);
    EXPECT_EQ(seen.faultAddress, page.Address() + 3 * sizeof(int));
#if defined(__x86_64__)
    EXPECT_EQ(seen.access, 1u);
#endif
}

TEST_F(Guard, NullFilterHandlesEveryFault) {
    ForbiddenPage page;
    DWORD code = 0;
    EXPECT_FALSE(RunGuarded([](void* p) { (void)*static_cast<volatile int*>(p); },
                            const_cast<int*>(page.Int()), nullptr, nullptr, &code));
    EXPECT_EQ(code, EXCEPTION_ACCESS_VIOLATION);
}

TEST_F(Guard, InnerFilterDeclinesOuterAccepts) {
    ForbiddenPage page;
    std::vector<std::string> calls;
    bool innerReturned = false;
    auto inner = [&] { (void)*page.Int(); };
    auto outer = [&] {
        Guarded(inner, &Decline, &calls);
        innerReturned = true;  // never reached: the outer guard took the fault
    };
    DWORD code = 0;
    EXPECT_FALSE(Guarded(outer, &Accept, &calls, &code));
    EXPECT_EQ(code, EXCEPTION_ACCESS_VIOLATION);
    EXPECT_EQ(calls, (std::vector<std::string>{"decline", "accept"}));
    EXPECT_FALSE(innerReturned);

    // The abandoned inner frame is gone: a new fault sees only the new guard.
    calls.clear();
    EXPECT_FALSE(Guarded(inner, &Accept, &calls));
    EXPECT_EQ(calls, (std::vector<std::string>{"accept"}));
}

TEST_F(Guard, ExceptionLeavingABodyPopsItsFrame) {
    ForbiddenPage page;
    std::vector<std::string> calls;
    auto throwing = [&] { throw std::runtime_error("out"); };
    auto fault = [&] { (void)*page.Int(); };
    auto outer = [&] {
        try {
            Guarded(throwing, &Stale, &calls);
        } catch (const std::runtime_error&) {
        }
        Guarded(fault, &Decline, &calls);
    };
    EXPECT_FALSE(Guarded(outer, &Accept, &calls));
    EXPECT_EQ(calls, (std::vector<std::string>{"decline", "accept"}));
}

TEST_F(Guard, FourThreadsFaultAtOnce) {
    ForbiddenPage page;
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::atomic<int> ready{0};
    std::atomic<int> handled{0};
    std::atomic<int> wrongCode{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            for (int round = 0; round < kRounds; ++round) {
                DWORD code = 0;
                auto body = [&] { (void)*page.Int(); };
                if (!Guarded(body, &AcceptQuietly, nullptr, &code)) handled.fetch_add(1);
                if (code != EXCEPTION_ACCESS_VIOLATION) wrongCode.fetch_add(1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(handled.load(), kThreads * kRounds);
    EXPECT_EQ(wrongCode.load(), 0);
}

TEST_F(Guard, IntegerDivisionByZero) {
    volatile int divisor = 0;
    volatile int result = 0;
    Seen seen;
    DWORD code = 0;
    auto body = [&] { result = 100 / divisor; };
    EXPECT_FALSE(Guarded(body, &Record, &seen, &code));
    EXPECT_EQ(code, EXCEPTION_INT_DIVIDE_BY_ZERO);
    EXPECT_EQ(seen.parameters, 0u);
    EXPECT_NE(seen.address, nullptr);
    // The guard works again right after.
    EXPECT_FALSE(Guarded(body, &Record, &seen, &code));
    EXPECT_EQ(seen.calls, 2);
}

// Recursion with a kilobyte of stack per call; the limit only keeps the compiler from treating
// it as endless.
volatile int g_recursionLimit = 1 << 30;

__attribute__((noipa)) int Recurse(int depth) {
    volatile char pad[1024];
    pad[0] = static_cast<char>(depth);
    pad[sizeof pad - 1] = pad[0];
    if (depth > g_recursionLimit) return 0;
    return Recurse(depth + 1) + pad[sizeof pad - 1];
}

struct OverflowResult {
    DWORD first = 0;
    DWORD second = 0;
    bool continued = false;
};

void* OverflowWorker(void* argument) {
    auto* result = static_cast<OverflowResult*>(argument);
    auto body = [] { (void)Recurse(0); };
    Guarded(body, &AcceptQuietly, nullptr, &result->first);
    Guarded(body, &AcceptQuietly, nullptr, &result->second);
    int ran = 0;
    auto plain = [&] { ran = 42; };
    result->continued = Guarded(plain, &AcceptQuietly) && ran == 42;
    return nullptr;
}

TEST_F(Guard, StackOverflowOnWorkerThread) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    OverflowResult result;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attributes, &OverflowWorker, &result), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    EXPECT_EQ(result.first, EXCEPTION_STACK_OVERFLOW);
    EXPECT_EQ(result.second, EXCEPTION_STACK_OVERFLOW);
    EXPECT_TRUE(result.continued);
}

TEST_F(Guard, ManyShortLivedThreadsReleaseTheirSignalStacks) {
    // Each thread gets an alternate stack on its first guarded call and frees it at exit; a leak
    // would show as address-space growth, a double free as a crash.
    for (int i = 0; i < 50; ++i) {
        std::thread([] {
            ForbiddenPage page;
            auto body = [&] { (void)*page.Int(); };
            EXPECT_FALSE(Guarded(body, &AcceptQuietly));
        }).join();
    }
}

// Peer side: an unhandled fault must reach the hook and end the process by its signal.
char g_hookMarker[512];

LONG MarkUnhandled(EXCEPTION_POINTERS* pointers) {
    const int fd = open(g_hookMarker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        char text[32];
        const int length =
            snprintf(text, sizeof text, "%08X", pointers->ExceptionRecord->ExceptionCode);
        [[maybe_unused]] ssize_t written = write(fd, text, size_t(length));
        close(fd);
    }
    return EXCEPTION_EXECUTE_HANDLER;
}

void ArmHook(const qzo::test::PeerArgs& args) {
    std::snprintf(g_hookMarker, sizeof g_hookMarker, "%s", args.empty() ? "" : args[0].c_str());
    qzo::platform::InstallGuardHandler();
    qzo::platform::SetUnhandledExceptionHook(&MarkUnhandled);
}

QZO_PEER_COMMAND(guard_unguarded_fault) {
    ArmHook(args);
    ForbiddenPage page;
    (void)*page.Int();
    return "SURVIVED";
}

QZO_PEER_COMMAND(guard_declined_fault) {
    ArmHook(args);
    ForbiddenPage page;
    std::vector<std::string> calls;
    auto body = [&] { (void)*page.Int(); };
    Guarded(body, &Decline, &calls);
    return "SURVIVED";
}

QZO_PEER_COMMAND(guard_raise_in_guard) {
    ArmHook(args);
    auto body = [] { raise(SIGSEGV); };
    return Guarded(body, &AcceptQuietly) ? "RETURNED" : "HANDLED";
}

// A fault no guard takes reaches the hook and ends the peer by its signal; a signal sent with
// raise is no fault: no guard handles it and the hook never runs.
TEST_F(Guard, FaultsNoGuardTakesEndThePeer) {
    struct Row {
        const char* command;
        const char* marker;  // what the hook wrote ("" when it never ran)
    };
    const Row rows[] = {
        {"guard_unguarded_fault", "C0000005"},
        {"guard_declined_fault", "C0000005"},
        {"guard_raise_in_guard", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command);
        const std::string marker = TempPath(std::string(row.command) + ".hook");
        qzo::test::Peer peer;
        ASSERT_TRUE(peer.Start());
        EXPECT_EQ(peer.Call(std::string(row.command) + " " + marker), "");  // the peer ended
        const qzo::test::PeerExit exit = peer.Wait();
        EXPECT_TRUE(exit.signaled);
        EXPECT_EQ(exit.signal, SIGSEGV);
        EXPECT_EQ(qzo::test::FileExists(marker), *row.marker != 0);
        if (*row.marker) {
            EXPECT_EQ(qzo::test::ReadFileBytes(marker), row.marker);
        }
    }
}

}  // namespace
