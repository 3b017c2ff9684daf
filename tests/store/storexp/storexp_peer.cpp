// The peer's side of the cross-process object store tests: a second process (BETA, GAMMA ...)
// that opens the test's project and works on its objects through the public interface.
//   project PATH             register PATH and make it the working project -> "OK" | "FAIL ..."
//   restore LOC ACCESS MS    restore the object named by the location text LOC with ACCESS (hex)
//                            waiting at most MS; keeps it -> "<result> <elapsed ms> <tag>"
//   commit TAG SIZE FLAGS    give the kept object version TAG of SIZE bytes and commit it with
//                            FLAGS (hex) -> "OK" | "FAIL"
//   undo                     one step back -> "OK" | "FAIL"
//   snoop                    change detection of the kept object -> "1" | "0"
//   hold_lock PATH           open PATH for reading and hold its header lock -> "OK" | "ERR ..."
//   release                  drop the kept object and the held lock -> "OK"
#include <chrono>
#include <cstdlib>

#include "qzobj/file_modes.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/project_locator.h"
#include "qzobj/store/locator/locator_access.h"
#include "qzobj/store/objfile/locfile.h"
#include "store/storexp/storexp_support.h"
#include "support/peer.h"

namespace {

using qzo::test::store::ObjectRef;

ObjectRef& Kept() {
    static ObjectRef* object = new ObjectRef;
    return *object;
}

LocFile*& HeldFile() {
    static LocFile* file = nullptr;
    return file;
}

DWORD Hex(const std::string& text) {
    return DWORD(std::strtoul(text.c_str(), nullptr, 16));
}

DWORD Decimal(const std::string& text) {
    return DWORD(std::strtoul(text.c_str(), nullptr, 10));
}

}  // namespace

QZO_PEER_COMMAND(project) {
    if (args.empty()) return "FAIL args";
    if (!qzo::test::store::RegisterPayloadClass()) return "FAIL class";
    const DWORD id = PrjLocator::RegisterProject(qzo::test::store::Wide(args[0]).c_str(), TRUE);
    if (id == PRJLOC_NO_PROJECT) return "FAIL register";
    return PrjLocator::SetWorkingProject(id) ? "OK" : "FAIL working";
}

QZO_PEER_COMMAND(restore) {
    if (args.size() < 3) return "FAIL args";
    Kept().reset();
    const std::u16string text = qzo::test::store::Wide(args[0]);
    Locator locator(text.c_str());
    DWORD result = 0xDEADBEEF;
    const qzo::test::store::Stopwatch watch;
    ObjectRef object(qzo::test::store::AsPayload(
        locator.RestoreObject(Hex(args[1]), Decimal(args[2]), 0, &result)));
    const long long elapsed = watch.Ms();
    const DWORD tag = object ? object->Tag() : 0xFFFFFFFF;
    Kept() = std::move(object);
    return std::to_string(result) + " " + std::to_string(elapsed) + " " + std::to_string(tag);
}

QZO_PEER_COMMAND(commit) {
    if (args.size() < 3 || !Kept()) return "FAIL args";
    Kept()->SetContent(Decimal(args[0]), Decimal(args[1]));
    return Kept()->Commit(Hex(args[2])) ? "OK" : "FAIL";
}

QZO_PEER_COMMAND(undo) {
    if (!Kept()) return "FAIL none";
    return Kept()->UnwindObject(-1, TRUE) ? "OK" : "FAIL";
}

QZO_PEER_COMMAND(snoop) {
    if (!Kept()) return "ERR none";
    return Kept()->Snoop() ? "1" : "0";
}

QZO_PEER_COMMAND(hold_lock) {
    if (args.empty() || HeldFile()) return "ERR args";
    const std::u16string path = qzo::test::store::Wide(args[0]);
    LocFile* file = LocFile::Open(path.c_str(), qzo::test::store::kRead,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (!file) return "ERR open " + std::to_string(qzo::platform::GetLastError());
    if (!file->Lock(0, qzo::store::kHeaderLockLength)) {
        file->Close();
        return "ERR lock " + std::to_string(qzo::platform::GetLastError());
    }
    HeldFile() = file;
    return "OK";
}

QZO_PEER_COMMAND(release) {
    Kept().reset();
    if (LocFile* file = HeldFile()) {
        file->Unlock(0, qzo::store::kHeaderLockLength);
        file->Close();
        HeldFile() = nullptr;
    }
    return "OK";
}
