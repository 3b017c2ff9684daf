// One object's history. A seeded run of commits, undo and redo, index moves, failed stores and
// compactions, checked after every step against the tests' model of the history through fresh
// locators and the tests' own index reader; the whole file under each write-back priority;
// compaction onto its own bytes; the 2 GiB bound. Then what the model does not cover: the exact
// bound of the ring's plan, creation's refusals and notices, commit stamps, a version that looks
// like a writer's access record, and a version written just before an interrupted commit point.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>

#include "qzobj/store/objfile/locator_ring.h"
#include "support/capture.h"
#include "store/support/store_fixture.h"

namespace qzo::test::store {
namespace {

// ---- The model -----------------------------------------------------------------------------

struct ModelVersion {
    uint32_t modifyCnt = 0;  // 0: empty slot
    uint32_t offset = 0;
    uint32_t end = 0;
    uint32_t modifyID = 0;
    std::u16string comment;
    uint32_t payloadTag = 0;
    uint32_t payloadSize = 0;
};

// One object's history as the tests expect the store to keep it: which slot holds which version
// where in the file, the current slot, and the NT word. Commits go to the slot after the current
// one (slots 1 to 63 form a ring), start at the end of the current version, drop the redo
// versions and the versions whose bytes they overwrite; compaction keeps the current version
// alone in slot 0.
class HistoryModel {
  public:
    // A fresh object: version 1 with an empty payload in slot 0.
    HistoryModel() {
        slots_[0] = {1, kVersionsOffset, kVersionsOffset + VersionSize(0), 0, u"Create", 0, 0};
    }
    const ModelVersion& Current() const { return slots_[current_]; }
    uint32_t CurrentSlot() const { return current_; }
    const ModelVersion& Slot(uint32_t slot) const { return slots_[slot]; }
    uint32_t ntValue = 0;

    // The slot the next commit goes to.
    uint32_t NextSlot() const { return current_ + 1 == kSlotCount ? 1 : current_ + 1; }

    void Commit(uint32_t tag, uint32_t size, uint32_t modifyID, const std::u16string& comment,
                bool purge) {
        const uint32_t slot = NextSlot();
        const uint32_t start = Current().end;
        const uint32_t end = start + VersionSize(size);
        const uint32_t modifyCnt = Current().modifyCnt + 1;
        for (uint32_t i = 1; i < kSlotCount; ++i) {
            ModelVersion& other = slots_[i];
            const bool redo = other.modifyCnt > modifyCnt;
            const bool overwritten = other.offset < end && start < other.end;
            if (i != slot && other.modifyCnt && (redo || overwritten)) other = ModelVersion{};
        }
        slots_[slot] = {modifyCnt, start, end, modifyID, comment.substr(0, kCommentUnits),
                        tag,       size};
        current_ = slot;
        if (purge) Purge();
    }

    void Purge() {
        if (current_ == 0) return;
        ModelVersion kept = slots_[current_];
        kept.end = kVersionsOffset + (kept.end - kept.offset);
        kept.offset = kVersionsOffset;
        for (ModelVersion& slot : slots_) slot = ModelVersion{};
        slots_[0] = kept;
        current_ = 0;
    }

    // Makes the version `modifyCnt` current; false when no slot holds it (or it is 0).
    bool Select(uint32_t modifyCnt) {
        for (uint32_t i = 0; i < kSlotCount && modifyCnt; ++i) {
            if (slots_[i].modifyCnt == modifyCnt) {
                current_ = i;
                return true;
            }
        }
        return false;
    }
    bool Has(uint32_t modifyCnt) const {
        for (const ModelVersion& slot : slots_)
            if (modifyCnt && slot.modifyCnt == modifyCnt) return true;
        return false;
    }
    unsigned UndoCount() const {
        unsigned count = 0;
        for (const ModelVersion& slot : slots_)
            count += slot.modifyCnt && slot.modifyCnt < Current().modifyCnt;
        return count;
    }
    unsigned RedoCount() const {
        unsigned count = 0;
        for (const ModelVersion& slot : slots_) count += slot.modifyCnt > Current().modifyCnt;
        return count;
    }
    bool HasRedo() const { return RedoCount() != 0; }
    // Non-empty slots sorted by ModifyCnt.
    std::vector<ModelVersion> Listed() const {
        std::vector<ModelVersion> listed;
        for (const ModelVersion& slot : slots_)
            if (slot.modifyCnt) listed.push_back(slot);
        std::sort(listed.begin(), listed.end(), [](const ModelVersion& a, const ModelVersion& b) {
            return a.modifyCnt < b.modifyCnt;
        });
        return listed;
    }
    // The highest end of any listed version.
    uint32_t MaxEnd() const {
        uint32_t end = 0;
        for (const ModelVersion& slot : slots_)
            if (slot.modifyCnt) end = std::max(end, slot.end);
        return end;
    }
    // One line per non-empty slot, for failure messages.
    std::string Describe() const {
        std::string text;
        for (uint32_t i = 0; i < kSlotCount; ++i) {
            const ModelVersion& slot = slots_[i];
            if (slot.modifyCnt)
                text += (i == current_ ? "*slot " : " slot ") + std::to_string(i) + ": mc " +
                        std::to_string(slot.modifyCnt) + " [" + std::to_string(slot.offset) + ", " +
                        std::to_string(slot.end) + ")\n";
        }
        return text;
    }

