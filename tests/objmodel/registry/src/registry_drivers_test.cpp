// Driver libraries: the candidate paths, direct and dependent loads, display names, first calls
// on load, refusal of libraries without classes, re-entrant loading, freeing at shutdown and the
// load-failure list.
#include <dlfcn.h>
#include <sys/stat.h>

#include <filesystem>

#include "../drivers/fixture_classes.h"
#include "qzobj/platform/text.h"
#include "registry_support.h"
#include "support/capture.h"

namespace qzo::test {
namespace {

namespace fs = std::filesystem;
using qzo::fixture::kBaseGuid;
using qzo::fixture::kDerivedGuid;
using qzo::fixture::kLeafGuid;

const std::string kRegistering = "libqzo_fixture_registering.so";
const std::string kEmpty = "libqzo_fixture_empty.so";
const std::string kDerived = "libqzo_fixture_derived.so";

std::u16string U16(const std::string& text) {
    return qzo::text::ToUtf16(text);
}

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
        ASSERT_TRUE(CQZRuntimeClass::SetWorkingDir(U16(TempDir()).c_str()));
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
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(U16(kRegistering).c_str(), TRUE));
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
    EXPECT_EQ(std::u16string(base->szDLLPath), U16(path));
    EXPECT_EQ(base->dwDataID, 0x5151u);
    EXPECT_EQ(leaf->dwDataID, 0x5151u);
    EXPECT_EQ(CQZRuntimeClass::IsClassLibraryLoaded(u"/elsewhere/LIBQZO_FIXTURE_REGISTERING.SO"),
              CQZRuntimeClass::IsClassLibraryLoaded(U16(path).c_str()));
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    auto calls = reinterpret_cast<DWORD (*)(DWORD)>(dlsym(handle, "FixtureBaseCalls"));
    ASSERT_NE(calls, nullptr);
    EXPECT_EQ(calls(QZRTC_CTRL_INIT), 1u);
    dlclose(handle);
    // Already loaded by the registry: nothing more happens.
    EXPECT_TRUE(CQZRuntimeClass::LoadClassLibrary(U16(path).c_str(), TRUE));
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_ + 2);

    CQZRuntimeClass::UnloadClassLibs();
    EXPECT_FALSE(IsMapped(path));
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_);
    EXPECT_EQ(Find(kBaseGuid, "CFixtureDriverBase"), nullptr);
    EXPECT_EQ(CQZRuntimeClass::IsClassLibraryLoaded(U16(kRegistering).c_str()), nullptr);
}

TEST_F(RegistryDrivers, CandidatesInOrder) {
    // Only beside the working folder: the second candidate.
    const std::string beside = Install(kRegistering, "");
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(U16(kRegistering).c_str(), FALSE));
    EXPECT_EQ(std::u16string(Find(kBaseGuid, "CFixtureDriverBase")->szDLLPath), U16(beside));
    CQZRuntimeClass::UnloadClassLibs();
    ASSERT_FALSE(IsMapped(beside));
    // In the driver folder, spelled in another case on disk: the first candidate wins.
    const std::string inDriver = Install(kRegistering, "DRIVER");
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(U16(kRegistering).c_str(), FALSE));
    EXPECT_EQ(std::u16string(Find(kBaseGuid, "CFixtureDriverBase")->szDLLPath), U16(inDriver));
    CQZRuntimeClass::UnloadClassLibs();
    ASSERT_FALSE(IsMapped(inDriver));
    // Elsewhere: the path itself.
    fs::remove(beside);
    fs::remove(inDriver);
    const std::string elsewhere = Install(kRegistering, "elsewhere");
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(U16(elsewhere).c_str(), FALSE));
    EXPECT_EQ(std::u16string(Find(kBaseGuid, "CFixtureDriverBase")->szDLLPath), U16(elsewhere));
}

