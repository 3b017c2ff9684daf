// The working project's mailslot: the change message, its checks on arrival, and opening the
// box of a project with its workgroup folder.
#include "qzobj/store/notices/locator_mailslot.h"

#include <cstring>
#include <string>

#include "qzobj/pathkit.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"

namespace qzo::store {
namespace {

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

// "LocMail%08X".
std::u16string BoxName(DWORD projID) {
    std::u16string name = u"LocMail";
    for (int shift = 28; shift >= 0; shift -= 4) name += kHexDigits[(projID >> shift) & 0xF];
    return name;
}

// "%sworkgroup/", with a separator put between when the project path lacks its own.
std::u16string WorkgroupFolder(const WCHAR* projectPath) {
    std::u16string folder(projectPath, qzo::text::BoundedLength(projectPath, MAX_PATH));
    if (folder.back() != u'/' && folder.back() != u'\\') folder += u'/';
    return folder + u"workgroup/";
}

}  // namespace

tagLOCMAILITEM MakeChangeMessage(const Location& location) {
    tagLOCMAILITEM message{};
    message.Item.dwSize = sizeof(tagLOCMAILITEM);
    message.Item.dwCode = kObjectChanged;
    message.loc = location;
    return message;
}

bool ApplyChangeMessage(const tagMAILITEM* item, DWORD projID, ChangeTable& table) {
    if (!item || projID == LOCATION_NO_PROJID) return false;
    if (item->dwSize < sizeof(tagLOCMAILITEM) || item->dwCode != kObjectChanged) return false;
    Location location;
    std::memcpy(&location, reinterpret_cast<const BYTE*>(item) + offsetof(tagLOCMAILITEM, loc),
                sizeof location);
    if (location.dwProjID != projID) return false;
    return table.Remove(location.dwObjID) != FALSE;
}

LocMailslot::LocMailslot(ChangeTable& table) : table_(table) {}

LocMailslot::~LocMailslot() {
    Close();
}

BOOL LocMailslot::OpenProject(DWORD projID, const WCHAR* projectPath) {
    Close();
    if (projID == LOCATION_NO_PROJID || !projectPath || !*projectPath ||
        qzo::text::BoundedLength(projectPath, MAX_PATH) >= MAX_PATH) {
        qzo::platform::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::u16string folder = WorkgroupFolder(projectPath);
    if (folder.size() >= MAX_PATH) {
        qzo::platform::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Messages may arrive as soon as the box is open: name the project first.
    dwProjID.store(projID, std::memory_order_release);
    if (!COSMailslot::Open(BoxName(projID).c_str())) {
        const DWORD error = qzo::platform::GetLastError();
        dwProjID.store(LOCATION_NO_PROJID, std::memory_order_release);
        qzo::platform::SetLastError(error);
        return FALSE;
    }
    if (!FU_TestDirExists(folder.c_str())) FU_CreatePath(folder.c_str());
    AttachWorkgroup(folder.c_str());
    return TRUE;
}

BOOL LocMailslot::Close() {
    dwProjID.store(LOCATION_NO_PROJID, std::memory_order_release);
    return COSMailslot::Close();
}

BOOL LocMailslot::SendChange(const Location& location) {
    if (!IsOpen()) return FALSE;
    tagLOCMAILITEM message = MakeChangeMessage(location);
    return Notify(&message.Item);
}

int LocMailslot::OnMailItem(tagMAILITEM* item) {
    ApplyChangeMessage(item, GetProjID(), table_);
    return 1;
}

}  // namespace qzo::store
