// The persistent object. Outside any project: change tracking and its grades, the notices it
// sends and refuses, the undo comment, the parent location, copies, refusals without a stored
// object, the last reference (also raced by threads), damaged objects, the deletion watch, what
// it writes and reads, and application start and end. In a working project: the notices that
// need an object file (commit, release, refresh, copy on write, destruction, undo), forwards to
// the self-locator, and a refresh whose reload throws keeping its callbacks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "objmodel/registry/drivers/fixture_classes.h"
#include "qzobj/diag.h"
#include "qzobj/frame.h"
#include "qzobj/heritage.h"
#include "qzobj/memblock.h"
#include "qzobj/objmodel.h"
#include "qzobj/persistent.h"
#include "qzobj/platform/classes_root.h"
#include "qzobj/project_locator.h"
#include "qzobj/store.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/peer.h"
#include "support/text.h"

namespace qzo::test::persistent {
namespace {

struct Notice {
    DWORD code;
    uintptr_t parameter;
    bool operator==(const Notice&) const = default;
};

// Records every notice an object sends to the callback it registered. Thread-safe.
class NoticeLog {
  public:
    DWORD Attach(CQZObject& object) {
        return object.RegisterStateNotify(&Record, reinterpret_cast<uintptr_t>(this), 0);
    }
    std::vector<Notice> Notices() const {
        std::lock_guard<std::mutex> hold(lock_);
        return notices_;
    }
    std::vector<DWORD> Codes() const {
        std::vector<DWORD> codes;
        for (const Notice& notice : Notices()) codes.push_back(notice.code);
        return codes;
    }
    void Clear() {
        std::lock_guard<std::mutex> hold(lock_);
        notices_.clear();
    }

  private:
    static int Record(void*, uintptr_t code, uintptr_t& self, uintptr_t&, uintptr_t parameter) {
        auto* log = reinterpret_cast<NoticeLog*>(self);
        std::lock_guard<std::mutex> hold(log->lock_);
        log->notices_.push_back({static_cast<DWORD>(code), parameter});
        return 1;
    }

    mutable std::mutex lock_;
    std::vector<Notice> notices_;
};

// Holds one reference and drops it with DelObject.
class ObjectRef {
  public:
    explicit ObjectRef(CQZObject* object = nullptr) : object_(object) {}
    ~ObjectRef() { Reset(); }
    ObjectRef(const ObjectRef&) = delete;
    ObjectRef& operator=(const ObjectRef&) = delete;
    CQZObject* get() const { return object_; }
    CQZObject* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    void Reset(CQZObject* object = nullptr) {
        if (object_) object_->DelObject();
        object_ = object;
    }

  private:
    CQZObject* object_;
};

// A new object made by the class's own factory, outside the object store.
CQZObject* NewLooseObject() {
    return static_cast<CQZObject*>(CQZObject::CreateObject());
}

extern CQZRuntimeClass classCLoadProbeObject;

// A persistent class that stores one word of its own after the base's data; its LoadData throws
// while `throwOnLoad` is set.
class CLoadProbeObject : public CQZObject {
  public:
    CQZRuntimeClass* GetRuntimeClass() const override { return &classCLoadProbeObject; }
    BOOL StoreData(CQZArchive& archive) override {
        return CQZObject::StoreData(archive) &&
               StoreMemory(archive, kWordChunk, &word, sizeof word);
    }
    BOOL LoadData(CQZArchive& archive) override {
        if (!CQZObject::LoadData(archive)) return FALSE;
        if (throwOnLoad.load()) throw std::runtime_error("load refused by the test");
        return LoadMemory(archive, kWordChunk, &word, sizeof word);
    }
    static CQZRTObject* CreateObject() { return new CLoadProbeObject; }

    DWORD word = 0;
    static inline std::atomic<bool> throwOnLoad{false};
    static constexpr char kWordChunk[] = "LoadProbeWord";
};

CQZRuntimeClass classCLoadProbeObject = [] {
    const GUID guid = {
        0x71E0A3C5, 0x5B02, 0x11EF, {0x8C, 0x41, 0x00, 0x0C, 0x29, 0x5B, 0x40, 0x02}};
    CQZRuntimeClass record =
        fixture::MakeRecord("CLoadProbeObject", guid, sizeof(CLoadProbeObject), 0, nullptr);
    record.dwFlags = QZRTC_PERSISTENT | QZRTC_RECORDEDPATH;
    record.pfnCreateObject = &CLoadProbeObject::CreateObject;
    record.dwVTblVersion = QZOBJ_VTBL_VERSION;
    return record;
}();

// A working project in the test's folder, ended and unregistered after the test, with the probe
// class registered (once per process).
class ProjectTest : public QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        projectID_ = PrjLocator::RegisterProject(Wide(TempPath("proj")).c_str(), TRUE);
        ASSERT_NE(projectID_, PRJLOC_NO_PROJECT);
        ASSERT_TRUE(PrjLocator::SetWorkingProject(projectID_));
        static std::once_flag once;
        std::call_once(once, [] {
            classCLoadProbeObject.RegisterClass(
                QZOBJ_ModuleFromAddress(reinterpret_cast<const void*>(&classCLoadProbeObject)),
                &classCQZObject, sizeof(CQZObject));
        });
        ASSERT_EQ(classCLoadProbeObject.dwStatus, QZRTC_REGISTERED);
    }
    void TearDown() override {
        PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
        PrjLocator::UnregisterProject(projectID_);
        QzoTest::TearDown();
    }
    DWORD projectID_ = 0;
};

