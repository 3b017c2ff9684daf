// Received datagrams are checked before use: every malformed one is dropped with one line, the
// handler sees none, the targets stay as they were and valid mail still arrives.
#include <gtest/gtest.h>

#include <random>

#include "os/mailslot/mail_fixture.h"
#include "support/capture.h"

namespace qzo::test {
namespace {

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

}  // namespace
}  // namespace qzo::test
