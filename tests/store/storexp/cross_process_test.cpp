// One object shared by processes that pose as the computers ALPHA (this one), BETA and GAMMA.
// Access: a second writer times out within its bound while readers get in, a peer's header lock
// stalls readers and commits (which announce the wait), threads of one process wait boundedly
// and never see half a version, a writer killed outright leaves nothing that blocks the next
// one, and a reader's refresh sees a peer's undo and commit. Change notices: BETA learns of
// ALPHA's commit through the project's mailslot within two seconds, answers from its table
// without touching the file while nothing changed, and ignores forged datagrams.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <sstream>
#include <thread>
#include <vector>

#include "qzobj/store/notices/change_detection.h"
#include "qzobj/store/locator/locator_core.h"
#include "support/capture.h"
#include "support/simulated_network.h"
#include "support/stopwatch.h"
#include "store/support/store_fixture.h"
#include "store/support/store_peer_commands.h"
#include "support/wait_until.h"

namespace qzo::test::store {
namespace {

// "<result> <ms> <tag>" of the peer's restore.
struct PeerRestore {
    std::string result;
    long long ms = -1;
    std::string tag;
};

PeerRestore ParseRestore(const std::string& answer) {
    std::istringstream in(answer);
    PeerRestore restore;
    if (!(in >> restore.result >> restore.ms >> restore.tag)) return PeerRestore{answer, -1, ""};
    return restore;
}

std::atomic<int> g_lockWaits{0};

int CountLockWaits(void*, uintptr_t code, uintptr_t&, uintptr_t&, uintptr_t) {
    if (code == LOCATOR_NOTIFY_LOCKWAIT) ++g_lockWaits;
    return 1;
}

class CrossProcessTest : public StoreTest {
  protected:
    // A new object of the test class holding version `tag` of `size` bytes, with write access.
    ObjectRef Share(uint32_t tag, uint32_t size) {
        ObjectRef object = Create(tag, size);
        if (object) location_ = object->GetLocator().GetLocation();
        return object;
    }
    Restored Open(DWORD access, DWORD timeout) { return Restore(location_, access, timeout); }
    std::string Path() const { return ObjectFile(location_); }
    std::string PeerRestoreCommand(const char* access, int ms) const {
        return "store_restore " + LocationText(location_) + " " + access + " " + std::to_string(ms);
    }
    // The start of the access protocol's messages about this object.
    std::string Message(const char* where) const {
        char id[16];
        std::snprintf(id, sizeof id, "%08x", unsigned(location_.dwObjID));
        return std::string("\rLocator:") + where + " " + id + ": ";
    }