using PersistentObject = QzoTest;

std::u16string Comment(const CQZObject& object) {
    return std::u16string(object.GetUndoComment());
}

Location MakeLocation(DWORD hash, DWORD obj, DWORD proj, DWORD data = 0, DWORD flags = 0) {
    Location location;
    location.dwHashID = hash, location.dwObjID = obj, location.dwProjID = proj;
    location.dwDataID = data, location.dwFlags = flags;
    return location;
}

TEST_F(PersistentObject, GradesAndCounts) {
    NoticeLog log;
    ObjectRef object(NewLooseObject());
    log.Attach(*object.get());
    auto state = [&] {
        return std::vector<DWORD>{object->QueryChangeGrade(), object->QueryChanged(),
                                  object->QueryChangeCnt()};
    };
    object->SignalChanged(1, 5);  // mode 1 only tells the callbacks
    EXPECT_EQ(state(), (std::vector<DWORD>{0, 0, 1}));
    object->SignalChanged(0, 5);
    EXPECT_EQ(state(), (std::vector<DWORD>{5, 0, 2}));  // signalling never sets the changed bit
    object->SignalChanged(2, 3);  // a lower grade is reported but does not lower it
    EXPECT_EQ(object->QueryChangeGrade(), 5u);
    object->SetChanged(0, 7);
    EXPECT_EQ(state(), (std::vector<DWORD>{7, 1, 4}));
    object->SetChanged(1, 2);
    EXPECT_EQ(state(), (std::vector<DWORD>{7, 1, 5}));
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{10, 0}, {9, 5}, {9, 3}, {9, 2}}));

    object->ClearChanged();
    EXPECT_EQ(state(), (std::vector<DWORD>{0, 0, 5}));
    EXPECT_EQ(log.Notices().size(), 4u);  // clearing tells nobody
}

int DropAfterFirst(void*, uintptr_t, uintptr_t& calls, uintptr_t&, uintptr_t) {
    ++*reinterpret_cast<int*>(calls);
    return 0;
}

TEST_F(PersistentObject, UserNoticesStartAt4096AndCallbacksRegisterAndGo) {
    NoticeLog kept, removed;
    ObjectRef object(NewLooseObject());
    kept.Attach(*object.get());
    const DWORD handle = removed.Attach(*object.get());
    for (DWORD code : {4095u, 0u, 5u}) EXPECT_EQ(object->NotifyObject(code, 1), 0u) << code;
    EXPECT_TRUE(kept.Notices().empty());
    EXPECT_EQ(object->NotifyObject(4096, 42), 1u);
    EXPECT_EQ(object->NotifyObject(0xFFFFFFFF, 7), 1u);
    EXPECT_EQ(kept.Notices(), (std::vector<Notice>{{4096, 42}, {0xFFFFFFFF, 7}}));

    int dropCalls = 0;
    object->RegisterStateNotify(&DropAfterFirst, reinterpret_cast<uintptr_t>(&dropCalls), 0);
    object->NotifyObject(5000, 1);
    EXPECT_TRUE(object->UnregisterStateNotify(handle));
    object->NotifyObject(5001, 2);
    EXPECT_EQ(kept.Codes(), (std::vector<DWORD>{4096, 0xFFFFFFFF, 5000, 5001}));
    EXPECT_EQ(removed.Codes(), (std::vector<DWORD>{4096, 0xFFFFFFFF, 5000}));
    EXPECT_EQ(dropCalls, 1);  // a callback answering 0 is dropped
}

TEST_F(PersistentObject, StoreOperationsRefuseWithoutAStoredObject) {
    NoticeLog log;
    ObjectRef object(NewLooseObject());
    log.Attach(*object.get());
    object->SetChanged(0, 3);
    EXPECT_EQ(object->QueryAccess(), 0x80000000u);
    EXPECT_FALSE(object->Commit(0));
    EXPECT_EQ(object->QueryChangeGrade(), 3u);  // nothing committed, nothing cleared
    EXPECT_TRUE(object->ReleaseAccess());       // no write access: nothing to give up
    DWORD result = 0;
    EXPECT_EQ(object->CopyOnWriteObject(0x80000000u, 100, &result), nullptr);
    EXPECT_EQ(result, 0xFFFFFFFFu);
    EXPECT_EQ(object->CopyOnWriteObject(0, 100, nullptr), nullptr);
    WCHAR path[MAX_PATH] = {u'x'};
    EXPECT_FALSE(object->GetObjectStoragePath(path, 0xFC00));
    EXPECT_EQ(path[0], 0);
    EXPECT_FALSE(object->GetObjectStoragePath(nullptr, 0xFC00));
    EXPECT_TRUE(log.Notices().empty());
}

TEST_F(PersistentObject, UndoComments) {
    const HINSTANCE library = QZOBJ_ModuleFromAddress(&classCQZObject);
    const std::u16string longText(40, u'L');
    struct Row {
        const char16_t* text;
        HINSTANCE module;
        UINT id;
        std::u16string expected;
    };
    const Row rows[] = {
        {u"Trim clip", nullptr, 0, u"Trim clip"},
        {longText.c_str(), nullptr, 0, longText.substr(0, 31)},
        {u"Mine", library, 40001, u"Mine"},  // a given text wins over a string ID
        {nullptr, library, 40001, u"QZ base class"},
        {nullptr, library, 39999, u""},
    };
    ObjectRef object(NewLooseObject());
    for (const Row& row : rows) {
        object->SetUndoComment(row.text, row.module, row.id);
        EXPECT_EQ(Comment(*object.get()), row.expected) << row.id;
    }
}

