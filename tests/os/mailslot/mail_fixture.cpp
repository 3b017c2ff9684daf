// The mail tests' simulated network: environment set before the library reads it, per-test
// hosts maps, and peers posing as computers.
#include "mail_fixture.h"

#include <cstdlib>

#include "qzobj/platform/text.h"

namespace qzo::test {
namespace {

// Before any test (and before the library caches the computer's ID): this process and its
// peers use this process's port base; the test process is ZETA unless told otherwise.
const bool kEnvironmentInstalled = [] {
    InstallMailEnvironment();
    setenv("QZO_COMPUTERNAME", "ZETA", 0);
    return true;
}();

}  // namespace

void MailTest::SetUp() {
    QzoTest::SetUp();
    ASSERT_TRUE(kEnvironmentInstalled);
    WCHAR name[MAIL_COMPUTERNAME_LEN] = {};
    ASSERT_EQ(GetCreateComputerName(name, MAIL_COMPUTERNAME_LEN), 1);
    ownName_ = name;
    ownNameUtf8_ = qzo::text::ToUtf8(ownName_);
    hostsPath_ = TempPath("hosts");
    WriteHosts();
}

void MailTest::WriteHosts(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::pair<std::string, std::string>> hosts = {
        {"alpha", TestAddress(kAlphaHost)},
        {"BETA", TestAddress(kBetaHost)},
        {"Gamma", TestAddress(kGammaHost)},
        {ownNameUtf8_, TestAddress(kOwnHost)},
    };
    hosts.insert(hosts.end(), extra.begin(), extra.end());
    WriteHostsMap(hostsPath_, hosts);
}

std::map<std::string, std::string> PeerEnvironment(const std::string& name) {
    return {{"QZO_COMPUTERNAME", name}};
}

bool PeerAnswers(Peer& peer, const std::string& command, const std::string& expected,
                 std::chrono::milliseconds limit) {
    std::string last;
    const bool ok = WaitUntil(
        [&] {
            last = peer.Call(command);
            if (last == expected) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return false;
        },
        limit);
    if (!ok) ADD_FAILURE() << command << " answered " << last << ", expected " << expected;
    return ok;
}

}  // namespace qzo::test
