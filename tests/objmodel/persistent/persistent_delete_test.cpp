// Dropping references: the last one gives up access and tells the callbacks exactly once even
// when threads race for it, damaged objects are refused, and the deletion watch prints its lines.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "objmodel/persistent/persistent_support.h"
#include "support/capture.h"

namespace qzo::test::persistent {
namespace {

using PersistentDelete = QzoTest;

std::atomic<int> g_destroyed{0};

// Counts its destructions, so a test sees the object freed exactly once.
class CCountedObject : public CQZObject {
  public:
    ~CCountedObject() override { g_destroyed.fetch_add(1); }
};

TEST_F(PersistentDelete, LastReferenceNotifiesBeforeTheObjectGoes) {
    g_destroyed = 0;
    auto* object = new CCountedObject;
    ASSERT_NE(object, nullptr);
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
TEST_F(PersistentDelete, RacingLastReferencesGiveExactlyOneDeletionNotice) {
    constexpr int kRounds = 200;
    const int threads = std::max(2u, std::min(4u, std::thread::hardware_concurrency() + 1));
    g_destroyed = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto* object = new CCountedObject;
        ASSERT_NE(object, nullptr);
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
        ASSERT_EQ(log.CountOf(5), 1u) << "round " << round;
        ASSERT_EQ(log.Notices().size(), 1u) << "round " << round;
        ASSERT_EQ(g_destroyed.load(), round + 1) << "round " << round;
    }
}

TEST_F(PersistentDelete, DamagedObjectIsRefused) {
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
    // A loose object whose locator names object `id` of a project.
    static CQZObject* ObjectWithID(DWORD id) {
        CQZObject* object = NewLooseObject();
        Location location;
        location.dwHashID = 0x3437008D;
        location.dwObjID = id;
        location.dwProjID = 0x1234;
        const_cast<Locator&>(object->GetLocator()) = location;
        return object;
    }
    static CQZObject* VirtualObject() {
        CQZObject* object = NewLooseObject();
        const_cast<Locator&>(object->GetLocator()) = classCQZObject.guid;
        return object;
    }
    static std::string WatchLine(DWORD id, const void* object, unsigned count) {
        char line[128];
        std::snprintf(line, sizeof line,
                      "\rCQZObject::DelObject(0x%08x[*%08X]) watch, LockCnt = %u\r\n", id,
                      static_cast<unsigned>(reinterpret_cast<uintptr_t>(object)), count);
        return line;
    }
};

TEST_F(PersistentWatch, RangeIncludesItsLowerBoundOnly) {
    CQZObject::SetFreeWatchRange(5, 10, 0);
    DWORD min = 0, max = 0;
    int trace = -1;
    CQZObject::GetFreeWatchRange(min, max, trace);
    EXPECT_EQ(min, 5u);
    EXPECT_EQ(max, 10u);
    EXPECT_EQ(trace, 0);
    for (DWORD id : {4u, 5u, 7u, 9u, 10u}) {
        SCOPED_TRACE(id);
        CQZObject* object = ObjectWithID(id);
        ASSERT_EQ(object->GetLocator().GetObjID(), id);
        object->Lock();
        DebugCapture capture;  // the lines print whatever the debug switch says
        object->DelObject();
        const bool watched = id >= 5 && id < 10;
        if (watched) {
            EXPECT_EQ(capture.Text(0).rfind(WatchLine(id, object, 2), 0), 0u) << capture.Text(0);
            EXPECT_NE(capture.Text(0).find("Call stack:"), std::string::npos);
        } else {
            EXPECT_EQ(capture.Text(0), "");
        }
        capture.Clear();
        object->DelObject();
        EXPECT_EQ(capture.Text(0).find("watch") != std::string::npos, watched);
    }
}

TEST_F(PersistentWatch, ReversedBoundsWatchNothing) {
    CQZObject::SetFreeWatchRange(10, 5, 0);
    DWORD min = 0, max = 0;
    int trace = 0;
    CQZObject::GetFreeWatchRange(min, max, trace);
    EXPECT_EQ(min, 5u);
    EXPECT_EQ(max, 5u);
    for (DWORD id : {4u, 5u, 7u, 10u}) {
        DebugCapture capture;
        ObjectWithID(id)->DelObject();
        EXPECT_EQ(capture.Text(0), "") << id;
    }
    CQZObject::SetFreeWatchRange(0, 0, 0);
    DebugCapture capture;
    ObjectWithID(0)->DelObject();
    EXPECT_EQ(capture.Text(0), "");
}

TEST_F(PersistentWatch, TracedObjectsPrintWhateverTheirID) {
    CQZObject* object = ObjectWithID(2000);
    object->SetDelTrace();
    DebugCapture capture;
    object->DelObject();
    EXPECT_EQ(capture.Text(0).rfind(WatchLine(2000, object, 1), 0), 0u) << capture.Text(0);

    CQZObject* cleared = ObjectWithID(2001);
    cleared->SetDelTrace();
    cleared->ClearDelTrace();
    capture.Clear();
    cleared->DelObject();
    EXPECT_EQ(capture.Text(0), "");
}

TEST_F(PersistentWatch, VirtualObjectsPrintOnlyWhenTraced) {
    CQZObject::SetFreeWatchRange(0, 0xFFFFFFFF, 0);  // ID ranges do not apply to them
    CQZObject* quiet = VirtualObject();
    ASSERT_NE(quiet->GetLocator().QueryFlags() & LOCATOR_VIRTUAL, 0u);
    DebugCapture capture;
    quiet->DelObject();
    EXPECT_EQ(capture.Text(0), "");

    CQZObject::SetFreeWatchRange(0, 0, 1);
    CQZObject* traced = VirtualObject();
    char line[128];
    std::snprintf(line, sizeof line,
                  "\rCQZObject::DelObject(VIRTUAL:CQZObject[*%08X]) watch, LockCnt = 1\r\n",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(traced)));
    capture.Clear();
    traced->DelObject();
    EXPECT_EQ(capture.Text(0).rfind(line, 0), 0u) << capture.Text(0);

    CQZObject::SetFreeWatchRange(0, 0, 0);
    CQZObject* marked = VirtualObject();
    marked->SetDelTrace();
    capture.Clear();
    marked->DelObject();
    EXPECT_NE(capture.Text(0).find("(VIRTUAL:CQZObject["), std::string::npos);
}

}  // namespace
}  // namespace qzo::test::persistent
