// The project unique-ID generator (CProjUniID: object IDs from the shared file "PRJ.IDS" of a
// project folder) and CProgressInfo, the progress-window handle of project-wide operations.
#pragma once

#include <cstdint>

#include "qzobj/types.h"

// The first object ID a project hands out; the counter in "PRJ.IDS" never lies below it.
#define PRJIDS_FIRST_ID 1024u
// The number of user slots of "PRJ.IDS": how often one project can be open at once.
#define PRJIDS_USER_SLOTS 256u

// Hands out object IDs that are unique across every thread, process and computer working on one
// project folder. "PRJ.IDS" holds the next free ID (4 bytes, little-endian, never below 1024);
// byte-range locks on it serialise the counter (bytes 0-3), count the users of the project (one
// slot byte each, bytes 4-259) and lock the whole project (all slot bytes at once).
//
// Thread safety: one object is used by one thread at a time; any number of objects, in any
// number of threads and processes, may work on the same file at once (the file's locks do the
// exclusion). A counter lock that cannot be had within 2,000 ms fails the call.
//
// Mended behaviours: Create never truncates and never lowers a live counter; SetStartID only
// raises; a failed or short read or write fails the call without handing out an ID; the counter
// is floored at 1024 on every read; 0xFFFFFFFF is never handed out and reservations running past
// 0xFFFFFFFE fail; a copy opens the file again with its own slot and an empty reservation.
class QZOBJ_API CProjUniID {
  public:
    CProjUniID();
    // Copies open the same file again with a slot of their own and no reserved IDs (or end up
    // closed when that fails); they never share the handle or the reservation.
    CProjUniID(const CProjUniID& other);
    CProjUniID& operator=(const CProjUniID& other);
    ~CProjUniID();

    // Opens "PRJ.IDS" of a registered project, or of a folder. 0 on success; 1 when the file
    // cannot be opened (missing, unregistered project); 2 on a sharing violation, a counter lock
    // timeout or when all 256 user slots are taken; 3 when the counter cannot be read.
    unsigned Open(DWORD projectID);
    unsigned Open(const WCHAR* folder);
    // Creates "PRJ.IDS" when missing and raises its counter to at least `firstID` (and 1024)
    // under the counter lock; an existing higher counter is kept. 0 on success, 1 when the
    // file cannot be created or written, 2 on a sharing violation or counter lock timeout.
    // Leaves this object closed.
    unsigned Create(DWORD projectID, DWORD firstID);
    unsigned Create(const WCHAR* folder, DWORD firstID);
    // Releases the slot (or the project lock) and closes the file; the slot becomes 256.
    void Close();

    // A new object ID, from the reservation first; 0xFFFFFFFF when closed, on a lock timeout,
    // a failed transfer, or when the IDs are exhausted.
    DWORD GetNextID();
    // Takes `count` IDs from the file for this object alone; FALSE when closed, on a lock
    // timeout, a failed transfer, or when the range would run past 0xFFFFFFFE.
    BOOL ReserveIDs(unsigned count);
    // Raises the counter to `id` (at least 1024) unless the file holds a higher one; the
    // reservation is dropped. FALSE when closed, on a lock timeout or a failed transfer.
    BOOL SetStartID(DWORD id);
    // Re-reads the counter: TRUE when it moved since the last read (or the lock timed out).
    BOOL HasChanged();

    // Locks the whole project (nests). 0 on success; the number of other users when they
    // prevent it; 0xFFFFFFFE when the counter lock cannot be had; 256 when not open.
    unsigned LockProject();
    // Releases one level of LockProject; FALSE when not open or not locked, or when the counter
    // lock cannot be had for the last level (the project then stays locked).
    BOOL UnlockProject();

    // State for callers and tools: open or not, the held slot (256 when none), the nesting of
    // LockProject, and the counter as last read.
    BOOL IsOpen() const { return hFile != INVALID_HANDLE_VALUE; }
    unsigned GetUserSlot() const { return uUserSlot; }
    unsigned GetLockCount() const { return uLockCnt; }
    DWORD GetLastCounter() const { return dwNextID; }

  private:
    DWORD dwNextID;      // the counter as last read from the file
    DWORD dwResEnd;      // end of the reserved range (exclusive)
    DWORD dwResNext;     // next reserved ID; the reservation is empty when it equals dwResEnd
    unsigned uUserSlot;  // 0..255, or 256 when none is held
    unsigned uLockCnt;   // nesting depth of LockProject
    HANDLE hFile;        // the open generator file; INVALID_HANDLE_VALUE when closed
};

// Called when the user cancels a progress window: the window's handle and the caller's value.
typedef void (*PROGRESSINFOCALLBACK)(void* progress, uintptr_t value);

// A progress window of the dialog library, as project-wide operations report through it. Used
// by one thread at a time.
class QZOBJ_API CProgressInfo {
  public:
    // A new object on the free store; Destroy deletes it (a null object is fine) and returns
    // TRUE.
    static CProgressInfo* Create();
    BOOL Destroy();

    CProgressInfo();
    ~CProgressInfo();  // closes the window
    CProgressInfo(const CProgressInfo&) = delete;
    CProgressInfo& operator=(const CProgressInfo&) = delete;

    // Opens a window with the title; TRUE when one came. An open window is closed first.
    BOOL Open(const WCHAR* title, DWORD flags, PROGRESSINFOCALLBACK callback, uintptr_t value);
    void SetCustomText(const WCHAR* text);
    // Positions are percentages. TRUE without a window.
    BOOL SetProgress(DWORD position, const WCHAR* text);
    BOOL SetMasterProgress(DWORD position, const WCHAR* text);
    // Closes the window; FALSE when there was none.
    BOOL Close();
    HANDLE GetHandle() const { return hProgress; }

  private:
    HANDLE hProgress;  // the window, null when none
};
