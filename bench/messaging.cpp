// Mailslot messaging against raw UDP on loopback: a mailslot round trip between two processes
// against a sendto/recvfrom ping-pong between two processes (target at most 2x), and Notify to
// 1, 4 and 16 peers against as many sendto calls of the same datagram (target at most 2x).
// Wall time: both sides wait on the other process.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/hashid.h"
#include "qzobj/mailslot.h"
#include "support/ratio_reporter.h"

extern char** environ;

namespace {

constexpr DWORD kPing = 1000;
constexpr DWORD kPong = 1001;
constexpr const char16_t* kRoundTripBox = u"BenchBox";
constexpr const char16_t* kNotifyBox = u"NotifyBox";
constexpr char kEchoArgument[] = "--mail-echo";

std::string Address(int host) {
    const unsigned pid = unsigned(getpid());
    return "127." + std::to_string(1 + (pid >> 8) % 254) + "." + std::to_string(pid & 0xFF) + "." +
           std::to_string(host);
}

sockaddr_in Endpoint(const std::string& address, uint16_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr);
    return endpoint;
}

uint16_t BoxPort(const char16_t* box) {
    std::u16string upper(box);
    for (char16_t& c : upper) c = (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
    return uint16_t(std::atoi(std::getenv("QZO_MAILSLOT_PORT")) +
                    ((GetHashIDW(upper.c_str()) >> 16) % 8192));
}

std::string Envelope(const char16_t* box) {
    std::u16string upper(box);
    for (char16_t& c : upper) c = (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
    const DWORD hash = GetHashIDW(upper.c_str());
    std::string bytes = "QZM1";
    for (int i = 0; i < 4; ++i) bytes += char((hash >> (8 * i)) & 0xFF);
    return bytes;
}

// A mailslot that answers pings (the echo process) and counts pongs (the measuring one).
class BenchMailslot : public COSMailslot {
  public:
    ~BenchMailslot() override { Close(); }
    int OnMailItem(tagMAILITEM* item) override {
        if (item->dwCode == kPing) {
            tagMAILITEM pong{sizeof(tagMAILITEM), 0, 0, kPong};
            MailTo(item->dwSenderID, &pong);
        } else if (item->dwCode == kPong) {
            std::lock_guard<std::mutex> lock(mutex);
            ++pongs;
            arrived.notify_one();
        }
        return 1;
    }
    size_t Targets() { return GetTargetList().GetNItems(); }
    using COSMailslot::MailTo;
    using COSMailslot::Notify;

    std::mutex mutex;
    std::condition_variable arrived;
    size_t pongs = 0;
};

// ---- Mailslot round trip ----

BenchMailslot* g_pinger = nullptr;
DWORD g_echoID = 0;

void MailslotRoundTrip(benchmark::State& state) {
    if (!g_pinger) {
        state.SkipWithError("the echo process did not answer");
        return;
    }
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(g_pinger->mutex);
        const size_t before = g_pinger->pongs;
        lock.unlock();
        tagMAILITEM ping{sizeof(tagMAILITEM), 0, 0, kPing};
        g_pinger->MailTo(g_echoID, &ping);
        lock.lock();
        if (!g_pinger->arrived.wait_for(lock, std::chrono::seconds(2),
                                        [&] { return g_pinger->pongs > before; })) {
            state.SkipWithError("a pong was lost");
            return;
        }
    }
}

// ---- Raw UDP ping-pong ----

int g_rawSocket = -1;
sockaddr_in g_rawEcho{};

void RawUdpPingPong(benchmark::State& state) {
    char datagram[24] = {};
    for (auto _ : state) {
        sendto(g_rawSocket, datagram, sizeof datagram, 0,
               reinterpret_cast<const sockaddr*>(&g_rawEcho), sizeof g_rawEcho);
        if (recvfrom(g_rawSocket, datagram, sizeof datagram, 0, nullptr, nullptr) < 0) {
            state.SkipWithError("a raw pong was lost");
            return;
        }
    }
}

pid_t StartRawEcho(const std::string& address, uint16_t port) {
    const int echo = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local = Endpoint(address, port);
    if (bind(echo, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        char datagram[64];
        for (;;) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t got = recvfrom(echo, datagram, sizeof datagram, 0,
                                         reinterpret_cast<sockaddr*>(&from), &length);
            if (got <= 1) _exit(0);
            sendto(echo, datagram, size_t(got), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }
    close(echo);
    return child;
}

// ---- Notify against sendto ----

struct NotifySetup {
    BenchMailslot box;
    std::vector<int> peers;  // raw sockets posing as PEER00, PEER01, ...
};

void OpenNotifyBox(NotifySetup& setup, int count) {
    if (!setup.box.Open(kNotifyBox)) return;
    const sockaddr_in boxAddress = Endpoint(Address(2), BoxPort(kNotifyBox));
    for (int i = 0; i < count; ++i) {
        const int peer = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local = Endpoint(Address(10 + i), BoxPort(kNotifyBox));
        bind(peer, reinterpret_cast<sockaddr*>(&local), sizeof local);
        char name[16];
        std::snprintf(name, sizeof name, "PEER%02d", i);
        std::u16string wide(name, name + std::strlen(name));
        std::string hello = Envelope(kNotifyBox);
        const DWORD words[4] = {48, GetHashIDW(wide.c_str()), 1, MAILITEM_HELLO};
        hello.append(reinterpret_cast<const char*>(words), sizeof words);
        std::string nameBytes(32, '\0');
        std::memcpy(nameBytes.data(), wide.data(), wide.size() * 2);
        hello += nameBytes;
        sendto(peer, hello.data(), hello.size(), 0, reinterpret_cast<const sockaddr*>(&boxAddress),
               sizeof boxAddress);
        setup.peers.push_back(peer);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (setup.box.Targets() < size_t(count) && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void CloseNotifyBox(NotifySetup& setup) {
    setup.box.Close();
    for (int peer : setup.peers) close(peer);
}

void MailslotNotify(benchmark::State& state) {
    NotifySetup setup;
    OpenNotifyBox(setup, int(state.range(0)));
    if (setup.box.Targets() != size_t(state.range(0))) {
        state.SkipWithError("the peers were not greeted");
        CloseNotifyBox(setup);
        return;
    }
    for (auto _ : state) {
        tagMAILITEM item{sizeof(tagMAILITEM), 0, 0, 7};
        setup.box.Notify(&item);
    }
    CloseNotifyBox(setup);
}

void RawSendTo(benchmark::State& state) {
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    std::vector<sockaddr_in> peers;
    for (int i = 0; i < state.range(0); ++i) {
        peers.push_back(Endpoint(Address(10 + i), BoxPort(kNotifyBox)));
    }
    char datagram[24] = {};
    for (auto _ : state) {
        for (const sockaddr_in& peer : peers) {
            sendto(sender, datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&peer),
                   sizeof peer);
        }
    }
    close(sender);
}

// ---- Set-up ----

void WriteHosts(const std::string& path) {
    std::ofstream hosts(path, std::ios::trunc);
    hosts << "BENCHA " << Address(2) << "\nBENCHB " << Address(3) << "\n";
    for (int i = 0; i < 16; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "PEER%02d", i);
        hosts << name << " " << Address(10 + i) << "\n";
    }
}

// The echo process: BENCHB, answering pings until its standard input closes.
int RunMailEcho() {
    BenchMailslot echo;
    if (!echo.Open(kRoundTripBox) || !echo.AttachComputer(u"BENCHA")) return 1;
    char ignored;
    while (read(STDIN_FILENO, &ignored, 1) > 0) {
    }
    return 0;
}

pid_t StartMailEcho(int& input) {
    std::vector<std::string> variables;
    for (char** variable = environ; *variable; ++variable) {
        if (std::strncmp(*variable, "QZO_COMPUTERNAME=", 17) != 0) variables.push_back(*variable);
    }
    variables.push_back("QZO_COMPUTERNAME=BENCHB");
    std::vector<char*> environment;
    for (std::string& variable : variables) environment.push_back(variable.data());
    environment.push_back(nullptr);
    int pipes[2];
    if (pipe(pipes) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipes[0], STDIN_FILENO);
        close(pipes[0]);
        close(pipes[1]);
        char* arguments[] = {const_cast<char*>("/proc/self/exe"), const_cast<char*>(kEchoArgument),
                             nullptr};
        execve("/proc/self/exe", arguments, environment.data());
        _exit(127);
    }
    close(pipes[0]);
    input = pipes[1];
    return child;
}

const std::vector<qzo::bench::Comparison> kComparisons = {
    {"MailslotRoundTrip/real_time", "RawUdpPingPong/real_time",
     "Mailslot round trip between two processes / raw UDP ping-pong", 2.0},
    {"MailslotNotify/1/real_time", "RawSendTo/1/real_time", "Notify to 1 peer / 1 sendto", 2.0},
    {"MailslotNotify/4/real_time", "RawSendTo/4/real_time", "Notify to 4 peers / 4 sendto", 2.0},
    {"MailslotNotify/16/real_time", "RawSendTo/16/real_time", "Notify to 16 peers / 16 sendto",
     2.0},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], kEchoArgument) == 0) return RunMailEcho();
    if (!qzo::bench::Initialize(&argc, argv)) return 1;
    SetDebugMode(FALSE);
    // A private port range and address block for this run, and the computers' map.
    setenv("QZO_MAILSLOT_PORT", std::to_string(1024 + (unsigned(getpid()) * 37u) % 23000u).c_str(),
           1);
    setenv("QZO_COMPUTERNAME", "BENCHA", 1);
    const std::string hosts = "/tmp/qzo-bench-hosts-" + std::to_string(getpid());
    WriteHosts(hosts);
    setenv("QZO_HOSTS", hosts.c_str(), 1);

    BenchMailslot pinger;
    int echoInput = -1;
    pid_t mailEcho = -1;
    if (pinger.Open(kRoundTripBox)) {
        mailEcho = StartMailEcho(echoInput);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (pinger.Targets() == 0 && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (pinger.Targets() == 1) {
            g_pinger = &pinger;
            g_echoID = GetHashIDW(u"BENCHB");
        }
    }
    // The raw echo listens just below the mailslot ports.
    const uint16_t rawPort = uint16_t(std::atoi(std::getenv("QZO_MAILSLOT_PORT")) - 1);
    const pid_t rawEcho = StartRawEcho(Address(4), rawPort);
    g_rawSocket = socket(AF_INET, SOCK_DGRAM, 0);
    g_rawEcho = Endpoint(Address(4), rawPort);
    timeval timeout{2, 0};
    setsockopt(g_rawSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    benchmark::RegisterBenchmark("MailslotRoundTrip", &MailslotRoundTrip)->UseRealTime();
    benchmark::RegisterBenchmark("RawUdpPingPong", &RawUdpPingPong)->UseRealTime();
    benchmark::RegisterBenchmark("MailslotNotify", &MailslotNotify)
        ->Arg(1)
        ->Arg(4)
        ->Arg(16)
        ->UseRealTime();
    benchmark::RegisterBenchmark("RawSendTo", &RawSendTo)->Arg(1)->Arg(4)->Arg(16)->UseRealTime();
    qzo::bench::RunWithRatios(kComparisons, qzo::bench::Clock::kWall);

    // Stop the echo processes: a 1-byte datagram ends the raw one, end of input the mail one.
    const char stop = 0;
    sendto(g_rawSocket, &stop, 1, 0, reinterpret_cast<const sockaddr*>(&g_rawEcho),
           sizeof g_rawEcho);
    if (echoInput >= 0) close(echoInput);
    if (rawEcho > 0) waitpid(rawEcho, nullptr, 0);
    if (mailEcho > 0) waitpid(mailEcho, nullptr, 0);
    g_pinger = nullptr;
    pinger.Close();
    unlink(hosts.c_str());
    return 0;
}