TEST_F(PersistentObject, ParentLocationDefaultsToTheObjectItself) {
    ObjectRef object(NewLooseObject());
    EXPECT_FALSE(object->GetParentLocation().IsValid());
    const Location parent = MakeLocation(0x12340056, 1500, 0x4321, 9, 0x01000000);
    EXPECT_TRUE(object->SetParentLocation(parent));
    const Location got = object->GetParentLocation();
    EXPECT_EQ(std::memcmp(&got, &parent, sizeof got), 0);
    // In copy mode 0 a copy keeps its parent's project.
    Locator::SetCopyMode(0);
    EXPECT_TRUE(object->CopyObject());
    EXPECT_EQ(object->GetParentLocation().dwProjID, 0x4321u);
}

TEST_F(PersistentObject, CopiesStartWithOneReferenceAndShareCallbacks) {
    NoticeLog log;
    ObjectRef source(NewLooseObject());
    EXPECT_EQ(source->Lock(), 1);
    source->Lock();
    ASSERT_EQ(source->QueryLockCnt(), 3u);
    source->SetChanged(0, 6);
    source->SetDelTrace();
    source->SetUndoComment(u"Copied", nullptr, 0);
    log.Attach(*source.get());

    ObjectRef copy(new CQZObject(*source.get()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->QueryLockCnt(), 1u);
    EXPECT_EQ(copy->QueryChangeGrade(), 6u);
    EXPECT_EQ(copy->QueryChanged(), 1u);
    EXPECT_EQ(copy->QueryChangeCnt(), 1u);
    EXPECT_EQ(Comment(*copy.get()), u"Copied");
    copy->ClearDelTrace();  // no watch line for the copy
    copy->NotifyObject(4100, 1);
    EXPECT_EQ(log.Codes(), (std::vector<DWORD>{4100}));
    source->ClearDelTrace();
    source->DelObject();
    EXPECT_EQ(source->QueryLockCnt(), 2u);
    source->DelObject();
}

std::atomic<int> g_destroyed{0};

// Counts its destructions, so a test sees the object freed exactly once.
class CCountedObject : public CQZObject {
  public:
    ~CCountedObject() override { g_destroyed.fetch_add(1); }
};

TEST_F(PersistentObject, LastReferenceNotifiesBeforeTheObjectGoes) {
    g_destroyed = 0;
    auto* object = new CCountedObject;
    NoticeLog log;
    log.Attach(*object);
    object->Lock();
    object->DelObject();
    EXPECT_TRUE(log.Notices().empty());
    EXPECT_EQ(g_destroyed.load(), 0);
    object->DelObject();
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{5, 0}}));
    EXPECT_EQ(g_destroyed.load(), 1);
}

// Threads dropping the last references at once: exactly one of them sees the last one.
TEST_F(PersistentObject, RacingLastReferencesGiveExactlyOneDeletionNotice) {
    const int threads = std::max(2u, std::min(4u, std::thread::hardware_concurrency() + 1));
    g_destroyed = 0;
    for (int round = 0; round < 200; ++round) {
        auto* object = new CCountedObject;
        NoticeLog log;
        log.Attach(*object);
        for (int i = 1; i < threads; ++i) object->Lock();
        std::atomic<int> ready{0};
        std::vector<std::thread> workers;
        for (int i = 0; i < threads; ++i) {
            workers.emplace_back([&] {
                ready.fetch_add(1);
                while (ready.load() < threads) {
                }
                object->DelObject();
            });
        }
        for (auto& worker : workers) worker.join();
        ASSERT_EQ(log.Notices(), (std::vector<Notice>{{5, 0}})) << "round " << round;
        ASSERT_EQ(g_destroyed.load(), round + 1) << "round " << round;
    }
}

TEST_F(PersistentObject, DamagedObjectIsRefused) {
    alignas(CCountedObject) unsigned char storage[sizeof(CCountedObject)];
    g_destroyed = 0;
    auto* object = new (static_cast<void*>(storage)) CCountedObject;
    NoticeLog log;
    log.Attach(*object);
    // The signature word follows the table pointer.
    DWORD signature = 0;
    std::memcpy(&signature, storage + sizeof(void*), sizeof signature);
    ASSERT_EQ(signature, QZRTOBJ_SIGNATURE);
    const DWORD broken = 0x12345678;
    std::memcpy(storage + sizeof(void*), &broken, sizeof broken);
    {
        DebugCapture capture;
        object->DelObject();
        EXPECT_EQ(
            capture.Text(0).rfind("\rCQZObject::DelObject() called for INVALID object\r\n", 0), 0u)
            << capture.Text(0);
        EXPECT_NE(capture.Text(0).find("Call stack:"), std::string::npos);
    }
    EXPECT_TRUE(log.Notices().empty());
    EXPECT_EQ(g_destroyed.load(), 0);
    std::memcpy(storage + sizeof(void*), &signature, sizeof signature);
    object->~CCountedObject();
}

