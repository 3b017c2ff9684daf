// The simulated network of the tests and raw datagrams.
#include "support/simulated_network.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "qzobj/hashid.h"

namespace qzo::test {

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

}  // namespace qzo::test
