// CPChangeNotify: callbacks called in order with their values, removal by result, and
// callbacks that unregister, register, re-enter or throw while a pass runs.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "memory/lists/list_test_support.h"
#include "support/fixture.h"

namespace qzo::test {
namespace {

using Lists = QzoTest;

// What the callbacks see and do; value1 of each entry selects its behaviour.
struct Scene {
    CPChangeNotify list;
    std::vector<std::string> log;
    std::vector<DWORD> ids;  // identifiers by entry number
    int nested = 0;
};

enum Behaviour : uintptr_t {
    kKeep,            // returns 1
    kOnce,            // returns 0: removed after the pass
    kUnregisterNext,  // deletes the entry registered after it
    kUnregisterSelf,  // deletes itself
    kRegisterMany,    // registers ten new entries (forcing the block to move)
    kClearAll,        // deletes every entry
    kThrow,           // throws
    kReenter,         // runs a nested pass once
    kCount,           // increments value 2
};

int Callback(void* pointer, uintptr_t valueA, uintptr_t& value1, uintptr_t& value2,
             uintptr_t valueB) {
    Scene* scene = static_cast<Scene*>(pointer);
    scene->log.push_back(std::to_string(value2) + (valueA == 1 && valueB == 2 ? "" : "?"));
    switch (value1) {
        case kOnce:
            return 0;
        case kUnregisterNext:
            scene->list.Delete(scene->ids[value2 + 1], FALSE);
            return 1;
        case kUnregisterSelf:
            scene->list.Delete(scene->ids[value2], FALSE);
            return 1;
        case kRegisterMany:
            for (int i = 0; i < 10; ++i) scene->list.Add(&Callback, kKeep, 100 + i);
            value1 = kKeep;  // written back to the entry
            return 1;
        case kClearAll:
            scene->list.Clear();
            return 1;
        case kThrow:
            throw std::runtime_error("callback failure");
        case kReenter:
            if (scene->nested++ == 0) {
                scene->log.push_back("(");
                scene->list.Notify(scene, 1, 2);
                scene->log.push_back(")");
            }
            return 1;
        case kCount:
            value2 += 1000;
            return 1;
        default:
            return 1;
    }
}

void Register(Scene& scene, std::initializer_list<Behaviour> behaviours) {
    uintptr_t n = 0;
    for (Behaviour b : behaviours) scene.ids.push_back(scene.list.Add(&Callback, b, n++));
}

std::vector<std::string> Pass(Scene& scene) {
    scene.log.clear();
    EXPECT_TRUE(scene.list.Notify(&scene, 1, 2));
    return scene.log;
}

using Log = std::vector<std::string>;

TEST_F(Lists, NotifyCallsInOrderAndRemovesEntriesReturningZero) {
    Scene scene;
    EXPECT_STREQ(classidCPChangeNotify, "CPChangeNotify");
    EXPECT_EQ(scene.list.GetNGrowth(), 2u);
    EXPECT_EQ(Pass(scene), Log{});
    Register(scene, {kKeep, kOnce, kKeep});
    EXPECT_EQ(Pass(scene), (Log{"0", "1", "2"}));
    EXPECT_EQ(scene.list.GetNItems(), 2u);
    EXPECT_EQ(Pass(scene), (Log{"0", "2"}));

    Scene single;
    Register(single, {kOnce});
    EXPECT_EQ(Pass(single), (Log{"0"}));
    EXPECT_EQ(single.list.GetList(), nullptr);  // none left: the block is released
}

TEST_F(Lists, NotifySkipsEntriesUnregisteredDuringThePass) {
    Scene scene;
    Register(scene, {kUnregisterNext, kKeep, kUnregisterSelf, kKeep});
    EXPECT_EQ(Pass(scene), (Log{"0", "2", "3"}));
    EXPECT_EQ(scene.list.GetNItems(), 2u);
    EXPECT_EQ(Pass(scene), (Log{"0", "3"}));  // entry 1 is already gone; 0 now deletes nothing

    Scene cleared;
    Register(cleared, {kKeep, kClearAll, kKeep, kOnce});
    EXPECT_EQ(Pass(cleared), (Log{"0", "1"}));
    EXPECT_EQ(cleared.list.GetList(), nullptr);
}

TEST_F(Lists, EntriesRegisteredDuringThePassWaitForTheNext) {
    Scene scene;
    Register(scene, {kKeep, kRegisterMany, kOnce, kKeep});
    EXPECT_EQ(Pass(scene), (Log{"0", "1", "2", "3"}));
    EXPECT_EQ(scene.list.GetNItems(), 13u);
    const Log second = Pass(scene);
    ASSERT_EQ(second.size(), 13u);
    EXPECT_EQ(second[0], "0");
    EXPECT_EQ(second[1], "1");  // value 1 was rewritten to "keep": no new registrations
    EXPECT_EQ(second[2], "3");
    EXPECT_EQ(second[3], "100");
    EXPECT_EQ(second[12], "109");
}

TEST_F(Lists, ThrowingCallbacksAreKeptAndThePassGoesOn) {
    Scene scene;
    Register(scene, {kThrow, kOnce, kKeep});
    EXPECT_EQ(Pass(scene), (Log{"0", "1", "2"}));
    EXPECT_EQ(Pass(scene), (Log{"0", "2"}));
}

TEST_F(Lists, NestedPassesSeeTheSameEntries) {
    Scene scene;
    Register(scene, {kKeep, kReenter, kOnce, kKeep});
    // The nested pass removes the "once" entry at its end, so the outer pass skips it.
    EXPECT_EQ(Pass(scene), (Log{"0", "1", "(", "0", "1", "2", "3", ")", "3"}));
    EXPECT_EQ(scene.list.GetNItems(), 3u);
}

TEST_F(Lists, CallbackValuesAreUpdatedInPlace) {
    Scene scene;
    Register(scene, {kCount});
    Pass(scene);
    EXPECT_EQ(Pass(scene), (Log{"1000"}));
    const tagNOTIFYSTRUC* entry = static_cast<const tagNOTIFYSTRUC*>(scene.list.GetCItem(0));
    EXPECT_EQ(entry->dwValue2, 2000u);
    EXPECT_EQ(entry->pCallback, &Callback);
}

TEST_F(Lists, LoadedNotifyListsAreInert) {
    Scene scene;
    Register(scene, {kKeep, kKeep});
    RecordingArchive archive(SavedBytes(scene.list, "Notify"));
    Scene loaded;
    ASSERT_TRUE(loaded.list.DynaLoad("Notify", archive));
    EXPECT_EQ(loaded.list.GetNItems(), 2u);
    EXPECT_EQ(Pass(loaded), Log{});
}

}  // namespace
}  // namespace qzo::test
