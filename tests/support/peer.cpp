// The peer process and its driver.
#include "support/peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

namespace qzo::test {
namespace {

std::map<std::string, PeerCommand>& Commands() {
    static auto& commands = *new std::map<std::string, PeerCommand>;
    return commands;
}

std::string Unescape(const std::string& word) {
    std::string out;
    for (size_t i = 0; i < word.size(); ++i) {
        if (word[i] == '%' && i + 2 < word.size()) {
            out += static_cast<char>(std::strtol(word.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += word[i];
        }
    }
    return out;
}

}  // namespace

PeerCommandRegistrar::PeerCommandRegistrar(const char* name, PeerCommand command) {
    Commands()[name] = std::move(command);
}

int RunPeerLoop() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string name;
        words >> name;
        PeerArgs args;
        for (std::string word; words >> word;) args.push_back(Unescape(word));
        if (name == "exit") {
            std::fflush(stdout);
            _exit(args.empty() ? 0 : std::atoi(args[0].c_str()));
        }
        std::string answer;
        auto it = Commands().find(name);
        if (it == Commands().end()) {
            answer = "ERR unknown command " + name;
        } else {
            try {
                answer = it->second(args);
            } catch (const std::exception& e) {
                answer = std::string("ERR exception ") + e.what();
            }
        }
        for (char& c : answer)
            if (c == '\n') c = ' ';
        std::cout << answer << std::endl;
    }
    return 0;
}

Peer::Peer(std::map<std::string, std::string> environment) : environment_(std::move(environment)) {}

Peer::~Peer() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
    }
    if (toPeer_ >= 0) close(toPeer_);
    if (fromPeer_ >= 0) close(fromPeer_);
}

bool Peer::Start() {
    // A peer that died must fail the next command, not end the test program by SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        for (const auto& [name, value] : environment_) {
            if (value.empty())
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), value.c_str(), 1);
        }
        char self[] = "/proc/self/exe";
        char flag[] = "--qzo-peer";
        char* argv[] = {self, flag, nullptr};
        execv(self, argv);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toPeer_ = in[1];
    fromPeer_ = out[0];
    return true;
}

void Peer::Send(const std::string& command) {
    std::string line = command + "\n";
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = write(toPeer_, p, left);
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

std::string Peer::Call(const std::string& command) {
    Send(command);
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    for (;;) {
        size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string answer = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return answer;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{fromPeer_, POLLIN, 0};
        const int polled = left.count() > 0 ? poll(&ready, 1, static_cast<int>(left.count())) : 0;
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) {
            std::fprintf(stderr, "peer: no answer to \"%s\" within %lld ms; killing it\n",
                         command.c_str(), static_cast<long long>(timeout_.count()));
            Kill();
            return "";
        }
        char buffer[4096];
        ssize_t n = read(fromPeer_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return "";
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

void Peer::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
}

PeerExit Peer::Wait() {
    PeerExit result;
    if (toPeer_ >= 0) {
        close(toPeer_);
        toPeer_ = -1;
    }
    if (pid_ <= 0) return result;
    // A peer that does not end within the time limit is killed, so a hung peer fails its test
    // instead of hanging the run.
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(pid_, &status, WNOHANG)) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "peer: still running after %lld ms; killing it\n",
                         static_cast<long long>(timeout_.count()));
            kill(pid_, SIGKILL);
            ended = waitpid(pid_, &status, 0);
            break;
        }
        usleep(2000);
    }
    if (ended == pid_) {
        if (WIFEXITED(status)) {
            result.exited = true;
            result.code = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            result.signaled = true;
            result.signal = WTERMSIG(status);
        }
    }
    pid_ = -1;
    return result;
}

}  // namespace qzo::test
