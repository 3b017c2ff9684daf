// Datagram sockets on IPv4: the transport under mailslots. One socket binds an address and
// port, sends to endpoints, waits for the next datagram and takes it whole.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "qzobj/types.h"

namespace qzo::platform {

// An IPv4 address and port, both in host byte order. Address 0 is the wildcard.
struct DatagramEndpoint {
    uint32_t address = 0;
    uint16_t port = 0;
};

// "a.b.c.d" with four decimal parts of 0..255; false for anything else.
bool ParseIPv4(std::string_view text, uint32_t& address);

enum class DatagramWait { Ready, TimedOut, Closed };

// A bound UDP socket.
//
// Thread safety: SendTo may be called from any thread. WaitReadable, PeekSize and Receive
// belong to one reading thread at a time. Shutdown may be called from any thread while another
// waits: it wakes the wait, and every later wait reports Closed. The destructor must not race
// with any other call.
class DatagramSocket {
  public:
    // Binds `local` (port 0 picks a free one) without address reuse, so a second bind of a taken
    // endpoint fails with ERROR_ALREADY_EXISTS (183). `receiveBuffer` > 0 asks for that many
    // bytes of receive queue. Null on failure, with the last error set.
    static std::unique_ptr<DatagramSocket> Bind(const DatagramEndpoint& local, int receiveBuffer);
    ~DatagramSocket();
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    // Sends one datagram; true when the whole datagram left. Datagrams over 65,507 bytes fail
    // with ERROR_INVALID_PARAMETER.
    bool SendTo(const void* data, size_t size, const DatagramEndpoint& to);

    // Waits until a datagram is queued, the time passes (INFINITE never ends), or the socket is
    // shut down. Interrupting signals do not end the wait.
    DatagramWait WaitReadable(DWORD milliseconds);
    // The size of the next queued datagram without taking it; false when none is queued or the
    // socket was shut down.
    bool PeekSize(size_t& size);
    // Takes the next datagram. A buffer smaller than the datagram fails with
    // ERROR_INSUFFICIENT_BUFFER (122) and leaves the datagram queued. `from` may be null.
    bool Receive(void* buffer, size_t capacity, size_t& received, DatagramEndpoint* from);

    // Wakes a thread in WaitReadable; from now on waits report Closed.
    void Shutdown();
    bool IsShutDown() const { return shutDown_.load(std::memory_order_acquire); }

    DatagramEndpoint LocalEndpoint() const { return local_; }

  private:
    DatagramSocket(int descriptor, int wake, const DatagramEndpoint& local)
        : descriptor_(descriptor), wake_(wake), local_(local) {}

    int descriptor_;
    int wake_;  // becomes readable at Shutdown, so a wait in progress ends
    DatagramEndpoint local_;
    std::atomic<bool> shutDown_{false};
};

// True when an endpoint is bound by some socket of this computer (a bind attempt meets it).
bool IsDatagramEndpointTaken(const DatagramEndpoint& endpoint);

inline constexpr size_t kMaximumDatagram = 65507;

}  // namespace qzo::platform
