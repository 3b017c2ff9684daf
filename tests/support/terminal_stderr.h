// Standard error redirected to a pseudo-terminal for tests of what the library draws on a
// terminal: the slave side replaces standard error, the master side is read back.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace qzo::test {

// Standard error replaced by the slave side of a pseudo-terminal while the object lives (or
// until Restore); ok() is false when no pseudo-terminal is available.
class TerminalStderr {
  public:
    TerminalStderr() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        int slave = open(ptsname(master_), O_RDWR | O_NOCTTY);
        if (slave < 0) return;
        // Raw mode: what the library writes arrives unchanged (no "\n" to "\r\n").
        termios mode{};
        if (tcgetattr(slave, &mode) == 0) {
            cfmakeraw(&mode);
            tcsetattr(slave, TCSANOW, &mode);
        }
        saved_ = dup(STDERR_FILENO);
        dup2(slave, STDERR_FILENO);
        close(slave);
    }
    ~TerminalStderr() {
        Restore();
        if (master_ >= 0) close(master_);
    }
    bool ok() const { return saved_ >= 0; }
    void Restore() {
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    // Everything written so far.
    std::string Read() {
        std::string text;
        pollfd p{master_, POLLIN, 0};
        while (poll(&p, 1, 200) > 0 && (p.revents & POLLIN)) {
            char buffer[4096];
            ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, n);
        }
        return text;
    }

  private:
    int master_ = -1;
    int saved_ = -1;
};

}  // namespace qzo::test
