// The simulated network of one test process: loopback addresses 127.a.b.x and a mailslot port
// base derived from the process ID (so test programs running in parallel never meet), hosts
// maps naming simulated computers, mail bytes built independently of the library, and raw UDP
// sockets that pose as computers or inject datagrams.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qzo::test {

// This test process's simulated network: port base and host addresses derive from the process
// ID, so test programs running in parallel do not meet. Call InstallMailEnvironment once early:
// it sets QZO_MAILSLOT_PORT (unless set) for this process and the peers it starts.
void InstallMailEnvironment();
uint16_t TestPortBase();
std::string TestAddress(int host);  // "127.a.b.<host>"
// The port and envelope a box gets, computed here independently of the library.
uint16_t MailBoxPort(const std::u16string& box);
std::string MailEnvelope(const std::u16string& box);
// Writes a hosts map ("NAME ADDRESS" lines) and points QZO_HOSTS of this process at it.
void WriteHostsMap(const std::string& path,
                   const std::vector<std::pair<std::string, std::string>>& hosts);

// Message bytes, little-endian.
std::string LittleEndian(uint32_t value);
std::string MailItemBytes(uint32_t size, uint32_t sender, uint32_t sequence, uint32_t code,
                          const std::string& body = {});
// A 48-byte name message with `name` in UTF-16 zero-padded to 16 characters (cut at 16).
std::string NameItemBytes(uint32_t code, uint32_t sender, uint32_t sequence,
                          const std::u16string& name);
uint32_t ComputerID(const std::u16string& name);

// A raw UDP socket of the test, to pose as a computer or to inject datagrams.
class RawDatagramSocket {
  public:
    // Binds address:port (port 0 picks one); check ok().
    RawDatagramSocket(const std::string& address, uint16_t port);
    ~RawDatagramSocket();
    RawDatagramSocket(const RawDatagramSocket&) = delete;
    RawDatagramSocket& operator=(const RawDatagramSocket&) = delete;

    bool ok() const { return descriptor_ >= 0; }
    bool SendTo(const std::string& address, uint16_t port, const std::string& bytes);
    // The next datagram within the time, or nothing.
    std::optional<std::string> Receive(int milliseconds);

  private:
    int descriptor_ = -1;
};

// Sends one datagram from an unbound socket.
bool SendRawDatagram(const std::string& address, uint16_t port, const std::string& bytes);

}  // namespace qzo::test
