// One object's history driven by a seeded run of commits, undo and redo, index moves, failed
// stores and compactions, checked after every step against the tests' model through fresh
// locators and the tests' own index reader; plus the 2 GiB bound and a stale refresh.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "store/objects/store_history_model.h"
#include "store/objects/store_test_support.h"
#include "support/peer.h"

namespace qzo::test::store {
namespace {

uint32_t SeedOfRun() {
    if (const char* text = std::getenv("QZO_SEED"); text && *text)
        return uint32_t(std::strtoul(text, nullptr, 0));
    return std::random_device{}();
}

std::u16string CommentText(const WCHAR* units) {
    std::u16string text;
    for (unsigned i = 0; i < UNDOLIST_COMMENT_UNITS && units[i]; ++i) text.push_back(units[i]);
    return text;
}

std::string Narrow(const std::u16string& text) {
    return std::string(text.begin(), text.end());
}

class StoreHistoryModel : public StoreTest {
  protected:
    // The version stream of `version` as the test's reader finds it at [offset, end).
    ::testing::AssertionResult VersionLoads(const Bytes& file, const ModelVersion& version) {
        const auto outer = ReadChunk(file, version.offset, version.end);
        if (!outer || outer->id != kRootHashID)
            return ::testing::AssertionFailure() << "no outer chunk at " << version.offset;
        const auto inner = ReadChunk(file, outer->payloadAt, outer->payloadAt + outer->size);
        if (!inner || inner->id != kRootHashID || inner->size != 4)
            return ::testing::AssertionFailure() << "no version chunk at " << version.offset;
        if (Get32(file, inner->payloadAt) != version.modifyCnt)
            return ::testing::AssertionFailure() << "version word " << Get32(file, inner->payloadAt)
                                                 << " for " << version.modifyCnt;
        const size_t payloadAt = outer->payloadAt + outer->size;
        const auto payload = ReadChunk(file, payloadAt, version.end);
        if (!payload || payload->id != ChunkID(kPayloadChunk))
            return ::testing::AssertionFailure() << "no payload chunk at " << payloadAt;
        const std::vector<uint8_t> expected = PayloadFor(version.payloadTag, version.payloadSize);
        if (payload->size != expected.size() ||
            !std::equal(expected.begin(), expected.end(), file.begin() + long(payload->payloadAt)))
            return ::testing::AssertionFailure() << "payload of version " << version.modifyCnt;
        if (payload->payloadAt + payload->size != version.end)
            return ::testing::AssertionFailure()
                   << "version " << version.modifyCnt << " does not end at its slot's end";
        return ::testing::AssertionSuccess();
    }

    // Everything a fresh look at the object must agree with the model on.
    void CheckAgainstModel(const Location& location, const HistoryModel& model) {
        SCOPED_TRACE(model.Describe());
        const ModelVersion& current = model.Current();
        Restored reader = Restore(location, kRead);
        ASSERT_EQ(reader.result, LOCATOR_OK);
        ASSERT_NE(reader.test(), nullptr);
        EXPECT_EQ(reader.object->QueryVersion(), current.modifyCnt);
        EXPECT_TRUE(reader.test()->payload == PayloadFor(current.payloadTag, current.payloadSize))
            << "content of version " << current.modifyCnt;
        EXPECT_EQ(reader.test()->ntValue, model.ntValue);

        Locator fresh(location);
        unsigned undo = 999, redo = 999;
        EXPECT_TRUE(fresh.QueryUndoRedo(undo, redo));
        EXPECT_EQ(undo, model.UndoCount());
        EXPECT_EQ(redo, model.RedoCount());
        EXPECT_EQ(fresh.QueryModifyCnt(), current.modifyCnt);
        tagUNDOLIST list[kSlotCount + 1] = {};
        const std::vector<ModelVersion> listed = model.Listed();
        const unsigned count = fresh.GetUndoRedoList(list, kSlotCount + 1);
        ASSERT_EQ(count, listed.size());
        for (unsigned i = 0; i < count; ++i) {
            EXPECT_EQ(list[i].dwModifyCnt, listed[i].modifyCnt) << i;
            EXPECT_EQ(list[i].dwSizeKB, SizeKB(listed[i].end - listed[i].offset)) << i;
            EXPECT_EQ(Narrow(CommentText(list[i].szComment)), Narrow(listed[i].comment)) << i;
            EXPECT_EQ(list[i].dwModifyID, listed[i].modifyID) << i;
        }

        // The index as the test's own reader sees it; no writer holds the file now.
        const std::string path = ObjectFile(location);
        const Bytes file = ReadFile(path);
        ASSERT_GE(file.size(), size_t(kVersionsOffset));
        const ImageIndex index = ParseIndex(file);
        EXPECT_EQ(index.size, kIndexSize);
        EXPECT_EQ(index.slotCount, kSlotCount);
        EXPECT_EQ(index.current, model.CurrentSlot());
        EXPECT_EQ(file.size(), index.dataEnd) << "file length and data end after close";
        EXPECT_GE(index.dataEnd, model.MaxEnd());
        for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
            const ModelVersion& expected = model.Slot(slot);
            const ImageSlot& stored = index.slots[slot];
            ASSERT_EQ(stored.modifyCnt, expected.modifyCnt) << "slot " << slot;
            if (!expected.modifyCnt) continue;
            EXPECT_TRUE(SlotInBounds(index, slot, file.size())) << "slot " << slot;
            EXPECT_EQ(stored.offset, expected.offset) << "slot " << slot;
            EXPECT_EQ(SlotEnd(index, slot), expected.end) << "slot " << slot;
            EXPECT_EQ(stored.modifyID, expected.modifyID) << "slot " << slot;
            EXPECT_EQ(Narrow(stored.comment), Narrow(expected.comment)) << "slot " << slot;
            EXPECT_TRUE(VersionLoads(file, expected)) << "slot " << slot;
        }
    }

