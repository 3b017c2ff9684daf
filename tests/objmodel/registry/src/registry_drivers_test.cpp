// Driver libraries: the candidate paths, direct and dependent loads, display names, first calls
// on load, refusal of libraries without classes, re-entrant loading, freeing at shutdown and the
// load-failure list; and loading and freeing while other threads register, enumerate and look
// up classes, in a peer process whose time limit turns a lock-order deadlock into a failure.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "../drivers/fixture_classes.h"
#include "qzobj/platform/text.h"
#include "registry_support.h"
#include "support/capture.h"
#include "support/peer.h"
#include "support/text.h"

namespace qzo::test {
namespace {

namespace fs = std::filesystem;
using qzo::fixture::kBaseGuid;
using qzo::fixture::kDerivedGuid;
using qzo::fixture::kLeafGuid;

const std::string kRegistering = "libqzo_fixture_registering.so";
const std::string kEmpty = "libqzo_fixture_empty.so";
const std::string kDerived = "libqzo_fixture_derived.so";

CQZRuntimeClass* Find(const GUID& guid, const char* name) {
    return CQZRuntimeClass::GetClassPtr(&guid, GetHashID(name));
}

bool IsMapped(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
}

class RegistryDrivers : public RegistryTest {
  protected:
    void SetUp() override {
        RegistryTest::SetUp();
        saved_ = CQZRuntimeClass::GetWorkingDir();
        ASSERT_TRUE(CQZRuntimeClass::SetWorkingDir(Wide(TempDir()).c_str()));
        countBefore_ = CQZRuntimeClass::GetClassCount();
    }
    void TearDown() override {
        CQZRuntimeClass::UnloadClassLibs();
        EXPECT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_);
        CQZRuntimeClass::SetWorkingDir(saved_.c_str());
        RegistryTest::TearDown();
    }
    // Copies a fixture into a folder of the test's temporary folder ("" for the folder itself).
    std::string Install(const std::string& fixture, const std::string& folder = "driver",
                        const std::string& as = "") {
        const fs::path target = fs::path(TempDir()) / folder;
        fs::create_directories(target);
        const fs::path file = target / (as.empty() ? fixture : as);
        fs::copy_file(fs::path(QZO_REGISTRY_FIXTURE_DIR) / fixture, file,
                      fs::copy_options::overwrite_existing);
        return file.string();
    }

    std::u16string saved_;
    DWORD countBefore_ = 0;
};

TEST_F(RegistryDrivers, LoadsFromTheDriverFolderAndFreesAtShutdown) {
    const std::string path = Install(kRegistering);
    DebugCapture capture;
    SetDebugMode(TRUE);
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(kRegistering).c_str(), TRUE));
    SetDebugMode(FALSE);
    EXPECT_TRUE(
        capture.Contains("\rCQZRuntimeClass::LoadLibrary(" + kRegistering + "): Loaded\r\n"));
    CQZRuntimeClass* base = Find(kBaseGuid, "CFixtureDriverBase");
    CQZRuntimeClass* leaf = Find(kLeafGuid, "CFixtureDriverLeaf");
    ASSERT_NE(base, nullptr);
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(base->dwFlags & (QZRTC_DIRECTLOAD | QZRTC_NOTLIBRARY | QZRTC_FIRSTCALL),
              QZRTC_DIRECTLOAD);
    EXPECT_EQ(std::u16string(base->szDisplayName), u"Fixture driver base");
    EXPECT_EQ(std::u16string(leaf->szDisplayName), u"Fixture driver leaf");
    EXPECT_EQ(std::u16string(base->szDLLPath), Wide(path));
    EXPECT_EQ(base->dwDataID, 0x5151u);
    EXPECT_EQ(leaf->dwDataID, 0x5151u);
    EXPECT_EQ(CQZRuntimeClass::IsClassLibraryLoaded(u"/elsewhere/LIBQZO_FIXTURE_REGISTERING.SO"),
              CQZRuntimeClass::IsClassLibraryLoaded(Wide(path).c_str()));
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    auto calls = reinterpret_cast<DWORD (*)(DWORD)>(dlsym(handle, "FixtureBaseCalls"));
    ASSERT_NE(calls, nullptr);
    EXPECT_EQ(calls(QZRTC_CTRL_INIT), 1u);
    dlclose(handle);
    // Already loaded by the registry: nothing more happens.
    EXPECT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(path).c_str(), TRUE));
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_ + 2);

    CQZRuntimeClass::UnloadClassLibs();
    EXPECT_FALSE(IsMapped(path));
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_);
    EXPECT_EQ(Find(kBaseGuid, "CFixtureDriverBase"), nullptr);
    EXPECT_EQ(CQZRuntimeClass::IsClassLibraryLoaded(Wide(kRegistering).c_str()), nullptr);
}

