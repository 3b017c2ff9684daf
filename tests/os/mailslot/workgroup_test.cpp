// Workgroups: ALPHA, BETA and GAMMA as three processes on 127.a.b.2-4 sharing one folder and
// one hosts map find each other, exchange messages once each, leave, die and come back; stale
// files go, fresh ones of unreachable computers stay, and the own file is kept fresh.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <chrono>
#include <ctime>
#include <memory>

#include "os/mailslot/mail_fixture.h"
#include "qzobj/platform/text.h"

namespace qzo::test {
namespace {

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
