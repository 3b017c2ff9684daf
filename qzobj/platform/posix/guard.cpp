// The signal-based fault guard: one permanent handler for the fault signals, a per-thread stack
// of sigsetjmp frames, and the translation of signal information into Windows exception records.
#include "qzobj/platform/guard.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <mutex>

#include "qzobj/platform/stack.h"

namespace qzo::platform {
namespace {

std::atomic<UnhandledExceptionHook> g_unhandledHook{nullptr};

}  // namespace

UnhandledExceptionHook SetUnhandledExceptionHook(UnhandledExceptionHook hook) {
    return g_unhandledHook.exchange(hook);
}

bool SignalGuardEnabled() {
    return QZO_SIGNAL_GUARD != 0;
}

#if QZO_SIGNAL_GUARD

// What Windows structured exception handling guarantees: a hardware fault inside a __try block
// runs the block's filter on the faulting thread, innermost block first, and a filter that
// answers EXCEPTION_EXECUTE_HANDLER resumes execution after that block, whatever the fault was.
//
// How we get it: one SA_SIGINFO handler serves SIGSEGV, SIGBUS, SIGFPE and SIGILL for the whole
// process. RunGuarded pushes a frame holding a sigjmp_buf onto a thread-local stack; the handler
// builds an EXCEPTION_RECORD and CONTEXT from siginfo and ucontext, asks the frames' filters
// innermost first, and siglongjmps to the first frame whose filter accepts. Each guarded thread
// gets an alternate signal stack, so a stack overflow can still be reported and handled. A fault
// nobody accepts goes to the unhandled-exception hook; then the previous disposition (normally
// the default) is restored and the handler returns, so the instruction faults again and the
// process dies by its signal, as an unhandled exception ends a Windows process.
//
// What we cannot promise: siglongjmp does not unwind. Destructors of the abandoned frames do not
// run and locks they hold stay taken, and a fault inside the C library may leave its state
// inconsistent. Guarded bodies must therefore be leaf code that reads caller memory and holds no
// lock and no object with a destructor while it can fault. Filters run inside the signal
// handler: they must not allocate or lock (AnalyseException writes through fixed buffers).
// Execution cannot continue at the faulting instruction (EXCEPTION_CONTINUE_EXECUTION counts as
// EXCEPTION_CONTINUE_SEARCH).

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr size_t kFaultSignalCount = sizeof(kFaultSignals) / sizeof(kFaultSignals[0]);
// Room for the filters: AnalyseException formats through several message buffers.
constexpr size_t kAlternateStackBytes = 256 * 1024;
// Faults this far below the lowest usable stack address still count as stack overflow: a frame
// larger than the guard region can step over it.
constexpr uintptr_t kOverflowSlack = 64 * 1024;

struct GuardFrame {
    sigjmp_buf jump;
    ExceptionFilter filter;
    void* filterContext;
    GuardFrame* outer;
    volatile DWORD faultCode;
};

// Per-thread guard state. Initial-exec TLS is a fixed offset from the thread pointer, so the
// handler reads it without calling into the loader.
struct ThreadGuard {
    GuardFrame* top;
    void* alternateStack;  // our mapping (guard page included), null when we made none
    size_t alternateStackMapping;
    bool prepared;
    int handlerDepth;
};
thread_local ThreadGuard t_guard __attribute__((tls_model("initial-exec"))) = {};

struct sigaction g_previous[kFaultSignalCount];
std::once_flag g_installOnce;
pthread_key_t g_alternateStackKey;

size_t SignalIndex(int signal) {
    for (size_t i = 0; i < kFaultSignalCount; ++i)
        if (kFaultSignals[i] == signal) return i;
    return 0;
}

void RestorePreviousDisposition(int signal) {
    sigaction(signal, &g_previous[SignalIndex(signal)], nullptr);
}

void UnblockFaultSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kFaultSignals) sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool IsStackOverflow(uintptr_t faultAddress) {
    StackRange range;
    if (!CachedThreadStackRange(range)) return false;
    const uintptr_t slack = range.guardSize + kOverflowSlack;
    const uintptr_t bottom = range.low > slack ? range.low - slack : 0;
    return faultAddress >= bottom && faultAddress < range.low + PageSize();
}