TEST_F(RegistryDrivers, CandidatesInOrder) {
    // Only beside the working folder: the second candidate.
    const std::string beside = Install(kRegistering, "");
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(kRegistering).c_str(), FALSE));
    EXPECT_EQ(std::u16string(Find(kBaseGuid, "CFixtureDriverBase")->szDLLPath), Wide(beside));
    CQZRuntimeClass::UnloadClassLibs();
    ASSERT_FALSE(IsMapped(beside));
    // In the driver folder, spelled in another case on disk: the first candidate wins.
    const std::string inDriver = Install(kRegistering, "DRIVER");
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(kRegistering).c_str(), FALSE));
    EXPECT_EQ(std::u16string(Find(kBaseGuid, "CFixtureDriverBase")->szDLLPath), Wide(inDriver));
    CQZRuntimeClass::UnloadClassLibs();
    ASSERT_FALSE(IsMapped(inDriver));
    // Elsewhere: the path itself.
    fs::remove(beside);
    fs::remove(inDriver);
    const std::string elsewhere = Install(kRegistering, "elsewhere");
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(elsewhere).c_str(), FALSE));
    EXPECT_EQ(std::u16string(Find(kBaseGuid, "CFixtureDriverBase")->szDLLPath), Wide(elsewhere));
}

TEST_F(RegistryDrivers, DependencyIsNotMarkedDirectUntilAskedFor) {
    const std::string basePath = Install(kRegistering);
    const std::string derivedPath = Install(kDerived);
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(kDerived).c_str(), TRUE));
    CQZRuntimeClass* base = Find(kBaseGuid, "CFixtureDriverBase");
    CQZRuntimeClass* derived = Find(kDerivedGuid, "CFixtureDriverDerived");
    ASSERT_NE(base, nullptr);
    ASSERT_NE(derived, nullptr);
    EXPECT_EQ(derived->pBaseClass, base);
    EXPECT_EQ(std::u16string(base->szDLLPath), Wide(basePath));
    EXPECT_NE(derived->dwFlags & QZRTC_DIRECTLOAD, 0u);
    EXPECT_EQ(base->dwFlags & QZRTC_DIRECTLOAD, 0u);
    EXPECT_EQ(std::u16string(derived->szDisplayName), u"Fixture driver derived");
    EXPECT_TRUE(derived->IsKindOf(base));
    // Asked for directly, the dependency gets a reference of the registry's own.
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(kRegistering).c_str(), TRUE));
    EXPECT_NE(base->dwFlags & QZRTC_DIRECTLOAD, 0u);
    CQZRuntimeClass::UnloadClassLibs();
    EXPECT_FALSE(IsMapped(derivedPath));
    EXPECT_FALSE(IsMapped(basePath));
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_);
}

TEST_F(RegistryDrivers, ModuleKeptByAnotherReferenceComesBackUntilItGoes) {
    const std::string path = Install(kRegistering);
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(kRegistering).c_str(), TRUE));
    void* ours = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(ours, nullptr);
    CQZRuntimeClass::UnloadClassLibs();
    CQZRuntimeClass* base = Find(kBaseGuid, "CFixtureDriverBase");
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(base->dwStatus, QZRTC_FREED);
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_ + 2);
    ExpectDirectoryInvariants();
    // Freed once: a second shutdown leaves it alone.
    CQZRuntimeClass::UnloadClassLibs();
    EXPECT_TRUE(IsMapped(path));
    dlclose(ours);
    EXPECT_FALSE(IsMapped(path));
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_);
    EXPECT_EQ(Find(kBaseGuid, "CFixtureDriverBase"), nullptr);
}

// Every refused load with its message. Once a library loaded without registering a class, its
// name stays refused, without touching the disk, even after a registering library replaced it.
TEST_F(RegistryDrivers, RefusedLoadsAndTheirMessages) {
    const std::string path = Install(kEmpty);
    struct Row {
        const char16_t* name;
        std::string message;
    };
    const std::string prefix = "\rCQZRuntimeClass::LoadLibrary";
    const Row rows[] = {
        {u"libqzo_fixture_empty.so",
         prefix + "(" + kEmpty + ") loaded, but no classes registered\r\n"},
        {u"LIBQZO_FIXTURE_EMPTY.SO", ""},
        {u"libqzo_fixture_absent.so",
         prefix + "(libqzo_fixture_absent.so): Failure to load, no instance\r\n"},
        {u"", prefix + ": No path\r\n"},
        {u"folder/", prefix + "(folder/): No filename\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.name));
        DebugCapture capture;
        SetDebugMode(TRUE);
        EXPECT_FALSE(CQZRuntimeClass::LoadClassLibrary(row.name, TRUE));
        SetDebugMode(FALSE);
        EXPECT_EQ(capture.Text(3), row.message);
        if (row.message.empty()) {
            EXPECT_EQ(capture.Count(), 0u);
        }
        EXPECT_FALSE(IsMapped(path));
        if (&row == &rows[0]) Install(kRegistering, "driver", kEmpty);
    }
}

TEST_F(RegistryDrivers, ControlProcedureLoadsAnotherLibraryReentrantly) {
    const std::string basePath = Install(kRegistering);
    Install(kDerived);
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(kRegistering).c_str(), FALSE));
    void* handle = dlopen(basePath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    auto loadOnInit = reinterpret_cast<void (*)(const WCHAR*)>(dlsym(handle, "FixtureLoadOnInit"));
    ASSERT_NE(loadOnInit, nullptr);
    static const std::u16string derivedName = Wide(kDerived);
    loadOnInit(derivedName.c_str());
    dlclose(handle);
    CQZRuntimeClass::SanitizeLoads();
    CQZRuntimeClass* derived = Find(kDerivedGuid, "CFixtureDriverDerived");
    ASSERT_NE(derived, nullptr);
    EXPECT_NE(derived->dwFlags & QZRTC_DIRECTLOAD, 0u);
    loadOnInit(nullptr);
}

