// Mailslot objects: wire bytes of envelope, HELLO and GOODBYE, one box per computer, sending
// by name and ID, the reader's start and stop, and the target and computer lists. Below them
// the datagram transport: whole datagrams, a short buffer that leaves the datagram queued, one
// binding per endpoint, a shutdown that wakes a waiting reader, and the hosts map. Received
// datagrams are checked before use: every malformed one is dropped with one line, the handler
// sees none, the targets stay as they were and valid mail still arrives. Workgroups: ALPHA,
// BETA and GAMMA as three processes on 127.a.b.2-4 sharing one folder and one hosts map find
// each other, exchange messages once each, leave, die and come back; stale files go, fresh ones
// of unreachable computers stay, and the own file is kept fresh.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <random>
#include <thread>

#include "os/mailslot/mail_fixture.h"
#include "qzobj/diag.h"
#include "qzobj/hashid.h"
#include "qzobj/os/mailslot_transport.h"
#include "qzobj/platform/datagram.h"
#include "qzobj/platform/hosts_map.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"
#include "support/capture.h"
#include "support/text.h"

namespace qzo::test {
namespace {

using qzo::test::Hex8;
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
    DebugCapture capture;
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

    // ALPHA acknowledges; the box learns it and hands the message on once, with its line. A
    // second one from the now known sender is dropped, even with a new sequence number.
    ASSERT_TRUE(Deliver(alpha, u"GoldBox",
                        NameItemBytes(MAILITEM_HELLOACK, ComputerID(u"ALPHA"), 7, u"ALPHA")));
    ASSERT_TRUE(WaitUntil([&] { return box.Count(MAILITEM_HELLOACK) == 1; }));
    EXPECT_TRUE(HasTarget(box, u"ALPHA"));
    ASSERT_TRUE(Deliver(alpha, u"GoldBox",
                        NameItemBytes(MAILITEM_HELLOACK, ComputerID(u"ALPHA"), 8, u"ALPHA")));
    ASSERT_TRUE(Deliver(alpha, u"GoldBox", MailItemBytes(16, ComputerID(u"ALPHA"), 9, 77)));
    ASSERT_TRUE(WaitUntil([&] { return box.Count(77) == 1; }));
    EXPECT_EQ(box.Count(MAILITEM_HELLOACK), 1u);
    EXPECT_TRUE(capture.Contains("\rComputer " + Hex8(ComputerID(u"ALPHA")) +
                                 " (ALPHA) said HELLO ACHKNOWLEDGED\r\n"));

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

    const std::string alphaID = Hex8(ComputerID(u"ALPHA"));
    EXPECT_TRUE(capture.Contains("\rReader started\r\n"));
    EXPECT_TRUE(capture.Contains("\rComputer " + alphaID + " (ALPHA) said HELLO\r\n"));
    EXPECT_TRUE(capture.Contains("\rComputer " + alphaID + " said GOODBYE\r\n"));
    EXPECT_TRUE(capture.Contains("\rReader exited\r\n"));
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

// ---- Malformed datagrams ----

const std::u16string kBox = u"BadMailBox";

class MailslotMalformedTest : public MailTest {
  protected:
    void SetUp() override {
        MailTest::SetUp();
        ASSERT_EQ(box_.Open(kBox.c_str()), 1);
        alpha_ = std::make_unique<RawDatagramSocket>(TestAddress(kAlphaHost), MailBoxPort(kBox));
        ASSERT_TRUE(alpha_->ok());
        Send(envelope_ + NameItemBytes(MAILITEM_HELLO, alphaID_, 1, u"ALPHA"));
        ASSERT_TRUE(WaitUntil([&] { return box_.Count() == 1; }));
        ASSERT_TRUE(alpha_->Receive(5000).has_value());  // HELLO ACKNOWLEDGED
        targetsBefore_ = Targets();
    }
    void TearDown() override {
        box_.Close();
        MailTest::TearDown();
    }

    void Send(const std::string& bytes) {
        ASSERT_TRUE(alpha_->SendTo(TestAddress(kOwnHost), MailBoxPort(kBox), bytes));
    }

