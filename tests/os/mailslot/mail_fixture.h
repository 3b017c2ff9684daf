// Support of the mail tests: a mailslot that records what reaches its handler, and the
// simulated computers of this test process. The test process is ZETA at 127.a.b.5 (unless
// QZO_COMPUTERNAME says otherwise); peers ALPHA, BETA and GAMMA run at 127.a.b.2-4; every test
// writes its own hosts map. Peers run the mail mode of mail_fixture.cpp (commands "mail_*").
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "qzobj/mailslot.h"
#include "qzobj/process.h"
#include "support/fixture.h"
#include "support/peer.h"
#include "support/simulated_network.h"
#include "support/wait_until.h"

namespace qzo::test {

// A mailslot that keeps a copy of every message its handler receives.
//
// Thread safety: the record is guarded by a mutex; Items and the counts may be read from any
// thread while the reader adds.
class RecordingMailslot : public COSMailslot {
  public:
    struct Received {
        DWORD code;
        DWORD sender;
        DWORD sequence;
        std::string bytes;  // the whole message
    };

    ~RecordingMailslot() override;
    int OnMailItem(tagMAILITEM* item) override;

    std::vector<Received> Items() const;
    size_t Count() const;
    size_t Count(DWORD code) const;
    size_t CountFrom(DWORD code, DWORD sender) const;

    // Called after recording; its result is the handler's (the default keeps the reader going).
    std::function<int(RecordingMailslot&, tagMAILITEM*)> onItem;

    using COSMailslot::MailTo;
    using COSMailslot::Notify;
    using COSMailslot::Transmit;

  private:
    mutable std::mutex mutex_;
    std::vector<Received> items_;
};

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
