// Generator verbs of the peer process: open generators, take IDs into a file, reserve, lock the
// project, hold the counter lock, close. Every verb answers one line.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "store/projectids/project_ids_test_support.h"
#include "qzobj/platform/text.h"
#include "support/peer.h"

namespace {

std::vector<std::unique_ptr<CProjUniID>>& Generators() {
    static std::vector<std::unique_ptr<CProjUniID>> generators;
    return generators;
}

CProjUniID* First() {
    return Generators().empty() ? nullptr : Generators().front().get();
}

int& CounterLockDescriptor() {
    static int fd = -1;
    return fd;
}

// Writes the IDs as 32-bit values to `path`.
bool WriteIds(const std::string& path, const std::vector<DWORD>& ids) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    const bool written = std::fwrite(ids.data(), sizeof(DWORD), ids.size(), out) == ids.size();
    return std::fclose(out) == 0 && written;
}

}  // namespace

// ids_open FOLDER [COUNT]: opens COUNT generators (default 1) and keeps those that opened;
// answers "<opened> <result of the first failure, or 0>".
QZO_PEER_COMMAND(ids_open) {
    const std::u16string folder = qzo::text::ToUtf16(args.at(0));
    const int count = args.size() > 1 ? std::stoi(args[1]) : 1;
    int opened = 0;
    unsigned failure = 0;
    for (int i = 0; i < count; ++i) {
        auto ids = std::make_unique<CProjUniID>();
        const unsigned result = ids->Open(folder.c_str());
        if (result == 0) {
            Generators().push_back(std::move(ids));
            ++opened;
        } else if (failure == 0) {
            failure = result;
        }
    }
    return std::to_string(opened) + " " + std::to_string(failure);
}

// ids_next COUNT FILE [RESERVE_EVERY RESERVE_COUNT]: takes COUNT IDs from the first generator
// and writes them to FILE; with the optional pair, every RESERVE_EVERY-th call reserves
// RESERVE_COUNT IDs first. Answers "OK" or "ERR <call index>".
QZO_PEER_COMMAND(ids_next) {
    CProjUniID* ids = First();
    if (!ids) return "ERR none";
    const int count = std::stoi(args.at(0));
    const int every = args.size() > 3 ? std::stoi(args[2]) : 0;
    const unsigned reserve = args.size() > 3 ? unsigned(std::stoul(args[3])) : 0;
    std::vector<DWORD> taken;
    taken.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        if (every > 0 && i % every == 0 && !ids->ReserveIDs(reserve))
            return "ERR reserve " + std::to_string(i);
        const DWORD id = ids->GetNextID();
        if (id == 0xFFFFFFFF) return "ERR " + std::to_string(i);
        taken.push_back(id);
    }
    return WriteIds(args.at(1), taken) ? "OK" : "ERR write";
}

// ids_reserve COUNT: the first generator's ReserveIDs result; ids_one: its next ID.
QZO_PEER_COMMAND(ids_reserve) {
    CProjUniID* ids = First();
    return ids ? std::to_string(ids->ReserveIDs(unsigned(std::stoul(args.at(0))))) : "ERR none";
}

QZO_PEER_COMMAND(ids_one) {
    CProjUniID* ids = First();
    return ids ? std::to_string(ids->GetNextID()) : "ERR none";
}

// ids_lockproject / ids_unlockproject: the first generator's results.
QZO_PEER_COMMAND(ids_lockproject) {
    CProjUniID* ids = First();
    return ids ? std::to_string(ids->LockProject()) : "ERR none";
}

QZO_PEER_COMMAND(ids_unlockproject) {
    CProjUniID* ids = First();
    return ids ? std::to_string(ids->UnlockProject()) : "ERR none";
}

// ids_hold_counter IDSFILE: takes the counter lock (bytes 0-3) and keeps it.
QZO_PEER_COMMAND(ids_hold_counter) {
    const int fd = open(args.at(0).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return "ERR open";
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 4;
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        close(fd);
        return "ERR lock";
    }
    CounterLockDescriptor() = fd;
    return "OK";
}

QZO_PEER_COMMAND(ids_release_counter) {
    if (CounterLockDescriptor() < 0) return "ERR none";
    close(CounterLockDescriptor());
    CounterLockDescriptor() = -1;
    return "OK";
}

// ids_close: closes every generator.
QZO_PEER_COMMAND(ids_close) {
    Generators().clear();
    return "OK";
}