    size_t Dropped() const {
        const std::string text = capture_.Text(3);
        size_t count = 0;
        for (size_t at = text.find("\rMailslot dropped"); at != std::string::npos;
             at = text.find("\rMailslot dropped", at + 1)) {
            ++count;
        }
        return count;
    }

    // Sends each datagram and waits until the reader has dropped every one of them.
    void ExpectAllDropped(const std::vector<std::string>& datagrams) {
        const size_t before = Dropped();
        for (const std::string& datagram : datagrams) Send(datagram);
        EXPECT_TRUE(WaitUntil([&] { return Dropped() >= before + datagrams.size(); }))
            << Dropped() - before << " of " << datagrams.size() << " dropped";
        EXPECT_EQ(Dropped(), before + datagrams.size());
        EXPECT_EQ(box_.Count(), 1u);  // only the first HELLO
        EXPECT_EQ(Targets(), targetsBefore_);
    }

    // Sends the datagrams, then valid mail from ALPHA: once that arrived, the reader has seen
    // everything sent before it (one sender, one socket, in order). Some of these pass the
    // checks and are dropped later, without a line, as mail from unknown computers.
    void ExpectNoneHandedOn(const std::vector<std::string>& datagrams) {
        const size_t before = box_.Count();
        for (const std::string& datagram : datagrams) Send(datagram);
        Send(envelope_ + MailItemBytes(16, alphaID_, ++sequence_, 600));
        ASSERT_TRUE(WaitUntil([&] { return box_.Count() >= before + 1; }));
        EXPECT_EQ(box_.Count(), before + 1);
        EXPECT_EQ(box_.Items().back().code, 600u);
    }

    // Valid mail from ALPHA arrives after all that.
    void ExpectValidMailArrives() {
        Send(envelope_ + MailItemBytes(20, alphaID_, ++sequence_, 500, "body"));
        ASSERT_TRUE(WaitUntil([&] { return box_.Count(500) == 1; }));
        EXPECT_EQ(box_.Items().back().bytes, MailItemBytes(20, alphaID_, sequence_, 500, "body"));
    }

    std::string TargetIDs() {
        CPMailTargets list = box_.GetTargetList();
        std::string text;
        for (DWORD i = 0; i < list.GetNItems(); ++i) {
            text += std::to_string(list.GetCList()[i].dwComputerID) + ";";
        }
        return text;
    }

    std::string Targets() {
        CPMailTargets list = box_.GetTargetList();
        std::string text;
        for (DWORD i = 0; i < list.GetNItems(); ++i) {
            const tagMAILTARGET& t = list.GetCList()[i];
            text += std::to_string(t.dwComputerID) + "/" + std::to_string(t.dwLastSequence) + ";";
        }
        return text;
    }

