// Mailslot objects: wire bytes of envelope, HELLO and GOODBYE, one box per computer, sending
// by name and ID, the reader's start and stop, and the target and computer lists. Below them
// the datagram transport: whole datagrams, a short buffer that leaves the datagram queued, one
// binding per endpoint, a shutdown that wakes a waiting reader, and the hosts map.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "os/mailslot/mail_fixture.h"
#include "qzobj/diag.h"
#include "qzobj/hashid.h"
#include "qzobj/os/mailslot_transport.h"
#include "qzobj/platform/datagram.h"
#include "qzobj/platform/hosts_map.h"
#include "qzobj/platform/last_error.h"
#include "support/capture.h"

namespace qzo::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

// Sends `item` in the envelope of `box` to that box on this computer.
bool Deliver(RawDatagramSocket& from, const std::u16string& box, const std::string& item) {
    return from.SendTo(TestAddress(kOwnHost), MailBoxPort(box), MailEnvelope(box) + item);
}

bool HasTarget(RecordingMailslot& box, const std::u16string& name) {
    CPMailTargets targets = box.GetTargetList();
    for (DWORD i = 0; i < targets.GetNItems(); ++i) {
        if (name == targets.GetCList()[i].szComputerName) return true;
    }
    return false;
}

// Opens the box; ALPHA, played by a raw socket, greets it and takes the HELLO ACKNOWLEDGED.
void OpenAndGreet(RecordingMailslot& box, RawDatagramSocket& alpha, const std::u16string& boxName) {
    ASSERT_EQ(box.Open(boxName.c_str()), 1);
    ASSERT_TRUE(alpha.ok());
    ASSERT_TRUE(
        Deliver(alpha, boxName, NameItemBytes(MAILITEM_HELLO, ComputerID(u"ALPHA"), 1, u"ALPHA")));
    ASSERT_TRUE(WaitUntil([&] { return HasTarget(box, u"ALPHA"); }));
    auto answer = alpha.Receive(5000);
    ASSERT_TRUE(answer.has_value());
    ASSERT_EQ(answer->size(), 56u);
    EXPECT_EQ(answer->substr(8 + 12, 4), LittleEndian(MAILITEM_HELLOACK));
}

using MailslotTest = MailTest;

TEST_F(MailslotTest, GoldenBytesOfEnvelopeHelloAndGoodbye) {
    RecordingMailslot box;
    ASSERT_EQ(box.Open(u"GoldBox"), 1);
    RawDatagramSocket alpha(TestAddress(kAlphaHost), MailBoxPort(u"GoldBox"));
    ASSERT_TRUE(alpha.ok());

    ASSERT_EQ(box.AttachComputer(u"alpha"), 1);
    auto hello = alpha.Receive(5000);
    ASSERT_TRUE(hello.has_value());
    const std::string envelope = MailEnvelope(u"GoldBox");
    EXPECT_EQ(Hex(envelope), "515a4d31" + Hex(LittleEndian(GetHashIDW(u"GOLDBOX"))));
    EXPECT_EQ(Hex(*hello),
              Hex(envelope + NameItemBytes(MAILITEM_HELLO, ComputerID(ownName_), 0, ownName_)));
    if (ownName_ == u"ZETA") {
        // The whole datagram, byte for byte, for the computer ZETA.
        const std::string zeta =
            "5a0045005400410000000000000000000000000000000000000000000000"
            "0000";
        EXPECT_EQ(Hex(hello->substr(0, 24)), Hex(envelope) + "30000000" +
                                                 Hex(LittleEndian(GetHashIDW(u"ZETA"))) +
                                                 "00000000" + "feffffff");
        EXPECT_EQ(Hex(hello->substr(24)), zeta);
    }

    // ALPHA acknowledges; the box learns it and hands the message on once.
    ASSERT_TRUE(Deliver(alpha, u"GoldBox",
                        NameItemBytes(MAILITEM_HELLOACK, ComputerID(u"ALPHA"), 7, u"ALPHA")));
    ASSERT_TRUE(WaitUntil([&] { return box.Count(MAILITEM_HELLOACK) == 1; }));
    EXPECT_TRUE(HasTarget(box, u"ALPHA"));

    ASSERT_EQ(box.Close(), 1);
    auto goodbye = alpha.Receive(5000);
    ASSERT_TRUE(goodbye.has_value());
    EXPECT_EQ(Hex(*goodbye), Hex(envelope) + "10000000" + Hex(LittleEndian(ComputerID(ownName_))) +
                                 "01000000" + "ffffffff");
    EXPECT_FALSE(box.IsOpen());
    EXPECT_EQ(box.GetTargetList().GetNItems(), 0u);
}

