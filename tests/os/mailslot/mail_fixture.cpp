// The mail tests' support: the recording mailslot; the simulated network (environment set
// before the library reads it, per-test hosts maps, peers posing as computers); and the peer's
// mail mode, whose commands act on one mailslot per peer:
//   mail_period MS          refresh workgroup files every MS milliseconds (before mail_open)
//   mail_open BOX           -> "OK" or "FAIL <last error>"
//   mail_close | mail_attach NAME | mail_attach_wg FOLDER | mail_detach_wg FOLDER
//   mail_notify CODE        Notify with a 16-byte message of that code
//   mail_to NAME CODE       MailTo by name with a 16-byte message of that code
//   mail_targets            -> the target names joined by "," in list order ("-" for none)
//   mail_count CODE [NAME]  -> how many messages of that code (from that computer) arrived
#include "os/mailslot/mail_fixture.h"

#include <cstdlib>
#include <cstring>

#include "qzobj/hashid.h"
#include "qzobj/os/mailslot_internal.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"
#include "support/text.h"

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

RecordingMailslot::~RecordingMailslot() {
    Close();
}

int RecordingMailslot::OnMailItem(tagMAILITEM* item) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(Received{item->dwCode, item->dwSenderID, item->dwSequence,
                                  std::string(reinterpret_cast<const char*>(item), item->dwSize)});
    }
    return onItem ? onItem(*this, item) : 1;
}

std::vector<RecordingMailslot::Received> RecordingMailslot::Items() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
}

size_t RecordingMailslot::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
}

size_t RecordingMailslot::Count(DWORD code) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const Received& item : items_) count += item.code == code;
    return count;
}

size_t RecordingMailslot::CountFrom(DWORD code, DWORD sender) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const Received& item : items_) count += item.code == code && item.sender == sender;
    return count;
}

// ---- The peer's mail mode ----

namespace {

RecordingMailslot& PeerBox() {
    static RecordingMailslot* box = new RecordingMailslot;
    return *box;
}

DWORD Code(const std::string& text) {
    return DWORD(std::strtoul(text.c_str(), nullptr, 0));
}

std::string Result(BOOL ok) {
    return ok ? "OK" : "FAIL " + std::to_string(qzo::platform::GetLastError());
}

}  // namespace

QZO_PEER_COMMAND(mail_period) {
    if (args.empty()) return "FAIL";
    qzo::mail::SetWorkgroupRefreshPeriod(Code(args[0]));
    return "OK";
}

QZO_PEER_COMMAND(mail_open) {
    if (args.empty()) return "FAIL";
    return Result(PeerBox().Open(Wide(args[0]).c_str()));
}

QZO_PEER_COMMAND(mail_close) {
    return Result(PeerBox().Close());
}

QZO_PEER_COMMAND(mail_attach) {
    if (args.empty()) return "FAIL";
    return Result(PeerBox().AttachComputer(Wide(args[0]).c_str()));
}

QZO_PEER_COMMAND(mail_attach_wg) {
    if (args.empty()) return "FAIL";
    return Result(PeerBox().AttachWorkgroup(Wide(args[0]).c_str()));
}

QZO_PEER_COMMAND(mail_detach_wg) {
    if (args.empty()) return "FAIL";
    return Result(PeerBox().DetachWorkgroup(Wide(args[0]).c_str()));
}

QZO_PEER_COMMAND(mail_notify) {
    if (args.empty()) return "FAIL";
    tagMAILITEM item{sizeof(tagMAILITEM), 0, 0, Code(args[0])};
    return Result(PeerBox().Notify(&item));
}

QZO_PEER_COMMAND(mail_to) {
    if (args.size() < 2) return "FAIL";
    tagMAILITEM item{sizeof(tagMAILITEM), 0, 0, Code(args[1])};
    return Result(PeerBox().MailTo(Wide(args[0]).c_str(), &item));
}

QZO_PEER_COMMAND(mail_targets) {
    CPMailTargets targets = PeerBox().GetTargetList();
    std::string names;
    for (DWORD i = 0; i < targets.GetNItems(); ++i) {
        if (!names.empty()) names += ",";
        names += qzo::text::ToUtf8(targets.GetCList()[i].szComputerName);
    }
    return names.empty() ? "-" : names;
}

QZO_PEER_COMMAND(mail_count) {
    if (args.empty()) return "FAIL";
    const DWORD code = Code(args[0]);
    const size_t count = args.size() > 1 ? PeerBox().CountFrom(code, ComputerID(Wide(args[1])))
                                         : PeerBox().Count(code);
    return std::to_string(count);
}

}  // namespace qzo::test