class PersistentWatch : public QzoTest {
  protected:
    void TearDown() override {
        CQZObject::SetFreeWatchRange(0, 0, 0);
        QzoTest::TearDown();
    }
    // A loose object whose locator names object `id` of a project, or a virtual one.
    static CQZObject* ObjectWithID(DWORD id) {
        CQZObject* object = NewLooseObject();
        const_cast<Locator&>(object->GetLocator()) = MakeLocation(0x3437008D, id, 0x1234);
        return object;
    }
    static CQZObject* VirtualObject() {
        CQZObject* object = NewLooseObject();
        const_cast<Locator&>(object->GetLocator()) = classCQZObject.guid;
        return object;
    }
    // The watch line of an object named by `name` ("0x%08x" of its ID, or "VIRTUAL:class").
    static std::string WatchLine(const std::string& name, const void* object, unsigned count) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "\rCQZObject::DelObject(%s[*%08X]) watch, LockCnt = %u\r\n", name.c_str(),
                      static_cast<unsigned>(reinterpret_cast<uintptr_t>(object)), count);
        return line;
    }
    static std::string IdName(DWORD id) {
        char name[16];
        std::snprintf(name, sizeof name, "0x%08x", id);
        return name;
    }
    // What dropping the object's last reference prints on channel 0.
    static std::string Drop(CQZObject* object) {
        DebugCapture capture;
        object->DelObject();
        return capture.Text(0);
    }
};

// A range watches its lower bound but not its upper one; reversed bounds read back as an empty
// range at the lower one; 0..0 watches nothing. The lines print whatever the debug switch says.
TEST_F(PersistentWatch, RangesIncludeTheirLowerBoundOnly) {
    struct Row {
        DWORD min, max, readMin, readMax;
        std::vector<DWORD> watched, quiet;
    };
    const Row rows[] = {
        {5, 10, 5, 10, {5, 7, 9}, {4, 10}},
        {10, 5, 5, 5, {}, {4, 5, 7, 10}},
        {0, 0, 0, 0, {}, {0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.min) + ".." + std::to_string(row.max));
        CQZObject::SetFreeWatchRange(row.min, row.max, 0);
        DWORD min = 0, max = 0;
        int trace = -1;
        CQZObject::GetFreeWatchRange(min, max, trace);
        EXPECT_EQ(std::vector<DWORD>({min, max, DWORD(trace)}),
                  std::vector<DWORD>({row.readMin, row.readMax, 0}));
        for (DWORD id : row.watched) {
            CQZObject* object = ObjectWithID(id);
            ASSERT_EQ(object->GetLocator().GetObjID(), id);
            object->Lock();
            const std::string line = WatchLine(IdName(id), object, 2);
            const std::string first = Drop(object);
            EXPECT_EQ(first.rfind(line, 0), 0u) << first;
            EXPECT_NE(first.find("Call stack:"), std::string::npos);
            EXPECT_NE(Drop(object).find("watch"), std::string::npos);
        }
        for (DWORD id : row.quiet) {
            CQZObject* object = ObjectWithID(id);
            object->Lock();
            EXPECT_EQ(Drop(object), "") << id;
            EXPECT_EQ(Drop(object), "") << id;
        }
    }
}

TEST_F(PersistentWatch, TracedObjectsPrintWhateverTheirID) {
    CQZObject* object = ObjectWithID(2000);
    object->SetDelTrace();
    const std::string line = WatchLine(IdName(2000), object, 1);
    EXPECT_EQ(Drop(object).rfind(line, 0), 0u);
    CQZObject* cleared = ObjectWithID(2001);
    cleared->SetDelTrace();
    cleared->ClearDelTrace();
    EXPECT_EQ(Drop(cleared), "");
}

TEST_F(PersistentWatch, VirtualObjectsPrintOnlyWhenTraced) {
    CQZObject::SetFreeWatchRange(0, 0xFFFFFFFF, 0);  // ID ranges do not apply to them
    CQZObject* quiet = VirtualObject();
    ASSERT_NE(quiet->GetLocator().QueryFlags() & LOCATOR_VIRTUAL, 0u);
    EXPECT_EQ(Drop(quiet), "");

    CQZObject::SetFreeWatchRange(0, 0, 1);
    CQZObject* traced = VirtualObject();
    const std::string line = WatchLine("VIRTUAL:CQZObject", traced, 1);
    EXPECT_EQ(Drop(traced).rfind(line, 0), 0u);

    CQZObject::SetFreeWatchRange(0, 0, 0);
    CQZObject* marked = VirtualObject();
    marked->SetDelTrace();
    EXPECT_NE(Drop(marked).find("(VIRTUAL:CQZObject["), std::string::npos);
}

// The chunk header of "CQZObject": its hash identifier 0x3437008D, then the payload size.
std::string Header(unsigned char size) {
    return std::string("\x8D\x00\x37\x34", 4) + char(size) + std::string(3, '\0');
}
const std::string kOuterHeader = Header(12), kInnerHeader = Header(4), kEmptyChunk = Header(0);

std::string Content(const CMemChunkArchive& archive) {
    CPMemoryFile file = archive.GetContent();
    return std::string(static_cast<const char*>(file.GetCDataPtr()), file.GetSize());
}

// An archive holding `bytes`, opened for reading.
void LoadArchive(CMemChunkArchive& archive, const std::string& bytes) {
    CPMemoryFile file;
    ASSERT_TRUE(file.Open(GENERIC_WRITE));
    ASSERT_EQ(file.Write(bytes.data(), static_cast<DWORD>(bytes.size())), bytes.size());
    ASSERT_TRUE(archive.SetContent(file));
    ASSERT_TRUE(archive.Open(CHNK_READ));
}

// Sets the object's version through a load, the only way a version reaches an object.
void SetVersion(CQZObject& object, DWORD version) {
    std::string bytes = kOuterHeader + kInnerHeader;
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(version >> (8 * i)));
    CMemChunkArchive archive;
    LoadArchive(archive, bytes);
    ASSERT_TRUE(object.LoadData(archive));
    ASSERT_EQ(object.QueryVersion(), version);
}

