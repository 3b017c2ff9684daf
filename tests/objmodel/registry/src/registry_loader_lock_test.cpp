// Loading and freeing driver libraries while other threads register, enumerate and look up
// classes, in a child process under a watchdog: a lock-order deadlock fails the test instead of
// hanging it.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "../drivers/fixture_classes.h"
#include "qzobj/platform/text.h"
#include "registry_support.h"
#include "support/peer.h"

namespace qzo::test {
namespace {

// Test classes whose buckets no fixture class uses: lock-free lookups must never walk a chain
// that holds a record of a library being freed.
std::string NameOutsideDriverBuckets(int serial) {
    const DWORD used[] = {GetHashID("CFixtureDriverBase") & 0xFFFF,
                          GetHashID("CFixtureDriverLeaf") & 0xFFFF,
                          GetHashID("CFixtureDriverDerived") & 0xFFFF};
    for (int probe = 0;; ++probe) {
        std::string name = "CLoaderLock" + std::to_string(serial) + "_" + std::to_string(probe);
        const DWORD bucket = GetHashID(name.c_str()) & 0xFFFF;
        if (bucket != used[0] && bucket != used[1] && bucket != used[2]) return name;
    }
}

QZO_PEER_COMMAND(registry_loader_lock) {
    if (args.size() != 1) return "usage";
    if (!CQZRuntimeClass::SetWorkingDir(text::ToUtf16(args[0]).c_str())) return "workdir";
    auto stable = NewRecord(NameOutsideDriverBuckets(0), MakeGuid(0x10AD0000));
    if (stable->RegisterClass(TestModule(), nullptr, 0) != 0) return "stable";
    std::atomic<bool> done{false};
    std::atomic<int> errors{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w)
        workers.emplace_back([&, w] {
            std::vector<RecordPtr> churned;
            for (int round = 0; !done; ++round) {
                auto record = NewRecord(NameOutsideDriverBuckets(1 + w * 100000 + round),
                                        MakeGuid(0x10AE0000 + w * 100000 + round));
                if (record->RegisterClass(TestModule(), nullptr, 0) == 0) record->UnRegisterClass();
                churned.push_back(std::move(record));
                CQZRuntimeClass::EnumClasses([](CQZRuntimeClass*, uintptr_t) { return TRUE; }, 0);
                CQZRuntimeClass::IsUnique(GetHashID("CFixtureDriverBase"));
                CQZRuntimeClass::IsClassLibraryLoaded(u"libqzo_fixture_derived.so");
                if (CQZRuntimeClass::GetClassPtr(&stable->guid, stable->dwHashID) != stable.get())
                    ++errors;
            }
        });
    for (int round = 0; round < 40; ++round) {
        if (!CQZRuntimeClass::LoadClassLibrary(u"libqzo_fixture_derived.so", TRUE)) ++errors;
        CQZRuntimeClass::UnloadClassLibs();
    }
    done = true;
    for (auto& worker : workers) worker.join();
    stable->UnRegisterClass();
    return errors == 0 ? "OK" : "errors " + std::to_string(errors.load());
}

class RegistryLoaderLock : public RegistryTest {};

TEST_F(RegistryLoaderLock, LoadingAndFreeingRaceWithRegistryUsersWithoutDeadlock) {
    namespace fs = std::filesystem;
    fs::create_directories(fs::path(TempDir()) / "driver");
    for (const char* fixture : {"libqzo_fixture_registering.so", "libqzo_fixture_derived.so"})
        fs::copy_file(fs::path(QZO_REGISTRY_FIXTURE_DIR) / fixture,
                      fs::path(TempDir()) / "driver" / fixture);
    Peer peer;
    ASSERT_TRUE(peer.Start());
    std::mutex mutex;
    std::condition_variable finished;
    bool answered = false, killed = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!finished.wait_for(lock, std::chrono::seconds(120), [&] { return answered; })) {
            killed = true;
            kill(peer.pid(), SIGKILL);
        }
    });
    const std::string answer = peer.Call("registry_loader_lock " + TempDir());
    {
        std::lock_guard lock(mutex);
        answered = true;
    }
    finished.notify_all();
    watchdog.join();
    EXPECT_FALSE(killed) << "the child deadlocked";
    EXPECT_EQ(answer, "OK");
    peer.Send("exit 0");
    peer.Wait();
}

}  // namespace
}  // namespace qzo::test
