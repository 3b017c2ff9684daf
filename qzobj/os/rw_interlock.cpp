// COSRWInterlock: the recursive reader-writer lock. The readers together hold the write token
// that a writer takes alone; reader slots bound the readers to 32; the upgrade token orders
// readers that ask to write; the writers-done event holds new readers back while a writer waits.
#include "qzobj/diag.h"
#include "qzobj/os.h"
#include "qzobj/os/os_critical_section.h"
#include "qzobj/platform/site_tags.h"
#include "qzobj/platform/sync.h"
#include "qzobj/platform/system.h"
#include "qzobj/uikit.h"

using qzo::platform::CurrentThreadId;
using qzo::platform::ManualResetEvent;
using qzo::platform::Semaphore;

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// Misuse that points to a lost or unmatched lock.
void ReportMisuse(const WCHAR* text) {
    if (IsDebugOn()) wPrintf(3, 1, text);
}

void BeepLostLock(int line) {
    DetailedMessageBeep(MB_ICONEXCLAMATION, qzo::platform::site::kCosobj, line);
}

void Increment(std::atomic<DWORD>& counter) {
    counter.store(counter.load(kRelaxed) + 1, kRelaxed);
}

}  // namespace

// Holds the interlock's guard for a scope. Nothing waits while a Guard is alive.
class COSRWInterlock::Guard {
  public:
    explicit Guard(COSRWInterlock& lock) : mutex_(qzo::os::MutexIn(lock.m_csGuard)) {
        mutex_.Enter();
    }
    ~Guard() { mutex_.Leave(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

  private:
    qzo::platform::RecursiveMutex& mutex_;
};

COSRWInterlock::COSRWInterlock()
    : m_hWriteToken(new Semaphore(1, 1)),
      m_hUpgradeToken(new Semaphore(1, 1)),
      m_hReaderSlots(new Semaphore(kMaxReaders, kMaxReaders)),
      m_hWritersDone(new ManualResetEvent(true)) {
    qzo::os::ConstructMutex(m_csGuard, 4000);
}

COSRWInterlock::~COSRWInterlock() {
    if (IsDebugOn()) {
        if (uWrite.load(kRelaxed) != 0)
            wPrintf(0, 4, u"\rCOSRWInterlock::~COSRWInterlock: uWrite != 0\r\n");
        if (uRead.load(kRelaxed) != 0)
            wPrintf(0, 4, u"\rCOSRWInterlock::~COSRWInterlock: uRead != 0\r\n");
        if (WriteReadRecursion.load(kRelaxed) != 0)
            wPrintf(0, 4, u"\rCOSRWInterlock::~COSRWInterlock: WriteReadRecursion != 0\r\n");
    }
    qzo::os::DestroyMutex(m_csGuard);
}

// ---- slots (called under the guard) ---------------------------------------------------------

int COSRWInterlock::FindSlot(DWORD thread) const {
    for (int i = 0; i < kMaxReaders; ++i)
        if (OwningThreadRead[i].load(kRelaxed) == thread) return i;
    return -1;
}

bool COSRWInterlock::OtherUnmarkedReader(DWORD self) const {
    for (int i = 0; i < kMaxReaders; ++i) {
        const DWORD thread = OwningThreadRead[i].load(kRelaxed);
        if (thread != 0 && thread != self && !(m_uReadRecursion[i].load(kRelaxed) & kUpgradeMark))
            return true;
    }
    return false;
}

void COSRWInterlock::RegisterRead(DWORD self) {
    const int slot = FindSlot(0);
    if (slot >= 0) {
        OwningThreadRead[slot].store(self, kRelaxed);
        m_uReadRecursion[slot].store(1, kRelaxed);
    } else if (IsDebugOn()) {
        wPrintf(3, 5, u"\rCOSRWInterlock::RegisterRead: OwningThreadRead contention\r\n");
    }
    Increment(uRead);
}

void COSRWInterlock::SetWritersDoneIfNoneWait() {
    Guard guard(*this);
    if (m_uWaitingWriters.load(kRelaxed) == 0) m_hWritersDone->Set();
}

DWORD COSRWInterlock::GetThreadReadCount() const {
    Guard guard(const_cast<COSRWInterlock&>(*this));
    const int slot = FindSlot(CurrentThreadId());
    return slot < 0 ? 0 : m_uReadRecursion[slot].load(kRelaxed) & ~kUpgradeMark;
}

// ---- writing --------------------------------------------------------------------------------

void COSRWInterlock::EnterWrite() {
    const DWORD self = CurrentThreadId();
    if (m_dwWriter.load(kRelaxed) == self) {
        Increment(uWrite);
        return;
    }
    if (TakeWriteAtOnce(self)) return;
    int slot = -1;
    {
        Guard guard(*this);
        m_hWritersDone->Reset();
        Increment(m_uWaitingWriters);
        if (uRead.load(kRelaxed) != 0) slot = FindSlot(self);
        if (slot >= 0) m_uReadRecursion[slot].fetch_or(kUpgradeMark, kRelaxed);
    }
    if (slot >= 0)
        UpgradeToWrite(self);
    else
        WaitForWriteToken(self);
}

bool COSRWInterlock::TakeWriteAtOnce(DWORD self) {
    if (!m_hWriteToken->TryWait()) return false;
    m_hWritersDone->Reset();
    m_dwWriter.store(self, kRelaxed);
    Increment(uWrite);
    return true;
}

// A reader that asks to write: its slot is marked, so other upgrading readers do not wait for
// it. The holder of the upgrade token goes first, once every other reader has left or is marked.
// The readers' hold on the write token stays; the writer is one of them.
void COSRWInterlock::UpgradeToWrite(DWORD self) {
    m_hUpgradeToken->Wait(INFINITE);
    for (unsigned round = 0;; ++round) {
        {
            Guard guard(*this);
            if (!OtherUnmarkedReader(self)) {
                m_dwWriter.store(self, kRelaxed);
                Increment(uWrite);
                return;
            }
        }
        // Yield first; a reader that stays long is then polled once a millisecond instead of
        // keeping a processor busy.
        if (round < 200)
            qzo::platform::YieldProcessor();
        else
            qzo::platform::Sleep(1);
    }
}

void COSRWInterlock::WaitForWriteToken(DWORD self) {
    m_hWriteToken->Wait(INFINITE);
    m_dwWriter.store(self, kRelaxed);
    Increment(uWrite);
    Guard guard(*this);
    m_uWaitingWriters.store(m_uWaitingWriters.load(kRelaxed) - 1, kRelaxed);
}

void COSRWInterlock::LeaveWrite() {
    const DWORD self = CurrentThreadId();
    const DWORD writes = uWrite.load(kRelaxed);
    // A thread that is not the writer would release another thread's write lock.
    if (writes == 0 || m_dwWriter.load(kRelaxed) != self) {
        ReportMisuse(u"\rCOSRWInterlock::LeaveWrite: Called without according lock\r\n");
        return;
    }
    uWrite.store(writes - 1, kRelaxed);
    if (writes > 1) return;

    m_dwWriter.store(0, kRelaxed);
    SetWritersDoneIfNoneWait();
    if (WriteReadRecursion.load(kRelaxed) != 0) {
        ReportMisuse(u"\rCOSRWInterlock::LeaveWrite: Called while recursive reads pending\r\n");
        BeepLostLock(qzo::platform::site::kLeaveWriteWithReads);
        WriteReadRecursion.store(0, kRelaxed);
    }
    bool upgraded;
    {
        Guard guard(*this);
        upgraded = uRead.load(kRelaxed) != 0;
        if (upgraded) ReleaseUpgrade(self);
    }
    if (!upgraded) m_hWriteToken->Release(1);
}

// Under the guard: an upgraded writer goes back to reading. The write token stays with the
// readers; the next reader waiting to upgrade may go on.
void COSRWInterlock::ReleaseUpgrade(DWORD self) {
    const int slot = FindSlot(self);
    if (slot >= 0) m_uReadRecursion[slot].fetch_and(~kUpgradeMark, kRelaxed);
    m_hUpgradeToken->Release(1);
    const DWORD waiting = m_uWaitingWriters.load(kRelaxed) - 1;
    m_uWaitingWriters.store(waiting, kRelaxed);
    if (waiting == 0) m_hWritersDone->Set();
}

// ---- reading --------------------------------------------------------------------------------

void COSRWInterlock::EnterRead() {
    const DWORD self = CurrentThreadId();
    if (m_dwWriter.load(kRelaxed) == self) {
        Increment(WriteReadRecursion);
        return;
    }
    for (;;) {
        if (m_hWriteToken->TryWait()) {
            if (ReadFromFreeLock(self)) return;
        } else if (ReadFromHeldLock(self)) {
            return;
        }
    }
}

// The write token was free and is now ours: become the first reader, unless a writer waits.
bool COSRWInterlock::ReadFromFreeLock(DWORD self) {
    if (m_uWaitingWriters.load(kRelaxed) == 0) {
        m_hReaderSlots->Wait(INFINITE);
        Guard guard(*this);
        RegisterRead(self);
        return true;
    }
    m_hWriteToken->Release(1);
    m_hWritersDone->Wait(INFINITE);
    return false;
}

// The write token is held by a writer or by the readers.
bool COSRWInterlock::ReadFromHeldLock(DWORD self) {
    if (m_dwWriter.load(kRelaxed) != 0) {
        m_hWritersDone->Wait(INFINITE);
        return false;
    }
    bool readersHold;
    {
        Guard guard(*this);
        readersHold = uRead.load(kRelaxed) != 0;
        const int slot = readersHold ? FindSlot(self) : -1;
        if (slot >= 0) {
            // A registered reader reads again even while a writer waits.
            Increment(m_uReadRecursion[slot]);
            Increment(uRead);
            return true;
        }
    }
    if (readersHold) return JoinReaders(self);
    // The token changes hands right now (a writer or the first reader is taking it).
    qzo::platform::YieldProcessor();
    return false;
}

// Joins the readers that hold the write token, taking a reader slot first (waiting for one
// when 32 readers are registered).
bool COSRWInterlock::JoinReaders(DWORD self) {
    m_hReaderSlots->Wait(INFINITE);
    {
        Guard guard(*this);
        const bool writerWaits = m_uWaitingWriters.load(kRelaxed) != 0;
        if (!writerWaits && uRead.load(kRelaxed) != 0) {
            RegisterRead(self);
            return true;
        }
        m_hReaderSlots->Release(1);
        if (!writerWaits) return false;  // the readers have just gone: try the token again
    }
    m_hWritersDone->Wait(INFINITE);
    return false;
}

void COSRWInterlock::LeaveRead() {
    const DWORD self = CurrentThreadId();
    if (m_dwWriter.load(kRelaxed) == self) {
        const DWORD reads = WriteReadRecursion.load(kRelaxed);
        if (reads == 0) {
            ReportMisuse(
                u"\rCOSRWInterlock::LeaveRead (write-recursive): Called without according "
                u"lock\r\n");
            BeepLostLock(qzo::platform::site::kLeaveReadWithoutLock);
        } else {
            WriteReadRecursion.store(reads - 1, kRelaxed);
        }
        return;
    }
    Guard guard(*this);
    const int slot = FindSlot(self);
    if (slot < 0) {
        ReportMisuse(u"\rCOSRWInterlock::LeaveRead: Leave called for unregistered ThreadID\r\n");
        return;
    }
    const DWORD count = m_uReadRecursion[slot].load(kRelaxed);
    if ((count & ~kUpgradeMark) == 0) {
        ReportMisuse(u"\rCOSRWInterlock::LeaveRead: Recursion count was already 0\r\n");
        return;
    }
    m_uReadRecursion[slot].store(count - 1, kRelaxed);
    if (count - 1 == 0) {
        OwningThreadRead[slot].store(0, kRelaxed);
        m_hReaderSlots->Release(1);
    }
    const DWORD reads = uRead.load(kRelaxed);
    if (reads == 0) return;
    uRead.store(reads - 1, kRelaxed);
    if (reads == 1) m_hWriteToken->Release(1);
}

// ---- scope locks ----------------------------------------------------------------------------

COSRWRAutoLock::COSRWRAutoLock(COSRWInterlock* interlock) : m_pInterlock(interlock) {
    if (m_pInterlock) m_pInterlock->EnterRead();
}

COSRWRAutoLock::~COSRWRAutoLock() {
    if (m_pInterlock) m_pInterlock->LeaveRead();
}

COSRWWAutoLock::COSRWWAutoLock(COSRWInterlock* interlock) : m_pInterlock(interlock) {
    if (m_pInterlock) m_pInterlock->EnterWrite();
}

COSRWWAutoLock::~COSRWWAutoLock() {
    if (m_pInterlock) m_pInterlock->LeaveWrite();
}
