// The project directory: its state, entries, lookups by path and ID, the per-project values,
// enumeration, change notifications and the users that keep the directory alive.
#include <cstdarg>
#include <cstring>

#include "qzobj/diag.h"
#include "qzobj/memory.h"
#include "qzobj/pathkit.h"
#include "qzobj/store/project/prjloc_internal.h"
#include "qzobj/uikit.h"

namespace qzo::store::prjloc {

Directory& Dir() {
    static Directory* directory = new Directory;
    return *directory;
}

namespace {

WCHAR UpperCase(WCHAR c) {
    if (c >= u'a' && c <= u'z') return WCHAR(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return WCHAR(c - 32);  // Latin-1 letters
    return c;
}

// The entry of a project, looked up under cs; the pointer stays valid after unlocking.
PRJLOCENTRY* Lookup(DWORD id) {
    Directory& dir = Dir();
    COSAutoLock lock(dir.cs);
    return FindByIDLocked(id, nullptr);
}

// Frees every entry, linked or retired; the caller holds cs.
void FreeAllLocked(std::vector<PRJLOCENTRY*>& unlinked) {
    Directory& dir = Dir();
    for (DWORD bucket = 0; bucket < kBucketCount; ++bucket) {
        for (PRJLOCENTRY* entry = dir.buckets[bucket]; entry;) {
            PRJLOCENTRY* next = entry->pNext;
            unlinked.push_back(entry);
            entry = next;
        }
        dir.buckets[bucket] = nullptr;
    }
}

}  // namespace

bool NormalisePath(const WCHAR* path, WCHAR (&out)[MAX_PATH]) {
    if (!path) return false;
    size_t length = 0;
    while (length < MAX_PATH && path[length]) ++length;
    if (length == 0 || length >= MAX_PATH) return false;  // never cut: it would name another folder
    for (size_t i = 0; i < length; ++i) out[i] = UpperCase(path[i]);
    out[length] = 0;
    if (!FU_FormatPathEx(out, MAX_PATH, u'/')) return false;
    size_t formatted = 0;
    while (out[formatted]) ++formatted;
    return formatted > 0 && formatted < MAX_PATH;
}

bool FolderSpelling(const WCHAR* path, std::u16string& out) {
    WCHAR buffer[MAX_PATH];
    if (!path) return false;
    size_t length = 0;
    while (length < MAX_PATH && path[length]) ++length;
    if (length == 0 || length >= MAX_PATH) return false;
    std::memcpy(buffer, path, (length + 1) * sizeof(WCHAR));
    if (!FU_FormatPathEx(buffer, MAX_PATH, u'/')) return false;
    out = buffer;
    return true;
}

PRJLOCENTRY* FindByPathLocked(const WCHAR* normalised, DWORD* id) {
    Directory& dir = Dir();
    for (DWORD bucket = 0; bucket < kBucketCount; ++bucket) {
        for (PRJLOCENTRY* entry = dir.buckets[bucket]; entry; entry = entry->pNext) {
            if (FU_PathCompare(entry->szPath, normalised) == 0) {
                if (id) *id = MakeID(bucket, entry->wIDHigh);
                return entry;
            }
        }
    }
    return nullptr;
}

PRJLOCENTRY* FindByIDLocked(DWORD id, PRJLOCENTRY** predecessor) {
    if (predecessor) *predecessor = nullptr;
    if (!IsValidProjectID(id)) return nullptr;
    const WORD high = WORD(id >> 16);
    PRJLOCENTRY* previous = nullptr;
    for (PRJLOCENTRY* entry = Dir().buckets[BucketOf(id)]; entry; entry = entry->pNext) {
        if (entry->wIDHigh > high) break;
        if (entry->wIDHigh == high) {
            if (predecessor) *predecessor = previous;
            return entry;
        }
        previous = entry;
    }
    if (predecessor) *predecessor = previous;
    return nullptr;
}

PRJLOCENTRY* AllocateEntry() {
    void* block = qzo::memory::PrjHeap().Alloc(sizeof(PRJLOCENTRY), HEAP_ZERO_MEMORY,
                                               kAllocationSite, __LINE__);
    if (!block) return nullptr;
    std::memset(block, 0, sizeof(PRJLOCENTRY));
    return static_cast<PRJLOCENTRY*>(block);
}

void FreeEntry(PRJLOCENTRY* entry) {
    if (entry) qzo::memory::PrjHeap().Free(entry);
}

void LinkEntryLocked(PRJLOCENTRY* entry, DWORD id) {
    PRJLOCENTRY* predecessor = nullptr;
    FindByIDLocked(id, &predecessor);
    entry->wIDHigh = WORD(id >> 16);
    PRJLOCENTRY*& head = predecessor ? predecessor->pNext : Dir().buckets[BucketOf(id)];
    entry->pNext = head;
    head = entry;
}

bool UnlinkEntryLocked(DWORD id, PRJLOCENTRY** unlinked) {
    PRJLOCENTRY* predecessor = nullptr;
    PRJLOCENTRY* entry = FindByIDLocked(id, &predecessor);
    if (!entry) return false;
    (predecessor ? predecessor->pNext : Dir().buckets[BucketOf(id)]) = entry->pNext;
    entry->pNext = nullptr;
    Dir().retired.push_back(entry);
    if (unlinked) *unlinked = entry;
    return true;
}

void Notify(const PRJLOCENTRY* entry, DWORD code, DWORD id) {
    Directory& dir = Dir();
    COSAutoLock lock(dir.notify);
    dir.changeNotifies.Notify(const_cast<PRJLOCENTRY*>(entry), code, id);
}

void DebugPrint(int level, const WCHAR* format, ...) {
    if (!IsDebugOn()) return;
    va_list args;
    va_start(args, format);
    vwPrintf(3, level, format, args);
    va_end(args);
}

std::vector<Snapshot> TakeSnapshot() {
    std::vector<Snapshot> snapshot;
    Directory& dir = Dir();
    COSAutoLock lock(dir.cs);
    for (DWORD bucket = 0; bucket < kBucketCount; ++bucket)
        for (PRJLOCENTRY* entry = dir.buckets[bucket]; entry; entry = entry->pNext)
            snapshot.push_back({entry, MakeID(bucket, entry->wIDHigh)});
    return snapshot;
}

std::u16string FormatHex8(DWORD value) {
    static const char16_t kDigits[] = u"0123456789ABCDEF";
    std::u16string text(8, u'0');
    for (int i = 7; i >= 0; --i, value >>= 4) text[size_t(i)] = kDigits[value & 0xF];
    return text;
}

// The library holds one user while it is loaded.
static PrjLocator* g_libraryUser = nullptr;

bool AttachProjectDirectory() {
    if (!g_libraryUser) g_libraryUser = new PrjLocator;
    return true;
}

void DetachProjectDirectory() {
    delete g_libraryUser;
    g_libraryUser = nullptr;
}

}  // namespace qzo::store::prjloc

using namespace qzo::store::prjloc;

PrjLocator::PrjLocator() {
    Directory& dir = Dir();
    COSAutoLock lock(dir.cs);
    if (dir.initCount++ == 0) {
        for (auto& bucket : dir.buckets) bucket = nullptr;
        dir.defHashID = kNoProject;
    }
}

PrjLocator::~PrjLocator() {
    Directory& dir = Dir();
    {
        COSAutoLock lock(dir.cs);
        if (dir.initCount > 1) {
            --dir.initCount;
            return;
        }
    }
    SetWorkingProject(kNoProject);
    std::vector<PRJLOCENTRY*> entries;
    {
        COSAutoLock lock(dir.cs);
        if (--dir.initCount != 0) return;  // a new user came meanwhile
        FreeAllLocked(entries);
    }
    for (PRJLOCENTRY* entry : entries) Notify(entry, PRJLOC_NOTIFY_UNREGISTERING, 0);
    COSAutoLock lock(dir.cs);
    for (PRJLOCENTRY* entry : entries) FreeEntry(entry);
    for (PRJLOCENTRY* entry : dir.retired) FreeEntry(entry);
    dir.retired.clear();
    COSAutoLock notifyLock(dir.notify);
    dir.changeNotifies.Free();
}

DWORD PrjLocator::FindProject(const WCHAR* path) {
    WCHAR normalised[MAX_PATH];
    if (!NormalisePath(path, normalised)) return kNoProject;
    DWORD id = kNoProject;
    COSAutoLock lock(Dir().cs);
    return FindByPathLocked(normalised, &id) ? id : kNoProject;
}

DWORD PrjLocator::GetDefPrjID() {
    return Dir().defHashID;
}

const WCHAR* PrjLocator::GetPrjPath(DWORD id) {
    PRJLOCENTRY* entry = Lookup(id);
    return entry ? entry->szPath : nullptr;
}

const WCHAR* PrjLocator::GetPrjName(DWORD id) {
    PRJLOCENTRY* entry = Lookup(id);
    return entry ? entry->pszName : nullptr;
}

const WCHAR* PrjLocator::GetDefPrjPath() {
    return GetPrjPath(GetDefPrjID());
}
const WCHAR* PrjLocator::GetDefPrjName() {
    return GetPrjName(GetDefPrjID());
}

BOOL PrjLocator::SetPrjCustomData(DWORD id, void* data) {
    COSAutoLock lock(Dir().cs);
    PRJLOCENTRY* entry = FindByIDLocked(id, nullptr);
    if (!entry) return FALSE;
    entry->pCustomData = data;
    return TRUE;
}

void* PrjLocator::GetPrjCustomData(DWORD id) {
    COSAutoLock lock(Dir().cs);
    PRJLOCENTRY* entry = FindByIDLocked(id, nullptr);
    return entry ? entry->pCustomData : nullptr;
}

BOOL PrjLocator::SetDefPrjCustomData(void* data) {
    return SetPrjCustomData(GetDefPrjID(), data);
}
void* PrjLocator::GetDefPrjCustomData() {
    return GetPrjCustomData(GetDefPrjID());
}

BOOL PrjLocator::SetPrjDataPath(DWORD id, const WCHAR* path) {
    size_t length = 0;
    if (path)
        while (length < MAX_PATH && path[length]) ++length;
    if (length >= MAX_PATH) return FALSE;
    COSAutoLock lock(Dir().cs);
    PRJLOCENTRY* entry = FindByIDLocked(id, nullptr);
    if (!entry) return FALSE;
    std::memset(entry->szDataPath, 0, sizeof entry->szDataPath);
    if (length) std::memcpy(entry->szDataPath, path, length * sizeof(WCHAR));
    return TRUE;
}

const WCHAR* PrjLocator::GetPrjDataPath(DWORD id) {
    PRJLOCENTRY* entry = Lookup(id);
    return entry ? entry->szDataPath : nullptr;
}

BOOL PrjLocator::SetDefPrjDataPath(const WCHAR* path) {
    return SetPrjDataPath(GetDefPrjID(), path);
}

DWORD PrjLocator::GetPrjVersion(DWORD id) {
    COSAutoLock lock(Dir().cs);
    PRJLOCENTRY* entry = FindByIDLocked(id, nullptr);
    return entry ? entry->dwVersion : 0;
}

DWORD PrjLocator::GetDefPrjVersion() {
    return GetPrjVersion(GetDefPrjID());
}

BOOL PrjLocator::EnumRegisteredProjects(PRJENUMPROC callback, uintptr_t user) {
    if (!callback) return FALSE;
    {
        COSAutoLock lock(Dir().cs);
        if (Dir().initCount == 0) return TRUE;
    }
    for (const Snapshot& item : TakeSnapshot()) {
        int result = 0;
        try {
            result = callback(item.entry, item.id, user);
        } catch (...) {
            result = 0;
        }
        if (result == 0) return FALSE;
    }
    return TRUE;
}

DWORD PrjLocator::RegisterChangeNotify(CHANGENOTIFYPROC callback, uintptr_t value1,
                                       uintptr_t value2) {
    if (!callback) return 0xFFFFFFFFu;
    Directory& dir = Dir();
    COSAutoLock lock(dir.notify);
    return dir.changeNotifies.Add(callback, value1, value2);
}

BOOL PrjLocator::UnregisterChangeNotify(DWORD handle) {
    Directory& dir = Dir();
    COSAutoLock lock(dir.notify);
    return dir.changeNotifies.Delete(handle, FALSE);
}