DWORD SegmentationCode(uintptr_t faultAddress) {
    return IsStackOverflow(faultAddress) ? EXCEPTION_STACK_OVERFLOW : EXCEPTION_ACCESS_VIOLATION;
}

DWORD FloatingPointCode(int code) {
    switch (code) {
        case FPE_INTDIV:
            return EXCEPTION_INT_DIVIDE_BY_ZERO;
        case FPE_INTOVF:
            return EXCEPTION_INT_OVERFLOW;
        case FPE_FLTDIV:
            return EXCEPTION_FLT_DIVIDE_BY_ZERO;
        case FPE_FLTOVF:
            return EXCEPTION_FLT_OVERFLOW;
        case FPE_FLTUND:
            return EXCEPTION_FLT_UNDERFLOW;
        case FPE_FLTRES:
            return EXCEPTION_FLT_INEXACT_RESULT;
        case FPE_FLTSUB:
            return EXCEPTION_ARRAY_BOUNDS_EXCEEDED;
        default:
            return EXCEPTION_FLT_INVALID_OPERATION;
    }
}

DWORD ExceptionCode(int signal, const siginfo_t* info) {
    const auto faultAddress = reinterpret_cast<uintptr_t>(info->si_addr);
    switch (signal) {
        case SIGSEGV:
            return SegmentationCode(faultAddress);
        case SIGBUS:
            return info->si_code == BUS_ADRALN ? EXCEPTION_DATATYPE_MISALIGNMENT
                                               : EXCEPTION_IN_PAGE_ERROR;
        case SIGFPE:
            return FloatingPointCode(info->si_code);
        default:
            return (info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG)
                       ? EXCEPTION_PRIV_INSTRUCTION
                       : EXCEPTION_ILLEGAL_INSTRUCTION;
    }
}

void FillContext(CONTEXT& context, const ucontext_t* machine) {
#if defined(__x86_64__)
    const greg_t* registers = machine->uc_mcontext.gregs;
    context.Rax = ULONGLONG(registers[REG_RAX]);
    context.Rbx = ULONGLONG(registers[REG_RBX]);
    context.Rcx = ULONGLONG(registers[REG_RCX]);
    context.Rdx = ULONGLONG(registers[REG_RDX]);
    context.Rsi = ULONGLONG(registers[REG_RSI]);
    context.Rdi = ULONGLONG(registers[REG_RDI]);
    context.Rsp = ULONGLONG(registers[REG_RSP]);
    context.Rbp = ULONGLONG(registers[REG_RBP]);
    context.R8 = ULONGLONG(registers[REG_R8]);
    context.R9 = ULONGLONG(registers[REG_R9]);
    context.R10 = ULONGLONG(registers[REG_R10]);
    context.R11 = ULONGLONG(registers[REG_R11]);
    context.R12 = ULONGLONG(registers[REG_R12]);
    context.R13 = ULONGLONG(registers[REG_R13]);
    context.R14 = ULONGLONG(registers[REG_R14]);
    context.R15 = ULONGLONG(registers[REG_R15]);
    context.Rip = ULONGLONG(registers[REG_RIP]);
    context.EFlags = DWORD(registers[REG_EFL]);
    // cs, gs, fs and (on newer kernels) ss share one 64-bit slot, 16 bits each.
    const auto segments = ULONGLONG(registers[REG_CSGSFS]);
    context.SegCs = WORD(segments & 0xFFFF);
    context.SegGs = WORD((segments >> 16) & 0xFFFF);
    context.SegFs = WORD((segments >> 32) & 0xFFFF);
    context.SegSs = WORD((segments >> 48) & 0xFFFF);
    // ds and es are not saved on x86-64; the handler runs with the same values.
    WORD segment = 0;
    asm volatile("mov %%ds, %0" : "=r"(segment));
    context.SegDs = segment;
    asm volatile("mov %%es, %0" : "=r"(segment));
    context.SegEs = segment;
#else
    (void)context;
    (void)machine;
#endif
}

