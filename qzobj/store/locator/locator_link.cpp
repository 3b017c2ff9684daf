// The link table from the project locator into the object locator, with the default answers
// that hold until the object locator registers its calls.
#include "qzobj/store/locator/locator_link.h"

#include <mutex>

#include "qzobj/project_locator.h"

namespace qzo::store {
namespace {

// Guards the table and the recorded pair. Calls copy the entry out and run without the lock.
std::mutex& LinkMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
LocatorLink g_link;
CProjUniID* g_recordedGenerator = nullptr;
DWORD g_recordedProject = PRJLOC_NO_PROJECT;

LocatorLink Current() {
    std::lock_guard lock(LinkMutex());
    return g_link;
}

}  // namespace

LocatorLink SetLocatorLink(const LocatorLink& link) {
    std::lock_guard lock(LinkMutex());
    LocatorLink previous = g_link;
    g_link = link;
    return previous;
}

LocatorLink GetLocatorLink() {
    return Current();
}

BOOL LinkSetDefProjectID(CProjUniID* generator, DWORD projectID) {
    if (auto call = Current().SetDefProjectID) return call(generator, projectID);
    std::lock_guard lock(LinkMutex());
    g_recordedGenerator = generator;
    g_recordedProject = projectID;
    return TRUE;
}

void RecordedDefProject(CProjUniID** generator, DWORD* projectID) {
    std::lock_guard lock(LinkMutex());
    if (generator) *generator = g_recordedGenerator;
    if (projectID) *projectID = g_recordedProject;
}

DWORD LinkGetMaxExistingID(DWORD projectID) {
    if (auto call = Current().GetMaxExistingID) return call(projectID);
    const WCHAR* path = PrjLocator::GetPrjPath(projectID);
    return path ? ScanMaxExistingID(path) : 0xFFFFFFFFu;
}

DWORD LinkCheckCrashRebuild(const WCHAR* folder) {
    if (auto call = Current().CheckCrashRebuild) return call(folder);
    return PRJLOC_NO_PROJECT;
}

bool LinkCanPurge() {
    LocatorLink link = Current();
    return link.UntagProject && link.DeleteUntaggedProject && link.PurgeProject;
}

BOOL LinkUntagProject(CProgressInfo* progress) {
    auto call = Current().UntagProject;
    return call ? call(progress) : FALSE;
}

BOOL LinkDeleteUntaggedProject(CProgressInfo* progress) {
    auto call = Current().DeleteUntaggedProject;
    return call ? call(progress) : FALSE;
}

BOOL LinkPurgeProject() {
    auto call = Current().PurgeProject;
    return call ? call() : FALSE;
}

bool LinkCanEnumProject() {
    return Current().EnumProject != nullptr;
}

BOOL LinkEnumProject(DWORD projectID, DWORD flags) {
    auto call = Current().EnumProject;
    return call ? call(projectID, flags) : FALSE;
}

}  // namespace qzo::store
