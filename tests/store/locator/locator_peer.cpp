// The peer's side of the locator tests (commands run in a second process posing as BETA):
// (the header lock is held with the object store's peer commands "hold_lock" and "release")
//   notice_open PROJ FOLDER open the project mailslot of PROJ (hex) on FOLDER -> "OK" | "FAIL e"
//   notice_set OBJ          put OBJ (hex) in the change table
//   notice_has OBJ          "1" when OBJ is in the change table, else "0"
//   notice_snoop PATH TIME  change detection of object ABC (project 1234) read at TIME (a
//                           decimal file time) -> "<changed 0|1> <file reads>"
#include <cstdlib>

#include "qzobj/file_modes.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"
#include "qzobj/store/notices/change_detection.h"
#include "qzobj/store/notices/locator_mailslot.h"
#include "store/locator/locator_test_support.h"
#include "support/peer.h"

namespace {

using qzo::store::ChangeTable;
using qzo::store::LocMailslot;

ChangeTable& PeerTable() {
    static ChangeTable* table = new ChangeTable;
    return *table;
}

LocMailslot& PeerBox() {
    static LocMailslot* box = new LocMailslot(PeerTable());
    return *box;
}

DWORD Hex(const std::string& text) {
    return DWORD(std::strtoul(text.c_str(), nullptr, 16));
}

}  // namespace

QZO_PEER_COMMAND(notice_open) {
    if (args.size() < 2) return "FAIL args";
    const std::u16string folder = qzo::text::ToUtf16(args[1]);
    if (!PeerBox().OpenProject(Hex(args[0]), folder.c_str()))
        return "FAIL " + std::to_string(qzo::platform::GetLastError());
    return "OK";
}

QZO_PEER_COMMAND(notice_set) {
    if (args.empty()) return "FAIL args";
    return PeerTable().Set(Hex(args[0]), FILETIME{1, 1}) ? "OK" : "FAIL";
}

QZO_PEER_COMMAND(notice_has) {
    if (args.empty()) return "FAIL args";
    return PeerTable().Lookup(Hex(args[0]), FILETIME{1, 1}) == ChangeTable::kNotFound ? "0" : "1";
}

QZO_PEER_COMMAND(notice_snoop) {
    if (args.size() < 2) return "FAIL args";
    const std::u16string path = qzo::text::ToUtf16(args[0]);
    const qzo::store::ChangeNotices notices{&PeerTable(), &PeerBox(), qzo::test::locator::kProjID};
    int reads = 0;
    qzo::store::SnoopRequest request;
    request.objID = qzo::test::locator::kObjID;
    request.projID = qzo::test::locator::kProjID;
    request.path = path.c_str();
    request.objectTime = qzo::platform::MakeFileTime(std::strtoull(args[1].c_str(), nullptr, 10));
    request.readFile = [&](const WCHAR* file) {
        ++reads;
        return qzo::store::ReadFileFacts(file);
    };
    const BOOL changed = qzo::store::SnoopChange(request, notices);
    return std::to_string(changed ? 1 : 0) + " " + std::to_string(reads);
}
