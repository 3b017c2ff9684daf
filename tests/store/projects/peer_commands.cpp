// Peer-side commands of the project tests: a generator held open or holding the project lock
// in another process, and the counter lock held there for a while.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "projects_support.h"
#include "qzobj/platform/file.h"
#include "support/peer.h"

namespace {

CProjUniID& PeerGenerator() {
    static auto* generator = new CProjUniID;
    return *generator;
}

}  // namespace

QZO_PEER_COMMAND(prj_open) {
    if (args.size() != 1) return "usage";
    return std::to_string(PeerGenerator().Open(qzo::test::projects::Wide(args[0]).c_str()));
}

QZO_PEER_COMMAND(prj_lockproject) {
    return std::to_string(PeerGenerator().LockProject());
}

QZO_PEER_COMMAND(prj_close) {
    PeerGenerator().Close();
    return "OK";
}

// Locks bytes 0-3 of the ID file and releases them after the given milliseconds.
QZO_PEER_COMMAND(prj_hold_counter) {
    if (args.size() != 2) return "usage";
    std::shared_ptr<qzo::platform::File> file = qzo::platform::File::Open(
        qzo::test::projects::Wide(args[0]).c_str(), GENERIC_READ | GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (!file || !file->Lock(0, 4)) return "FAILED";
    const int ms = std::stoi(args[1]);
    std::thread([file, ms] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        file->Unlock(0, 4);
        file->Close();
    }).detach();
    return "OK";
}