    Location location_;
};

TEST_F(CrossProcessTest, SecondWriterTimesOutInItsBoundWhileReadersGetIn) {
    ASSERT_TRUE(Share(7, 3000));
    auto beta = StartPeer("BETA");
    ASSERT_TRUE(beta);
    ASSERT_EQ(ParseRestore(beta->Call(PeerRestoreCommand("E0000000", 2000))).result, "0");

    ScopedDebugOutput debug(true);
    DebugCapture capture;
    Stopwatch watch;
    Restored second = Open(kReadWriteEdit, 500);
    const long long took = watch.Ms();
    EXPECT_EQ(second.object, nullptr);
    EXPECT_EQ(second.result, LOCATOR_TIMEOUT);
    EXPECT_GE(took, 495);
    EXPECT_LT(took, 2000);
    const std::string access = Message("WaitForAccess");
    EXPECT_TRUE(
        capture.Contains(access + "Waiting (500 ms) for exclusive access to be released\r\n"));
    EXPECT_TRUE(capture.Contains(access + "Sharing timeout\r\n"));

    Restored reader = Open(kRead, 500);
    ASSERT_NE(reader.test(), nullptr);
    EXPECT_EQ(reader.result, LOCATOR_OK);
    EXPECT_EQ(reader.test()->tag, 7u);
    EXPECT_TRUE(reader.test()->Intact());

    // The same seen from a third computer.
    auto gamma = StartPeer("GAMMA");
    ASSERT_TRUE(gamma);
    const PeerRestore gammaWriter = ParseRestore(gamma->Call(PeerRestoreCommand("E0000000", 500)));
    EXPECT_EQ(gammaWriter.result, "258");
    EXPECT_GE(gammaWriter.ms, 495);
    EXPECT_LT(gammaWriter.ms, 2000);
    const PeerRestore gammaReader = ParseRestore(gamma->Call(PeerRestoreCommand("80000000", 500)));
    EXPECT_EQ(gammaReader.result, "0");
    EXPECT_EQ(gammaReader.tag, "7");

    // Once BETA lets go, a writer gets in.
    ASSERT_EQ(beta->Call("store_release"), "OK");
    Restored writer = Open(kReadWriteEdit, 2000);
    EXPECT_NE(writer.object, nullptr);
    EXPECT_EQ(writer.result, LOCATOR_OK);
}

// A read wait times out after announcing itself once with the time left; a commit waits,
// announces its wait once, and goes on as soon as BETA lets go.
TEST_F(CrossProcessTest, PeersHeaderLockStallsRestoreAndCommitUntilReleased) {
    ObjectRef writer = Share(1, 2000);
    ASSERT_TRUE(writer);
    auto beta = StartPeer("BETA");
    ASSERT_TRUE(beta);
    ASSERT_EQ(beta->Call("store_hold_lock " + Path()), "OK");

    ScopedDebugOutput debug(true);
    DebugCapture capture;
    Stopwatch watch;
    Restored reader = Open(kRead, 500);
    const long long took = watch.Ms();
    EXPECT_EQ(reader.object, nullptr);
    EXPECT_EQ(reader.result, LOCATOR_TIMEOUT);
    EXPECT_GE(took, 495);
    EXPECT_LT(took, 2000);
    const std::string text = capture.Text();
    const std::string waiting = Message("WaitForLock") + "Waiting (";
    const size_t at = text.find(waiting);
    ASSERT_NE(at, std::string::npos) << text;
    const unsigned announced = unsigned(std::stoul(text.substr(at + waiting.size())));
    EXPECT_LE(announced, 500u);
    EXPECT_GE(announced, 250u);
    EXPECT_NE(text.find(" ms) for lock to be released...\r\n", at), std::string::npos);
    EXPECT_TRUE(capture.Contains(Message("WaitForLock") + "Lock timeout\r\n"));

    g_lockWaits = 0;
    const DWORD handle = Locator::RegisterStateNotify(&CountLockWaits, 0, 0);
    writer.test()->SetContent(2, 5000);
    std::atomic<bool> done{false};
    std::atomic<BOOL> committed{FALSE};
    std::thread committer([&] {
        committed = writer->Commit(0);
        done = true;
    });
    EXPECT_TRUE(WaitUntil([] { return g_lockWaits.load() > 0; }, std::chrono::seconds(5)))
        << "the commit did not announce its wait for the header lock";
    GiveTime();
    EXPECT_FALSE(done.load()) << "the commit went on while BETA held the header lock";
    EXPECT_EQ(beta->Call("store_release"), "OK");
    committer.join();
    Locator::UnregisterStateNotify(handle);
    EXPECT_TRUE(committed.load());
    EXPECT_EQ(g_lockWaits.load(), 1) << "one notice per wait";
    EXPECT_TRUE(capture.Contains(Message("WaitForLock") + "Lock obtained\r\n"));

    reader = Open(kRead, 1000);
    ASSERT_NE(reader.test(), nullptr);
    EXPECT_EQ(reader.test()->tag, 2u);
    EXPECT_TRUE(reader.test()->Intact());
}

TEST_F(CrossProcessTest, ThreadsWaitBoundedlyAndReadWholeVersions) {
    ObjectRef writer = Share(1, 1000);
    ASSERT_TRUE(writer);

    // A second locator of this process, on another thread, waits its time-out and no longer.
    Restored second;
    long long secondTook = -1;
    std::thread([&] {
        Stopwatch watch;
        second = Open(kReadWriteEdit, 300);
        secondTook = watch.Ms();
    }).join();
    EXPECT_EQ(second.object, nullptr);
    EXPECT_EQ(second.result, LOCATOR_TIMEOUT);
    EXPECT_GE(secondTook, 295);
    EXPECT_LT(secondTook, 2000);

    // Readers on two threads restore while this thread commits: each restore gets a whole
    // version, never an older one than it saw before, within its bound.
    constexpr uint32_t kLastTag = 21;
    std::atomic<bool> stop{false};
    std::atomic<int> restores{0}, failures{0};
    std::atomic<long long> slowest{0};
    auto read = [&] {
        uint32_t seen = 0;
        while (!stop.load()) {
            Stopwatch watch;
            Restored reader = Open(kRead, 5000);
            const long long took = watch.Ms();
            if (took > slowest.load()) slowest = took;
            CStoreTestObject* object = reader.test();
            if (!object || reader.result != LOCATOR_OK || !object->Intact() || object->tag < seen ||
                object->tag > kLastTag) {
                ++failures;
                continue;
            }
            seen = object->tag;
            ++restores;
        }
    };
    std::thread readerA(read), readerB(read);
    for (uint32_t tag = 2; tag <= kLastTag; ++tag) {
        writer.test()->SetContent(tag, 300 + tag * 397);
        EXPECT_TRUE(writer->Commit(0)) << "commit of version " << tag;
    }
    WaitUntil([&] { return restores.load() >= 4; }, std::chrono::seconds(10));
    stop = true;
    readerA.join();
    readerB.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(restores.load(), 0);
    EXPECT_LT(slowest.load(), 5000);
}

TEST_F(CrossProcessTest, KilledWritersAccessRecordIsReplacedByTheNextWriterAtOnce) {
    ASSERT_TRUE(Share(1, 1500));
    auto beta = StartPeer("BETA");
    ASSERT_TRUE(beta);
    ASSERT_EQ(ParseRestore(beta->Call(PeerRestoreCommand("E0000000", 2000))).result, "0");
    ASSERT_EQ(beta->Call("store_commit 2 6000 0"), "OK");

    Bytes file = ReadFile(Path());
    ImageIndex index = ParseIndex(file);
    ASSERT_EQ(index.size, kIndexSize);
    EXPECT_EQ(file.size(), index.dataEnd + kAccessInfoSize);
    EXPECT_EQ(AccessRecordComputer(file, index.dataEnd), std::optional<std::string>("BETA"));

    beta->Kill();
    const PeerExit exit = beta->Wait();
    EXPECT_TRUE(exit.signaled);
    EXPECT_EQ(exit.signal, SIGKILL);
    file = ReadFile(Path());
    EXPECT_EQ(AccessRecordComputer(file, index.dataEnd), std::optional<std::string>("BETA"))
        << "the killed writer's record stays behind";

    Stopwatch watch;
    Restored writer = Open(kReadWriteEdit, 5000);
    EXPECT_LT(watch.Ms(), 1000) << "the next writer waited for a dead one";
    ASSERT_NE(writer.test(), nullptr);
    EXPECT_EQ(writer.test()->tag, 2u);
    EXPECT_TRUE(writer.test()->Intact());
    file = ReadFile(Path());
    index = ParseIndex(file);
    EXPECT_EQ(file.size(), index.dataEnd + kAccessInfoSize);
    EXPECT_EQ(AccessRecordComputer(file, index.dataEnd), std::optional<std::string>("ALPHA"));

    writer.test()->SetContent(3, 700);
    EXPECT_TRUE(writer.object->Commit(0));
    writer.object.reset();
    EXPECT_EQ(CheckClosedFile(ReadFile(Path())), "");
    EXPECT_EQ(Open(kRead, 1000).test()->tag, 3u);
}

// A reader that holds the version a peer then undoes and replaces (the same ModifyCnt with other
// content) gets the replacement when it refreshes, and keeps it while nothing changes.
TEST_F(CrossProcessTest, ReaderRefreshSeesPeersUndoAndCommit) {
    ASSERT_TRUE(Share(1, 500));
    auto beta = StartPeer("BETA");
    ASSERT_TRUE(beta);
    ASSERT_EQ(ParseRestore(beta->Call(PeerRestoreCommand("E0000000", 2000))).result, "0");
    ASSERT_EQ(beta->Call("store_commit 2 700 0"), "OK");
    ASSERT_EQ(beta->Call("store_commit 3 900 0"), "OK");

    Restored reader = Open(kRead, 1000);
    ASSERT_NE(reader.test(), nullptr);
    ASSERT_EQ(reader.test()->tag, 3u);
    const DWORD version = reader.object->QueryVersion();

    ASSERT_EQ(beta->Call("store_undo"), "OK");
    ASSERT_EQ(beta->Call("store_commit 4 1100 0"), "OK");
    DWORD result = 0;
    ASSERT_TRUE(reader.object->RefreshObject(kRead, 1000, &result));
    EXPECT_EQ(reader.object->QueryVersion(), version) << "the replacement has the same ModifyCnt";
    EXPECT_EQ(reader.test()->tag, 4u);
    EXPECT_TRUE(reader.test()->Intact());
    ASSERT_TRUE(reader.object->RefreshObject(kRead, 1000, &result));
    EXPECT_EQ(reader.test()->tag, 4u);
    EXPECT_TRUE(reader.test()->Intact());
}

class ChangeNoticeTest : public CrossProcessTest {
  protected:
    // ALPHA holds a new object with write access; BETA keeps a read-only copy of it and has
    // heard of ALPHA (and ALPHA of BETA) through the project's workgroup.
    void SetUp() override {
        CrossProcessTest::SetUp();
        if (HasFatalFailure()) return;
        writer_ = Share(1, 800);
        ASSERT_TRUE(writer_);
        beta_ = StartPeer("BETA");
        ASSERT_TRUE(beta_);
        const std::string answer = beta_->Call(PeerRestoreCommand("80000000", 2000));
        ASSERT_EQ(answer.substr(0, 2), "0 ") << answer;
        // The boxes greet each other when they open; give the greeting time to arrive.
        GiveTime();
        GiveTime();
        ASSERT_EQ(beta_->Call("store_snoop"), "0");
    }