// What StoreData (or StoreNT) writes into a fresh archive.
std::string Stored(CQZObject& object, bool nonVersioned = false) {
    CMemChunkArchive archive;
    EXPECT_TRUE(archive.Open(CHNK_WRITE));
    EXPECT_TRUE(nonVersioned ? object.StoreNT(archive) : object.StoreData(archive));
    EXPECT_TRUE(archive.Close());
    return Content(archive);
}

TEST_F(PersistentObject, StoreDataWritesTheVersionInsideTwoChunksAndStoreNTOneEmptyChunk) {
    ObjectRef fresh(NewLooseObject());
    EXPECT_EQ(Stored(*fresh.get()), kOuterHeader + kInnerHeader + std::string(4, '\0'));
    EXPECT_EQ(Stored(*fresh.get(), true), kEmptyChunk);
    ObjectRef object(NewLooseObject());
    SetVersion(*object.get(), 0x0A0B0C0D);
    EXPECT_EQ(Stored(*object.get()), kOuterHeader + kInnerHeader + "\x0D\x0C\x0B\x0A");
    CMemChunkArchive reader;
    LoadArchive(reader, kEmptyChunk);
    EXPECT_TRUE(object->LoadNT(reader));
}

TEST_F(PersistentObject, LoadDataRoundTripsAndFollowsTheDerivedChunks) {
    ObjectRef source(NewLooseObject());
    SetVersion(*source.get(), 77);
    CMemChunkArchive archive;
    ASSERT_TRUE(archive.Open(CHNK_WRITE));
    ASSERT_TRUE(source->StoreData(archive));
    // A derived class writes its own chunks after the base's.
    ASSERT_TRUE(CQZRTObject::StoreMemory(archive, "Derived", "xyz", 3));
    ASSERT_TRUE(archive.Close());

    ObjectRef target(NewLooseObject());
    ASSERT_TRUE(archive.Open(CHNK_READ));
    ASSERT_TRUE(target->LoadData(archive));
    EXPECT_EQ(target->QueryVersion(), 77u);
    char derived[3] = {};
    EXPECT_TRUE(CQZRTObject::LoadMemory(archive, "Derived", derived, 3));
    EXPECT_EQ(std::string(derived, 3), "xyz");
}

TEST_F(PersistentObject, LoadsFailOnMissingChunksAndAShortVersionGivesItsLowBytes) {
    ObjectRef object(NewLooseObject());
    SetVersion(*object.get(), 5);
    const std::string foreign("\x11\x00\x22\x33\x00\x00\x00\x00", 8);
    for (const std::string& bytes : {std::string(), foreign, kEmptyChunk}) {
        SCOPED_TRACE(bytes.size());
        CMemChunkArchive data;
        LoadArchive(data, bytes);
        EXPECT_FALSE(object->LoadData(data));
        EXPECT_EQ(object->QueryVersion(), 5u);  // a failed load leaves the version
    }
    for (const std::string& bytes : {std::string(), foreign}) {
        CMemChunkArchive data;
        LoadArchive(data, bytes);
        EXPECT_FALSE(object->LoadNT(data)) << bytes.size();
    }
    CMemChunkArchive shortVersion;
    LoadArchive(shortVersion, Header(10) + Header(2) + "\x34\x12");
    ASSERT_TRUE(object->LoadData(shortVersion));
    EXPECT_EQ(object->QueryVersion(), 0x1234u);
}

TEST_F(PersistentObject, HeritageRecordMarksIdentifierAndGuid) {
    tagOBJHERITAGE record;
    std::memset(&record, 0xEE, sizeof record);
    record.Set(&classCQZObject);
    EXPECT_EQ(record.cbSize, 548u);
    EXPECT_EQ(record.dwHashID, 0x3437FC8Du);
    const GUID marked = {
        0x6B1FB200, 0x2C7A, 0x11CF, {0x8E, 0x3D, 0x00, 0x00, 0xC4, 0xA5, 0x1B, 0x77}};
    EXPECT_EQ(std::memcmp(&record.guid, &marked, sizeof marked), 0);
    EXPECT_EQ(record.dwFlags & QZRTC_DECLAREDFLAGS, 0x81u);
    EXPECT_EQ(record.GetClassGUID().Data1, 0x6B1F4E00u);
    EXPECT_EQ(record.GetClassHashID(), 0x3437008Du);
}

class AppInit : public QzoTest {
  protected:
    void TearDown() override {
        CQZObject::SetFreeWatchRange(0, 0, 0);
        DWORD zero = 0, none = 0;
        Locator::SetRWWatchRange(zero, none);
        QzoTest::TearDown();
    }
    std::string Ini() const { return ReadFileBytes(WinDir() + "/QZO.INI"); }
    void WriteIni(const std::string& bytes) {
        mkdir(WinDir().c_str(), 0700);
        WriteFileBytes(WinDir() + "/QZO.INI", bytes);
    }
    static std::string Tuning(int min, int max, int trace, int rwMin, int rwMax) {
        return "[CQZObject]\r\nMinFreeWatch=" + std::to_string(min) +
               "\r\nMaxFreeWatch=" + std::to_string(max) +
               "\r\nTraceVirtual=" + std::to_string(trace) +
               "\r\n[Locator]\r\nMinFreeWatch=" + std::to_string(rwMin) +
               "\r\nMaxFreeWatch=" + std::to_string(rwMax) + "\r\n";
    }
};