    DebugCapture capture_;
    RecordingMailslot box_;
    std::unique_ptr<RawDatagramSocket> alpha_;
    const std::string envelope_ = MailEnvelope(kBox);
    const DWORD alphaID_ = ComputerID(u"ALPHA");
    uint32_t sequence_ = 10;
    std::string targetsBefore_;
};

TEST_F(MailslotMalformedTest, EachMalformedKindIsDropped) {
    const std::string goodbye = MailItemBytes(16, alphaID_, 50, MAILITEM_GOODBYE);
    std::string unterminated =
        NameItemBytes(MAILITEM_HELLO, ComputerID(u"ABCDEFGHIJKLMNOP"), 51, u"ABCDEFGHIJKLMNOP");
    ExpectAllDropped({
        "QZM2" + envelope_.substr(4) + goodbye,                          // bad envelope
        MailEnvelope(u"OtherBox") + goodbye,                             // another box
        envelope_ + MailItemBytes(17, alphaID_, 52, 500),                // size above length
        envelope_ + MailItemBytes(16, alphaID_, 53, 500, "xx"),          // size below length
        envelope_ + MailItemBytes(12, alphaID_, 54, 500).substr(0, 12),  // size under 16
        envelope_ + MailItemBytes(16, alphaID_ | 0x400, 55, 500),        // invalid sender
        envelope_ + MailItemBytes(16, 0xFFFFFFFF, 56, MAILITEM_GOODBYE),
        envelope_ + MailItemBytes(32, ComputerID(u"BETA"), 57, MAILITEM_HELLO,
                                  std::string("B\0E\0T\0A\0\0\0\0\0\0\0\0\0\0\0\0\0", 16)),
        envelope_ + NameItemBytes(MAILITEM_HELLO, ComputerID(u""), 58, u""),  // empty
        envelope_ + unterminated,                                             // no end
        envelope_ + NameItemBytes(MAILITEM_HELLO, ComputerID(u"BETA"), 59, u"MALLORY"),
        envelope_ + NameItemBytes(MAILITEM_HELLOACK, ComputerID(u"BETA"), 60, u"ALPHA"),
    });
    ExpectValidMailArrives();
}

TEST_F(MailslotMalformedTest, TruncatedAndOversizedDatagramsAreDropped) {
    const std::string full = envelope_ + MailItemBytes(16, alphaID_, 70, 500);
    std::vector<std::string> datagrams;
    for (size_t length = 0; length < full.size(); ++length)
        datagrams.push_back(full.substr(0, length));
    const std::string hello = envelope_ + NameItemBytes(MAILITEM_HELLO, alphaID_, 71, u"ALPHA");
    datagrams.push_back(hello.substr(0, hello.size() - 1));
    // Larger than the size it states, up to the largest datagram.
    datagrams.push_back(full + std::string(1000, 'x'));
    datagrams.push_back(full + std::string(65507 - full.size(), 'y'));
    std::string large = envelope_ + MailItemBytes(0xFFFFFFF0, alphaID_, 72, 500);
    large.resize(65507, 'z');
    datagrams.push_back(large);
    ExpectAllDropped(datagrams);
    ExpectValidMailArrives();
}

TEST_F(MailslotMalformedTest, OwnIdGoodbyeOutsideCloseIsIgnored) {
    const DWORD own = ComputerID(ownName_);
    Send(envelope_ + MailItemBytes(16, own, 1, MAILITEM_GOODBYE));
    Send(envelope_ + NameItemBytes(MAILITEM_HELLO, own, 2, ownName_));
    // The reader is still there: valid mail arrives and the targets are unchanged.
    ExpectValidMailArrives();
    EXPECT_EQ(TargetIDs(), std::to_string(alphaID_) + ";");
    EXPECT_EQ(box_.Count(), 2u);
}

TEST_F(MailslotMalformedTest, TenThousandRandomDatagrams) {
    std::mt19937 random(20261206);
    auto word = [&] { return uint32_t(random()); };
    std::vector<std::string> batch;
    for (int i = 0; i < 10000; ++i) {
        const size_t length = random() % 120;
        std::string bytes(length, '\0');
        for (char& c : bytes) c = char(random());
        switch (i % 4) {
            case 0:  // random bytes
                break;
            case 1:  // a valid envelope, the rest random
                bytes = envelope_ + bytes;
                break;
            case 2: {  // a consistent size, random sender and code (never ALPHA, never valid names)
                uint32_t sender = word();
                if (sender == alphaID_) sender ^= 1;
                bytes =
                    envelope_ + MailItemBytes(uint32_t(16 + length), sender, word(), word(), bytes);
                break;
            }
            default: {  // name messages whose names do not hash to the sender
                const uint32_t code = (i & 8) ? MAILITEM_HELLO : MAILITEM_HELLOACK;
                std::u16string name;
                for (size_t k = 0; k < 1 + random() % 15; ++k)
                    name += char16_t('A' + random() % 26);
                bytes = envelope_ + NameItemBytes(code, ComputerID(name) ^ 0x10000, word(), name);
                break;
            }
        }
        batch.push_back(bytes);
        if (batch.size() == 200) {
            ExpectNoneHandedOn(batch);
            batch.clear();
            if (HasFailure()) return;
        }
    }
    ExpectValidMailArrives();
    GiveTime();
    EXPECT_EQ(box_.Count(), 1u + 10000 / 200 + 1);
    EXPECT_EQ(TargetIDs(), std::to_string(alphaID_) + ";");
}

// ---- Workgroups ----

class WorkgroupTest : public MailTest {
  protected:
    void SetUp() override {
        MailTest::SetUp();
        folder_ = TempPath("workgroup");
        ASSERT_EQ(mkdir(folder_.c_str(), 0755), 0);
    }

