// Fixture of the mail tests: the simulated computers of this test process. The test process is
// ZETA at 127.a.b.5 (unless QZO_COMPUTERNAME says otherwise); peers ALPHA, BETA and GAMMA run at
// 127.a.b.2-4; every test writes its own hosts map.
#pragma once

#include <string>
#include <vector>

#include "qzobj/mailslot.h"
#include "qzobj/process.h"
#include "support/fixture.h"
#include "os/mailslot/mail_peer.h"
#include "support/peer.h"
#include "support/wait_until.h"

namespace qzo::test {

inline constexpr int kAlphaHost = 2;
inline constexpr int kBetaHost = 3;
inline constexpr int kGammaHost = 4;
inline constexpr int kOwnHost = 5;

class MailTest : public QzoTest {
  protected:
    void SetUp() override;

    // The hosts map of this test: ALPHA, BETA, GAMMA and the own computer, plus `extra`.
    void WriteHosts(const std::vector<std::pair<std::string, std::string>>& extra = {});

    std::u16string ownName_;
    std::string ownNameUtf8_;
    std::string hostsPath_;
};

// Environment of a peer posing as `name`.
std::map<std::string, std::string> PeerEnvironment(const std::string& name);

// Polls a peer command until it answers `expected`.
bool PeerAnswers(Peer& peer, const std::string& command, const std::string& expected,
                 std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace qzo::test