TEST_F(RegistryDrivers, LoadFailureListFillsSilentlyAndIsClearedByExitAndInit) {
    using I = CQZRuntimeClassProbe;
    ASSERT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_);
    CQZRuntimeClass::Exit();
    I::LoadFail_Add(u"ignored-without-range.so");
    EXPECT_FALSE(I::LoadFail_Check(u"ignored-without-range.so"));
    ASSERT_TRUE(CQZRuntimeClass::Init());
    ASSERT_TRUE(CQZRuntimeClass::SetWorkingDir(Wide(TempDir()).c_str()));
    // Records of 512 bytes: the eighth ends on a page boundary; 255 fit in the range.
    auto nameOf = [](int i) {
        std::u16string name = Wide("fail" + std::to_string(i) + "-");
        name.resize(254, u'x');
        return name;
    };
    DebugCapture capture;
    SetDebugMode(TRUE);
    for (int i = 0; i < 256; ++i) I::LoadFail_Add(nameOf(i).c_str());
    I::LoadFail_Add(std::u16string(260, u'L').c_str());
    SetDebugMode(FALSE);
    EXPECT_EQ(capture.Count(), 0u);
    for (int i : {0, 7, 8, 254}) {
        std::u16string upper = nameOf(i);
        for (auto& c : upper) c = text::FoldUpper(c);
        EXPECT_TRUE(I::LoadFail_Check(upper.c_str())) << i;
    }
    EXPECT_FALSE(I::LoadFail_Check(nameOf(255).c_str()));
    EXPECT_FALSE(I::LoadFail_Check(std::u16string(260, u'L').c_str()));
    EXPECT_FALSE(I::LoadFail_Check(u"fail0-"));
    CQZRuntimeClass::Exit();
    ASSERT_TRUE(CQZRuntimeClass::Init());
    EXPECT_FALSE(I::LoadFail_Check(nameOf(0).c_str()));
    countBefore_ = CQZRuntimeClass::GetClassCount();
}

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

// Three threads register, unregister, enumerate and look up while another only looks up 300
// stable classes, and the main thread loads and frees a driver and its dependency 40 times. A
// reader standing on an unregistered record walks on through its old successor, so churned
// records are never reused while readers run.
QZO_PEER_COMMAND(registry_loader_lock) {
    if (args.size() != 1) return "usage";
    if (!CQZRuntimeClass::SetWorkingDir(Wide(args[0]).c_str())) return "workdir";
    std::vector<RecordPtr> stable;
    for (int i = 0; i < 300; ++i) {
        stable.push_back(NewRecord(NameOutsideDriverBuckets(-1 - i), MakeGuid(0x10AD0000 + i)));
        if (stable.back()->RegisterClass(TestModule(), nullptr, 0) != 0) return "stable";
    }
    auto lookUp = [&stable] {
        int misses = 0;
        for (auto& record : stable)
            misses += CQZRuntimeClass::GetClassPtr(&record->guid, record->dwHashID) != record.get();
        return misses;
    };
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
                errors += lookUp() > 0;
            }
        });
    workers.emplace_back([&] {
        while (!done) errors += lookUp();
    });
    for (int round = 0; round < 40; ++round) {
        if (!CQZRuntimeClass::LoadClassLibrary(u"libqzo_fixture_derived.so", TRUE)) ++errors;
        CQZRuntimeClass::UnloadClassLibs();
    }
    done = true;
    for (auto& worker : workers) worker.join();
    stable.clear();
    return errors == 0 ? "OK" : "errors " + std::to_string(errors.load());
}

TEST_F(RegistryDrivers, LoadingAndFreeingRaceWithRegistryUsersWithoutDeadlock) {
    Install(kRegistering);
    Install(kDerived);
    Peer peer;
    // A deadlocked peer is killed at the limit and gives no answer.
    peer.SetTimeLimit(std::chrono::seconds(120));
    ASSERT_TRUE(peer.Start());
    EXPECT_EQ(peer.Call("registry_loader_lock " + TempDir()), "OK");
    peer.Send("exit 0");
    peer.Wait();
}

}  // namespace
}  // namespace qzo::test