void* InstructionAddress(int signal, const siginfo_t* info, const ucontext_t* machine) {
#if defined(__x86_64__)
    (void)signal;
    (void)info;
    return reinterpret_cast<void*>(machine->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    (void)signal;
    (void)info;
    return reinterpret_cast<void*>(machine->uc_mcontext.pc);
#else
    (void)machine;
    return signal == SIGSEGV ? nullptr : info->si_addr;
#endif
}

// 1 when the faulting access was a write, 0 for a read or when the platform does not say.
uintptr_t AccessKind(const ucontext_t* machine) {
#if defined(__x86_64__)
    return (machine->uc_mcontext.gregs[REG_ERR] & 0x2) ? 1 : 0;
#else
    (void)machine;
    return 0;
#endif
}

void FillRecord(EXCEPTION_RECORD& record, int signal, const siginfo_t* info,
                const ucontext_t* machine) {
    record.ExceptionCode = ExceptionCode(signal, info);
    record.ExceptionAddress = InstructionAddress(signal, info, machine);
    if (signal == SIGSEGV || signal == SIGBUS) {
        record.NumberParameters = 2;
        record.ExceptionInformation[0] = AccessKind(machine);
        record.ExceptionInformation[1] = reinterpret_cast<uintptr_t>(info->si_addr);
    }
}

// The signal's default action: for a fault signal, ending the process (with a core dump).
void RestoreDefaultAction(int signal) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
}

// Signals sent with kill, raise, tgkill or sigqueue are not faults: hand them to the previous
// disposition (normally the default action, which ends the process) once this handler returns.
void PassOn(int signal) {
    RestorePreviousDisposition(signal);
    raise(signal);
}

void OnFaultSignal(int signal, siginfo_t* info, void* machineContext) {
    const int savedErrno = errno;
    if (!info || info->si_code <= 0) {
        PassOn(signal);
        errno = savedErrno;
        return;
    }
    const auto* machine = static_cast<const ucontext_t*>(machineContext);
    EXCEPTION_RECORD record{};
    CONTEXT context{};
    FillContext(context, machine);
    FillRecord(record, signal, info, machine);
    EXCEPTION_POINTERS pointers{&record, &context};

    ++t_guard.handlerDepth;
    for (GuardFrame* frame = t_guard.top; frame; frame = frame->outer) {
        const LONG verdict = frame->filter ? frame->filter(&pointers, frame->filterContext)
                                           : EXCEPTION_EXECUTE_HANDLER;
        if (verdict != EXCEPTION_EXECUTE_HANDLER) continue;
        // Frames inside the accepting one are abandoned with their bodies.
        t_guard.top = frame->outer;
        frame->faultCode = record.ExceptionCode;
        --t_guard.handlerDepth;
        // sigsetjmp(..., 0) saved no signal mask, and the kernel blocked the fault signals for
        // the handler: unblock them so the next guarded fault on this thread is seen.
        UnblockFaultSignals();
        errno = savedErrno;
        siglongjmp(frame->jump, 1);
    }
    UnhandledExceptionHook hook = g_unhandledHook.load();
    if (hook) hook(&pointers);
    --t_guard.handlerDepth;
    // After the hook's report the fault ends the process with the signal's default action (the
    // instruction faults again on return), whatever handler another component had before us.
    if (hook)
        RestoreDefaultAction(signal);
    else
        RestorePreviousDisposition(signal);
    errno = savedErrno;
}

// std::terminate (an uncaught C++ exception, or a noexcept function throwing): report it to the
// unhandled-exception hook as an exception of our own code, then let the previous terminate
// handler (normally abort) end the process.
std::terminate_handler g_previousTerminate = nullptr;

[[noreturn]] void OnTerminate() {
    if (UnhandledExceptionHook hook = g_unhandledHook.load()) {
        ucontext_t machine{};
        EXCEPTION_RECORD record{};
        CONTEXT context{};
        if (getcontext(&machine) == 0) FillContext(context, &machine);
        record.ExceptionCode = kUncaughtCppExceptionCode;
        record.ExceptionAddress = __builtin_return_address(0);
        EXCEPTION_POINTERS pointers{&record, &context};
        hook(&pointers);
    }
    if (g_previousTerminate && g_previousTerminate != &OnTerminate) g_previousTerminate();
    RestoreDefaultAction(SIGABRT);
    abort();
}