    ObjectRef Edit(const Location& location) {
        Restored editor = Restore(location, kReadWrite);
        EXPECT_EQ(editor.result, LOCATOR_OK);
        return std::move(editor.object);
    }
};

CStoreTestObject* AsTest(const ObjectRef& object) {
    return dynamic_cast<CStoreTestObject*>(object.get());
}

enum class Step {
    kCommit,
    kCommitNTOnly,
    kUndoRelative,
    kRedoRelative,
    kUnwindAbsolute,
    kSetHistoryIndex,
    kPurge,
    kCommitPurge,
    kFailingStoreData,
    kOversizedNT,
    kRefusedTargets,
};

const char* StepName(Step step) {
    switch (step) {
        case Step::kCommit:
            return "commit";
        case Step::kCommitNTOnly:
            return "commit NT only";
        case Step::kUndoRelative:
            return "undo (relative)";
        case Step::kRedoRelative:
            return "redo (relative)";
        case Step::kUnwindAbsolute:
            return "unwind (absolute)";
        case Step::kSetHistoryIndex:
            return "SetHistoryIndex";
        case Step::kPurge:
            return "Purge";
        case Step::kCommitPurge:
            return "commit with purge";
        case Step::kFailingStoreData:
            return "failing StoreData";
        case Step::kOversizedNT:
            return "oversized StoreNT";
        case Step::kRefusedTargets:
            return "refused targets";
    }
    return "?";
}

// Steps forced at fixed points so that every kind occurs in every run.
Step ForcedStep(int index) {
    switch (index) {
        case 3:
            return Step::kFailingStoreData;
        case 4:
            return Step::kOversizedNT;
        case 6:
            return Step::kCommitNTOnly;
        case 8:
            return Step::kUndoRelative;
        case 9:
            return Step::kRedoRelative;
        case 11:
            return Step::kSetHistoryIndex;
        case 12:
            return Step::kRefusedTargets;
        case 14:
            return Step::kUnwindAbsolute;
        case 140:
            return Step::kPurge;
        case 150:
            return Step::kCommitPurge;
        default:
            return Step::kCommit;
    }
}

TEST_F(StoreHistoryModel, SeededRunAgreesWithTheModel) {
    const uint32_t seed = SeedOfRun();
    std::printf("store history model: seed %u (set QZO_SEED to repeat)\n", unsigned(seed));
    RecordProperty("seed", std::to_string(seed));
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto Chance = [&](unsigned percent) { return random() % 100 < percent; };
    auto Between = [&](uint32_t low, uint32_t high) { return low + random() % (high - low + 1); };

    ObjectRef editor = CreateTestObject();
    ASSERT_NE(editor, nullptr);
    const Location location = editor->GetLocator().GetLocation();
    HistoryModel model;
    uint32_t nextTag = 1;
    int commits = 0;
    int wraps = 0;
    for (int index = 0; index < 200 && (index < 160 || commits < 130); ++index) {
        Step step = ForcedStep(index);
        // Steps 40 to 109 only commit: 70 versions in a row take the ring of slots round.
        const bool straight = index >= 40 && index < 110;
        if (step == Step::kCommit && !straight) {
            const unsigned roll = random() % 100;
            const bool purgeAllowed = index > 120;
            if (roll < 8 && model.UndoCount())
                step = Step::kUndoRelative;
            else if (roll < 12 && model.HasRedo())
                step = Step::kRedoRelative;
            else if (roll < 15)
                step = Step::kUnwindAbsolute;
            else if (roll < 17)
                step = Step::kSetHistoryIndex;
            else if (roll < 19)
                step = Step::kCommitNTOnly;
            else if (roll < 20 && purgeAllowed)
                step = Step::kPurge;
            else if (roll < 21 && purgeAllowed)
                step = Step::kCommitPurge;
            else if (roll < 22)
                step = Step::kFailingStoreData;
            else if (roll < 23)
                step = Step::kOversizedNT;
            else if (roll < 24)
                step = Step::kRefusedTargets;
        }
        SCOPED_TRACE("step " + std::to_string(index) + ": " + StepName(step));
        CStoreTestObject* object = AsTest(editor);
        ASSERT_NE(object, nullptr);

        switch (step) {
            case Step::kCommit:
            case Step::kCommitPurge: {
                const unsigned band = random() % 10;
                const uint32_t size = band < 3   ? Between(0, 256)
                                      : band < 7 ? Between(257, 8192)
                                                 : Between(8193, 65536);
                const uint32_t tag = nextTag++;
                const uint32_t modifyID = Chance(50) ? uint32_t(random()) : 0;
                std::u16string comment = u"Step " + std::u16string(1, char16_t(u'A' + index % 26));
                if (Chance(10)) comment = std::u16string(32, char16_t(u'a' + index % 26));
                DWORD flags = 0;
                if (Chance(30)) flags |= LOCATOR_COMMIT_FLUSH;
                if (Chance(20)) flags |= LOCATOR_COMMIT_SILENT;
                const bool purge = step == Step::kCommitPurge;
                if (purge) flags |= LOCATOR_COMMIT_PURGE;
                object->payload = PayloadFor(tag, size);
                object->SetModifyID(modifyID);
                object->SetUndoComment(comment.c_str(), nullptr, 0);
                // The object keeps its comment terminated: at most 31 units reach the slot.
                comment = comment.substr(0, QZOBJ_COMMENT_UNITS - 1);
                EXPECT_EQ(std::u16string(object->GetUndoComment()), comment);
                ASSERT_TRUE(object->Commit(flags)) << "flags " << flags << ", size " << size;
                if (model.NextSlot() == 1 && model.CurrentSlot() == kSlotCount - 1) ++wraps;
                model.Commit(tag, size, modifyID, comment, purge);
                EXPECT_EQ(object->QueryVersion(), model.Current().modifyCnt);
                EXPECT_EQ(std::u16string(object->GetUndoComment()), u"Edit");
                ++commits;
                break;
            }
            case Step::kCommitNTOnly: {
                object->ntValue = uint32_t(random()) | 1u;
                ASSERT_TRUE(object->Commit(LOCATOR_COMMIT_NTONLY));
                model.ntValue = object->ntValue;
                EXPECT_EQ(object->QueryVersion(), model.Current().modifyCnt);
                break;
            }
            case Step::kUndoRelative:
            case Step::kRedoRelative: {
                const int distance = int(Between(1, 3)) * (step == Step::kUndoRelative ? -1 : 1);
                const uint32_t target = uint32_t(int(model.Current().modifyCnt) + distance);
                const bool exists = model.Has(target);
                EXPECT_EQ(bool(object->UnwindObject(distance, TRUE)), exists) << distance;
                if (exists) model.Select(target);
                EXPECT_EQ(object->QueryVersion(), model.Current().modifyCnt);
                break;
            }
            case Step::kUnwindAbsolute: {
                const std::vector<ModelVersion> listed = model.Listed();
                const uint32_t target = listed[random() % listed.size()].modifyCnt;
                ASSERT_TRUE(object->UnwindObject(int(target), FALSE)) << target;
                model.Select(target);
                EXPECT_EQ(object->QueryVersion(), target);
                EXPECT_TRUE(object->payload ==
                            PayloadFor(model.Current().payloadTag, model.Current().payloadSize));
                break;
            }
            case Step::kSetHistoryIndex: {
                const std::vector<ModelVersion> listed = model.Listed();
                const uint32_t target = listed[random() % listed.size()].modifyCnt;
                editor.reset();
                Locator mover(location);
                ASSERT_TRUE(mover.SetHistoryIndex(target)) << target;
                model.Select(target);
                break;
            }
            case Step::kPurge: {
                editor.reset();
                Locator purger(location);
                ASSERT_TRUE(purger.Purge());
                model.Purge();
                break;
            }
            case Step::kFailingStoreData: {
                object->payload = PayloadFor(nextTag++, Between(100, 20000));
                const Bytes before = ReadFile(ObjectFile(location));
                CStoreTestObject::failStoreData = true;
                EXPECT_FALSE(object->Commit(0));
                CStoreTestObject::failStoreData = false;
                EXPECT_TRUE(ReadFile(ObjectFile(location)) == before) << "a failed store wrote";
                // Nothing was written: every version, redo ones included, stays listed.
                EXPECT_EQ(object->QueryVersion(), model.Current().modifyCnt);
                break;
            }
            case Step::kOversizedNT: {
                const uint32_t kept = object->ntValue;
                object->ntValue = kept + 0x100;
                object->payload = PayloadFor(nextTag++, Between(0, 4000));
                const Bytes before = ReadFile(ObjectFile(location));
                CStoreTestObject::oversizeNT = true;
                EXPECT_FALSE(object->Commit(0));
                CStoreTestObject::oversizeNT = false;
                EXPECT_TRUE(ReadFile(ObjectFile(location)) == before) << "an oversized NT wrote";
                object->ntValue = kept;
                EXPECT_EQ(object->QueryVersion(), model.Current().modifyCnt);
                break;
            }
            case Step::kRefusedTargets: {
                const int held = int(model.Current().modifyCnt);
                EXPECT_FALSE(object->UnwindObject(0, FALSE));
                EXPECT_FALSE(object->UnwindObject(-held, TRUE));
                EXPECT_FALSE(object->UnwindObject(held + 1000, FALSE));
                EXPECT_EQ(object->QueryVersion(), model.Current().modifyCnt);
                editor.reset();
                Locator mover(location);
                EXPECT_FALSE(mover.SetHistoryIndex(0));
                EXPECT_FALSE(mover.SetHistoryIndex(uint32_t(held + 1000)));
                break;
            }
        }
        // Every step ends with the object closed, so the file can be read as a reader finds it.
        editor.reset();
        ASSERT_NO_FATAL_FAILURE(CheckAgainstModel(location, model));
        if (HasFailure()) return;
        editor = Edit(location);
        ASSERT_NE(editor, nullptr);
        ASSERT_EQ(AsTest(editor)->ntValue, model.ntValue);
    }
    EXPECT_GE(commits, 130);
    EXPECT_GE(wraps, 1);
    std::printf("store history model: %d commits, the ring wrapped %d times\n", commits, wraps);
}

TEST_F(StoreHistoryModel, TargetZeroIsRefused) {
    ObjectRef editor = CreateTestObject(PayloadFor(1, 100));
    ASSERT_NE(editor, nullptr);
    const Location location = editor->GetLocator().GetLocation();
    ASSERT_EQ(editor->QueryVersion(), 2u);
    EXPECT_FALSE(editor->UnwindObject(0, FALSE));
    EXPECT_FALSE(editor->UnwindObject(-2, TRUE));
    EXPECT_EQ(editor->QueryVersion(), 2u);
    editor.reset();
    Locator mover(location);
    EXPECT_FALSE(mover.SetHistoryIndex(0));
    EXPECT_EQ(mover.QueryModifyCnt(), 2u);
    const Bytes file = ReadFile(ObjectFile(location));
    EXPECT_EQ(ParseIndex(file).current, 1u);
    EXPECT_TRUE(mover.SetHistoryIndex(1));
    EXPECT_EQ(ParseIndex(ReadFile(ObjectFile(location))).current, 0u);
}

// A reader holding version m+1 refreshes after another locator undid it and committed a
// different m+1: the stamp matches, the content does not.
TEST_F(StoreHistoryModel, RefreshAfterUndoAndCommitElsewhereSeesTheNewContent) {
    ObjectRef editor = CreateTestObject(PayloadFor(11, 3000));
    ASSERT_NE(editor, nullptr);
    const Location location = editor->GetLocator().GetLocation();
    Restored reader = Restore(location, kRead);
    ASSERT_EQ(reader.result, LOCATOR_OK);
    ASSERT_EQ(reader.object->QueryVersion(), 2u);
    ASSERT_TRUE(reader.test()->payload == PayloadFor(11, 3000));

    ASSERT_TRUE(editor->UnwindObject(-1, TRUE));
    ASSERT_EQ(editor->QueryVersion(), 1u);
    AsTest(editor)->payload = PayloadFor(12, 2500);
    ASSERT_TRUE(editor->Commit(0));
    ASSERT_EQ(editor->QueryVersion(), 2u);

    DWORD result = 0xFFFFFFFFu;
    ASSERT_TRUE(reader.object->RefreshObject(kRead, kWaitMs, &result));
    EXPECT_EQ(reader.object->QueryVersion(), 2u);
    EXPECT_TRUE(reader.test()->payload == PayloadFor(12, 2500)) << "stale content kept";

    // A refresh with nothing changed keeps the content.
    ASSERT_TRUE(reader.object->RefreshObject(kRead, kWaitMs, &result));
    EXPECT_TRUE(reader.test()->payload == PayloadFor(12, 2500));
}

// The same with the undo and commit made by another process on this computer.
TEST_F(StoreHistoryModel, RefreshAfterAPeerProcessUndidAndCommitted) {
    ObjectRef editor = CreateTestObject(PayloadFor(31, 4000));
    ASSERT_NE(editor, nullptr);
    const Location location = editor->GetLocator().GetLocation();
    editor.reset();
    Restored reader = Restore(location, kRead);
    ASSERT_EQ(reader.result, LOCATOR_OK);
    ASSERT_TRUE(reader.test()->payload == PayloadFor(31, 4000));

    WCHAR text[LOCATION_TEXT_CHARS] = {};
    ASSERT_TRUE(location.GetLocationAsString(text, LOCATION_TEXT_CHARS));
    Peer peer;
    peer.SetTimeLimit(std::chrono::seconds(30));
    ASSERT_TRUE(peer.Start());
    EXPECT_EQ(peer.Call("store_undo_commit " + ProjectDir() + " " + Narrow(text) + " 32 3500"),
              "OK 2");
    peer.Wait();

    DWORD result = 0xFFFFFFFFu;
    ASSERT_TRUE(reader.object->RefreshObject(kRead, kWaitMs, &result));
    EXPECT_EQ(reader.object->QueryVersion(), 2u);
    EXPECT_TRUE(reader.test()->payload == PayloadFor(32, 3500)) << "stale content kept";
}

// The whole file, byte for byte, as the test's writer builds it from the model: a few commits
// and an undo under each write-back priority.
TEST_F(StoreHistoryModel, WriteBackPrioritiesWriteTheSameFile) {
    for (unsigned priority : {0u, 1u, 2u}) {
        SCOPED_TRACE("priority " + std::to_string(priority));
        ASSERT_TRUE(Locator::SetWritebackPriority(priority));
        ObjectRef editor = CreateTestObject();
        ASSERT_NE(editor, nullptr);
        const Location location = editor->GetLocator().GetLocation();
        CStoreTestObject* object = AsTest(editor);
        HistoryModel model;
        object->ntValue = 0x600D0000u + priority;
        model.ntValue = object->ntValue;
        const uint32_t sizes[] = {700, 12000, 5};
        for (uint32_t i = 0; i < 3; ++i) {
            const uint32_t tag = 40 + 10 * priority + i;
            object->payload = PayloadFor(tag, sizes[i]);
            object->SetModifyID(i * 3);
            ASSERT_TRUE(object->Commit(i == 1 ? LOCATOR_COMMIT_FLUSH : 0));
            model.Commit(tag, sizes[i], i * 3, u"Edit", false);
        }
        ASSERT_TRUE(object->UnwindObject(-1, TRUE));
        model.Select(3);
        editor.reset();

        ImageIndex index;
        index.classFlags = classCStoreTestObject.dwFlags;
        index.current = model.CurrentSlot();
        index.dataEnd = model.MaxEnd();
        Bytes versions;
        for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
            const ModelVersion& version = model.Slot(slot);
            if (!version.modifyCnt) continue;
            index.slots[slot] = {version.modifyCnt, version.offset, version.end, version.modifyID,
                                 version.comment};
            const Bytes word = Concat({RootVersionBytes(version.modifyCnt),
                                       Chunk(ChunkID(kPayloadChunk),
                                             PayloadFor(version.payloadTag, version.payloadSize))});
            ASSERT_EQ(versions.size() + kVersionsOffset, version.offset);
            versions.insert(versions.end(), word.begin(), word.end());
        }
        Bytes ntWord(4);
        Put32(ntWord, 0, model.ntValue);
        const Bytes expected = FileBytes(
            ImageLocationOf(location), {ClassOf(classCStoreTestObject), ClassOf(classCQZObject)},
            index, Concat({RootNTBytes(), Chunk(ChunkID(kNTValueChunk), ntWord)}), versions);
        EXPECT_TRUE(SameBytes(ReadFile(ObjectFile(location)), expected));
    }
    Locator::SetWritebackPriority(0);
    EXPECT_FALSE(Locator::SetWritebackPriority(3));
    EXPECT_EQ(Locator::GetWritebackPriority(), 0u);
}