std::vector<DWORD> g_controlCalls;

DWORD RecordControl(DWORD code, DWORD) {
    g_controlCalls.push_back(code);
    return 0;
}

TEST_F(AppInit, FirstInitialisationWritesTheMissingKeysWithZero) {
    QZOBJ_AppInitialize();
    EXPECT_EQ(Ini(), Tuning(0, 0, 0, 0, 0));
    QZOBJ_AppExit();
    EXPECT_EQ(Ini(), Tuning(0, 0, 0, 0, 0));
}

TEST_F(AppInit, ValuesAreReadOnceAndWrittenOnce) {
    WriteIni(Tuning(5, 9, 1, 3, 4));
    QZOBJ_AppInitialize();
    DWORD min = 0, max = 0, rwMin = 0, rwMax = 0;
    int trace = 0;
    CQZObject::GetFreeWatchRange(min, max, trace);
    Locator::GetRWWatchRange(rwMin, rwMax);
    EXPECT_EQ(std::vector<DWORD>({min, max, DWORD(trace), rwMin, rwMax}),
              std::vector<DWORD>({5, 9, 1, 3, 4}));

    WriteIni(Tuning(50, 90, 0, 30, 40));
    QZOBJ_AppInitialize();  // nested: nothing read
    CQZObject::GetFreeWatchRange(min, max, trace);
    EXPECT_EQ(std::vector<DWORD>({min, max}), std::vector<DWORD>({5, 9}));

    CQZObject::SetFreeWatchRange(11, 12, 0);
    QZOBJ_AppExit();  // still initialised: nothing written
    EXPECT_EQ(Ini(), Tuning(50, 90, 0, 30, 40));
    QZOBJ_AppExit();
    EXPECT_EQ(Ini(), Tuning(11, 12, 0, 3, 4));

    WriteIni(Tuning(1, 2, 1, 1, 2));
    QZOBJ_AppExit();  // unbalanced: does nothing
    EXPECT_EQ(Ini(), Tuning(1, 2, 1, 1, 2));
}

TEST_F(AppInit, ClassesHearTheFirstAndLastControlCallsOnce) {
    const GUID guid = {
        0x71E0A3C6, 0x5B02, 0x11EF, {0x8C, 0x41, 0x00, 0x0C, 0x29, 0x5B, 0x40, 0x03}};
    CQZRuntimeClass record =
        fixture::MakeRecord("CInitProbe", guid, sizeof(CQZObject), 0, &RecordControl);
    record.dwVTblVersion = QZOBJ_VTBL_VERSION;
    ASSERT_EQ(record.RegisterClass(QZOBJ_ModuleFromAddress(&classCQZObject), &classCQZObject,
                                   sizeof(CQZObject)),
              0u);
    g_controlCalls.clear();  // whatever registration itself asked
    QZOBJ_AppInitialize();
    QZOBJ_AppInitialize();
    EXPECT_EQ(g_controlCalls, (std::vector<DWORD>{QZRTC_CTRL_INIT}));
    QZOBJ_AppExit();
    EXPECT_EQ(g_controlCalls, (std::vector<DWORD>{QZRTC_CTRL_INIT}));
    QZOBJ_AppExit();
    EXPECT_EQ(g_controlCalls, (std::vector<DWORD>{QZRTC_CTRL_INIT, QZRTC_CTRL_SHUTDOWN}));
    EXPECT_EQ(record.UnRegisterClass(), 0u);
}

DWORD FirstCallback() {
    return 0x1234;
}
DWORD SecondCallback() {
    return 7;
}

TEST_F(AppInit, InitCallbackSlot) {
    EXPECT_EQ(QZOBJ_UnregisterInitCallback(nullptr), 1u);
    QZOBJ_INITCALLBACK previous = &SecondCallback;
    EXPECT_TRUE(QZOBJ_RegisterInitCallback(&FirstCallback, &previous));
    EXPECT_EQ(previous, nullptr);
    EXPECT_TRUE(QZOBJ_RegisterInitCallback(&SecondCallback, &previous));
    EXPECT_EQ(previous, &FirstCallback);
    // A non-null argument is called and the slot stays as it is.
    EXPECT_EQ(QZOBJ_UnregisterInitCallback(&FirstCallback), 0x1234u);
    EXPECT_TRUE(QZOBJ_RegisterInitCallback(&SecondCallback, &previous));
    EXPECT_EQ(previous, &SecondCallback);
    EXPECT_EQ(QZOBJ_UnregisterInitCallback(nullptr), 1u);
    EXPECT_TRUE(QZOBJ_RegisterInitCallback(&FirstCallback, nullptr));
    EXPECT_TRUE(QZOBJ_RegisterInitCallback(nullptr, &previous));
    EXPECT_EQ(previous, &FirstCallback);
}

QZO_PEER_COMMAND(persistent_init_unbalanced) {
    SetDebugMode(TRUE);
    QZOBJ_AppInitialize();
    return "OK";
}

