// The datagram transport under mailslots: whole datagrams, a short buffer that leaves the
// datagram queued, one binding per endpoint, a shutdown that wakes a waiting reader, and the
// hosts map.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "mail_fixture.h"
#include "qzobj/os/mailslot_transport.h"
#include "qzobj/platform/datagram.h"
#include "qzobj/platform/hosts_map.h"
#include "qzobj/platform/last_error.h"

namespace qzo::test {
namespace {

using platform::DatagramSocket;
using platform::DatagramWait;

uint32_t AddressOf(const std::string& text) {
    uint32_t address = 0;
    EXPECT_TRUE(platform::ParseIPv4(text, address)) << text;
    return address;
}

class DatagramTest : public MailTest {};

TEST_F(DatagramTest, ShortBufferFailsAndLeavesTheDatagramQueued) {
    auto socket = DatagramSocket::Bind({AddressOf(TestAddress(kOwnHost)), 0}, 1 << 20);
    ASSERT_TRUE(socket);
    const uint16_t port = socket->LocalEndpoint().port;
    ASSERT_NE(port, 0);
    const std::string payload(100, 'm');
    ASSERT_TRUE(SendRawDatagram(TestAddress(kOwnHost), port, payload));
    ASSERT_EQ(socket->WaitReadable(5000), DatagramWait::Ready);

    size_t size = 0;
    ASSERT_TRUE(socket->PeekSize(size));
    EXPECT_EQ(size, 100u);
    char buffer[200] = {};
    size_t received = 0;
    EXPECT_FALSE(socket->Receive(buffer, 99, received, nullptr));
    EXPECT_EQ(platform::GetLastError(), 122u);
    ASSERT_TRUE(socket->PeekSize(size));
    EXPECT_EQ(size, 100u);
    platform::DatagramEndpoint from;
    ASSERT_TRUE(socket->Receive(buffer, sizeof buffer, received, &from));
    EXPECT_EQ(std::string(buffer, received), payload);
    EXPECT_EQ(socket->WaitReadable(0), DatagramWait::TimedOut);
}

TEST_F(DatagramTest, AnEndpointIsBoundOnce) {
    auto first = DatagramSocket::Bind({AddressOf(TestAddress(kOwnHost)), 0}, 0);
    ASSERT_TRUE(first);
    const platform::DatagramEndpoint endpoint = first->LocalEndpoint();
    EXPECT_TRUE(platform::IsDatagramEndpointTaken(endpoint));
    EXPECT_FALSE(DatagramSocket::Bind(endpoint, 0));
    EXPECT_EQ(platform::GetLastError(), 183u);
    first.reset();
    EXPECT_FALSE(platform::IsDatagramEndpointTaken(endpoint));
}

TEST_F(DatagramTest, ShutdownWakesAWaitingReader) {
    auto socket = DatagramSocket::Bind({AddressOf(TestAddress(kOwnHost)), 0}, 0);
    ASSERT_TRUE(socket);
    DatagramWait result = DatagramWait::Ready;
    std::thread reader([&] { result = socket->WaitReadable(INFINITE); });
    GiveTime();
    const auto start = std::chrono::steady_clock::now();
    socket->Shutdown();
    reader.join();
    EXPECT_EQ(result, DatagramWait::Closed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(socket->WaitReadable(INFINITE), DatagramWait::Closed);
}

TEST_F(DatagramTest, AddressesAndTheHostsMap) {
    uint32_t address = 0;
    EXPECT_TRUE(platform::ParseIPv4("127.0.0.1", address));
    EXPECT_EQ(address, 0x7F000001u);
    for (const char* bad : {"", "127.0.0", "127.0.0.256", "1.2.3.4.5", "a.b.c.d", "1..2.3",
                            "1.2.3.4 ", "0001.2.3.4"}) {
        EXPECT_FALSE(platform::ParseIPv4(bad, address)) << bad;
    }
    WriteHosts({{"  ", ""}, {"#COMMENT", "127.0.0.7"}, {"lower", "127.0.0.8"}});
    EXPECT_TRUE(platform::LookupHost(u"LOWER", address));
    EXPECT_EQ(address, 0x7F000008u);
    EXPECT_TRUE(platform::LookupHost(u"beta", address));
    EXPECT_EQ(address, AddressOf(TestAddress(kBetaHost)));
    EXPECT_FALSE(platform::LookupHost(u"#COMMENT", address));
    EXPECT_FALSE(platform::LookupHost(u"", address));

    const std::string saved = std::getenv("QZO_MAILSLOT_PORT");
    EXPECT_EQ(platform::MailslotPortBase(), uint16_t(std::stoi(saved)));
    for (const char* bad : {"0", "57345", "12x", "-3"}) {
        setenv("QZO_MAILSLOT_PORT", bad, 1);
        EXPECT_EQ(platform::MailslotPortBase(), 24576) << bad;
    }
    setenv("QZO_MAILSLOT_PORT", "57344", 1);
    EXPECT_EQ(platform::MailslotPortBase(), 57344);
    setenv("QZO_MAILSLOT_PORT", saved.c_str(), 1);
}

TEST_F(DatagramTest, OwnComputerReachesOnlyOpenBoxes) {
    EXPECT_EQ(mail::OpenPeerBox(u".", u"NeverOpenBox"), MAIL_NO_HANDLE);
    EXPECT_EQ(platform::GetLastError(), 2u);
    EXPECT_EQ(mail::OpenPeerBox(ownName_.c_str(), u"NeverOpenBox"), MAIL_NO_HANDLE);
    EXPECT_EQ(platform::GetLastError(), 2u);
    EXPECT_EQ(mail::OpenPeerBox(u"NOWHERE", u"NeverOpenBox"), MAIL_NO_HANDLE);
    EXPECT_EQ(platform::GetLastError(), 53u);

    // Open in another process of this computer counts as open here.
    Peer sameComputer(PeerEnvironment(ownNameUtf8_));
    ASSERT_TRUE(sameComputer.Start());
    ASSERT_EQ(sameComputer.Call("mail_open NeverOpenBox"), "OK");
    const DWORD handle = mail::OpenPeerBox(u".", u"neveropenbox");
    ASSERT_NE(handle, MAIL_NO_HANDLE);
    const size_t open = mail::OpenPeerBoxCount();
    EXPECT_TRUE(mail::ClosePeerBox(handle));
    EXPECT_EQ(mail::OpenPeerBoxCount(), open - 1);
    EXPECT_FALSE(mail::ClosePeerBox(handle));
    EXPECT_FALSE(mail::WritePeerBox(handle, "x", 1));
    EXPECT_EQ(platform::GetLastError(), 6u);
}

}  // namespace
}  // namespace qzo::test
