// Identities of the fixture drivers' classes, shared by the drivers and the tests that load them.
#pragma once

#include "qzobj/objmodel.h"

namespace qzo::fixture {

inline constexpr GUID kBaseGuid = {0x0B0B0001, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
inline constexpr GUID kLeafGuid = {0x0B0B0002, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 9}};
inline constexpr GUID kDerivedGuid = {0x0B0B0003, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 10}};
inline constexpr DWORD kBaseObjSize = 48;
inline constexpr UINT kBaseNameID = 41001;
inline constexpr UINT kLeafNameID = 41002;
inline constexpr UINT kDerivedNameID = 41003;

// A class record as a driver defines it.
constexpr CQZRuntimeClass MakeRecord(const char* name, const GUID& guid, DWORD objSize, UINT nameID,
                                     PFNQZCLASSCTRLPROC ctrl) {
    CQZRuntimeClass record{};
    record.cbSize = sizeof(CQZRuntimeClass);
    record.dwObjSize = objSize;
    for (int i = 0; name[i] && i < 31; ++i) record.szClassName[i] = name[i];
    record.uNameID = nameID;
    record.guid = guid;
    record.pfnClassCtrlProc = ctrl;
    record.dwStatus = QZRTC_NEVER;
    record.dwVTblVersion = 1;
    return record;
}

}  // namespace qzo::fixture