// A process of its own: its load registers the file types in its Windows directory, and its
// unload warns about an initialisation never matched by an exit.
TEST_F(AppInit, LoadRegistersFileTypesAndUnloadWarnsAboutUnbalancedInit) {
    mkdir(WinDir().c_str(), 0700);
    const std::string output = TempPath("debug.txt");
    Peer peer({{"QZO_WINDIR", WinDir()}, {"QZO_DEBUG_OUTPUT", output}});
    ASSERT_TRUE(peer.Start());
    EXPECT_EQ(peer.Call("persistent_init_unbalanced"), "OK");
    const PeerExit exit = peer.Wait();
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.code, 0);

    const std::pair<const char16_t*, const char16_t*> keys[] = {
        {u".qzo", u"zorb.ObjectFile"},
        {u"zorb.ObjectFile", u"zorb. object file"},
        {u".qzs", u"zorb.Shortcut"},
        {u"zorb.Shortcut", u"zorb. shortcut"},
        {u"zorb.Shortcut\\shell\\open\\command", u"notepad.exe %1"},
        {u".ids", u"zorb.IDs"},
        {u"zorb.IDs", u"zorb. ID file"},
    };
    for (const auto& [key, expected] : keys) {
        std::u16string text;
        EXPECT_TRUE(qzo::platform::ClassesRootGetDefaultValue(key, text)) << Narrow(key);
        EXPECT_EQ(text, expected);
    }
    EXPECT_FALSE(qzo::platform::ClassesRootKeyExists(u"zorb.ObjectFile\\DefaultIcon"));
    EXPECT_NE(ReadFileBytes(output).find("\rClasses were not unregistered, dwInitCnt = 1\r\n"),
              std::string::npos)
        << ReadFileBytes(output);
}

constexpr DWORD kRead = 0x80000000u;
constexpr DWORD kAll = 0xE0000000u;

class PersistentStore : public ProjectTest {
  protected:
    // A new stored object of the probe class, held with write access.
    CLoadProbeObject* Create() {
        Locator creator;
        return static_cast<CLoadProbeObject*>(creator.CreateObject(&classCLoadProbeObject, 0));
    }
};

TEST_F(PersistentStore, CommitNotifiesTheGradeAndClearsTheChanges) {
    NoticeLog log;
    ObjectRef object(Create());
    ASSERT_TRUE(object);
    EXPECT_EQ(object->QueryAccess() & kAll, kAll);
    EXPECT_EQ(object->QueryVersion(), 1u);
    log.Attach(*object.get());
    object->SetChanged(0, 4);
    object->SetModifyID(77);
    ASSERT_TRUE(object->Commit(0));
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{2, 4}}));
    EXPECT_EQ(object->QueryChangeGrade(), 0u);
    EXPECT_EQ(object->QueryChanged(), 0u);
    EXPECT_EQ(object->QueryChangeCnt(), 1u);
    EXPECT_EQ(object->QueryVersion(), 2u);
    EXPECT_EQ(std::u16string(object->GetUndoComment()), u"Edit");
    unsigned undo = 9, redo = 9;
    EXPECT_TRUE(object->QueryUndoRedo(undo, redo));
    EXPECT_EQ(undo, 1u);
    EXPECT_EQ(redo, 0u);
    tagUNDOLIST list[4] = {};
    ASSERT_EQ(object->GetUndoRedoList(list, 4), 2u);
    EXPECT_FALSE(object->QuerySystemObject());
    WCHAR path[MAX_PATH];
    ASSERT_TRUE(object->GetObjectStoragePath(path, 0xFC00));
    const std::u16string storage(path);
    EXPECT_EQ(storage.substr(storage.size() - 12), u"Obj/storage/");
}

TEST_F(PersistentStore, ReleaseNotifiesAndCommitsThenRefuse) {
    NoticeLog log;
    ObjectRef object(Create());
    ASSERT_TRUE(object);
    log.Attach(*object.get());
    EXPECT_TRUE(object->ReleaseAccess());
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{3, 0}}));
    EXPECT_EQ(object->QueryAccess(), kRead);
    EXPECT_TRUE(object->ReleaseAccess());  // nothing left to give up
    object->SetChanged(0, 2);
    EXPECT_FALSE(object->Commit(0));
    EXPECT_EQ(log.Notices().size(), 1u);
    EXPECT_EQ(object->QueryChangeGrade(), 2u);
}

TEST_F(PersistentStore, CopyOnWriteRefreshAndUndo) {
    NoticeLog log;
    NoticeLog writerLog;
    ObjectRef reader(Create());
    ASSERT_TRUE(reader);
    reader->SetUndoComment(u"Second", nullptr, 0);
    ASSERT_TRUE(reader->Commit(0));
    ASSERT_TRUE(reader->ReleaseAccess());
    Location parent;
    parent.dwHashID = 0x12340056;
    parent.dwObjID = 2000;
    parent.dwProjID = 0x4321;
    reader->SetParentLocation(parent);
    log.Attach(*reader.get());

    DWORD result = 1;
    ObjectRef writer(reader->CopyOnWriteObject(kAll, 1000, &result));
    ASSERT_TRUE(writer) << result;
    EXPECT_EQ(result, 0u);
    EXPECT_NE(writer.get(), reader.get());
    EXPECT_EQ(writer->GetParentLocation().dwObjID, 2000u);
    EXPECT_EQ(log.Notices(),
              (std::vector<Notice>{{11, reinterpret_cast<uintptr_t>(writer.get())}}));
    // A writable object asks for no copy.
    result = 0;
    EXPECT_EQ(writer->CopyOnWriteObject(kAll, 1000, &result), nullptr);
    EXPECT_EQ(result, 0xFFFFFFFFu);

    static_cast<CLoadProbeObject*>(writer.get())->word = 42;
    ASSERT_TRUE(writer->Commit(0));
    log.Clear();
    ASSERT_TRUE(reader->RefreshObject(kRead, 1000, &result));
    EXPECT_EQ(static_cast<CLoadProbeObject*>(reader.get())->word, 42u);
    EXPECT_EQ(reader->QueryVersion(), writer->QueryVersion());
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{4, 1}}));

    // Undo on the writer: a change of the highest grade.
    writerLog.Attach(*writer.get());
    const DWORD latest = writer->QueryVersion();
    ASSERT_TRUE(writer->UnwindObject(-1, TRUE));
    EXPECT_EQ(writer->QueryVersion(), latest - 1);
    EXPECT_EQ(writer->QueryChangeGrade(), 0xFFFFFFFFu);
    EXPECT_EQ(writerLog.Notices(), (std::vector<Notice>{{9, 0xFFFFFFFF}}));
    EXPECT_FALSE(writer->UnwindObject(0, FALSE));
    writer.Reset();  // gives up its write access

    // An older version (the writer undid one step) and more access than before.
    log.Clear();
    ASSERT_TRUE(reader->RefreshObject(kAll, 1000, &result));
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{4, 0x3}}));
}

