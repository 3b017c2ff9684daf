// A persistent object outside any project: change tracking and its grades, the notices it sends
// and refuses, the undo comment, the parent location, copies, refusals without a stored object,
// the last reference (also raced by threads), damaged objects, the deletion watch, what it writes
// and reads, and application start and end.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "objmodel/persistent/persistent_support.h"
#include "objmodel/registry/drivers/fixture_classes.h"
#include "qzobj/diag.h"
#include "qzobj/frame.h"
#include "qzobj/heritage.h"
#include "qzobj/memblock.h"
#include "qzobj/objmodel.h"
#include "qzobj/platform/classes_root.h"
#include "qzobj/store.h"
#include "support/capture.h"
#include "support/peer.h"
#include "support/text.h"

namespace qzo::test::persistent {
namespace {

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

}  // namespace
}  // namespace qzo::test::persistent
