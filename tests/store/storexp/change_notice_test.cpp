// Change detection between computers: BETA learns of ALPHA's commit through the project's
// mailslot within two seconds, answers from its table without touching the file while nothing
// changed, and ignores datagrams that are short, of another type or of another project.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "store/storexp/storexp_support.h"
#include "support/simulated_network.h"
#include "support/wait_until.h"

namespace qzo::test::store {
namespace {

class ChangeNoticeTest : public StoreXpTest {
  protected:
    // ALPHA holds a new object with write access; BETA keeps a read-only copy of it and has
    // heard of ALPHA (and ALPHA of BETA) through the project's workgroup.
    void SetUp() override {
        StoreXpTest::SetUp();
        writer_ = Create(1, 800);
        ASSERT_TRUE(writer_);
        beta_ = StartPeer("BETA");
        ASSERT_TRUE(beta_);
        const std::string answer =
            beta_->Call("restore " + LocationText(location_) + " 80000000 2000");
        ASSERT_EQ(answer.substr(0, 2), "0 ") << answer;
        // The boxes greet each other when they open; give the greeting time to arrive.
        GiveTime();
        GiveTime();
        ASSERT_EQ(beta_->Call("snoop"), "0");
    }

    std::string Box() const {
        char name[32];
        std::snprintf(name, sizeof name, "LocMail%08X", unsigned(projectID_));
        return name;
    }
    // A change message posing as ALPHA, with a sequence number far past ALPHA's own.
    std::string Message(uint32_t size, uint32_t type, const Location& location) {
        std::string words;
        for (DWORD word : {location.dwHashID, location.dwObjID, location.dwProjID,
                           location.dwDataID, location.dwFlags})
            words += LittleEndian(word);
        return MailItemBytes(size, ComputerID(u"ALPHA"), nextSequence_++, type, words);
    }
    void SendToBeta(const std::string& item) {
        const std::u16string box = Wide(Box());
        ASSERT_TRUE(
            SendRawDatagram(TestAddress(kBetaHost), MailBoxPort(box), MailEnvelope(box) + item));
    }

    ObjectRef writer_;
    std::unique_ptr<Peer> beta_;
    uint32_t nextSequence_ = 100000;
};

TEST_F(ChangeNoticeTest, BetaSeesAlphasCommitWithinTwoSeconds) {
    writer_->SetContent(2, 900);
    ASSERT_TRUE(writer_->Commit(0));
    Stopwatch watch;
    const bool seen =
        WaitUntil([&] { return beta_->Call("snoop") == "1"; }, std::chrono::seconds(2));
    EXPECT_TRUE(seen) << "BETA still answers unchanged after " << watch.Ms() << " ms";
    // BETA then restores the new version.
    const std::string answer = beta_->Call("restore " + LocationText(location_) + " 80000000 2000");
    EXPECT_EQ(answer.substr(0, 2), "0 ");
    EXPECT_EQ(answer.substr(answer.rfind(' ') + 1), "2");
}

TEST_F(ChangeNoticeTest, WithoutACommitBetaAnswersFromItsTableAndLeavesTheFileAlone) {
    const std::string path = ObjectFile();
    struct stat before = {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(beta_->Call("snoop"), "0");
    struct stat after = {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
    EXPECT_EQ(after.st_atim.tv_nsec, before.st_atim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);

    // Proof that the table answers: with the file gone, a look at the file would say "changed".
    const std::string away = path + ".away";
    ASSERT_EQ(std::rename(path.c_str(), away.c_str()), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(beta_->Call("snoop"), "0");
    ASSERT_EQ(std::rename(away.c_str(), path.c_str()), 0);
    GiveTime();
    EXPECT_EQ(beta_->Call("snoop"), "0");
}

TEST_F(ChangeNoticeTest, ShortForeignOrOtherDatagramsChangeNothing) {
    // With the file away, BETA answers "unchanged" only while its table still lists the object:
    // a message that dropped the entry would send it to the file, which answers "changed".
    const std::string path = ObjectFile(), away = path + ".away";
    const std::string file = ReadFileBytes(path);
    ASSERT_EQ(std::rename(path.c_str(), away.c_str()), 0);
    Location foreign = location_;
    foreign.dwProjID ^= 0x00010000u;
    SendToBeta(Message(36, 1, location_).substr(0, 20));  // cut short
    SendToBeta(Message(20, 1, location_).substr(0, 20));  // claims to be short
    SendToBeta(Message(35, 1, location_).substr(0, 35));  // one byte short
    SendToBeta(Message(36, 1, foreign));                  // another project
    SendToBeta(Message(36, 2, location_));                // another type
    SendToBeta("QZM1");                                   // an envelope cut short
    GiveTime();
    GiveTime();
    GiveTime();
    EXPECT_EQ(beta_->Call("snoop"), "0");

    // The whole message of this project does get through.
    SendToBeta(Message(36, 1, location_));
    EXPECT_TRUE(WaitUntil([&] { return beta_->Call("snoop") == "1"; }, std::chrono::seconds(2)));
    ASSERT_EQ(std::rename(away.c_str(), path.c_str()), 0);
    EXPECT_EQ(ReadFileBytes(path), file);
}

}  // namespace
}  // namespace qzo::test::store