  private:
    ModelVersion slots_[kSlotCount];
    uint32_t current_ = 0;
};

// Kilobytes as the undo list reports them.
constexpr uint32_t SizeKB(uint32_t bytes) {
    return (bytes + 512) >> 10;
}

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

std::vector<ImageClass> TestClasses() {
    return {ClassOf(classCStoreTestObject), ClassOf(classCQZObject)};
}

class StoreHistoryModel : public StoreTest {
  protected:
    // Everything a fresh look at the object must agree with the model on.
    void CheckAgainstModel(const Location& location, const HistoryModel& model) {
        SCOPED_TRACE(model.Describe());
        const ModelVersion& current = model.Current();
        Restored reader = Restore(location, kRead);
        ASSERT_EQ(reader.result, LOCATOR_OK);
        ASSERT_NE(reader.test(), nullptr);
        EXPECT_EQ(reader.object->QueryVersion(), current.modifyCnt);
        EXPECT_EQ(reader.test()->tag, current.payloadTag) << "content of " << current.modifyCnt;
        EXPECT_EQ(reader.test()->Size(), current.payloadSize);
        EXPECT_TRUE(reader.test()->Intact());
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
        const Bytes file = ReadFile(ObjectFile(location));
        ASSERT_GE(file.size(), size_t(kVersionsOffset));
        const ImageIndex index = ParseIndex(file);
        EXPECT_EQ(index.size, kIndexSize);
        EXPECT_EQ(index.slotCount, kSlotCount);
        EXPECT_EQ(index.current, model.CurrentSlot());
        EXPECT_EQ(file.size(), index.dataEnd) << "file length and data end after close";
        EXPECT_GE(index.dataEnd, model.MaxEnd());
        for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
            SCOPED_TRACE("slot " + std::to_string(slot));
            const ModelVersion& expected = model.Slot(slot);
            const ImageSlot& stored = index.slots[slot];
            ASSERT_EQ(stored.modifyCnt, expected.modifyCnt);
            if (!expected.modifyCnt) continue;
            EXPECT_TRUE(SlotInBounds(index, slot, file.size()));
            EXPECT_EQ(stored.offset, expected.offset);
            EXPECT_EQ(SlotEnd(index, slot), expected.end);
            EXPECT_EQ(stored.modifyID, expected.modifyID);
            EXPECT_EQ(Narrow(stored.comment), Narrow(expected.comment));
            const auto content = ReadVersion(file, expected.offset, expected.end);
            ASSERT_TRUE(content.has_value()) << "no whole version in the slot's range";
            EXPECT_EQ(content->version, expected.modifyCnt);
            EXPECT_EQ(content->tag, expected.payloadTag);
            EXPECT_EQ(content->size, expected.payloadSize);
        }
    }

