// Access to one object from several processes and threads: a second writer times out within its
// bound while readers get in, a peer's header lock stalls readers and commits (which announce
// the wait), threads of one process wait boundedly and never see half a version, a writer
// killed outright leaves nothing that blocks the next one, and a reader's refresh sees a peer's
// undo and commit.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <sstream>
#include <thread>
#include <vector>

#include "store/storexp/storexp_support.h"
#include "support/wait_until.h"

namespace qzo::test::store {
namespace {

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

// "<result> <ms> <tag>" of the peer's restore.
struct PeerRestore {
    std::string result;
    long long ms = -1;
    std::string tag;
};

PeerRestore ParseRestore(const std::string& answer) {
    const std::vector<std::string> words = Words(answer);
    if (words.size() != 3) return PeerRestore{answer, -1, ""};
    return PeerRestore{words[0], std::atoll(words[1].c_str()), words[2]};
}

std::atomic<int> g_lockWaits{0};

int CountLockWaits(void*, uintptr_t code, uintptr_t&, uintptr_t&, uintptr_t) {
    if (code == LOCATOR_NOTIFY_LOCKWAIT) ++g_lockWaits;
    return 1;
}

TEST_F(StoreXpTest, SecondWriterTimesOutInItsBoundWhileReadersGetIn) {
    ASSERT_TRUE(Create(7, 3000));
    const std::string location = LocationText(location_);
    auto beta = StartPeer("BETA");
    ASSERT_TRUE(beta);
    ASSERT_EQ(ParseRestore(beta->Call("restore " + location + " E0000000 2000")).result, "0");

    DWORD result = 0;
    Stopwatch watch;
    ObjectRef second = Restore(kReadWriteEdit, 500, &result);
    const long long took = watch.Ms();
    EXPECT_FALSE(second);
    EXPECT_EQ(result, LOCATOR_TIMEOUT);
    EXPECT_GE(took, 495);
    EXPECT_LT(took, 2000);

    ObjectRef reader = Restore(kRead, 500, &result);
    ASSERT_TRUE(reader);
    EXPECT_EQ(result, LOCATOR_OK);
    EXPECT_EQ(reader->Tag(), 7u);
    EXPECT_TRUE(reader->Intact());

    // The same seen from a third computer.
    auto gamma = StartPeer("GAMMA");
    ASSERT_TRUE(gamma);
    const PeerRestore gammaWriter =
        ParseRestore(gamma->Call("restore " + location + " E0000000 500"));
    EXPECT_EQ(gammaWriter.result, "258");
    EXPECT_GE(gammaWriter.ms, 495);
    EXPECT_LT(gammaWriter.ms, 2000);
    const PeerRestore gammaReader =
        ParseRestore(gamma->Call("restore " + location + " 80000000 500"));
    EXPECT_EQ(gammaReader.result, "0");
    EXPECT_EQ(gammaReader.tag, "7");

    // Once BETA lets go, a writer gets in.
    ASSERT_EQ(beta->Call("release"), "OK");
    ObjectRef writer = Restore(kReadWriteEdit, 2000, &result);
    EXPECT_TRUE(writer);
    EXPECT_EQ(result, LOCATOR_OK);
}

TEST_F(StoreXpTest, PeersHeaderLockStallsRestoreAndCommitUntilReleased) {
    ObjectRef writer = Create(1, 2000);
    ASSERT_TRUE(writer);
    auto beta = StartPeer("BETA");
    ASSERT_TRUE(beta);
    ASSERT_EQ(beta->Call("hold_lock " + ObjectFile()), "OK");

    DWORD result = 0;
    Stopwatch watch;
    ObjectRef reader = Restore(kRead, 500, &result);
    const long long took = watch.Ms();
    EXPECT_FALSE(reader);
    EXPECT_EQ(result, LOCATOR_TIMEOUT);
    EXPECT_GE(took, 495);
    EXPECT_LT(took, 2000);

    g_lockWaits = 0;
    const DWORD handle = Locator::RegisterStateNotify(&CountLockWaits, 0, 0);
    writer->SetContent(2, 5000);
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
    EXPECT_EQ(beta->Call("release"), "OK");
    committer.join();
    Locator::UnregisterStateNotify(handle);
    EXPECT_TRUE(committed.load());
    EXPECT_EQ(g_lockWaits.load(), 1) << "one notice per wait";

    reader = Restore(kRead, 1000, &result);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->Tag(), 2u);
    EXPECT_TRUE(reader->Intact());
}

TEST_F(StoreXpTest, ThreadsWaitBoundedlyAndReadWholeVersions) {
    ObjectRef writer = Create(1, 1000);
    ASSERT_TRUE(writer);

    // A second locator of this process, on another thread, waits its time-out and no longer.
    DWORD secondResult = 0;
    long long secondTook = -1;
    bool secondGotIn = true;
    std::thread second([&] {
        Stopwatch watch;
        ObjectRef object = Restore(kReadWriteEdit, 300, &secondResult);
        secondTook = watch.Ms();
        secondGotIn = bool(object);
    });
    second.join();
    EXPECT_FALSE(secondGotIn);
    EXPECT_EQ(secondResult, LOCATOR_TIMEOUT);
    EXPECT_GE(secondTook, 295);
    EXPECT_LT(secondTook, 2000);

    // Readers on two threads restore while this thread commits: each restore gets a whole
    // version, never an older one than it saw before, within its bound.
    constexpr DWORD kLastTag = 21;
    std::atomic<bool> stop{false};
    std::atomic<int> restores{0}, failures{0};
    std::atomic<long long> slowest{0};
    auto read = [&] {
        DWORD seen = 0;
        while (!stop.load()) {
            DWORD result = 0;
            Stopwatch watch;
            ObjectRef object = Restore(kRead, 5000, &result);
            const long long took = watch.Ms();
            if (took > slowest.load()) slowest = took;
            if (!object || result != LOCATOR_OK || !object->Intact() || object->Tag() < seen ||
                object->Tag() > kLastTag) {
                ++failures;
                continue;
            }
            seen = object->Tag();
            ++restores;
        }
    };
    std::thread readerA(read), readerB(read);
    for (DWORD tag = 2; tag <= kLastTag; ++tag) {
        writer->SetContent(tag, 300 + tag * 397);
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

TEST_F(StoreXpTest, KilledWritersTrailerIsReplacedByTheNextWriterAtOnce) {
    ASSERT_TRUE(Create(1, 1500));
    const std::string location = LocationText(location_);
    auto beta = StartPeer("BETA");
    ASSERT_TRUE(beta);
    ASSERT_EQ(ParseRestore(beta->Call("restore " + location + " E0000000 2000")).result, "0");
    ASSERT_EQ(beta->Call("commit 2 6000 0"), "OK");

    std::string file = ReadFileBytes(ObjectFile());
    IndexImage index = ReadIndex(file);
    ASSERT_TRUE(index.readable);
    EXPECT_EQ(file.size(), index.dataEnd + kTrailerBytes);
    EXPECT_EQ(TrailerComputer(file, index.dataEnd), std::optional<std::string>("BETA"));

    beta->Kill();
    const PeerExit exit = beta->Wait();
    EXPECT_TRUE(exit.signaled);
    EXPECT_EQ(exit.signal, SIGKILL);
    file = ReadFileBytes(ObjectFile());
    EXPECT_EQ(TrailerComputer(file, index.dataEnd), std::optional<std::string>("BETA"))
        << "the killed writer's trailer stays behind";

    DWORD result = 0;
    Stopwatch watch;
    ObjectRef writer = Restore(kReadWriteEdit, 5000, &result);
    EXPECT_LT(watch.Ms(), 1000) << "the next writer waited for a dead one";
    ASSERT_TRUE(writer);
    EXPECT_EQ(writer->Tag(), 2u);
    EXPECT_TRUE(writer->Intact());
    file = ReadFileBytes(ObjectFile());
    index = ReadIndex(file);
    EXPECT_EQ(file.size(), index.dataEnd + kTrailerBytes);
    EXPECT_EQ(TrailerComputer(file, index.dataEnd), std::optional<std::string>("ALPHA"));

    writer->SetContent(3, 700);
    EXPECT_TRUE(writer->Commit(0));
    writer.reset();
    EXPECT_EQ(CheckClosedFile(ReadFileBytes(ObjectFile())), "");
    ObjectRef reader = Restore(kRead, 1000, &result);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->Tag(), 3u);
}

// A reader that holds the version a peer then undoes and replaces (the same ModifyCnt with other
// content) gets the replacement when it refreshes.
TEST_F(StoreXpTest, ReaderRefreshSeesPeersUndoAndCommit) {
    ASSERT_TRUE(Create(1, 500));
    const std::string location = LocationText(location_);
    auto beta = StartPeer("BETA");
    ASSERT_TRUE(beta);
    ASSERT_EQ(ParseRestore(beta->Call("restore " + location + " E0000000 2000")).result, "0");
    ASSERT_EQ(beta->Call("commit 2 700 0"), "OK");
    ASSERT_EQ(beta->Call("commit 3 900 0"), "OK");

    DWORD result = 0;
    ObjectRef reader = Restore(kRead, 1000, &result);
    ASSERT_TRUE(reader);
    ASSERT_EQ(reader->Tag(), 3u);
    const DWORD version = reader->QueryVersion();

    ASSERT_EQ(beta->Call("undo"), "OK");
    ASSERT_EQ(beta->Call("commit 4 1100 0"), "OK");
    ASSERT_TRUE(reader->RefreshObject(kRead, 1000, &result));
    EXPECT_EQ(reader->QueryVersion(), version) << "the replacement has the same ModifyCnt";
    EXPECT_EQ(reader->Tag(), 4u);
    EXPECT_TRUE(reader->Intact());
}

}  // namespace
}  // namespace qzo::test::store
