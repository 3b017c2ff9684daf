// The peer side of the file tests (commands run in the child process) and the driver side.
#include <sys/resource.h>

#include <map>
#include <memory>
#include <sstream>

#include "os/files/file_test_support.h"

namespace {

using qzo::test::files::System;

std::map<std::string, std::unique_ptr<CQZFile>>& Slots() {
    static auto& slots = *new std::map<std::string, std::unique_ptr<CQZFile>>;
    return slots;
}

CQZFile& Slot(const std::string& name) {
    auto& file = Slots()[name];
    if (!file) file = std::make_unique<CQZFile>();
    return *file;
}

DWORD Number(const std::string& text) {
    return static_cast<DWORD>(std::stoul(text, nullptr, 0));
}

std::string Answer(unsigned long result) {
    return std::to_string(result) + " " + std::to_string(qzo::platform::GetLastError());
}

}  // namespace

QZO_PEER_COMMAND(file_open) {
    std::u16string path = System(args.at(1));
    UINT result =
        Slot(args.at(0))
            .Open(path.c_str(), Number(args.at(2)), Number(args.at(3)), Number(args.at(4)), 0);
    return Answer(result);
}

QZO_PEER_COMMAND(file_lock) {
    return Answer(Slot(args.at(0)).FileLock(Number(args.at(1)), Number(args.at(2))));
}

QZO_PEER_COMMAND(file_unlock) {
    return Answer(Slot(args.at(0)).FileUnlock(Number(args.at(1)), Number(args.at(2))));
}

QZO_PEER_COMMAND(file_close) {
    return std::to_string(Slot(args.at(0)).Close());
}

// Writes COUNT blocks of 10 bytes through a 64 KB cache under a file-size limit of LIMIT bytes
// and closes: "BYTES_ACCEPTED CLOSE_RESULT STATUS_BEFORE_CLOSE".
QZO_PEER_COMMAND(file_limited_write) {
    signal(SIGXFSZ, SIG_IGN);  // past the limit, writes fail with EFBIG instead of killing us
    struct rlimit limit {};
    limit.rlim_cur = limit.rlim_max = Number(args.at(1));
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return "ERR setrlimit";
    CQZFile file;
    std::u16string path = System(args.at(0));
    if (file.Open(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0, 65536) != 0) return "ERR open";
    DWORD accepted = 0;
    for (DWORD i = 0, count = Number(args.at(2)); i < count; ++i)
        accepted += file.Write("0123456789", 10);
    DWORD status = file.GetStatus();
    BOOL closed = file.Close();
    return std::to_string(accepted) + " " + std::to_string(closed) + " " + std::to_string(status);
}

namespace qzo::test::files {

std::vector<std::string> Words(const std::string& answer) {
    std::istringstream in(answer);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

FilePeer::FilePeer() {
    started_ = peer_.Start();
}

namespace {
// Sends "name a b c ..." and returns the answer's first number, its second through `error`.
template <typename... Args>
unsigned long Ask(Peer& peer, DWORD* error, const char* name, const Args&... args) {
    std::ostringstream command;
    command << name;
    ((command << ' ' << args), ...);
    const auto words = Words(peer.Call(command.str()));
    if (words.size() < 2) return 0xDEADu;
    if (error) *error = static_cast<DWORD>(std::stoul(words[1]));
    return std::stoul(words[0]);
}
}  // namespace

unsigned FilePeer::Open(const std::string& slot, const std::string& path, DWORD access, DWORD share,
                        DWORD creation, DWORD* error) {
    return static_cast<unsigned>(
        Ask(peer_, error, "file_open", slot, path, access, share, creation));
}

bool FilePeer::Lock(const std::string& slot, DWORD offset, DWORD bytes, DWORD* error) {
    return Ask(peer_, error, "file_lock", slot, offset, bytes) == 1;
}

bool FilePeer::Unlock(const std::string& slot, DWORD offset, DWORD bytes, DWORD* error) {
    return Ask(peer_, error, "file_unlock", slot, offset, bytes) == 1;
}

bool FilePeer::Close(const std::string& slot) {
    return peer_.Call("file_close " + slot) == "1";
}

void FilePeer::Kill() {
    peer_.Kill();
    peer_.Wait();
}

}  // namespace qzo::test::files
