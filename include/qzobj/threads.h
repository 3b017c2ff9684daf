// Threads as wait objects: CThread with its tracked status, fire-and-forget auto-threads that
// the library stops at shutdown, and COSFileChangeNotify, which waits for changes of one file.
#pragma once

#include <cstddef>

#include "qzobj/types.h"
#include "qzobj/waitobj.h"

// A thread's start function: its result becomes the thread's exit code.
typedef DWORD (*LPTHREAD_START_ROUTINE)(void* parameter);

#ifndef CREATE_SUSPENDED
#define CREATE_SUSPENDED 0x4u  // creation flag: the thread waits for Resume before it runs
#endif
#ifndef STILL_ACTIVE
#define STILL_ACTIVE 259u  // exit code of a thread that has not ended
#endif
#ifndef THREAD_PRIORITY_ERROR_RETURN
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF
#endif
// Thread priorities. They map to nice values (-15 idle 19, -2 lowest 10, -1 below normal 5,
// 0 normal 0, 1 above normal -5, 2 highest -10, 15 time critical -15); real-time scheduling
// is never used. Where the process may not raise its threads' priority, the thread keeps the
// priority the system allows, and the value asked for is still the one reported.
#ifndef THREAD_PRIORITY_NORMAL
#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#endif
// Change-notification filter bits.
#ifndef FILE_NOTIFY_CHANGE_FILE_NAME
#define FILE_NOTIFY_CHANGE_FILE_NAME 0x1u
#define FILE_NOTIFY_CHANGE_DIR_NAME 0x2u
#define FILE_NOTIFY_CHANGE_ATTRIBUTES 0x4u
#define FILE_NOTIFY_CHANGE_SIZE 0x8u
#define FILE_NOTIFY_CHANGE_LAST_WRITE 0x10u
#endif

namespace qzo::os {
struct ThreadControl;
}

// Owns one thread and tracks its state. The handle is the thread's kernel handle: waits on it
// end when the thread ends or is terminated, and its exit code is 259 while it runs.
//
// Status: 0 created (the function has not started), 1 creation failed, 2 finished or
// terminated, 4 running, 5 suspended. The status and thread ID live in a reference-counted
// control block shared with the thread's entry, never in this object, so destroying a CThread
// while its thread still starts or runs touches no freed memory. A thread that has not yet
// passed its start gate when the CThread is destroyed (just created, or created suspended and
// never resumed) is cancelled there: its function never runs, its status becomes 2 and its
// handle is signalled.
//
// Terminate cannot unwind a thread: a terminated thread is parked for good, and its stack and
// every lock it held stay taken, as they do when a Windows thread is terminated.
//
// Thread safety: status and ID are relaxed atomics written by the thread's entry and by the
// controlling calls without a lock; GetStatus and GetID may be called from any thread at any
// time. Resume, Suspend, SetPriority, GetPriority, GetExitCode and Terminate may be called
// concurrently (the platform serialises them per thread). The destructor must not race with
// other calls on the same object.
class QZOBJ_API CThread : public COSObject {
  public:
    static constexpr DWORD StatusCreated = 0;
    static constexpr DWORD StatusFailed = 1;
    static constexpr DWORD StatusFinished = 2;
    static constexpr DWORD StatusRunning = 4;
    static constexpr DWORD StatusSuspended = 5;
    static constexpr DWORD InvalidThreadID = 0xFFFFFFFFu;

    // Creates the thread on the library's entry function. Status 1 when creation failed (no
    // handle), 5 when `creationFlags` contains CREATE_SUSPENDED, else 0. A stack size of 0
    // takes the default. The security attributes are ignored.
    CThread(LPSECURITY_ATTRIBUTES securityAttributes, DWORD stackSize,
            LPTHREAD_START_ROUTINE startFunction, void* parameter, DWORD creationFlags);
    // Cancels a thread that has not passed its start gate. A running or suspended one is resumed,
    // given 20 ms to finish and terminated (exit code 0) when it is still running then. Closes
    // the handle.
    ~CThread() override;

    // On the process's default heap; new yields null when it is exhausted.
    static void* operator new(size_t size) noexcept;
    static void operator delete(void* block) noexcept;

