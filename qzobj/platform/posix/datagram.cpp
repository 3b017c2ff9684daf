// UDP sockets for the datagram service: bind without address reuse, send, wait in poll, peek
// the next datagram's size and take it whole.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "qzobj/platform/datagram.h"
#include "qzobj/platform/last_error.h"

namespace qzo::platform {
namespace {

constexpr DWORD kErrorAlreadyExists = 183;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr DWORD kErrorInvalidHandle = 6;

sockaddr_in ToSockaddr(const DatagramEndpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(endpoint.port);
    address.sin_addr.s_addr = htonl(endpoint.address);
    return address;
}

DatagramEndpoint FromSockaddr(const sockaddr_in& address) {
    return DatagramEndpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

DWORD BindError(int error) {
    // A taken endpoint is an existing mailslot of that name on this computer.
    return error == EADDRINUSE ? kErrorAlreadyExists : ErrorFromErrno(error);
}

}  // namespace

bool ParseIPv4(std::string_view text, uint32_t& address) {
    uint32_t result = 0;
    int parts = 0;
    size_t i = 0;
    while (parts < 4) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
        uint32_t part = 0;
        size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
            part = part * 10 + uint32_t(text[i] - '0');
            ++i;
            ++digits;
        }
        if (part > 255 || digits > 3) return false;
        result = (result << 8) | part;
        ++parts;
        if (parts < 4) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
    }
    if (i != text.size()) return false;
    address = result;
    return true;
}

std::unique_ptr<DatagramSocket> DatagramSocket::Bind(const DatagramEndpoint& local,
                                                     int receiveBuffer) {
    const int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        SetLastErrorFromErrno(errno);
        return nullptr;
    }
    if (receiveBuffer > 0) {
        // Past the system's maximum only a privileged process gets the size asked for; others
        // get the maximum, and a smaller queue still works (bursts beyond it are lost).
        if (::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer,
                         sizeof receiveBuffer) != 0) {
            ::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
    }
    sockaddr_in address = ToSockaddr(local);
    if (::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(descriptor);
        SetLastError(BindError(error));
        return nullptr;
    }
    socklen_t length = sizeof address;
    ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        SetLastErrorFromErrno(errno);
        ::close(descriptor);
        return nullptr;
    }
    return std::unique_ptr<DatagramSocket>(
        new DatagramSocket(descriptor, wake, FromSockaddr(address)));
}

DatagramSocket::~DatagramSocket() {
    ::close(descriptor_);
    ::close(wake_);
}

bool DatagramSocket::SendTo(const void* data, size_t size, const DatagramEndpoint& to) {
    if ((!data && size) || size > kMaximumDatagram) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    const sockaddr_in address = ToSockaddr(to);
    for (;;) {
        const ssize_t sent = ::sendto(descriptor_, data, size, MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (sent >= 0) return size_t(sent) == size;
        if (errno != EINTR) {
            SetLastErrorFromErrno(errno);
            return false;
        }
    }
}

DatagramWait DatagramSocket::WaitReadable(DWORD milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (;;) {
        if (IsShutDown()) return DatagramWait::Closed;
        int timeout = -1;
        if (milliseconds != INFINITE) {
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            if (elapsed.count() >= milliseconds) return DatagramWait::TimedOut;
            timeout = int(milliseconds - DWORD(elapsed.count()));
        }
        pollfd descriptors[2] = {{descriptor_, POLLIN, 0}, {wake_, POLLIN, 0}};
        const int ready = ::poll(descriptors, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            SetLastErrorFromErrno(errno);
            return DatagramWait::Closed;
        }
        if (IsShutDown() || (descriptors[1].revents & POLLIN)) return DatagramWait::Closed;
        if (descriptors[0].revents & (POLLERR | POLLNVAL)) {
            // A pending socket error (an earlier send's port unreachable, say) is cleared by
            // reading it; the socket goes on.
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(descriptor_, SOL_SOCKET, SO_ERROR, &error, &length);
            if (descriptors[0].revents & POLLNVAL) return DatagramWait::Closed;
        }
        if (descriptors[0].revents & POLLIN) return DatagramWait::Ready;
    }
}

bool DatagramSocket::PeekSize(size_t& size) {
    if (IsShutDown()) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    for (;;) {
        char probe = 0;
        // MSG_TRUNC reports the datagram's real length although only one byte is copied.
        const ssize_t length = ::recv(descriptor_, &probe, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (length >= 0) {
            size = size_t(length);
            return true;
        }
        if (errno == EINTR) continue;
        SetLastErrorFromErrno(errno);
        return false;
    }
}

bool DatagramSocket::Receive(void* buffer, size_t capacity, size_t& received,
                             DatagramEndpoint* from) {
    size_t next = 0;
    if (!PeekSize(next)) return false;
    if (next > capacity || (!buffer && next)) {
        SetLastError(kErrorInsufficientBuffer);
        return false;
    }
    char empty = 0;
    for (;;) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        const ssize_t got =
            ::recvfrom(descriptor_, buffer ? buffer : &empty, capacity, MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&address), &length);
        if (got >= 0) {
            received = size_t(got);
            if (from) *from = FromSockaddr(address);
            return true;
        }
        if (errno == EINTR) continue;
        SetLastErrorFromErrno(errno);
        return false;
    }
}

void DatagramSocket::Shutdown() {
    shutDown_.store(true, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
    ::shutdown(descriptor_, SHUT_RDWR);  // unconnected sockets report ENOTCONN; harmless
}

bool IsDatagramEndpointTaken(const DatagramEndpoint& endpoint) {
    const int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) return false;
    sockaddr_in address = ToSockaddr(endpoint);
    const bool taken =
        ::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno == EADDRINUSE;
    ::close(descriptor);
    return taken;
}

}  // namespace qzo::platform
