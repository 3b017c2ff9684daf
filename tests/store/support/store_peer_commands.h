// The peer's side of the object-store suites: a second process (BETA, GAMMA, a crash child)
// that opens a project and works on one object of the test class through the public interface.
// Include this header in exactly one file of a program: it registers the commands.
//   store_project PATH          register PATH and make it the working project -> "OK"
//   store_create TAG SIZE       create an object whose version 1 is TAG of SIZE bytes; keep it
//   store_restore LOC ACCESS MS restore the object named by the location text LOC with ACCESS
//                               (hex) waiting at most MS; keep it -> "<result> <elapsed ms> <tag>"
//   store_commit TAG SIZE FLAGS give the kept object version TAG of SIZE bytes and commit it
//                               with FLAGS (hex) -> "OK"
//   store_undo                  one step back -> "OK"
//   store_purge                 let go of the kept object, compact its history, take it back
//   store_snoop                 change detection of the kept object -> "1" | "0"
//   store_hold_lock PATH        open PATH for reading and hold its header lock -> "OK"
//   store_release               drop the kept object and the held lock -> "OK"
// Each answers only when it has finished; failures answer "FAIL <what>".
#pragma once

#include <cstdlib>
#include <string>

#include "qzobj/file_modes.h"
#include "qzobj/locator.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/project_locator.h"
#include "qzobj/store/locator/locator_access.h"
#include "qzobj/store/objfile/locfile.h"
#include "support/peer.h"
#include "support/stopwatch.h"
#include "store/support/store_object.h"
#include "support/text.h"

namespace qzo::test::store::peer {

inline ObjectRef& Kept() {
    static ObjectRef* object = new ObjectRef;
    return *object;
}

inline LocFile*& HeldFile() {
    static LocFile* file = nullptr;
    return file;
}

inline DWORD Number(const std::string& text, int base = 10) {
    return DWORD(std::strtoul(text.c_str(), nullptr, base));
}

inline std::string Keep(CQZObject* object) {
    Kept().reset(object);
    return Kept().test() ? "OK" : "FAIL none";
}

}  // namespace qzo::test::store::peer

QZO_PEER_COMMAND(store_project) {
    if (args.empty()) return "FAIL args";
    if (!qzo::test::store::RegisterStoreTestClass()) return "FAIL class";
    const DWORD id = PrjLocator::RegisterProject(qzo::test::Wide(args[0]).c_str(), TRUE);
    if (id == PRJLOC_NO_PROJECT) return "FAIL register";
    return PrjLocator::SetWorkingProject(id) ? "OK" : "FAIL working";
}

QZO_PEER_COMMAND(store_create) {
    using namespace qzo::test::store;
    if (args.size() < 2) return "FAIL args";
    CStoreTestObject::Preset(peer::Number(args[0]), peer::Number(args[1]));
    Locator creator;
    return peer::Keep(creator.CreateObject(&classCStoreTestObject, 0));
}

QZO_PEER_COMMAND(store_restore) {
    using namespace qzo::test::store;
    if (args.size() < 3) return "FAIL args";
    peer::Kept().reset();
    const std::u16string text = qzo::test::Wide(args[0]);
    Locator locator(text.c_str());
    DWORD result = 0xDEADBEEF;
    const qzo::test::Stopwatch watch;
    peer::Kept().reset(
        locator.RestoreObject(peer::Number(args[1], 16), peer::Number(args[2]), 0, &result));
    const long long elapsed = watch.Ms();
    const DWORD tag = peer::Kept().test() ? peer::Kept().test()->tag : 0xFFFFFFFF;
    return std::to_string(result) + " " + std::to_string(elapsed) + " " + std::to_string(tag);
}

QZO_PEER_COMMAND(store_commit) {
    using namespace qzo::test::store;
    if (args.size() < 3 || !peer::Kept().test()) return "FAIL args";
    peer::Kept().test()->SetContent(peer::Number(args[0]), peer::Number(args[1]));
    return peer::Kept()->Commit(peer::Number(args[2], 16)) ? "OK" : "FAIL commit";
}

QZO_PEER_COMMAND(store_undo) {
    using namespace qzo::test::store;
    if (!peer::Kept()) return "FAIL none";
    return peer::Kept()->UnwindObject(-1, TRUE) ? "OK" : "FAIL undo";
}

QZO_PEER_COMMAND(store_purge) {
    using namespace qzo::test::store;
    if (!peer::Kept()) return "FAIL none";
    const Location location = peer::Kept()->GetLocator().GetLocation();
    peer::Kept().reset();
    Locator locator(location);
    if (!locator.Purge()) return "FAIL purge";
    Locator again(location);
    DWORD result = 0;
    const std::string answer =
        peer::Keep(again.RestoreObject(LOCATOR_ACCESS_RWE, 2000, 0, &result));
    return answer == "OK" ? answer : "FAIL restore " + std::to_string(result);
}

QZO_PEER_COMMAND(store_snoop) {
    using namespace qzo::test::store;
    if (!peer::Kept()) return "FAIL none";
    return peer::Kept()->Snoop() ? "1" : "0";
}

QZO_PEER_COMMAND(store_hold_lock) {
    using namespace qzo::test::store;
    if (args.empty() || peer::HeldFile()) return "FAIL args";
    const std::u16string path = qzo::test::Wide(args[0]);
    LocFile* file = LocFile::Open(path.c_str(), LOCATOR_ACCESS_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (!file) return "FAIL open " + std::to_string(qzo::platform::GetLastError());
    if (!file->Lock(0, qzo::store::kHeaderLockLength)) {
        file->Close();
        return "FAIL lock " + std::to_string(qzo::platform::GetLastError());
    }
    peer::HeldFile() = file;
    return "OK";
}

QZO_PEER_COMMAND(store_release) {
    using namespace qzo::test::store;
    peer::Kept().reset();
    if (LocFile* file = peer::HeldFile()) {
        file->Unlock(0, qzo::store::kHeaderLockLength);
        file->Close();
        peer::HeldFile() = nullptr;
    }
    return "OK";
}