    DWORD GetStatus() const;
    // The system's thread ID (as GetCurrentThreadId gives it inside the thread); 0xFFFFFFFF once
    // the function returned.
    DWORD GetID() const;
    // The system's result (non-zero on success); 0 without handle. 259 while the thread runs.
    BOOL GetExitCode(DWORD* exitCode);
    // The priority, or 0x7FFFFFFF without handle or while the status is below 4.
    int GetPriority();
    // 0 without handle or for status 1, 2 or 3; else the system's result.
    BOOL SetPriority(int priority);
    // The previous suspend count, or 0xFFFFFFFF without handle or for a status below 4 that is
    // not a thread created suspended. After Resume the status is 5 while the count stays above
    // 0, else 4; after Suspend it is 5, or 4 when the call failed.
    DWORD Resume();
    DWORD Suspend();
    // 1 after terminating a running or suspended thread (status 2 then), else 0.
    BOOL Terminate(DWORD exitCode);

  private:
    qzo::os::ThreadControl* m_pControl;  // shared with the entry; holds status and ID
    LPTHREAD_START_ROUTINE m_pfnStart;
    void* m_pParam;
};

// What an auto-thread's function receives: the start-up event (set it once the parameters are
// taken, to release the creator early) and the caller's parameter.
struct AUTOTHREADINFO {
    HANDLE hStartupEvent;
    void* pParam;
};

// Fire-and-forget worker threads. The library keeps a table of at most 128 live auto-threads
// so that AppExit can stop them; each removes itself when its function returns.
//
// Thread safety: every static member may be called from any thread. The table is guarded by a
// critical section; the exiting flag is an atomic read before and tested again under it. A
// COSAutoThread object is created and deleted by the library only.
class QZOBJ_API COSAutoThread : public COSObject {
  public:
    static constexpr DWORD MaximumThreads = 128;

    // Clears the exiting flag and the table (call before the first CreateAutoThread).
    static void AppInit();
    // Sets the exiting flag; then, for each live auto-thread, waits up to 100 ms for it to end
    // and terminates it (exit code 0) when it has not. After AppExit no auto-thread can be
    // created until the next AppInit.
    static void AppExit();
    // Starts `startFunction` with an AUTOTHREADINFO and waits until the function sets the
    // start-up event or ends (or the thread is terminated). 1 when the thread was started, 0
    // when the library is exiting, the table is full or the thread could not be created. The
    // function runs under catch (...): an exception ends it like a return. The security
    // attributes are ignored.
    static BOOL CreateAutoThread(LPSECURITY_ATTRIBUTES securityAttributes, DWORD stackSize,
                                 LPTHREAD_START_ROUTINE startFunction, void* parameter);
    // Auto-threads in the table now (for diagnostics and tests).
    static DWORD GetActiveCount();

    ~COSAutoThread() override;

  private:
    COSAutoThread(LPTHREAD_START_ROUTINE startFunction, void* parameter, HANDLE startupEvent);
    static DWORD AutoThreadEntry(void* self);

    LPTHREAD_START_ROUTINE m_pfnStart;
    void* m_pParam;
    COSEvent m_StartupEvent;  // a duplicate of the creator's event
    DWORD m_dwSlot;           // index in the table
};

// Waits for changes of one file. It watches the file's folder (not its subtree) and, on each
// signal from the folder, compares the file's directory entry with the one it saw last, so
// Wait returns only for the kinds of change in the filter: 0x1 name (the file appeared,
// disappeared or was renamed), 0x4 attributes, 0x8 size, 0x10 last-write time.
//
// Thread safety: one thread waits on an object at a time (VerifyWaitSuccessful updates the
// recorded entry); construction and destruction must not race with a wait.
class QZOBJ_API COSFileChangeNotify : public COSObject {
  public:
    // Keeps `filter` & 0x1D. No handle for a zero filter, a null or empty path, a path without a
    // file name or a folder that cannot be watched.
    COSFileChangeNotify(const WCHAR* path, DWORD filter);
    ~COSFileChangeNotify() override;

    // 0xFFFFFFFF without handle; else `result` for a change in the filter, 258 for any other
    // signal (Wait then goes on).
    DWORD VerifyWaitSuccessful(DWORD result) override;

    DWORD GetFilter() const { return m_dwFilter; }
    const WCHAR* GetPath() const { return m_szPath; }

  private:
    bool LookUpFile(WIN32_FIND_DATAW& entry) const;

    DWORD m_dwFilter;
    WCHAR m_szPath[MAX_PATH];
    WIN32_FIND_DATAW m_LastEntry;  // zero when the file was missing
};