    ObjectRef Edit(const Location& location) {
        Restored editor = Restore(location, kReadWriteEdit);
        EXPECT_EQ(editor.result, LOCATOR_OK);
        return std::move(editor.object);
    }
};

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

const char* const kStepNames[] = {"commit",
                                  "commit NT only",
                                  "undo (relative)",
                                  "redo (relative)",
                                  "unwind (absolute)",
                                  "SetHistoryIndex",
                                  "Purge",
                                  "commit with purge",
                                  "failing StoreData",
                                  "oversized StoreNT",
                                  "refused targets"};

// Steps forced at fixed points so that every kind occurs in every run.
Step ForcedStep(int index) {
    static const std::map<int, Step> forced = {
        {3, Step::kFailingStoreData}, {4, Step::kOversizedNT},     {6, Step::kCommitNTOnly},
        {8, Step::kUndoRelative},     {9, Step::kRedoRelative},    {11, Step::kSetHistoryIndex},
        {12, Step::kRefusedTargets},  {14, Step::kUnwindAbsolute}, {140, Step::kPurge},
        {150, Step::kCommitPurge}};
    const auto found = forced.find(index);
    return found == forced.end() ? Step::kCommit : found->second;
}

TEST_F(StoreHistoryModel, SeededRunAgreesWithTheModel) {
    const uint32_t seed = SeedOfRun();
    std::printf("store history model: seed %u (set QZO_SEED to repeat)\n", unsigned(seed));
    RecordProperty("seed", std::to_string(seed));
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto Chance = [&](unsigned percent) { return random() % 100 < percent; };
    auto Between = [&](uint32_t low, uint32_t high) { return low + random() % (high - low + 1); };

    ObjectRef editor = Create();
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
        SCOPED_TRACE("step " + std::to_string(index) + ": " + kStepNames[int(step)]);
        CStoreTestObject* object = editor.test();
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
                object->SetContent(tag, size);
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
                // Only the NT block changes: no slot, index, version or length.
                const Bytes before = ReadFile(ObjectFile(location));
                object->ntValue = uint32_t(random()) | 1u;
                ASSERT_TRUE(object->Commit(LOCATOR_COMMIT_NTONLY));
                const Bytes after = ReadFile(ObjectFile(location));
                ASSERT_EQ(after.size(), before.size());
                EXPECT_TRUE(std::equal(after.begin(), after.begin() + kNTOffset, before.begin()));
                EXPECT_TRUE(std::equal(after.begin() + kVersionsOffset, after.end(),
                                       before.begin() + kVersionsOffset));
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
                EXPECT_EQ(object->tag, model.Current().payloadTag);
                EXPECT_EQ(object->Size(), model.Current().payloadSize);
                EXPECT_TRUE(object->Intact());
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
                object->SetContent(nextTag++, Between(100, 20000));
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
                object->SetContent(nextTag++, Between(0, 4000));
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
        ASSERT_EQ(editor.test()->ntValue, model.ntValue);
    }
    EXPECT_GE(commits, 130);
    EXPECT_GE(wraps, 1);
    std::printf("store history model: %d commits, the ring wrapped %d times\n", commits, wraps);
}

// The whole file, byte for byte, as the test's writer builds it from the model.
Bytes ModelImage(const Location& location, const HistoryModel& model) {
    ImageIndex index;
    index.classFlags = classCStoreTestObject.dwFlags;
    index.current = model.CurrentSlot();
    index.dataEnd = model.MaxEnd();
    Bytes versions(index.dataEnd - kVersionsOffset, 0);
    for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
        const ModelVersion& version = model.Slot(slot);
        if (!version.modifyCnt) continue;
        index.slots[slot] = {version.modifyCnt, version.offset, version.end, version.modifyID,
                             version.comment};
        const Bytes bytes = TestVersionBytes(version.modifyCnt, version.payloadTag,
                                             PayloadFor(version.payloadTag, version.payloadSize));
        std::copy(bytes.begin(), bytes.end(),
                  versions.begin() + (version.offset - kVersionsOffset));
    }
    return FileBytes(ImageLocationOf(location), TestClasses(), index, TestNTBytes(model.ntValue),
                     versions);
}

