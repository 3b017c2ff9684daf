// Mailslot transport: box identity and ports, the own box registry, peer write handles and the
// per-process sending socket.
#include "qzobj/os/mailslot_transport.h"

#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

#include "qzobj/hashid.h"
#include "qzobj/mailslot.h"
#include "qzobj/os/mailslot_format.h"
#include "qzobj/platform/computer_name.h"
#include "qzobj/platform/hosts_map.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"

namespace qzo::mail {
namespace {

using platform::DatagramEndpoint;
using platform::DatagramSocket;

constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorBadNetPath = 53;
constexpr int kReceiveQueueBytes = 1 << 20;
constexpr uint32_t kLoopback = 0x7F000001;

std::u16string Upper(const WCHAR* text) {
    std::u16string result = text ? std::u16string(text) : std::u16string();
    for (char16_t& c : result) c = text::FoldUpper(c);
    return result;
}

struct PeerBox {
    DatagramEndpoint endpoint;
    BYTE envelope[kEnvelopeSize];
};

// Process-wide state: the peer handle table, the names of boxes open in this process and the
// sending socket. Guarded by `mutex`; never destroyed, so static destruction cannot bite.
struct Transport {
    std::mutex mutex;
    std::unordered_map<DWORD, PeerBox> peers;
    DWORD nextHandle = 1;
    std::multiset<std::u16string> openBoxes;
    std::shared_ptr<DatagramSocket> sender;
};

Transport& TheTransport() {
    static Transport* transport = new Transport;
    return *transport;
}

// The sending socket, bound to the own address so peers see datagrams leave from the computer
// they came from. Bound at the first send and kept: reading the hosts map on every send would
// cost a file read per datagram.
std::shared_ptr<DatagramSocket> Sender() {
    Transport& transport = TheTransport();
    {
        std::lock_guard<std::mutex> lock(transport.mutex);
        if (transport.sender) return transport.sender;
    }
    const uint32_t address = OwnBindAddress();
    std::shared_ptr<DatagramSocket> socket = DatagramSocket::Bind({address, 0}, 0);
    // An address the map gives but this machine lacks: send from any address.
    if (!socket && address != 0) socket = DatagramSocket::Bind({0, 0}, 0);
    std::lock_guard<std::mutex> lock(transport.mutex);
    if (!transport.sender) transport.sender = std::move(socket);
    return transport.sender;
}

bool IsOwnName(const std::u16string& upperName) {
    return upperName == u"." || (!upperName.empty() && upperName == OwnComputerName());
}

// Whether the box is open on this computer: in this process, or bound by another process.
bool IsBoxOpenHere(const std::u16string& upperBox, DWORD boxHash) {
    {
        Transport& transport = TheTransport();
        std::lock_guard<std::mutex> lock(transport.mutex);
        if (transport.openBoxes.count(upperBox)) return true;
    }
    return platform::IsDatagramEndpointTaken({OwnBindAddress(), BoxPort(boxHash)});
}

bool ResolveComputer(const std::u16string& upperName, const std::u16string& upperBox, DWORD boxHash,
                     uint32_t& address) {
    if (IsOwnName(upperName)) {
        if (!IsBoxOpenHere(upperBox, boxHash)) {
            platform::SetLastError(kErrorFileNotFound);
            return false;
        }
        const uint32_t own = OwnBindAddress();
        address = own ? own : kLoopback;
        return true;
    }
    if (!platform::LookupHost(upperName, address)) {
        platform::SetLastError(kErrorBadNetPath);
        return false;
    }
    return true;
}

}  // namespace

DWORD BoxHash(const WCHAR* box) {
    return GetHashIDW(Upper(box).c_str());
}

uint16_t BoxPort(DWORD boxHash) {
    return uint16_t(platform::MailslotPortBase() + ((boxHash >> 16) % 8192));
}

std::u16string OwnComputerName() {
    return Upper(platform::ProcessComputerName().c_str());
}

uint32_t OwnBindAddress() {
    uint32_t address = 0;
    const std::u16string own = OwnComputerName();
    if (own.empty() || !platform::LookupHost(own, address)) return 0;
    return address;
}

OwnBox::~OwnBox() {
    if (socket) socket->Shutdown();
    Transport& transport = TheTransport();
    std::lock_guard<std::mutex> lock(transport.mutex);
    auto found = transport.openBoxes.find(upperName);
    if (found != transport.openBoxes.end()) transport.openBoxes.erase(found);
}

std::unique_ptr<OwnBox> CreateOwnBox(const WCHAR* box) {
    auto own = std::make_unique<OwnBox>();
    own->upperName = Upper(box);
    own->boxHash = GetHashIDW(own->upperName.c_str());
    std::unique_ptr<DatagramSocket> socket =
        DatagramSocket::Bind({OwnBindAddress(), BoxPort(own->boxHash)}, kReceiveQueueBytes);
    if (!socket) return nullptr;
    own->socket = std::move(socket);
    Transport& transport = TheTransport();
    std::lock_guard<std::mutex> lock(transport.mutex);
    transport.openBoxes.insert(own->upperName);
    return own;
}

DWORD OpenPeerBox(const WCHAR* computer, const WCHAR* box) {
    const std::u16string upperName = Upper(computer);
    const std::u16string upperBox = Upper(box);
    if (upperName.empty() || upperBox.empty()) {
        platform::SetLastError(kErrorInvalidParameter);
        return MAIL_NO_HANDLE;
    }
    const DWORD boxHash = GetHashIDW(upperBox.c_str());
    PeerBox peer{};
    if (!ResolveComputer(upperName, upperBox, boxHash, peer.endpoint.address)) {
        return MAIL_NO_HANDLE;
    }
    peer.endpoint.port = BoxPort(boxHash);
    WriteEnvelope(peer.envelope, boxHash);
    Transport& transport = TheTransport();
    std::lock_guard<std::mutex> lock(transport.mutex);
    DWORD handle = transport.nextHandle;
    while (handle == 0 || handle == MAIL_NO_HANDLE || transport.peers.count(handle)) ++handle;
    transport.nextHandle = handle + 1;
    transport.peers.emplace(handle, peer);
    return handle;
}

bool WritePeerBox(DWORD handle, const void* item, DWORD size) {
    if (!item || size > kLargestItem) {
        platform::SetLastError(kErrorInvalidParameter);
        return false;
    }
    PeerBox peer{};
    {
        Transport& transport = TheTransport();
        std::lock_guard<std::mutex> lock(transport.mutex);
        auto found = transport.peers.find(handle);
        if (found == transport.peers.end()) {
            platform::SetLastError(kErrorInvalidHandle);
            return false;
        }
        peer = found->second;
    }
    std::shared_ptr<DatagramSocket> sender = Sender();
    if (!sender) return false;
    std::vector<BYTE> datagram(kEnvelopeSize + size);
    std::memcpy(datagram.data(), peer.envelope, kEnvelopeSize);
    std::memcpy(datagram.data() + kEnvelopeSize, item, size);
    return sender->SendTo(datagram.data(), datagram.size(), peer.endpoint);
}

bool ClosePeerBox(DWORD handle) {
    Transport& transport = TheTransport();
    std::lock_guard<std::mutex> lock(transport.mutex);
    if (transport.peers.erase(handle) == 0) {
        platform::SetLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

size_t OpenPeerBoxCount() {
    Transport& transport = TheTransport();
    std::lock_guard<std::mutex> lock(transport.mutex);
    return transport.peers.size();
}

}  // namespace qzo::mail