TEST_F(MailslotTest, OneBoxPerComputer) {
    RecordingMailslot box;
    EXPECT_EQ(box.Open(nullptr), 0);
    EXPECT_EQ(box.Open(u""), 0);
    ASSERT_EQ(box.Open(u"TwiceBox"), 1);
    // An open object stays as it is.
    EXPECT_EQ(box.Open(u"OtherBox"), 0);
    EXPECT_TRUE(box.IsOpen());
    EXPECT_EQ(std::u16string(box.GetTargetList().GetPOBoxName()), u"TwiceBox");

    RecordingMailslot second;
    EXPECT_EQ(second.Open(u"twicebox"), 0);
    EXPECT_EQ(qzo::platform::GetLastError(), 183u);
    EXPECT_FALSE(second.IsOpen());

    Peer sameComputer(PeerEnvironment(ownNameUtf8_));
    ASSERT_TRUE(sameComputer.Start());
    EXPECT_EQ(sameComputer.Call("mail_open TwiceBox"), "FAIL 183");
    Peer otherComputer(PeerEnvironment("BETA"));
    ASSERT_TRUE(otherComputer.Start());
    EXPECT_EQ(otherComputer.Call("mail_open TwiceBox"), "OK");

    box.Close();
    EXPECT_EQ(sameComputer.Call("mail_open TwiceBox"), "OK");
    EXPECT_EQ(sameComputer.Call("mail_close"), "OK");
    EXPECT_EQ(box.Open(u"TwiceBox"), 1);
}

TEST_F(MailslotTest, SendingByIdAndByName) {
    RecordingMailslot box;
    RawDatagramSocket alpha(TestAddress(kAlphaHost), MailBoxPort(u"IdBox"));
    OpenAndGreet(box, alpha, u"IdBox");

    tagMAILITEM item{16, 0, 0, 5};
    EXPECT_EQ(box.MailTo(DWORD(0x400), &item), 0);
    EXPECT_EQ(box.MailTo(ComputerID(u"ALPHA") | 0x400, &item), 0);
    EXPECT_EQ(box.MailTo(ComputerID(u"BETA"), &item), 0);  // not a target
    EXPECT_EQ(box.MailTo(u"ABCDEFGHIJKLMNOP", &item), 0);  // 16 characters
    EXPECT_EQ(box.MailTo(ownName_.c_str(), &item), 0);
    EXPECT_EQ(box.MailTo(u"", &item), 0);
    EXPECT_EQ(box.MailTo(u"NOWHERE", &item), 0);
    EXPECT_EQ(qzo::platform::GetLastError(), 53u);
    EXPECT_FALSE(alpha.Receive(200).has_value());

    ASSERT_EQ(box.MailTo(ComputerID(u"ALPHA"), &item), 1);
    auto byID = alpha.Receive(5000);
    ASSERT_TRUE(byID.has_value());
    EXPECT_EQ(byID->substr(8), MailItemBytes(16, ComputerID(ownName_), 1, 5));

    tagMAILITEM shortItem{3, 0, 0, 6};  // raised to 16
    ASSERT_EQ(box.MailTo("alpha", &shortItem), 1);
    auto byName = alpha.Receive(5000);
    ASSERT_TRUE(byName.has_value());
    EXPECT_EQ(byName->substr(8), MailItemBytes(16, ComputerID(ownName_), 2, 6));

    // Notify stamps one sequence number for every target.
    ASSERT_EQ(box.Notify(&item), 1);
    auto notified = alpha.Receive(5000);
    ASSERT_TRUE(notified.has_value());
    EXPECT_EQ(notified->substr(8), MailItemBytes(16, ComputerID(ownName_), 3, 5));

    // "." is this computer's own box: only while it is open here.
    tagMAILITEM self{16, 0, 0, 9};
    EXPECT_EQ(box.MailTo(u".", &self), 1);
    box.Close();
    EXPECT_EQ(box.MailTo(u".", &self), 0);

    EXPECT_EQ(box.Count(9), 0u);  // the box ignores messages from its own computer
}

