// The peer's side of the change notice tests (commands run in a second process posing as BETA):
//   notice_open PROJ FOLDER open the project mailslot of PROJ (hex) on FOLDER -> "OK" | "FAIL e"
//   notice_set OBJ          put OBJ (hex) in the change table
//   notice_has OBJ          "1" when OBJ is in the change table, else "0"
#include <cstdlib>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"
#include "qzobj/store/change_table.h"
#include "qzobj/store/locator_mailslot.h"
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