// Snoop sees another writer's commit until the reader refreshes.
TEST_F(PersistentStore, RefreshKeepsItsCallbacksWhenTheReloadThrows) {
    NoticeLog log;
    ObjectRef reader(Create());
    ASSERT_TRUE(reader);
    ASSERT_TRUE(reader->ReleaseAccess());
    log.Attach(*reader.get());
    EXPECT_FALSE(reader->Snoop());
    {
        ObjectRef writer(Locator::RestoreObject(reader->GetLocator().GetLocation(), kAll, 1000));
        ASSERT_TRUE(writer);
        static_cast<CLoadProbeObject*>(writer.get())->word = 9;
        ASSERT_TRUE(writer->Commit(0));
    }
    EXPECT_TRUE(reader->Snoop());
    log.Clear();
    CLoadProbeObject::throwOnLoad = true;
    DWORD result = 0;
    const BOOL refreshed = reader->RefreshObject(kRead, 1000, &result);
    CLoadProbeObject::throwOnLoad = false;
    EXPECT_FALSE(refreshed);
    EXPECT_TRUE(log.Notices().empty());
    EXPECT_EQ(reader->NotifyObject(4096, 3), 1u);
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{4096, 3}}));
    // The object file is not left locked: the next refresh goes through.
    log.Clear();
    ASSERT_TRUE(reader->RefreshObject(kRead, 1000, &result)) << result;
    EXPECT_EQ(static_cast<CLoadProbeObject*>(reader.get())->word, 9u);
    EXPECT_EQ(log.Codes(), (std::vector<DWORD>{4}));
    EXPECT_FALSE(reader->Snoop());
}

TEST_F(PersistentStore, DestroyNotifiesThenDropsTheReference) {
    NoticeLog log;
    CQZObject* object = Create();
    ASSERT_NE(object, nullptr);
    log.Attach(*object);
    const Location location = object->GetLocator().GetLocation();
    ASSERT_TRUE(object->DestroyObject(1));
    const std::vector<DWORD> codes = log.Codes();
    ASSERT_GE(codes.size(), 2u);
    EXPECT_EQ(codes[codes.size() - 2], 6u);
    EXPECT_EQ(codes.back(), 5u);
    EXPECT_EQ(Locator::RestoreObject(location, kRead, 100), nullptr);
}

TEST_F(PersistentStore, TemporaryObjectsHoldAllAccessWithoutAFile) {
    NoticeLog log;
    Locator creator;
    CQZObject* object = creator.CreateObject(&classCQZObject, LOCATOR_CREATE_TEMPORARY);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->QueryAccess(), kAll);
    log.Attach(*object);
    EXPECT_FALSE(object->Commit(0));
    EXPECT_TRUE(log.Notices().empty());
    EXPECT_TRUE(object->ReleaseAccess());
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{3, 0}}));
    log.Clear();
    object->DelObject();
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{3, 0}, {5, 0}}));
    // Destroying one drops it.
    NoticeLog destroyed;
    object = creator.CreateObject(&classCQZObject, LOCATOR_CREATE_TEMPORARY);
    ASSERT_NE(object, nullptr);
    destroyed.Attach(*object);
    EXPECT_TRUE(object->DestroyObject(0));
    ASSERT_FALSE(destroyed.Codes().empty());
    EXPECT_EQ(destroyed.Codes().back(), 5u);
}

TEST_F(PersistentStore, SystemObjectsAndWatchedIDs) {
    Locator creator;
    CQZObject* object = creator.CreateObjectAt(7, &classCQZObject, 0);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->GetLocator().GetObjID(), 7u);
    EXPECT_TRUE(object->QuerySystemObject());
    object->DelObject();
}

TEST_F(PersistentStore, CopyModeOneMovesTheParentIntoTheWorkingProject) {
    ObjectRef object(NewLooseObject());
    const_cast<Locator&>(object->GetLocator()) = MakeLocation(0x3437008D, 1500, 0x1234);
    Location parent = MakeLocation(0x3437008D, 1499, 0x1234);
    object->SetParentLocation(parent);
    Locator::SetCopyMode(1);
    EXPECT_TRUE(object->CopyObject());
    EXPECT_EQ(object->GetParentLocation().dwProjID, projectID_);
    // A parent in another project than the object's own stays where it is.
    parent.dwProjID = 0x5678;
    object->SetParentLocation(parent);
    EXPECT_TRUE(object->CopyObject());
    EXPECT_EQ(object->GetParentLocation().dwProjID, 0x5678u);
    Locator::SetCopyMode(0);
}

}  // namespace
}  // namespace qzo::test::persistent