TEST_F(MailslotTest, NotifySendsOneMessageWithOneSequenceToEveryTarget) {
    RecordingMailslot box;
    RawDatagramSocket alpha(TestAddress(kAlphaHost), MailBoxPort(u"NotifyBox"));
    RawDatagramSocket beta(TestAddress(kBetaHost), MailBoxPort(u"NotifyBox"));
    OpenAndGreet(box, alpha, u"NotifyBox");
    ASSERT_TRUE(Deliver(beta, u"NotifyBox",
                        NameItemBytes(MAILITEM_HELLO, ComputerID(u"BETA"), 0, u"BETA")));
    ASSERT_TRUE(WaitUntil([&] { return HasTarget(box, u"BETA"); }));
    ASSERT_TRUE(beta.Receive(5000).has_value());  // HELLO ACKNOWLEDGED

    std::string body(12, 'n');
    std::string message = MailItemBytes(28, 0, 0, 321, body);
    ASSERT_EQ(box.Notify(reinterpret_cast<tagMAILITEM*>(message.data())), 1);
    auto toAlpha = alpha.Receive(5000);
    auto toBeta = beta.Receive(5000);
    ASSERT_TRUE(toAlpha.has_value());
    ASSERT_TRUE(toBeta.has_value());
    EXPECT_EQ(*toAlpha, *toBeta);
    EXPECT_EQ(toAlpha->substr(8), MailItemBytes(28, ComputerID(ownName_), 2, 321, body));
    EXPECT_FALSE(alpha.Receive(100).has_value());
}

TEST_F(MailslotTest, AttachComputerRefusals) {
    RecordingMailslot box;
    RawDatagramSocket alpha(TestAddress(kAlphaHost), MailBoxPort(u"AttachBox"));
    OpenAndGreet(box, alpha, u"AttachBox");
    EXPECT_EQ(box.AttachComputer(static_cast<const WCHAR*>(nullptr)), 0);
    EXPECT_EQ(box.AttachComputer(u""), 0);
    EXPECT_EQ(box.AttachComputer(u"ABCDEFGHIJKLMNOP"), 0);
    EXPECT_EQ(box.AttachComputer("ABCDEFGHIJKLMNOPQRS"), 0);
    EXPECT_EQ(box.AttachComputer(u"UNKNOWNHOST"), 0);
    EXPECT_EQ(box.AttachComputer(ownName_.c_str()), 0);
    EXPECT_EQ(box.AttachComputer("Alpha"), 1);  // already a target: nothing is sent
    EXPECT_FALSE(alpha.Receive(200).has_value());
}

TEST_F(MailslotTest, ReaderStartsStopsAndSaysItsLines) {
    DebugCapture capture;
    SetDebugMode(TRUE);
    RecordingMailslot box;
    RawDatagramSocket alpha(TestAddress(kAlphaHost), MailBoxPort(u"TalkBox"));
    OpenAndGreet(box, alpha, u"TalkBox");
    ASSERT_TRUE(
        Deliver(alpha, u"TalkBox", MailItemBytes(16, ComputerID(u"ALPHA"), 2, MAILITEM_GOODBYE)));
    ASSERT_TRUE(WaitUntil([&] { return box.Count(MAILITEM_GOODBYE) == 1; }));
    EXPECT_FALSE(HasTarget(box, u"ALPHA"));

    const auto start = Clock::now();
    box.Close();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
    SetDebugMode(FALSE);

    char hello[96], goodbye[96];
    std::snprintf(hello, sizeof hello, "\rComputer %08X (ALPHA) said HELLO\r\n",
                  unsigned(ComputerID(u"ALPHA")));
    std::snprintf(goodbye, sizeof goodbye, "\rComputer %08X said GOODBYE\r\n",
                  unsigned(ComputerID(u"ALPHA")));
    EXPECT_TRUE(capture.Contains("\rReader started\r\n"));
    EXPECT_TRUE(capture.Contains(hello));
    EXPECT_TRUE(capture.Contains(goodbye));
    EXPECT_TRUE(capture.Contains("\rReader exited\r\n"));
}

TEST_F(MailslotTest, HelloAcknowledgedLineKeepsItsSpelling) {
    DebugCapture capture;
    RecordingMailslot box;
    ASSERT_EQ(box.Open(u"AckBox"), 1);
    RawDatagramSocket alpha(TestAddress(kAlphaHost), MailBoxPort(u"AckBox"));
    ASSERT_TRUE(Deliver(alpha, u"AckBox",
                        NameItemBytes(MAILITEM_HELLOACK, ComputerID(u"ALPHA"), 4, u"ALPHA")));
    ASSERT_TRUE(WaitUntil([&] { return box.Count(MAILITEM_HELLOACK) == 1; }));
    // From a known sender it is dropped, even with a new sequence number.
    ASSERT_TRUE(Deliver(alpha, u"AckBox",
                        NameItemBytes(MAILITEM_HELLOACK, ComputerID(u"ALPHA"), 5, u"ALPHA")));
    ASSERT_TRUE(Deliver(alpha, u"AckBox", MailItemBytes(16, ComputerID(u"ALPHA"), 6, 77)));
    ASSERT_TRUE(WaitUntil([&] { return box.Count(77) == 1; }));
    EXPECT_EQ(box.Count(MAILITEM_HELLOACK), 1u);
    char line[96];
    std::snprintf(line, sizeof line, "\rComputer %08X (ALPHA) said HELLO ACHKNOWLEDGED\r\n",
                  unsigned(ComputerID(u"ALPHA")));
    EXPECT_TRUE(capture.Contains(line));
}