    std::unique_ptr<Peer> StartMember(const std::string& name, const std::string& period = {}) {
        auto peer = std::make_unique<Peer>(PeerEnvironment(name));
        if (!peer->Start()) return nullptr;
        if (!period.empty() && peer->Call("mail_period " + period) != "OK") return nullptr;
        if (peer->Call("mail_open WgBox") != "OK") return nullptr;
        if (peer->Call("mail_attach_wg " + folder_) != "OK") return nullptr;
        return peer;
    }

    std::string FileOf(const std::string& computer) const {
        return folder_ + "/" + computer + ".wg2";
    }

    static time_t ModifiedAt(const std::string& path) {
        struct stat status {};
        return stat(path.c_str(), &status) == 0 ? status.st_mtime : 0;
    }

    static void SetModified(const std::string& path, time_t when) {
        const timeval times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(utimes(path.c_str(), times), 0);
    }

    std::string folder_;
};

TEST_F(WorkgroupTest, ThreeComputersGreetNotifyLeaveAndReturn) {
    auto alpha = StartMember("ALPHA");
    ASSERT_TRUE(alpha);
    auto beta = StartMember("BETA");
    ASSERT_TRUE(beta);
    auto gamma = StartMember("GAMMA");
    ASSERT_TRUE(gamma);
    EXPECT_TRUE(FileExists(FileOf("ALPHA")));

    // HELLO and HELLO ACKNOWLEDGED fill every list (in computer-ID order).
    auto listWithout = [](const std::string& name) {
        std::vector<std::pair<DWORD, std::string>> ids;
        for (const char* n : {"ALPHA", "BETA", "GAMMA"}) {
            if (name != n) ids.push_back({ComputerID(qzo::text::ToUtf16(n)), n});
        }
        std::sort(ids.begin(), ids.end());
        return ids[0].second + "," + ids[1].second;
    };
    ASSERT_TRUE(PeerAnswers(*alpha, "mail_targets", listWithout("ALPHA")));
    ASSERT_TRUE(PeerAnswers(*beta, "mail_targets", listWithout("BETA")));
    ASSERT_TRUE(PeerAnswers(*gamma, "mail_targets", listWithout("GAMMA")));

    // Notify reaches each peer once.
    ASSERT_EQ(alpha->Call("mail_notify 100"), "OK");
    EXPECT_TRUE(PeerAnswers(*beta, "mail_count 100 ALPHA", "1"));
    EXPECT_TRUE(PeerAnswers(*gamma, "mail_count 100 ALPHA", "1"));
    EXPECT_EQ(alpha->Call("mail_count 100"), "0");

    // A datagram that arrives twice (as over two transports) is handed on once.
    const std::string replay =
        MailEnvelope(u"WgBox") + MailItemBytes(16, ComputerID(u"BETA"), 1000000, 101);
    ASSERT_TRUE(SendRawDatagram(TestAddress(kAlphaHost), MailBoxPort(u"WgBox"), replay));
    ASSERT_TRUE(SendRawDatagram(TestAddress(kAlphaHost), MailBoxPort(u"WgBox"), replay));
    EXPECT_TRUE(PeerAnswers(*alpha, "mail_count 101 BETA", "1"));
    GiveTime();
    EXPECT_EQ(alpha->Call("mail_count 101 BETA"), "1");

    // GAMMA leaves: GOODBYE empties it from both lists and its file goes within 3 s.
    const auto leaving = std::chrono::steady_clock::now();
    ASSERT_EQ(gamma->Call("mail_close"), "OK");
    EXPECT_TRUE(PeerAnswers(*alpha, "mail_targets", "BETA", std::chrono::seconds(3)));
    EXPECT_TRUE(PeerAnswers(*beta, "mail_targets", "ALPHA", std::chrono::seconds(3)));
    EXPECT_FALSE(FileExists(FileOf("GAMMA")));
    EXPECT_LT(std::chrono::steady_clock::now() - leaving, std::chrono::seconds(3));
    EXPECT_EQ(alpha->Call("mail_count 4294967295 GAMMA"), "1");  // GOODBYE reached the handler

    // BETA dies without a word and comes back: it counts from 0 again, is greeted again, and
    // what it sends arrives.
    ASSERT_EQ(kill(beta->pid(), SIGKILL), 0);
    const PeerExit death = beta->Wait();
    EXPECT_TRUE(death.signaled);
    beta = StartMember("BETA");
    ASSERT_TRUE(beta);
    EXPECT_TRUE(PeerAnswers(*beta, "mail_targets", "ALPHA"));
    EXPECT_TRUE(PeerAnswers(*alpha, "mail_targets", "BETA"));
    ASSERT_EQ(beta->Call("mail_notify 102"), "OK");
    EXPECT_TRUE(PeerAnswers(*alpha, "mail_count 102 BETA", "1"));
    ASSERT_EQ(beta->Call("mail_to alpha 103"), "OK");
    EXPECT_TRUE(PeerAnswers(*alpha, "mail_count 103 BETA", "1"));
    ASSERT_EQ(alpha->Call("mail_to BETA 104"), "OK");
    EXPECT_TRUE(PeerAnswers(*beta, "mail_count 104 ALPHA", "1"));

    EXPECT_EQ(alpha->Call("mail_close"), "OK");
    EXPECT_EQ(beta->Call("mail_close"), "OK");
    EXPECT_FALSE(FileExists(FileOf("ALPHA")));
    EXPECT_FALSE(FileExists(FileOf("BETA")));
}

TEST_F(WorkgroupTest, StaleFilesGoAndFreshUnreachableOnesStay) {
    WriteHosts({{"OLDIE", TestAddress(6)}});
    RawDatagramSocket oldie(TestAddress(6), MailBoxPort(u"WgBox"));
    ASSERT_TRUE(oldie.ok());
    WriteFileBytes(FileOf("OLDIE"), "");
    SetModified(FileOf("OLDIE"), time(nullptr) - 25 * 60);
    WriteFileBytes(FileOf("NOWHERE"), "");
    WriteFileBytes(FileOf("TOOLONGCOMPUTERNAME"), "");

    auto alpha = StartMember("ALPHA");
    ASSERT_TRUE(alpha);
    EXPECT_FALSE(FileExists(FileOf("OLDIE")));
    EXPECT_FALSE(oldie.Receive(300).has_value());  // gone computers are not greeted
    EXPECT_TRUE(FileExists(FileOf("NOWHERE")));
    EXPECT_TRUE(FileExists(FileOf("TOOLONGCOMPUTERNAME")));
    EXPECT_EQ(alpha->Call("mail_targets"), "-");

    // Attaching again keeps the existing own file.
    EXPECT_EQ(alpha->Call("mail_attach_wg " + folder_), "OK");
    EXPECT_TRUE(FileExists(FileOf("ALPHA")));
}

TEST_F(WorkgroupTest, ShortRefreshPeriodTouchesAndRecreatesTheOwnFile) {
    auto alpha = StartMember("ALPHA", "200");
    ASSERT_TRUE(alpha);
    const time_t hourAgo = time(nullptr) - 3600;
    SetModified(FileOf("ALPHA"), hourAgo);
    EXPECT_TRUE(WaitUntil([&] { return ModifiedAt(FileOf("ALPHA")) > hourAgo + 1800; },
                          std::chrono::seconds(5)));
    ASSERT_EQ(unlink(FileOf("ALPHA").c_str()), 0);
    EXPECT_TRUE(WaitUntil([&] { return FileExists(FileOf("ALPHA")); }, std::chrono::seconds(5)));
    EXPECT_EQ(alpha->Call("mail_detach_wg " + folder_), "OK");
    EXPECT_FALSE(FileExists(FileOf("ALPHA")));
    // Detached folders are no longer refreshed.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(FileExists(FileOf("ALPHA")));
}

}  // namespace
}  // namespace qzo::test
