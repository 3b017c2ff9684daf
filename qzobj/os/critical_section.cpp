// COSCriticalSection and COSAutoLock: counted entries on the platform's recursive mutex, with
// the contention and misuse reports printed while debug output is on.
#include "qzobj/diag.h"
#include "qzobj/memory.h"
#include "qzobj/os.h"
#include "qzobj/os/os_critical_section.h"
#include "qzobj/platform/site_tags.h"
#include "qzobj/platform/sync.h"
#include "qzobj/platform/system.h"
#include "qzobj/qzoplatu.h"
#include "qzobj/uikit.h"

namespace {

using qzo::os::MutexIn;
using qzo::platform::RecursiveMutex;

// Set while a thread prints a contention report. Address lookup and the debug output may take
// critical sections of their own; contention on those must not start a report inside a report.
thread_local bool t_reporting = false;

class ReportScope {
  public:
    ReportScope() { t_reporting = true; }
    ~ReportScope() { t_reporting = false; }
};

// Prints "<< name >>\r\n" for a code address that resolves to a module and symbol; false when
// it does not.
bool PrintAddress(void* address) {
    if (!address) return false;
    tagADDRESSINFO info{};
    if (!GetAddressInfo(address, &info)) return false;
    WCHAR name[512];
    if (GetAddressInfoString(address, name, 512) <= 0) return false;
    wPrintf(3, 5, u"<< %s >>\r\n", name);
    return true;
}

}  // namespace

COSCriticalSection::COSCriticalSection(BOOL /*noInitialise*/) {
    // The platform mutex is valid as soon as it is constructed, so a section whose owner forgets
    // Init behaves as a free one instead of failing.
    qzo::os::ConstructMutex(m_cs);
}

COSCriticalSection::COSCriticalSection(DWORD spinCount) {
    qzo::os::ConstructMutex(m_cs, spinCount);
}

COSCriticalSection::~COSCriticalSection() {
    if (m_uLockCnt.load(std::memory_order_relaxed) != 0 && IsDebugOn())
        wPrintf(3, 1,
                u"\r\nCOSCriticalSection::~COSCriticalSection: LockCnt!=0, possible deadlock");
    qzo::os::DestroyMutex(m_cs);
}

void COSCriticalSection::Init() {
    qzo::os::DestroyMutex(m_cs);
    qzo::os::ConstructMutex(m_cs);
    m_uLockCnt.store(0, std::memory_order_relaxed);
}

bool COSCriticalSection::IsOwnedByCurrentThread() const {
    return MutexIn(m_cs).IsOwnedByCurrentThread();
}

// Noinline so that a null caller address names the code that called Enter.
[[gnu::noinline]] void COSCriticalSection::Enter(void* callerAddress) {
    if (!callerAddress) callerAddress = __builtin_return_address(0);
    if (IsDebugOn())
        EnterReporting(callerAddress);
    else
        MutexIn(m_cs).Enter();
    RecordEntry(callerAddress);
}

// The owner and the entry address are recorded on every entry, not only while debug output is
// on, so that a report stays right when debug output is switched on during a holding.
void COSCriticalSection::RecordEntry(void* callerAddress) {
    m_dwOwner.store(MutexIn(m_cs).Owner(), std::memory_order_relaxed);
    const DWORD count = m_uLockCnt.load(std::memory_order_relaxed);
    if (count == 0) m_pEntryAddress.store(callerAddress, std::memory_order_relaxed);
    m_uLockCnt.store(count + 1, std::memory_order_relaxed);
}

void COSCriticalSection::EnterReporting(void* callerAddress) {
    RecursiveMutex& mutex = MutexIn(m_cs);
    const DWORD self = qzo::platform::CurrentThreadId();
    const DWORD count = m_uLockCnt.load(std::memory_order_relaxed);
    const DWORD owner = m_dwOwner.load(std::memory_order_relaxed);
    if (count == 0 || owner == self || t_reporting) {
        mutex.Enter();
        return;
    }
    {
        ReportScope scope;
        wPrintf(3, 5, u"\rCS [LockCnt=%u] owned by %08X ", count, owner);
        PrintAddress(m_pEntryAddress.load(std::memory_order_relaxed));
        wPrintf(3, 5, u"is blocking thread %08X ", self);
        if (!PrintAddress(callerAddress)) wPrintf(3, 5, u"\r");
    }
    const DWORD start = qzo::platform::GetTickCount();
    mutex.Enter();
    const DWORD waited = qzo::platform::GetTickCount() - start;
    ReportScope scope;
    wPrintf(3, 5, u"\r%08X entered CS previously blocked by %08X after %u ms", self, owner, waited);
}

[[gnu::noinline]] BOOL COSCriticalSection::TryEnter() {
    if (!MutexIn(m_cs).TryEnter()) return FALSE;
    RecordEntry(__builtin_return_address(0));
    return TRUE;
}

// Leaving a section the thread does not hold would release another thread's holding or corrupt
// the count; it is reported and changes nothing.
void COSCriticalSection::Leave() {
    const DWORD count = m_uLockCnt.load(std::memory_order_relaxed);
    if (count == 0) {
        if (IsDebugOn())
            wPrintf(3, 1, u"\r\nCOSCriticalSection::Leave: LockCnt==0 on leave, possible deadlock");
        return;
    }
    RecursiveMutex& mutex = MutexIn(m_cs);
    if (!mutex.IsOwnedByCurrentThread()) {
        if (IsDebugOn()) wPrintf(3, 1, u"\r\nCOSCriticalSection::Leave: not owner");
        return;
    }
    m_uLockCnt.store(count - 1, std::memory_order_relaxed);
    mutex.Leave();
}

void* COSCriticalSection::operator new(size_t size) noexcept {
    using namespace qzo::platform::site;
    return qzo::memory::CSHeap().Alloc(static_cast<DWORD>(size), 0, kCosobj, kCriticalSectionNew);
}

void COSCriticalSection::operator delete(void* block) noexcept {
    if (block) qzo::memory::CSHeap().Free(block);
}

// ---- COSAutoLock ------------------------------------------------------------------------------

[[gnu::noinline]] COSAutoLock::COSAutoLock(COSCriticalSection* section) : m_pCS(section) {
    if (m_pCS) m_pCS->Enter(__builtin_return_address(0));
}

[[gnu::noinline]] COSAutoLock::COSAutoLock(COSCriticalSection& section) : m_pCS(&section) {
    m_pCS->Enter(__builtin_return_address(0));
}

COSAutoLock::~COSAutoLock() {
    if (m_pCS) m_pCS->Leave();
}