TEST_F(MailslotTest, CloseFromTheHandlerDoesNotWaitForItself) {
    RecordingMailslot box;
    std::atomic<bool> closed{false};
    box.onItem = [&](RecordingMailslot& self, tagMAILITEM* item) {
        if (item->dwCode == 42) {
            self.Close();
            closed = true;
        }
        return 1;
    };
    RawDatagramSocket alpha(TestAddress(kAlphaHost), MailBoxPort(u"SelfBox"));
    OpenAndGreet(box, alpha, u"SelfBox");
    ASSERT_TRUE(Deliver(alpha, u"SelfBox", MailItemBytes(16, ComputerID(u"ALPHA"), 2, 42)));
    ASSERT_TRUE(WaitUntil([&] { return closed.load(); }, std::chrono::seconds(5)));
    EXPECT_FALSE(box.IsOpen());
    // The box is free again once the reader has gone.
    ASSERT_TRUE(WaitUntil([&] { return box.Open(u"SelfBox") == 1; }, std::chrono::seconds(5)));
    box.onItem = nullptr;
    box.Close();
}

TEST_F(MailslotTest, AStuckHandlerIsTerminatedAfterThreeSeconds) {
    RecordingMailslot box;
    std::atomic<bool> entered{false};
    box.onItem = [&](RecordingMailslot&, tagMAILITEM* item) {
        if (item->dwCode != 44) return 1;
        entered = true;
        for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    RawDatagramSocket alpha(TestAddress(kAlphaHost), MailBoxPort(u"StuckBox"));
    OpenAndGreet(box, alpha, u"StuckBox");
    ASSERT_TRUE(Deliver(alpha, u"StuckBox", MailItemBytes(16, ComputerID(u"ALPHA"), 2, 44)));
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
    const auto start = Clock::now();
    box.Close();
    const auto took = Clock::now() - start;
    EXPECT_GT(took, std::chrono::milliseconds(1500));
    EXPECT_LT(took, std::chrono::milliseconds(6000));
    EXPECT_FALSE(box.IsOpen());
    EXPECT_EQ(box.GetTargetList().GetNItems(), 0u);
}

TEST_F(MailslotTest, HandlerResultZeroEndsTheReader) {
    RecordingMailslot box;
    box.onItem = [](RecordingMailslot&, tagMAILITEM* item) { return item->dwCode == 43 ? 0 : 1; };
    RawDatagramSocket alpha(TestAddress(kAlphaHost), MailBoxPort(u"EndBox"));
    OpenAndGreet(box, alpha, u"EndBox");
    for (uint32_t sequence : {2u, 3u}) {
        ASSERT_TRUE(
            Deliver(alpha, u"EndBox", MailItemBytes(16, ComputerID(u"ALPHA"), sequence, 43)));
    }
    ASSERT_TRUE(WaitUntil([&] { return box.Count(43) >= 1; }));
    GiveTime();
    EXPECT_EQ(box.Count(43), 1u);
    const auto start = Clock::now();
    box.Close();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
}

TEST_F(MailslotTest, TargetListKeepsOrderAndCopiesOwnNoHandles) {
    CPMailTargets targets;
    EXPECT_EQ(targets.Add(u"ALPHA", ComputerID(u"ALPHA"), 0), 0);  // no box name yet
    ASSERT_EQ(targets.SetPOBoxName(u"ListBox"), 1);
    ASSERT_EQ(targets.Add(u"GAMMA", ComputerID(u"GAMMA"), 1), 1);
    ASSERT_EQ(targets.Add(u"ALPHA", ComputerID(u"ALPHA"), 2), 1);
    ASSERT_EQ(targets.Add(u"BETA", ComputerID(u"BETA"), 3), 1);
    EXPECT_EQ(targets.Add(u"BETA", ComputerID(u"BETA"), 3), 0);
    EXPECT_EQ(targets.Add(u"NOWHERE", ComputerID(u"NOWHERE"), 3), 0);
    EXPECT_EQ(targets.SetPOBoxName(u"Other"), 0);
    ASSERT_EQ(targets.GetNItems(), 3u);
    for (DWORD i = 1; i < 3; ++i) {
        EXPECT_LT(targets.GetCList()[i - 1].dwComputerID, targets.GetCList()[i].dwComputerID);
    }
    const DWORD first = targets.GetCList()[0].dwComputerID;
    EXPECT_EQ(targets.LocateEntry(0), 0u);
    EXPECT_EQ(targets.LocateEntry(first), 0u);
    EXPECT_EQ(targets.LocateEntry(first + 1), 1u);
    EXPECT_EQ(targets.LocateEntry(0xFFFFFFFF), CPVLIST_NONE);
    EXPECT_EQ(targets.FindComputer(first + 1), CPVLIST_NONE);
    EXPECT_NE(targets.FindComputer(ComputerID(u"BETA")), CPVLIST_NONE);

    EXPECT_EQ(targets.Refresh(ComputerID(u"BETA"), 9), 1);
    EXPECT_EQ(targets.GetCList()[targets.FindComputer(ComputerID(u"BETA"))].dwLastSequence, 9u);
    EXPECT_EQ(targets.Delete(ComputerID(u"BETA")), 1);
    EXPECT_EQ(targets.Delete(ComputerID(u"BETA")), 1);
    EXPECT_EQ(targets.GetNItems(), 2u);
    EXPECT_EQ(targets.LocateEntry(0), 0u);
    CPMailTargets empty;
    EXPECT_EQ(empty.LocateEntry(0), CPVLIST_NONE);
}

TEST_F(MailslotTest, GetTargetListCopiesWithoutHandles) {
    RecordingMailslot box;
    RawDatagramSocket alpha(TestAddress(kAlphaHost), MailBoxPort(u"CopyBox"));
    OpenAndGreet(box, alpha, u"CopyBox");
    {
        CPMailTargets copy = box.GetTargetList();
        ASSERT_EQ(copy.GetNItems(), 1u);
        EXPECT_EQ(copy.GetCList()[0].hMailslot, MAIL_NO_HANDLE);
        EXPECT_EQ(copy.GetCList()[0].dwLastSequence, 1u);
    }
    // The object's own handle still works after the copy went.
    tagMAILITEM item{16, 0, 0, 8};
    ASSERT_EQ(box.MailTo(ComputerID(u"ALPHA"), &item), 1);
    EXPECT_TRUE(alpha.Receive(5000).has_value());
}

TEST_F(MailslotTest, ComputerListAndNeighbourhood) {
    CPComputerList list;
    EXPECT_EQ(list.Add(nullptr), CPVLIST_NONE);
    EXPECT_EQ(list.Add(u"ABCDEFGHIJKLMNOP"), CPVLIST_NONE);
    EXPECT_NE(list.Add(u"ABCDEFGHIJKLMNO"), CPVLIST_NONE);
    EXPECT_NE(list.Add(u"delta"), CPVLIST_NONE);
    EXPECT_NE(list.Add(u"Charlie"), CPVLIST_NONE);
    EXPECT_NE(list.Add(u"DELTA"), CPVLIST_NONE);  // duplicates are not checked
    ASSERT_EQ(list.GetNItems(), 4u);
    EXPECT_EQ(std::u16string(list.GetCList()[1].szName), u"Charlie");
    EXPECT_EQ(list.Find(u"CHARLIE"), 1u);
    EXPECT_EQ(list.Find(u"echo"), CPVLIST_NONE);
    EXPECT_EQ(list.Delete(1), 1);
    EXPECT_EQ(list.Find(u"charlie"), CPVLIST_NONE);

    WriteHosts({{"ABCDEFGHIJKLMNOPQ", "127.0.0.9"}, {"broken", "300.1.1.1"}});
    CPComputerList neighbourhood = QZNET_GetNetworkNeighbourhood();
    EXPECT_EQ(neighbourhood.GetNItems(), 4u);
    EXPECT_NE(neighbourhood.Find(u"ALPHA"), CPVLIST_NONE);
    EXPECT_NE(neighbourhood.Find(u"gamma"), CPVLIST_NONE);
    EXPECT_EQ(neighbourhood.Find(u"broken"), CPVLIST_NONE);
    unsetenv("QZO_HOSTS");
    EXPECT_EQ(QZNET_GetNetworkNeighbourhood().GetNItems(), 0u);
}

// ---- The datagram transport ----

using platform::DatagramSocket;
using platform::DatagramWait;

uint32_t AddressOf(const std::string& text) {
    uint32_t address = 0;
    EXPECT_TRUE(platform::ParseIPv4(text, address)) << text;
    return address;
}

using DatagramTest = MailTest;

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
