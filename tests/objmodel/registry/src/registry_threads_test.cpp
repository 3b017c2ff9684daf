// Registration from many threads at once, and lock-free lookups while classes come and go.
#include <atomic>
#include <set>
#include <thread>

#include "registry_support.h"
#include "support/capture.h"

namespace qzo::test {
namespace {

class RegistryThreads : public RegistryTest {};

TEST_F(RegistryThreads, EightThreadsRegisterFiveHundredClassesEach) {
    constexpr int kThreads = 8, kPerThread = 500;
    std::vector<std::vector<RecordPtr>> records(kThreads);
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kPerThread; ++i)
            records[t].push_back(NewRecord("CThreaded" + std::to_string(t * kPerThread + i),
                                           MakeGuid(0x7A000000 + t * kPerThread + i)));
    const DWORD before = CQZRuntimeClass::GetClassCount();
    DebugCapture capture;
    SetDebugMode(TRUE);
    std::atomic<bool> done{false};
    std::atomic<int> listFailures{0};
    std::thread lister([&] {
        while (!done) {
            DWORD count = 0;
            CQZRuntimeClass** list = CQZRuntimeClass::GetOrderedClassList(&count);
            if (!list) ++listFailures;
            CQZRuntimeClass::FreeOrderedClassList(list);
        }
    });
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (auto& record : records[t])
                if (record->RegisterClass(TestModule(), nullptr, 0) != 0) ++failures;
        });
    for (auto& thread : threads) thread.join();
    done = true;
    lister.join();
    SetDebugMode(FALSE);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(listFailures.load(), 0);
    EXPECT_FALSE(capture.Contains("Bad integrity!"));
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), before + kThreads * kPerThread);
    std::set<DWORD> orders;
    for (auto& perThread : records)
        for (auto& record : perThread) orders.insert(record->dwOrder);
    EXPECT_EQ(orders.size(), size_t(kThreads * kPerThread));
    ExpectDirectoryInvariants();
    records.clear();
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), before);
}

TEST_F(RegistryThreads, LockFreeLookupsFindStableClassesDuringChurn) {
    constexpr int kStable = 300;
    std::vector<RecordPtr> stable;
    for (int i = 0; i < kStable; ++i) {
        stable.push_back(NewRecord("CStable" + std::to_string(i), MakeGuid(0x5AB00000 + i)));
        ASSERT_EQ(Register(stable.back().get()), 0u);
    }
    std::atomic<bool> done{false};
    std::atomic<long> misses{0}, lookups{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            while (!done) {
                for (auto& record : stable) {
                    if (CQZRuntimeClass::GetClassPtr(&record->guid, record->dwHashID) !=
                        record.get())
                        ++misses;
                    ++lookups;
                }
            }
        });
    // Churn with fresh records only: a reader standing on an unregistered record walks on
    // through its old successor, so records are never reused while readers run.
    std::vector<RecordPtr> churned;
    std::thread churn([&] {
        for (int round = 0; round < 4000; ++round) {
            auto record =
                NewRecord("CChurn" + std::to_string(round % 700), MakeGuid(0xC0000000 + round));
            if (record->RegisterClass(TestModule(), nullptr, 0) == 0) record->UnRegisterClass();
            churned.push_back(std::move(record));
        }
    });
    churn.join();
    done = true;
    for (auto& reader : readers) reader.join();
    EXPECT_GT(lookups.load(), 0);
    EXPECT_EQ(misses.load(), 0);
    ExpectDirectoryInvariants();
}

}  // namespace
}  // namespace qzo::test
