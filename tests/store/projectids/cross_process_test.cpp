// The generator across processes: peers taking IDs at once never meet, a killed peer's slot and
// counter lock vanish with it, and the user slots are counted across processes.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "store/projectids/project_ids_test_support.h"
#include "support/peer.h"

namespace {

using namespace qzo::test::projectids;
using qzo::test::Peer;

// Four processes with 10,000 calls each (about 4 s under the sanitizers).
constexpr int kPeers = 4;
constexpr int kCallsPerPeer = 10000;

class ProjectIdsCrossProcess : public ProjectIdsTest {
  protected:
    std::unique_ptr<Peer> StartPeer() {
        auto peer = std::make_unique<Peer>();
        EXPECT_TRUE(peer->Start());
        return peer;
    }
    // Runs `command` (with " <output file>" appended) on every peer at once and collects the
    // IDs they wrote.
    std::vector<DWORD> RunTogether(const std::string& command, const std::string& options) {
        std::vector<std::unique_ptr<Peer>> peers;
        for (int i = 0; i < kPeers; ++i) {
            peers.push_back(StartPeer());
            EXPECT_EQ(peers.back()->Call("ids_open " + Folder()), "1 0");
        }
        std::vector<std::string> answers(kPeers);
        std::vector<std::thread> threads;
        for (int i = 0; i < kPeers; ++i)
            threads.emplace_back([&, i] {
                answers[i] =
                    peers[i]->Call(command + " " + TempPath("ids" + std::to_string(i)) + options);
            });
        for (auto& thread : threads) thread.join();
        std::vector<DWORD> all;
        for (int i = 0; i < kPeers; ++i) {
            EXPECT_EQ(answers[i], "OK") << "peer " << i;
            const std::string bytes = qzo::test::ReadFileBytes(TempPath("ids" + std::to_string(i)));
            std::vector<DWORD> ids(bytes.size() / sizeof(DWORD));
            std::memcpy(ids.data(), bytes.data(), ids.size() * sizeof(DWORD));
            EXPECT_EQ(ids.size(), size_t(kCallsPerPeer)) << "peer " << i;
            all.insert(all.end(), ids.begin(), ids.end());
        }
        return all;
    }
};

void ExpectDistinctRange(const std::vector<DWORD>& ids, DWORD start) {
    const std::set<DWORD> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), ids.size()) << "an ID was handed out twice";
    ASSERT_FALSE(distinct.empty());
    EXPECT_EQ(*distinct.begin(), start);
    EXPECT_EQ(*distinct.rbegin(), start + ids.size() - 1) << "no ID was skipped";
}

TEST_F(ProjectIdsCrossProcess, FourPeersTakeDistinctIds) {
    CProjUniID creator;
    ASSERT_EQ(creator.Create(FolderW().c_str(), 5000), 0u);
    const std::vector<DWORD> ids = RunTogether("ids_next " + std::to_string(kCallsPerPeer), "");
    EXPECT_EQ(ids.size(), size_t(kPeers * kCallsPerPeer));
    ExpectDistinctRange(ids, 5000);
    EXPECT_EQ(StoredCounter(IdsPath()), 5000u + kPeers * kCallsPerPeer);
}

TEST_F(ProjectIdsCrossProcess, FourPeersMixingReservationsTakeDistinctIds) {
    CProjUniID creator;
    ASSERT_EQ(creator.Create(FolderW().c_str(), 1024), 0u);
    // Every 50th call reserves 10 IDs; the reservations are used up before the end.
    const std::vector<DWORD> ids =
        RunTogether("ids_next " + std::to_string(kCallsPerPeer), " 50 10");
    ExpectDistinctRange(ids, 1024);
    EXPECT_EQ(StoredCounter(IdsPath()), 1024u + kPeers * kCallsPerPeer);
}

TEST_F(ProjectIdsCrossProcess, AKilledPeerFreesItsSlotAndTheCounterLock) {
    CProjUniID ids;
    ASSERT_EQ(ids.Create(FolderW().c_str(), 1024), 0u);
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    auto peer = StartPeer();
    ASSERT_EQ(peer->Call("ids_open " + Folder()), "1 0");
    ASSERT_EQ(peer->Call("ids_hold_counter " + IdsPath()), "OK");
    EXPECT_EQ(ids.LockProject(), 0xFFFFFFFEu) << "the counter lock is held by the peer";
    kill(peer->pid(), SIGKILL);
    const qzo::test::PeerExit exit = peer->Wait();
    EXPECT_TRUE(exit.signaled);
    EXPECT_EQ(ids.GetNextID(), 1024u) << "the dead peer's counter lock is gone";
    EXPECT_EQ(ids.LockProject(), 0u) << "the dead peer's slot is gone";
    EXPECT_TRUE(ids.UnlockProject());
}

TEST_F(ProjectIdsCrossProcess, LockProjectCountsUsersOfOtherProcesses) {
    CProjUniID ids;
    ASSERT_EQ(ids.Create(FolderW().c_str(), 1024), 0u);
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    auto peer = StartPeer();
    ASSERT_EQ(peer->Call("ids_open " + Folder() + " 3"), "3 0");
    EXPECT_EQ(ids.LockProject(), 3u);
    ASSERT_EQ(peer->Call("ids_close"), "OK");
    ASSERT_EQ(ids.LockProject(), 0u);
    EXPECT_EQ(peer->Call("ids_open " + Folder()), "0 2") << "the project is locked";
    EXPECT_TRUE(ids.UnlockProject());
    ASSERT_EQ(peer->Call("ids_open " + Folder()), "1 0");
    EXPECT_EQ(peer->Call("ids_lockproject"), "1");
    EXPECT_EQ(ids.LockProject(), 1u);
}

TEST_F(ProjectIdsCrossProcess, APeersReservationStaysItsOwn) {
    CProjUniID ids;
    ASSERT_EQ(ids.Create(FolderW().c_str(), 3000), 0u);
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    auto peer = StartPeer();
    ASSERT_EQ(peer->Call("ids_open " + Folder()), "1 0");
    ASSERT_EQ(peer->Call("ids_reserve 100"), "1");
    EXPECT_EQ(IdsBytes(), CounterBytes(3100));
    EXPECT_EQ(ids.GetNextID(), 3100u);
    EXPECT_TRUE(ids.SetStartID(3000)) << "a lower start changes nothing";
    EXPECT_EQ(ids.GetNextID(), 3101u);
    EXPECT_EQ(peer->Call("ids_one"), "3000");
    EXPECT_EQ(peer->Call("ids_one"), "3001");
}

TEST_F(ProjectIdsCrossProcess, The257thOpenAcrossTwoProcessesFails) {
    CProjUniID creator;
    ASSERT_EQ(creator.Create(FolderW().c_str(), 1024), 0u);
    auto peer = StartPeer();
    ASSERT_EQ(peer->Call("ids_open " + Folder() + " 200"), "200 0");
    std::vector<CProjUniID> mine(56);
    for (auto& ids : mine) ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    CProjUniID extra;
    EXPECT_EQ(extra.Open(FolderW().c_str()), 2u);
    EXPECT_EQ(peer->Call("ids_open " + Folder()), "0 2");
    mine.pop_back();
    EXPECT_EQ(peer->Call("ids_open " + Folder()), "1 0");
}

}  // namespace