// Thread exit: drop the alternate stack before its memory goes.
void ReleaseAlternateStack(void* mapping) {
    if (!mapping) return;
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) &&
        static_cast<char*>(current.ss_sp) == static_cast<char*>(mapping) + PageSize()) {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
    }
    munmap(mapping, t_guard.alternateStackMapping);
    t_guard.alternateStack = nullptr;
    t_guard.alternateStackMapping = 0;
    t_guard.prepared = false;
}

// Puts our handler in place for every fault signal, keeping what was there the first time as the
// previous disposition.
void SetFaultHandlers(bool keepPrevious) {
    struct sigaction action {};
    action.sa_sigaction = &OnFaultSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // A second fault while filters run would find the frames half consumed: keep every fault
    // signal blocked in the handler, so such a fault ends the process at once.
    sigemptyset(&action.sa_mask);
    for (int signal : kFaultSignals) sigaddset(&action.sa_mask, signal);
    for (size_t i = 0; i < kFaultSignalCount; ++i)
        sigaction(kFaultSignals[i], &action, keepPrevious ? &g_previous[i] : nullptr);
}

void InstallOnce() {
    pthread_key_create(&g_alternateStackKey, &ReleaseAlternateStack);
    SetFaultHandlers(true);
    g_previousTerminate = std::set_terminate(&OnTerminate);
}

// Gives the thread an alternate signal stack (unless it has one) with a guard page below it.
void ProvideAlternateStack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE)) return;
    const size_t page = PageSize();
    const size_t mappingBytes = kAlternateStackBytes + page;
    void* mapping = mmap(nullptr, mappingBytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) return;
    mprotect(mapping, page, PROT_NONE);
    stack_t alternate{};
    alternate.ss_sp = static_cast<char*>(mapping) + page;
    alternate.ss_size = kAlternateStackBytes;
    if (sigaltstack(&alternate, nullptr) != 0) {
        munmap(mapping, mappingBytes);
        return;
    }
    t_guard.alternateStack = mapping;
    t_guard.alternateStackMapping = mappingBytes;
    pthread_setspecific(g_alternateStackKey, mapping);
}

void PrepareThread() {
    if (t_guard.prepared) return;
    InstallGuardHandler();
    StackRange range;
    ThreadStackRange(range);  // cached for the handler's stack-overflow test and stack walks
    ProvideAlternateStack();
    t_guard.prepared = true;
}

}  // namespace

void InstallGuardHandler() {
    std::call_once(g_installOnce, &InstallOnce);
}

void ReinstallGuardHandler() {
    InstallGuardHandler();
    SetFaultHandlers(false);
    if (std::get_terminate() != &OnTerminate) {
        std::terminate_handler previous = std::set_terminate(&OnTerminate);
        if (previous != &OnTerminate) g_previousTerminate = previous;
    }
}

bool InFaultHandler() {
    return t_guard.handlerDepth > 0;
}

bool RunGuarded(void (*body)(void*), void* arg, ExceptionFilter filter, void* filterContext,
                DWORD* faultCode) {
    if (!body) return true;
    PrepareThread();
    GuardFrame frame;
    frame.filter = filter;
    frame.filterContext = filterContext;
    frame.outer = t_guard.top;
    frame.faultCode = 0;
    if (sigsetjmp(frame.jump, 0) != 0) {
        // Back from the handler: it has already popped this frame.
        if (faultCode) *faultCode = frame.faultCode;
        return false;
    }
    t_guard.top = &frame;
    try {
        body(arg);
    } catch (...) {
        t_guard.top = frame.outer;
        throw;
    }
    t_guard.top = frame.outer;
    return true;
}

#else  // QZO_SIGNAL_GUARD

// Sanitizer builds: the sanitizers own the fault signals, so bodies run unguarded.
void InstallGuardHandler() {}

void ReinstallGuardHandler() {}

bool InFaultHandler() {
    return false;
}

bool RunGuarded(void (*body)(void*), void* arg, ExceptionFilter, void*, DWORD*) {
    if (body) body(arg);
    return true;
}

#endif  // QZO_SIGNAL_GUARD

}  // namespace qzo::platform
