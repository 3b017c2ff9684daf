// The working project's mailslot: tells the other computers of the project's workgroup which
// object a commit changed, and forgets the changed objects in this process's change table when
// they tell us.
#pragma once

#include <atomic>

#include "qzobj/location.h"
#include "qzobj/mailslot.h"
#include "qzobj/store/notices/change_table.h"

namespace qzo::store {

// The message code of an object change.
inline constexpr DWORD kObjectChanged = 1;

// The change message: the mail header (its size 36, code kObjectChanged; sender and sequence
// are stamped by the transport) and the changed object's location, little-endian words.
struct tagLOCMAILITEM {
    tagMAILITEM Item;
    Location loc;
};
static_assert(sizeof(tagLOCMAILITEM) == 36, "a change message is nine words");
static_assert(offsetof(tagLOCMAILITEM, loc) == 16, "the location is the fifth to ninth word");

// The message announcing a change of the object at `location`.
tagLOCMAILITEM MakeChangeMessage(const Location& location);

// What a received message does to the table of project `projID`: a change message (at least 36
// bytes, code kObjectChanged) for an object of that project removes the object from the table.
// Anything else, and every message while `projID` is LOCATION_NO_PROJID, changes nothing.
// True when an entry was removed.
bool ApplyChangeMessage(const tagMAILITEM* item, DWORD projID, ChangeTable& table);

// The mailslot "LocMail%08X" of the working project, attached to the project's workgroup
// folder "<project>workgroup/", feeding one change table.
//
// One computer, one owner: a box name can be open only once per computer, so a second process
// of the same computer working on the same project cannot open it (OpenProject fails with 183).
// That process neither hears nor sends change notices; its change detection must then answer
// from the file time (see ChangeNotices::TableFor), and commits made by processes of one
// computer never reach each other's tables.
//
// Thread safety: OpenProject and Close are called by the owner, not concurrently with each
// other (as COSMailslot). SendChange, GetProjID and the reader's OnMailItem may run on any
// thread; the project ID is atomic and the table guards itself.
class LocMailslot : public COSMailslot {
  public:
    explicit LocMailslot(ChangeTable& table);
    ~LocMailslot() override;

    // Closes a box already open, then opens "LocMail%08X" for `projID` and attaches the folder
    // "<projectPath>workgroup/" (created when missing). FALSE when the project ID is invalid,
    // the path is empty or too long, or the box cannot be opened (183: another process of this
    // computer owns it); the mailslot then stays closed.
    BOOL OpenProject(DWORD projID, const WCHAR* projectPath);
    // Closes the box; the project becomes LOCATION_NO_PROJID. TRUE.
    BOOL Close() override;
    // The project served, LOCATION_NO_PROJID while closed.
    DWORD GetProjID() const { return dwProjID.load(std::memory_order_acquire); }
    // Sends the change message for `location` to every computer of the workgroup. FALSE while
    // closed.
    BOOL SendChange(const Location& location);

    int OnMailItem(tagMAILITEM* item) override;

  private:
    ChangeTable& table_;
    std::atomic<DWORD> dwProjID{LOCATION_NO_PROJID};
};

}  // namespace qzo::store
