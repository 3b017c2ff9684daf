// A model of one object's history as the tests expect the store to keep it: which slot holds
// which version where in the file, the current slot, and the NT word. Commits go to the slot
// after the current one (slots 1 to 63 form a ring), start at the end of the current version,
// drop the redo versions and the versions whose bytes they overwrite; compaction keeps the
// current version alone in slot 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/objects/store_image.h"

namespace qzo::test::store {

struct ModelVersion {
    uint32_t modifyCnt = 0;  // 0: empty slot
    uint32_t offset = 0;
    uint32_t end = 0;
    uint32_t modifyID = 0;
    std::u16string comment;
    uint32_t payloadTag = 0;
    uint32_t payloadSize = 0;
};

class HistoryModel {
  public:
    // A fresh object: version 1 with an empty payload in slot 0.
    HistoryModel();

    const ModelVersion& Current() const { return slots_[current_]; }
    uint32_t CurrentSlot() const { return current_; }
    const ModelVersion& Slot(uint32_t slot) const { return slots_[slot]; }
    uint32_t ntValue = 0;

    // The slot the next commit goes to.
    uint32_t NextSlot() const { return current_ + 1 == kSlotCount ? 1 : current_ + 1; }
    // A committed version (with compaction afterwards when `purge`).
    void Commit(uint32_t payloadTag, uint32_t payloadSize, uint32_t modifyID,
                const std::u16string& comment, bool purge);
    void Purge();
    // Makes the version `modifyCnt` current; false when no slot holds it (or it is 0).
    bool Select(uint32_t modifyCnt);
    bool Has(uint32_t modifyCnt) const;

    unsigned UndoCount() const;
    unsigned RedoCount() const;
    bool HasRedo() const { return RedoCount() != 0; }
    // Non-empty slots sorted by ModifyCnt.
    std::vector<ModelVersion> Listed() const;
    // The highest end of any listed version.
    uint32_t MaxEnd() const;
    // One line per non-empty slot, for failure messages.
    std::string Describe() const;

  private:
    ModelVersion slots_[kSlotCount];
    uint32_t current_ = 0;
};

// Stored size of a version of the test class.
inline constexpr uint32_t VersionSize(uint32_t payloadSize) {
    return 28 + payloadSize;
}
// Kilobytes as the undo list reports them.
inline constexpr uint32_t SizeKB(uint32_t bytes) {
    return (bytes + 512) >> 10;
}

}  // namespace qzo::test::store
