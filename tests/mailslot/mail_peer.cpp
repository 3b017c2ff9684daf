// Mail support for tests: the recording mailslot, the simulated network of one test process,
// raw datagrams, and the peer's mail mode. Mail-mode commands act on one mailslot per peer:
//   mail_period MS          refresh workgroup files every MS milliseconds (before mail_open)
//   mail_open BOX           -> "OK" or "FAIL <last error>"
//   mail_close | mail_attach NAME | mail_attach_wg FOLDER | mail_detach_wg FOLDER
//   mail_notify CODE        Notify with a 16-byte message of that code
//   mail_to NAME CODE       MailTo by name with a 16-byte message of that code
//   mail_targets            -> the target names joined by "," in list order ("-" for none)
//   mail_count CODE [NAME]  -> how many messages of that code (from that computer) arrived
#include "mailslot/mail_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "qzobj/hashid.h"
#include "qzobj/os/mailslot_internal.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"
#include "support/peer.h"

namespace qzo::test {

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

// ---- The simulated network ----

uint16_t TestPortBase() {
    // Below the ephemeral range (32768 and up) even with the 8,191 a box adds.
    return uint16_t(1024 + (unsigned(getpid()) * 37u) % 23000u);
}

void InstallMailEnvironment() {
    setenv("QZO_MAILSLOT_PORT", std::to_string(TestPortBase()).c_str(), 0);
}

std::string TestAddress(int host) {
    const unsigned pid = unsigned(getpid());
    return "127." + std::to_string(1 + (pid >> 8) % 254) + "." + std::to_string(pid & 0xFF) + "." +
           std::to_string(host);
}

static std::u16string Upper(std::u16string text) {
    for (char16_t& c : text) c = (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
    return text;
}

uint16_t MailBoxPort(const std::u16string& box) {
    const char* base = std::getenv("QZO_MAILSLOT_PORT");
    const unsigned first = base ? unsigned(std::atoi(base)) : 24576u;
    return uint16_t(first + ((GetHashIDW(Upper(box).c_str()) >> 16) % 8192));
}

std::string LittleEndian(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = char((value >> (8 * i)) & 0xFF);
    return bytes;
}

std::string MailEnvelope(const std::u16string& box) {
    return "QZM1" + LittleEndian(GetHashIDW(Upper(box).c_str()));
}

void WriteHostsMap(const std::string& path,
                   const std::vector<std::pair<std::string, std::string>>& hosts) {
    std::ofstream file(path, std::ios::trunc);
    file << "# simulated computers\n";
    for (const auto& [name, address] : hosts) file << name << " " << address << "\n";
    file.close();
    setenv("QZO_HOSTS", path.c_str(), 1);
}

std::string MailItemBytes(uint32_t size, uint32_t sender, uint32_t sequence, uint32_t code,
                          const std::string& body) {
    return LittleEndian(size) + LittleEndian(sender) + LittleEndian(sequence) + LittleEndian(code) +
           body;
}

std::string NameItemBytes(uint32_t code, uint32_t sender, uint32_t sequence,
                          const std::u16string& name) {
    std::string body(32, '\0');
    for (size_t i = 0; i < name.size() && i < 16; ++i) {
        body[2 * i] = char(name[i] & 0xFF);
        body[2 * i + 1] = char(name[i] >> 8);
    }
    return MailItemBytes(48, sender, sequence, code, body);
}

uint32_t ComputerID(const std::u16string& name) {
    return GetHashIDW(name.c_str());
}

// ---- Raw datagrams ----

static sockaddr_in Endpoint(const std::string& address, uint16_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr);
    return endpoint;
}

RawDatagramSocket::RawDatagramSocket(const std::string& address, uint16_t port) {
    descriptor_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (descriptor_ < 0) return;
    const int buffer = 1 << 20;
    setsockopt(descriptor_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in local = Endpoint(address, port);
    if (bind(descriptor_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(descriptor_);
        descriptor_ = -1;
    }
}

RawDatagramSocket::~RawDatagramSocket() {
    if (descriptor_ >= 0) close(descriptor_);
}

bool RawDatagramSocket::SendTo(const std::string& address, uint16_t port,
                               const std::string& bytes) {
    const sockaddr_in to = Endpoint(address, port);
    return sendto(descriptor_, bytes.data(), bytes.size(), 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to) == ssize_t(bytes.size());
}

std::optional<std::string> RawDatagramSocket::Receive(int milliseconds) {
    pollfd wait{descriptor_, POLLIN, 0};
    if (poll(&wait, 1, milliseconds) <= 0) return std::nullopt;
    std::string bytes(65536, '\0');
    const ssize_t got = recv(descriptor_, bytes.data(), bytes.size(), 0);
    if (got < 0) return std::nullopt;
    bytes.resize(size_t(got));
    return bytes;
}

bool SendRawDatagram(const std::string& address, uint16_t port, const std::string& bytes) {
    RawDatagramSocket socket("0.0.0.0", 0);
    return socket.ok() && socket.SendTo(address, port, bytes);
}

// ---- The peer's mail mode ----

namespace {

RecordingMailslot& PeerBox() {
    static RecordingMailslot* box = new RecordingMailslot;
    return *box;
}

std::u16string Wide(const std::string& text) {
    return qzo::text::ToUtf16(text);
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