// Compaction of a current version whose bytes overlap its own destination at 10240, once by
// Purge and once by a commit with the purge flag: the file is the version alone in slot 0.
TEST_F(StoreHistoryModel, PurgeOfAVersionOverlappingItsDestination) {
    for (const bool byCommit : {false, true}) {
        SCOPED_TRACE(byCommit ? "commit with purge" : "Purge");
        ObjectRef editor = CreateTestObject();
        ASSERT_NE(editor, nullptr);
        const Location location = editor->GetLocator().GetLocation();
        CStoreTestObject* object = AsTest(editor);
        const uint32_t tag = byCommit ? 61 : 60;
        object->payload = PayloadFor(tag, 60000);
        object->SetUndoComment(u"Big", nullptr, 0);
        object->SetModifyID(0x1234);
        ASSERT_TRUE(object->Commit(byCommit ? LOCATOR_COMMIT_PURGE | LOCATOR_COMMIT_FLUSH : 0));
        editor.reset();
        if (!byCommit) {
            Locator purger(location);
            ASSERT_TRUE(purger.Purge());
        }

        ImageIndex index;
        index.classFlags = classCStoreTestObject.dwFlags;
        index.current = 0;
        const Bytes version =
            Concat({RootVersionBytes(2), Chunk(ChunkID(kPayloadChunk), PayloadFor(tag, 60000))});
        index.dataEnd = kVersionsOffset + uint32_t(version.size());
        index.slots[0] = {2, kVersionsOffset, index.dataEnd, 0x1234, u"Big"};
        const Bytes expected = FileBytes(
            ImageLocationOf(location), {ClassOf(classCStoreTestObject), ClassOf(classCQZObject)},
            index, Concat({RootNTBytes(), Chunk(ChunkID(kNTValueChunk), Bytes(4, 0))}), version);
        EXPECT_TRUE(SameBytes(ReadFile(ObjectFile(location)), expected));
        Restored reader = Restore(location, kRead);
        ASSERT_EQ(reader.result, LOCATOR_OK);
        EXPECT_TRUE(reader.test()->payload == PayloadFor(tag, 60000));
        Locator fresh(location);
        unsigned undo = 9, redo = 9;
        EXPECT_TRUE(fresh.QueryUndoRedo(undo, redo));
        EXPECT_EQ(undo + redo, 0u);
    }
}