    // A change message posing as ALPHA, with a sequence number far past ALPHA's own.
    std::string Item(uint32_t size, uint32_t type, const Location& location) {
        std::string words;
        for (DWORD word : {location.dwHashID, location.dwObjID, location.dwProjID,
                           location.dwDataID, location.dwFlags})
            words += LittleEndian(word);
        return MailItemBytes(size, ComputerID(u"ALPHA"), nextSequence_++, type, words);
    }
    void SendToBeta(const std::string& item) {
        const std::u16string box = Wide("LocMail" + Hex8(ProjectID()));
        ASSERT_TRUE(
            SendRawDatagram(TestAddress(kBetaHost), MailBoxPort(box), MailEnvelope(box) + item));
    }

    // How ALPHA's own change table sees the object's file as it is now.
    int AlphasTableEntry() const {
        const std::u16string path = Wide(Path());
        const FILETIME written = qzo::store::ReadFileFacts(path.c_str()).lastWrite;
        return qzo::store::LocatorCore::Notices().table->Lookup(location_.dwObjID, written);
    }

    ObjectRef writer_;
    std::unique_ptr<Peer> beta_;
    uint32_t nextSequence_ = 100000;
};

TEST_F(ChangeNoticeTest, BetaSeesAlphasCommitWithinTwoSeconds) {
    writer_.test()->SetContent(2, 900);
    ASSERT_TRUE(writer_->Commit(0));
    EXPECT_EQ(AlphasTableEntry(), qzo::store::ChangeTable::kSameTime) << "the writer's own table";
    Stopwatch watch;
    const bool seen =
        WaitUntil([&] { return beta_->Call("store_snoop") == "1"; }, std::chrono::seconds(2));
    EXPECT_TRUE(seen) << "BETA still answers unchanged after " << watch.Ms() << " ms";
    // BETA then restores the new version.
    const PeerRestore again = ParseRestore(beta_->Call(PeerRestoreCommand("80000000", 2000)));
    EXPECT_EQ(again.result, "0");
    EXPECT_EQ(again.tag, "2");
}

TEST_F(ChangeNoticeTest, WithoutACommitBetaAnswersFromItsTableAndLeavesTheFileAlone) {
    // ALPHA reading the object records its time and announces nothing.
    EXPECT_NE(Open(kRead, 1000).object, nullptr);
    EXPECT_EQ(AlphasTableEntry(), qzo::store::ChangeTable::kSameTime);
    const std::string path = Path();
    struct stat before = {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(beta_->Call("store_snoop"), "0");
    struct stat after = {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
    EXPECT_EQ(after.st_atim.tv_nsec, before.st_atim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);

    // Proof that the table answers: with the file gone, a look at the file would say "changed".
    const std::string away = path + ".away";
    ASSERT_EQ(std::rename(path.c_str(), away.c_str()), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(beta_->Call("store_snoop"), "0");
    ASSERT_EQ(std::rename(away.c_str(), path.c_str()), 0);
    GiveTime();
    EXPECT_EQ(beta_->Call("store_snoop"), "0");
}

TEST_F(ChangeNoticeTest, ShortForeignOrOtherDatagramsChangeNothing) {
    // With the file away, BETA answers "unchanged" only while its table still lists the object:
    // a message that dropped the entry would send it to the file, which answers "changed".
    const std::string path = Path(), away = path + ".away";
    const Bytes file = ReadFile(path);
    ASSERT_EQ(std::rename(path.c_str(), away.c_str()), 0);
    Location foreign = location_;
    foreign.dwProjID ^= 0x00010000u;
    const struct {
        const char* name;
        std::string item;
    } rows[] = {
        {"cut short", Item(36, 1, location_).substr(0, 20)},
        {"claims to be short", Item(20, 1, location_).substr(0, 20)},
        {"header only", Item(16, 1, location_).substr(0, 16)},
        {"one byte short", Item(35, 1, location_).substr(0, 35)},
        {"size word past the datagram", Item(36, 1, location_).substr(0, 32)},
        {"another project", Item(36, 1, foreign)},
        {"another type", Item(36, 2, location_)},
        {"an envelope cut short", "QZM1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SendToBeta(row.item);
    }
    GiveTime();
    GiveTime();
    GiveTime();
    EXPECT_EQ(beta_->Call("store_snoop"), "0");

    // The whole message of this project does get through.
    SendToBeta(Item(36, 1, location_));
    EXPECT_TRUE(
        WaitUntil([&] { return beta_->Call("store_snoop") == "1"; }, std::chrono::seconds(2)));
    ASSERT_EQ(std::rename(away.c_str(), path.c_str()), 0);
    EXPECT_TRUE(SameBytes(ReadFile(path), file));
}

}  // namespace
}  // namespace qzo::test::store