TEST_F(RegistryDrivers, DependencyIsNotMarkedDirectUntilAskedFor) {
    const std::string basePath = Install(kRegistering);
    const std::string derivedPath = Install(kDerived);
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(U16(kDerived).c_str(), TRUE));
    CQZRuntimeClass* base = Find(kBaseGuid, "CFixtureDriverBase");
    CQZRuntimeClass* derived = Find(kDerivedGuid, "CFixtureDriverDerived");
    ASSERT_NE(base, nullptr);
    ASSERT_NE(derived, nullptr);
    EXPECT_EQ(derived->pBaseClass, base);
    EXPECT_EQ(std::u16string(base->szDLLPath), U16(basePath));
    EXPECT_NE(derived->dwFlags & QZRTC_DIRECTLOAD, 0u);
    EXPECT_EQ(base->dwFlags & QZRTC_DIRECTLOAD, 0u);
    EXPECT_EQ(std::u16string(derived->szDisplayName), u"Fixture driver derived");
    EXPECT_TRUE(derived->IsKindOf(base));
    // Asked for directly, the dependency gets a reference of the registry's own.
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(U16(kRegistering).c_str(), TRUE));
    EXPECT_NE(base->dwFlags & QZRTC_DIRECTLOAD, 0u);
    CQZRuntimeClass::UnloadClassLibs();
    EXPECT_FALSE(IsMapped(derivedPath));
    EXPECT_FALSE(IsMapped(basePath));
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_);
}

TEST_F(RegistryDrivers, ModuleKeptByAnotherReferenceComesBackUntilItGoes) {
    const std::string path = Install(kRegistering);
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(U16(kRegistering).c_str(), TRUE));
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

TEST_F(RegistryDrivers, LibraryWithoutClassesIsFreedAndStaysRefused) {
    const std::string path = Install(kEmpty);
    DebugCapture capture;
    SetDebugMode(TRUE);
    EXPECT_FALSE(CQZRuntimeClass::LoadClassLibrary(U16(kEmpty).c_str(), TRUE));
    EXPECT_FALSE(IsMapped(path));
    EXPECT_EQ(capture.Text(3), "\rCQZRuntimeClass::LoadLibrary(" + kEmpty +
                                   ") loaded, but no classes registered\r\n");
    capture.Clear();
    // Replaced by a registering library, the name is still refused, without touching the disk.
    Install(kRegistering, "driver", kEmpty);
    EXPECT_FALSE(CQZRuntimeClass::LoadClassLibrary(u"LIBQZO_FIXTURE_EMPTY.SO", TRUE));
    EXPECT_FALSE(IsMapped(path));
    EXPECT_EQ(capture.Count(), 0u);
    EXPECT_FALSE(CQZRuntimeClass::LoadClassLibrary(u"libqzo_fixture_absent.so", TRUE));
    EXPECT_FALSE(CQZRuntimeClass::LoadClassLibrary(u"", TRUE));
    EXPECT_FALSE(CQZRuntimeClass::LoadClassLibrary(u"folder/", TRUE));
    SetDebugMode(FALSE);
    EXPECT_EQ(capture.Text(3),
              "\rCQZRuntimeClass::LoadLibrary(libqzo_fixture_absent.so): Failure to load, no "
              "instance\r\n"
              "\rCQZRuntimeClass::LoadLibrary: No path\r\n"
              "\rCQZRuntimeClass::LoadLibrary(folder/): No filename\r\n");
}

TEST_F(RegistryDrivers, ControlProcedureLoadsAnotherLibraryReentrantly) {
    const std::string basePath = Install(kRegistering);
    Install(kDerived);
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(U16(kRegistering).c_str(), FALSE));
    void* handle = dlopen(basePath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    auto loadOnInit = reinterpret_cast<void (*)(const WCHAR*)>(dlsym(handle, "FixtureLoadOnInit"));
    ASSERT_NE(loadOnInit, nullptr);
    static const std::u16string derivedName = U16(kDerived);
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
    ASSERT_TRUE(CQZRuntimeClass::SetWorkingDir(U16(TempDir()).c_str()));
    // Records of 512 bytes: the eighth ends on a page boundary; 255 fit in the range.
    auto nameOf = [](int i) {
        std::u16string name = U16("fail" + std::to_string(i) + "-");
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

}  // namespace
}  // namespace qzo::test