// The bytes [offset, offset + count) of a file, read without loading the rest.
Bytes ReadRange(const std::string& path, uint64_t offset, size_t count) {
    Bytes bytes(count);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    const ssize_t got = pread(fd, bytes.data(), count, off_t(offset));
    close(fd);
    bytes.resize(got > 0 ? size_t(got) : 0);
    return bytes;
}

// Versions accumulate towards 2 GiB: a file whose current version ends just below it (the
// space before it a hole) takes a small commit and refuses one that would pass the bound.
TEST_F(StoreHistoryModel, CommitPastTwoGibibytesFailsAndChangesNothing) {
    constexpr uint32_t kObjID = 0x00777000u;
    constexpr uint32_t kCurrentPayload = 16;
    constexpr uint32_t kDataEnd = 0x7FFFFFFFu - 2000;
    constexpr uint32_t kFar = kDataEnd - VersionSize(kCurrentPayload);
    Location location;
    location.dwHashID = classCStoreTestObject.dwHashID;
    location.dwObjID = kObjID;
    location.dwProjID = ProjectID();
    location.dwDataID = classCStoreTestObject.dwDataID;
    location.dwFlags = 0;

    ImageIndex index;
    index.classFlags = classCStoreTestObject.dwFlags;
    index.current = 1;
    index.dataEnd = kDataEnd;
    index.slots[0] = {1, kVersionsOffset, kVersionsOffset + VersionSize(0), 0, u"Create"};
    index.slots[1] = {2, kFar, kDataEnd, 0, u"Edit"};
    const Bytes nt = Concat({RootNTBytes(), Chunk(ChunkID(kNTValueChunk), Bytes(4, 0))});
    const Bytes head = FileBytes(
        ImageLocationOf(location), {ClassOf(classCStoreTestObject), ClassOf(classCQZObject)}, index,
        nt, Concat({RootVersionBytes(1), Chunk(ChunkID(kPayloadChunk), {})}));
    const Bytes tail = Concat(
        {RootVersionBytes(2), Chunk(ChunkID(kPayloadChunk), PayloadFor(21, kCurrentPayload))});

    const std::string relative = ObjectRelativePath(location);
    const std::string folder = ProjectDir() + "/" + relative.substr(0, relative.rfind('/'));
    mkdir((ProjectDir() + "/OBJ").c_str(), 0777);
    ASSERT_EQ(mkdir(folder.c_str(), 0777), 0) << folder;
    const std::string path = ProjectDir() + "/" + relative;
    {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        ASSERT_GE(fd, 0);
        const bool written =
            pwrite(fd, head.data(), head.size(), 0) == ssize_t(head.size()) &&
            pwrite(fd, tail.data(), tail.size(), off_t(kFar)) == ssize_t(tail.size());
        close(fd);
        if (!written) GTEST_SKIP() << "the temporary folder holds no 2 GiB sparse file";
    }
    ASSERT_EQ(FileLength(path), kDataEnd);
    const Bytes headBefore = ReadRange(path, 0, kVersionsOffset);
    const Bytes tailBefore = ReadRange(path, kFar - 4096, 4096 + tail.size());

    Restored editor = Restore(location, kReadWrite);
    ASSERT_EQ(editor.result, LOCATOR_OK);
    ASSERT_NE(editor.test(), nullptr);
    EXPECT_TRUE(editor.test()->payload == PayloadFor(21, kCurrentPayload));
    editor.test()->payload = PayloadFor(22, 4000);
    EXPECT_FALSE(editor.object->Commit(0)) << "data and trailer would pass 0x7FFFFFFF";
    EXPECT_EQ(editor.object->QueryVersion(), 2u);
    editor.object.reset();
    EXPECT_EQ(FileLength(path), kDataEnd);
    EXPECT_TRUE(ReadRange(path, 0, kVersionsOffset) == headBefore) << "header or index changed";
    EXPECT_TRUE(ReadRange(path, kFar - 4096, 4096 + tail.size()) == tailBefore);

    // A commit that fits below the bound still works.
    Restored again = Restore(location, kReadWrite);
    ASSERT_EQ(again.result, LOCATOR_OK);
    again.test()->payload.clear();
    EXPECT_TRUE(again.object->Commit(0));
    EXPECT_EQ(again.object->QueryVersion(), 3u);
    again.object.reset();
    const Bytes indexAfter = ReadRange(path, kIndexOffset, kIndexSize);
    ASSERT_EQ(indexAfter.size(), kIndexSize);
    Bytes image(kIndexOffset, 0);
    image.insert(image.end(), indexAfter.begin(), indexAfter.end());
    const ImageIndex after = ParseIndex(image);
    EXPECT_EQ(after.current, 2u);
    EXPECT_EQ(after.slots[2].offset, kDataEnd);
    EXPECT_EQ(SlotEnd(after, 2), kDataEnd + VersionSize(0));
    EXPECT_EQ(FileLength(path), after.dataEnd);
}

}  // namespace
}  // namespace qzo::test::store
