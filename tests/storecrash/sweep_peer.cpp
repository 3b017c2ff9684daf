// The child's side of the crash sweep: one step of a script per command, each answered only when
// it has finished, so that the driver knows which step a crash interrupted.
//   sweep_project PATH           register PATH and make it the working project -> "OK"
//   sweep_create TAG SIZE        create an object whose version 1 is TAG of SIZE bytes -> "OK"
//   sweep_commit TAG SIZE FLAGS  commit version TAG of SIZE bytes with FLAGS (hex) -> "OK"
//   sweep_undo                   one step back -> "OK"
//   sweep_purge                  let go of the object, compact its history, take it back -> "OK"
// Failures answer "FAIL <what>".
#include <cstdlib>

#include "qzobj/project_locator.h"
#include "store/storexp/payload_object.h"
#include "support/peer.h"

namespace {

using qzo::test::store::ObjectRef;

ObjectRef& Kept() {
    static ObjectRef* object = new ObjectRef;
    return *object;
}

Location& KeptLocation() {
    static Location* location = new Location;
    return *location;
}

DWORD Number(const std::string& text, int base = 10) {
    return DWORD(std::strtoul(text.c_str(), nullptr, base));
}

}  // namespace

QZO_PEER_COMMAND(sweep_project) {
    if (args.empty()) return "FAIL args";
    if (!qzo::test::store::RegisterPayloadClass()) return "FAIL class";
    const DWORD id = PrjLocator::RegisterProject(qzo::test::store::Wide(args[0]).c_str(), TRUE);
    if (id == PRJLOC_NO_PROJECT) return "FAIL register";
    return PrjLocator::SetWorkingProject(id) ? "OK" : "FAIL working";
}

QZO_PEER_COMMAND(sweep_create) {
    if (args.size() < 2) return "FAIL args";
    qzo::test::store::PayloadObject::Preset(Number(args[0]), Number(args[1]));
    Locator creator;
    Kept().reset(
        qzo::test::store::AsPayload(creator.CreateObject(&qzo::test::store::PayloadClass(), 0)));
    if (!Kept()) return "FAIL create";
    KeptLocation() = Kept()->GetLocator().GetLocation();
    return "OK";
}

QZO_PEER_COMMAND(sweep_commit) {
    if (args.size() < 3 || !Kept()) return "FAIL args";
    Kept()->SetContent(Number(args[0]), Number(args[1]));
    return Kept()->Commit(Number(args[2], 16)) ? "OK" : "FAIL commit";
}

QZO_PEER_COMMAND(sweep_undo) {
    if (!Kept()) return "FAIL none";
    return Kept()->UnwindObject(-1, TRUE) ? "OK" : "FAIL undo";
}

QZO_PEER_COMMAND(sweep_purge) {
    if (!Kept()) return "FAIL none";
    Kept().reset();
    Locator locator(KeptLocation());
    if (!locator.Purge()) return "FAIL purge";
    Locator again(KeptLocation());
    DWORD result = 0;
    Kept().reset(qzo::test::store::AsPayload(
        again.RestoreObject(qzo::test::store::kReadWriteEdit, 2000, 0, &result)));
    return Kept() ? "OK" : "FAIL restore " + std::to_string(result);
}
