// The ID generator across processes: peers taking IDs at once never meet, a killed peer's slot
// and counter lock vanish with it, slots are counted across processes. The peer's
// generator verbs (one answer line each) are also what the folder verbs' shell test drives.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "qzobj/platform/text.h"
#include "store/projectids/project_ids_test_support.h"
#include "support/peer.h"

namespace {

using namespace qzo::test::projectids;
using qzo::test::Peer;

std::vector<std::unique_ptr<CProjUniID>>& Generators() {
    static std::vector<std::unique_ptr<CProjUniID>> generators;
    return generators;
}

CProjUniID* First() {
    return Generators().empty() ? nullptr : Generators().front().get();
}

// Runs `call` on the first generator; "ERR none" without one.
std::string OnFirst(const std::function<std::string(CProjUniID&)>& call) {
    return First() ? call(*First()) : "ERR none";
}

}  // namespace

// ids_open FOLDER [COUNT]: opens COUNT generators (default 1) and keeps those that opened;
// answers "<opened> <result of the first failure, or 0>".
QZO_PEER_COMMAND(ids_open) {
    const std::u16string folder = qzo::text::ToUtf16(args.at(0));
    const int count = args.size() > 1 ? std::stoi(args[1]) : 1;
    int opened = 0;
    unsigned failure = 0;
    for (int i = 0; i < count; ++i) {
        auto ids = std::make_unique<CProjUniID>();
        const unsigned result = ids->Open(folder.c_str());
        if (result == 0) {
            Generators().push_back(std::move(ids));
            ++opened;
        } else if (failure == 0) {
            failure = result;
        }
    }
    return std::to_string(opened) + " " + std::to_string(failure);
}

// ids_next COUNT FILE [RESERVE_EVERY RESERVE_COUNT]: takes COUNT IDs from the first generator
// and writes them to FILE as 32-bit values; with the optional pair, every RESERVE_EVERY-th call
// reserves RESERVE_COUNT IDs first. Answers "OK" or "ERR <call index>".
QZO_PEER_COMMAND(ids_next) {
    return OnFirst([&](CProjUniID& ids) -> std::string {
        const int count = std::stoi(args.at(0));
        const int every = args.size() > 3 ? std::stoi(args[2]) : 0;
        const unsigned reserve = args.size() > 3 ? unsigned(std::stoul(args[3])) : 0;
        std::vector<DWORD> taken;
        for (int i = 0; i < count; ++i) {
            if (every > 0 && i % every == 0 && !ids.ReserveIDs(reserve))
                return "ERR reserve " + std::to_string(i);
            taken.push_back(ids.GetNextID());
            if (taken.back() == 0xFFFFFFFF) return "ERR " + std::to_string(i);
        }
        qzo::test::WriteFileBytes(args.at(1), std::string(reinterpret_cast<char*>(taken.data()),
                                                          taken.size() * sizeof(DWORD)));
        return "OK";
    });
}

// The first generator's answers: ReserveIDs(COUNT), GetNextID, LockProject.
QZO_PEER_COMMAND(ids_reserve) {
    return OnFirst([&](CProjUniID& ids) {
        return std::to_string(ids.ReserveIDs(unsigned(std::stoul(args.at(0)))));
    });
}

QZO_PEER_COMMAND(ids_one) {
    return OnFirst([](CProjUniID& ids) { return std::to_string(ids.GetNextID()); });
}

QZO_PEER_COMMAND(ids_lockproject) {
    return OnFirst([](CProjUniID& ids) { return std::to_string(ids.LockProject()); });
}

// ids_hold_counter IDSFILE: takes the counter lock (bytes 0-3) and keeps it.
QZO_PEER_COMMAND(ids_hold_counter) {
    static CounterLockHolder* holder = nullptr;
    delete holder;
    holder = new CounterLockHolder(args.at(0));
    return holder->held() ? "OK" : "ERR lock";
}

// ids_close: closes every generator.
QZO_PEER_COMMAND(ids_close) {
    Generators().clear();
    return "OK";
}

namespace {

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
    // Creates "PRJ.IDS" with `first`, opens `ids` on it unless null, and starts a peer.
    std::unique_ptr<Peer> Begin(DWORD first, CProjUniID* ids) {
        CProjUniID creator;
        EXPECT_EQ(creator.Create(FolderW().c_str(), first), 0u);
        if (ids) {
            EXPECT_EQ(ids->Open(FolderW().c_str()), 0u);
        }
        return StartPeer();
    }
    // Runs `command` (with " <output file>" and `options` appended) on every peer at once,
    // and checks that the IDs they took are distinct and gapless from `first`.
    void RunTogether(DWORD first, const std::string& options) {
        CProjUniID creator;
        ASSERT_EQ(creator.Create(FolderW().c_str(), first), 0u);
        std::vector<std::unique_ptr<Peer>> peers;
        for (int i = 0; i < kPeers; ++i) {
            peers.push_back(StartPeer());
            EXPECT_EQ(peers.back()->Call("ids_open " + Folder()), "1 0");
        }
        std::vector<std::string> answers(kPeers);
        std::vector<std::thread> threads;
        for (int i = 0; i < kPeers; ++i)
            threads.emplace_back([&, i] {
                answers[i] = peers[i]->Call("ids_next " + std::to_string(kCallsPerPeer) + " " +
                                            TempPath("ids" + std::to_string(i)) + options);
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
        const std::set<DWORD> distinct(all.begin(), all.end());
        EXPECT_EQ(distinct.size(), size_t(kPeers * kCallsPerPeer)) << "an ID was handed out twice";
        ASSERT_FALSE(distinct.empty());
        EXPECT_EQ(*distinct.begin(), first);
        EXPECT_EQ(*distinct.rbegin(), first + all.size() - 1) << "no ID was skipped";
        EXPECT_EQ(StoredCounter(IdsPath()), first + kPeers * kCallsPerPeer);
    }
};

TEST_F(ProjectIdsCrossProcess, FourPeersTakeDistinctIds) {
    RunTogether(5000, "");
}

TEST_F(ProjectIdsCrossProcess, FourPeersMixingReservationsTakeDistinctIds) {
    // Every 50th call reserves 10 IDs; the reservations are used up before the end.
    RunTogether(1024, " 50 10");
}

TEST_F(ProjectIdsCrossProcess, AKilledPeerFreesItsSlotAndTheCounterLock) {
    CProjUniID ids;
    auto peer = Begin(1024, &ids);
    ASSERT_EQ(peer->Call("ids_open " + Folder()), "1 0");
    ASSERT_EQ(peer->Call("ids_hold_counter " + IdsPath()), "OK");
    EXPECT_EQ(ids.LockProject(), 0xFFFFFFFEu) << "the counter lock is held by the peer";
    kill(peer->pid(), SIGKILL);
    EXPECT_TRUE(peer->Wait().signaled);
    EXPECT_EQ(ids.GetNextID(), 1024u) << "the dead peer's counter lock is gone";
    EXPECT_EQ(ids.LockProject(), 0u) << "the dead peer's slot is gone";
    EXPECT_TRUE(ids.UnlockProject());
}

TEST_F(ProjectIdsCrossProcess, LockProjectCountsUsersOfOtherProcesses) {
    CProjUniID ids;
    auto peer = Begin(1024, &ids);
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
    auto peer = Begin(3000, &ids);
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
    auto peer = Begin(1024, nullptr);
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
