// Cross-process tests: the test program re-runs itself as a peer process driven over pipes.
// The peer reads one command per line ("name arg1 arg2 ..."; arguments hold no blanks, use
// %20 for one) and answers each with one line. Commands are registered per subsystem with
// QZO_PEER_COMMAND. "exit N" ends the peer with status N.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qzo::test {

using PeerArgs = std::vector<std::string>;
using PeerCommand = std::function<std::string(const PeerArgs& args)>;

struct PeerCommandRegistrar {
    PeerCommandRegistrar(const char* name, PeerCommand command);
};

#define QZO_PEER_CONCAT2(a, b) a##b
#define QZO_PEER_CONCAT(a, b) QZO_PEER_CONCAT2(a, b)
// QZO_PEER_COMMAND(name) { ... return "OK"; }  -- `args` holds the arguments.
#define QZO_PEER_COMMAND(name)                                                            \
    static std::string QZO_PEER_CONCAT(PeerCommand_, name)(const ::qzo::test::PeerArgs&); \
    static ::qzo::test::PeerCommandRegistrar QZO_PEER_CONCAT(peerRegistrar_, name)(       \
        #name, &QZO_PEER_CONCAT(PeerCommand_, name));                                     \
    static std::string QZO_PEER_CONCAT(PeerCommand_,                                      \
                                       name)([[maybe_unused]] const ::qzo::test::PeerArgs& args)

// How a peer ended.
struct PeerExit {
    bool exited = false;  // ended by exit(); `code` holds the status
    int code = -1;
    bool signaled = false;  // ended by a signal; `signal` holds it
    int signal = 0;
};

class Peer {
  public:
    // Environment overrides for the peer ("NAME" -> value; an empty value unsets the name).
    explicit Peer(std::map<std::string, std::string> environment = {});
    ~Peer();  // kills a peer still running
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool Start();
    // How long Call waits for an answer and Wait for the end (default 60 s); past it the peer
    // is killed, so a hung peer fails its test instead of hanging the run.
    void SetTimeLimit(std::chrono::milliseconds limit) { timeout_ = limit; }
    // Sends a command and returns its answer line ("" when the peer died, closed its output or
    // did not answer within the time limit).
    std::string Call(const std::string& command);
    // Kills the peer with SIGKILL (Wait then reports the signal).
    void Kill();
    // Sends a command without waiting for an answer (for commands that end the peer).
    void Send(const std::string& command);
    // Closes the peer's input and waits for it to end.
    PeerExit Wait();
    pid_t pid() const { return pid_; }

  private:
    std::map<std::string, std::string> environment_;
    pid_t pid_ = -1;
    int toPeer_ = -1;
    int fromPeer_ = -1;
    std::string pending_;
    std::chrono::milliseconds timeout_{60000};
};

// Runs the peer's command loop on standard input and output; returns the exit status.
int RunPeerLoop();

}  // namespace qzo::test
