// The calls from the project locator into the object locator, routed through a table so that
// each has a defined answer until the object locator registers its own, and tests can install
// fakes that record the order of the calls.
#pragma once

#include "qzobj/types.h"

class CProjUniID;
class CProgressInfo;

namespace qzo::store {

// A null entry stands for the default answer:
// - SetDefProjectID: records the generator and project ID (see RecordedDefProject), TRUE.
// - GetMaxExistingID: the name scan of the project's object and recycle folders.
// - CheckCrashRebuild: PRJLOC_NO_PROJECT, so the ID comes from the path hash.
// - UntagProject, DeleteUntaggedProject, PurgeProject: none; while any of the three is missing
//   a purge refuses and changes nothing.
// - EnumProject (destroying every object of a project with ProjDestroy(flags)): none; while
//   it is missing a delete with flags refuses.
struct LocatorLink {
    BOOL (*SetDefProjectID)(CProjUniID* generator, DWORD projectID) = nullptr;
    DWORD (*GetMaxExistingID)(DWORD projectID) = nullptr;
    DWORD (*CheckCrashRebuild)(const WCHAR* folder) = nullptr;
    BOOL (*UntagProject)(CProgressInfo* progress) = nullptr;
    BOOL (*DeleteUntaggedProject)(CProgressInfo* progress) = nullptr;
    BOOL (*PurgeProject)() = nullptr;
    BOOL (*EnumProject)(DWORD projectID, DWORD flags) = nullptr;
};

// Installs a whole table and returns the one it replaces. Safe from any thread; calls already
// running finish on the old entries.
LocatorLink SetLocatorLink(const LocatorLink& link);
LocatorLink GetLocatorLink();

// The calls as the project locator makes them: the registered entry or the default answer.
BOOL LinkSetDefProjectID(CProjUniID* generator, DWORD projectID);
DWORD LinkGetMaxExistingID(DWORD projectID);
DWORD LinkCheckCrashRebuild(const WCHAR* folder);
bool LinkCanPurge();
BOOL LinkUntagProject(CProgressInfo* progress);
BOOL LinkDeleteUntaggedProject(CProgressInfo* progress);
BOOL LinkPurgeProject();
bool LinkCanEnumProject();
BOOL LinkEnumProject(DWORD projectID, DWORD flags);

// What the default SetDefProjectID last recorded.
void RecordedDefProject(CProjUniID** generator, DWORD* projectID);

// The largest object ID named by an "%08X.qzo" file in the class folders of "<folder>Obj/" or
// anywhere under "<folder>Recycle/" (0xFFFFFFFF skipped, names without case); 0 when none.
DWORD ScanMaxExistingID(const WCHAR* projectFolder);

}  // namespace qzo::store
