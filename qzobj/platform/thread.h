// Threads as kernel objects: create (optionally suspended at a start gate), suspend, resume,
// terminate, priorities and exit codes, with Windows semantics.
#pragma once

#include <cstddef>

#include "qzobj/platform/kernel_objects.h"
#include "qzobj/types.h"

namespace qzo::platform {

using ThreadStartRoutine = DWORD (*)(void* parameter);

inline constexpr DWORD kStillActive = 259;
inline constexpr DWORD kSuspendFailed = 0xFFFFFFFFu;
inline constexpr int kThreadPriorityErrorReturn = 0x7FFFFFFF;

// Creates a thread that runs start(parameter); its result becomes the exit code. With
// `suspended` the thread waits at its start gate with a suspend count of 1 until ResumeThread
// brings the count to 0. The handle (kind Thread) is signalled when the thread ends or is
// terminated. A stack size of 0 takes the default. Returns 0 with the last error set on
// failure; the thread's ID goes to *threadId when not null.
KernelHandle CreateThread(size_t stackSize, ThreadStartRoutine start, void* parameter,
                          bool suspended, DWORD* threadId);

// Suspends by a real-time signal whose handler parks the thread until it is resumed; the caller
// returns once the thread is parked. A thread at its start gate only counts up. Returns the
// previous suspend count, or 0xFFFFFFFF (last error 6 for a bad handle, 5 for a thread that has
// ended).
DWORD SuspendThread(KernelHandle thread);
// Counts down; at 0 the thread goes on. Returns the previous suspend count (0: nothing
// changed), or 0xFFFFFFFF with the last error set.
DWORD ResumeThread(KernelHandle thread);

// Ends the thread's part in the program: its handle is signalled with `exitCode` and the thread
// never runs again. A thread that has not passed its start gate ends there without running its
// function. One that has passed it is parked for good: its stack and any locks it holds stay
// taken (nothing can unwind a thread from outside). False (last error 5) when it has ended.
bool TerminateThread(KernelHandle thread, DWORD exitCode);

// 259 while the thread has not ended.
bool GetExitCodeThread(KernelHandle thread, DWORD* exitCode);

// Priorities -15, -2..2 and 15 map to nice values; see qzobj/threads.h. SetThreadPriority fails
// with 87 for other values; where raising is not permitted the thread keeps the nice value it
// may have, and the priority asked for is still the one reported.
int GetThreadPriority(KernelHandle thread);
bool SetThreadPriority(KernelHandle thread, int priority);

// The system ID of the thread behind a handle; 0 with last error 6 for a bad handle.
DWORD GetThreadId(KernelHandle thread);

}  // namespace qzo::platform