// A few commits and an undo under each write-back priority write the same file.
TEST_F(StoreHistoryModel, WriteBackPrioritiesWriteTheSameFile) {
    for (unsigned priority : {0u, 1u, 2u}) {
        SCOPED_TRACE("priority " + std::to_string(priority));
        ASSERT_TRUE(Locator::SetWritebackPriority(priority));
        EXPECT_EQ(Locator::GetWritebackPriority(), priority);
        ObjectRef editor = Create();
        ASSERT_NE(editor.test(), nullptr);
        const Location location = editor->GetLocator().GetLocation();
        HistoryModel model;
        editor.test()->ntValue = model.ntValue = 0x600D0000u + priority;
        const uint32_t sizes[] = {700, 12000, 5};
        for (uint32_t i = 0; i < 3; ++i) {
            const uint32_t tag = 40 + 10 * priority + i;
            editor.test()->SetContent(tag, sizes[i]);
            editor->SetModifyID(i * 3);
            ASSERT_TRUE(editor->Commit(i == 1 ? LOCATOR_COMMIT_FLUSH : 0));
            model.Commit(tag, sizes[i], i * 3, u"Edit", false);
        }
        ASSERT_TRUE(editor->UnwindObject(-1, TRUE));
        model.Select(3);
        editor.reset();
        EXPECT_TRUE(SameBytes(ReadFile(ObjectFile(location)), ModelImage(location, model)));
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
        ObjectRef editor = Create();
        ASSERT_NE(editor.test(), nullptr);
        const Location location = editor->GetLocator().GetLocation();
        const uint32_t tag = byCommit ? 61 : 60;
        editor.test()->SetContent(tag, 60000);
        editor->SetUndoComment(u"Big", nullptr, 0);
        editor->SetModifyID(0x1234);
        ASSERT_TRUE(editor->Commit(byCommit ? LOCATOR_COMMIT_PURGE | LOCATOR_COMMIT_FLUSH : 0));
        editor.reset();
        HistoryModel model;
        model.Commit(tag, 60000, 0x1234, u"Big", true);
        if (!byCommit) {
            Locator purger(location);
            ASSERT_TRUE(purger.Purge());
        }
        EXPECT_TRUE(SameBytes(ReadFile(ObjectFile(location)), ModelImage(location, model)));
        ASSERT_NO_FATAL_FAILURE(CheckAgainstModel(location, model));
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
    const Bytes head = FileBytes(ImageLocationOf(location), TestClasses(), index, TestNTBytes(0),
                                 TestVersionBytes(1, 0, {}));
    const Bytes tail = TestVersionBytes(2, 21, PayloadFor(21, kCurrentPayload));

    const std::string folder = ProjectDir() + "/OBJ/" + Hex8(location.dwHashID);
    mkdir((ProjectDir() + "/OBJ").c_str(), 0777);
    ASSERT_EQ(mkdir(folder.c_str(), 0777), 0) << folder;
    const std::string path = folder + "/" + Hex8(kObjID) + ".QZO";
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

    Restored editor = Restore(location, kReadWriteEdit);
    ASSERT_EQ(editor.result, LOCATOR_OK);
    ASSERT_NE(editor.test(), nullptr);
    EXPECT_EQ(editor.test()->tag, 21u);
    EXPECT_TRUE(editor.test()->Intact());
    editor.test()->SetContent(22, 4000);
    EXPECT_FALSE(editor.object->Commit(0)) << "data and trailer would pass 0x7FFFFFFF";
    EXPECT_EQ(editor.object->QueryVersion(), 2u);
    editor.object.reset();
    EXPECT_EQ(FileLength(path), kDataEnd);
    EXPECT_TRUE(ReadRange(path, 0, kVersionsOffset) == headBefore) << "header or index changed";
    EXPECT_TRUE(ReadRange(path, kFar - 4096, 4096 + tail.size()) == tailBefore);

    // A commit that fits below the bound still works.
    Restored again = Restore(location, kReadWriteEdit);
    ASSERT_EQ(again.result, LOCATOR_OK);
    again.test()->SetContent(23, 0);
    EXPECT_TRUE(again.object->Commit(0));
    EXPECT_EQ(again.object->QueryVersion(), 3u);
    again.object.reset();
    const ImageIndex after = ParseIndex(ReadRange(path, 0, kNTOffset));
    EXPECT_EQ(after.current, 2u);
    EXPECT_EQ(after.slots[2].offset, kDataEnd);
    EXPECT_EQ(SlotEnd(after, 2), kDataEnd + VersionSize(0));
    EXPECT_EQ(FileLength(path), after.dataEnd);
}

// ---- The ring's plan -------------------------------------------------------------------------

namespace fmt = qzo::store::object_file_format;
using qzo::store::PlanVersion;

// The exact bound: the version and the writer's access record end at 0x7FFFFFFF at most.
TEST(StoreRingPlan, VersionPastTwoGigabytesDoesNotFit) {
    fmt::HistoryIndex index = fmt::NewIndex(1);
    index.slots[0].dwModifyCnt = 1;
    index.slots[0].dwOffset = 10240;
    index.slots[0].dwEnd = index.header.dwDataEnd = 0x7FFFFF00u;
    index.header.dwCurrent = 0;
    EXPECT_TRUE(PlanVersion(index, 2, 0xFF - 168).fits);
    EXPECT_FALSE(PlanVersion(index, 2, 0xFF - 167).fits);
}

// ---- Creation, stamps and repairs ------------------------------------------------------------

using StoreLife = StoreTest;

size_t ObjectFileCount(const std::string& folder) {
    size_t count = 0;
    if (!std::filesystem::exists(folder)) return 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        count += entry.path().extension() == ".QZO";
    return count;
}

TEST_F(StoreLife, FailedCreationLeavesNoFile) {
    CStoreTestObject::failStoreData = true;
    Locator creator;
    CQZObject* object = creator.CreateObject(&classCStoreTestObject, 0);
    CStoreTestObject::failStoreData = false;
    EXPECT_EQ(object, nullptr);
    EXPECT_FALSE(creator.IsValid());
    EXPECT_EQ(ObjectFileCount(ProjectDir()), 0u);
}

TEST_F(StoreLife, CreationRefusesInvalidClassesAndMissingProjects) {
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    Locator creator;
    EXPECT_EQ(creator.CreateObject(nullptr, 0), nullptr);
    EXPECT_EQ(creator.CreateObject(&classCQZRTObject, 0), nullptr);
    EXPECT_TRUE(capture.Contains("Locator::CreateObject: Invalid class reference"));

    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    EXPECT_EQ(creator.CreateObject(&classCStoreTestObject, 0), nullptr);
    EXPECT_TRUE(capture.Contains(
        "Locator::CreateObject: Attempt to create non-temporary object without default project"));
    ObjectRef temporary(creator.CreateObject(&classCStoreTestObject, LOCATOR_CREATE_TEMPORARY));
    ASSERT_NE(temporary, nullptr);
    EXPECT_TRUE(temporary->GetLocator().QueryFlags() & LOCATOR_TEMPORARY);
    EXPECT_EQ(temporary->QueryAccess(), 0xE0000000u);
}

TEST_F(StoreLife, CreateAtAnExistingIDReplacesTheObject) {
    ObjectRef old = Create(5, 300);
    ASSERT_NE(old, nullptr);
    const DWORD id = old->GetLocator().GetObjID();
    old.reset();
    Locator placed;
    EXPECT_EQ(placed.CreateObjectAt(0, &classCStoreTestObject, 0), nullptr);
    ObjectRef fresh(placed.CreateObjectAt(id, &classCStoreTestObject, 0));
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(placed.GetObjID(), id);
    EXPECT_EQ(fresh->QueryVersion(), 1u);
    fresh.reset();
    Restored again = Restore(placed.GetLocation(), kRead);
    ASSERT_NE(again.test(), nullptr);
    EXPECT_EQ(again.test()->Size(), 0u);
}

struct CodeLog {
    std::mutex lock;
    std::vector<DWORD> codes;
    static int Record(void*, uintptr_t code, uintptr_t& value1, uintptr_t&, uintptr_t) {
        auto* log = reinterpret_cast<CodeLog*>(value1);
        std::lock_guard<std::mutex> hold(log->lock);
        log->codes.push_back(DWORD(code));
        return 1;
    }
};

TEST_F(StoreLife, LocatorNoticesCreationCommitAndUnwinding) {
    CodeLog log;
    const DWORD handle =
        Locator::RegisterStateNotify(&CodeLog::Record, reinterpret_cast<uintptr_t>(&log), 0);
    {
        ObjectRef held = Create();
        ASSERT_NE(held, nullptr);
        ASSERT_TRUE(held->Commit(0));
        ASSERT_TRUE(held->Commit(LOCATOR_COMMIT_SILENT));
        ASSERT_TRUE(held->UnwindObject(-1, TRUE));
    }
    Locator::UnregisterStateNotify(handle);
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_EQ(log.codes, (std::vector<DWORD>{LOCATOR_NOTIFY_CREATED, LOCATOR_NOTIFY_COMMITTED,
                                             LOCATOR_NOTIFY_UNWOUND}));
}

TEST_F(StoreLife, ClassQueriesReadTheClassReferenceAndTheRegistry) {
    Locator creator;
    ObjectRef held(creator.CreateObject(&classCStoreTestObject, 0));
    ASSERT_NE(held, nullptr);
    held.reset();
    char name[32] = {};
    GUID guid{};
    WCHAR path[OBJHERITAGE_DLLPATH_BUFFER] = {};
    ASSERT_TRUE(creator.GetClassInfo(name, guid, path));
    EXPECT_STREQ(name, "CStoreTestObject");
    EXPECT_TRUE(guid == classCStoreTestObject.guid);
    CQZRuntimeClass* family[2] = {&classCQZRTObject, &classCQZObject};
    EXPECT_EQ(creator.GetClassFamily(family, 2), 0u);
    CQZRuntimeClass* exact[1] = {&classCStoreTestObject};
    EXPECT_EQ(creator.GetClassFamily(exact, 1), 0u);
    EXPECT_EQ(creator.GetClassFamily(nullptr, 1), 0xFFFFFFFFu);
    Locator invalid;
    EXPECT_EQ(invalid.GetClassFamily(family, 2), 0xFFFFFFFFu);
}

TEST_F(StoreLife, EveryCommitStampsALaterTime) {
    ObjectRef held = Create();
    ASSERT_NE(held.test(), nullptr);
    auto value = [](const FILETIME& time) {
        return (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    uint64_t last = value(held->QueryTimestamp());
    EXPECT_NE(last, 0u);
    for (uint32_t i = 0; i < 20; ++i) {
        held.test()->SetContent(i, i * 7);
        ASSERT_TRUE(held->Commit(i % 2 ? LOCATOR_COMMIT_NTONLY : 0));
        const uint64_t now = value(held->QueryTimestamp());
        EXPECT_GT(now, last);
        last = now;
    }
}

// A version whose last 168 bytes look like a writer's access record must survive the next
// writer's open, which replaces a dead writer's record at the end of the file.
TEST_F(StoreLife, VersionEndingLikeAnAccessRecordSurvivesTheNextWriter) {
    ObjectRef held = Create();
    ASSERT_NE(held.test(), nullptr);
    const Location where = held->GetLocator().GetLocation();
    Bytes payload(32, 'x');
    for (char c : std::string("IAZQ") + std::string(164, 'y')) payload.push_back(uint8_t(c));
    held.test()->payload = payload;
    ASSERT_TRUE(held->Commit(0));
    held.reset();
    const Bytes closed = ReadFile(ObjectFile(where));
    EXPECT_FALSE(AccessRecordComputer(closed, closed.size() - kAccessInfoSize).has_value());

    Restored writer = Restore(where, kReadWriteEdit);
    ASSERT_NE(writer.test(), nullptr) << writer.result;
    EXPECT_EQ(writer.test()->payload, payload);
    writer.object.reset();
    EXPECT_EQ(Restore(where, kRead).test()->payload, payload);
    EXPECT_TRUE(SameBytes(ReadFile(ObjectFile(where)), closed));
}

// As if the process died after writing the new slot record and before the index header.
TEST_F(StoreLife, WriterListsAVersionWrittenJustBeforeTheCommitPoint) {
    ObjectRef held = Create(1, 100);
    ASSERT_NE(held.test(), nullptr);
    const Location where = held->GetLocator().GetLocation();
    held.test()->SetContent(2, 200);
    ASSERT_TRUE(held->Commit(0));
    held.reset();
    Bytes bytes = ReadFile(ObjectFile(where));
    const ImageIndex index = ParseIndex(bytes);
    ASSERT_EQ(index.current, 2u);
    Put32(bytes, kCurrentFieldOffset, 1);
    Put32(bytes, kDataEndFieldOffset, SlotEnd(index, 1));
    ASSERT_TRUE(WriteFile(ObjectFile(where), bytes));

    Locator reader(where);
    unsigned undo = 9, redo = 9;
    ASSERT_TRUE(reader.QueryUndoRedo(undo, redo));
    EXPECT_EQ(undo, 1u);
    EXPECT_EQ(redo, 0u);
    EXPECT_EQ(Restore(where, kRead).test()->tag, 1u);

    Restored writer = Restore(where, kReadWriteEdit);
    ASSERT_NE(writer.test(), nullptr);
    ASSERT_TRUE(writer.object->QueryUndoRedo(undo, redo));
    EXPECT_EQ(undo, 1u);
    EXPECT_EQ(redo, 1u);
    ASSERT_TRUE(writer.object->UnwindObject(1, TRUE));
    EXPECT_EQ(writer.test()->tag, 2u);
    writer.object.reset();
    EXPECT_EQ(CheckClosedFile(ReadFile(ObjectFile(where))), "");
}

}  // namespace
}  // namespace qzo::test::store
