// The tests' model of one object's history (see store_history_model.h).
#include "store/objects/store_history_model.h"

#include <algorithm>
#include <cstdio>

namespace qzo::test::store {

HistoryModel::HistoryModel() {
    slots_[0] = {1, kVersionsOffset, kVersionsOffset + VersionSize(0), 0, u"Create", 0, 0};
}

void HistoryModel::Commit(uint32_t payloadTag, uint32_t payloadSize, uint32_t modifyID,
                          const std::u16string& comment, bool purge) {
    const uint32_t slot = NextSlot();
    const uint32_t start = Current().end;
    const uint32_t end = start + VersionSize(payloadSize);
    const uint32_t modifyCnt = Current().modifyCnt + 1;
    for (uint32_t i = 1; i < kSlotCount; ++i) {
        ModelVersion& other = slots_[i];
        if (i == slot || !other.modifyCnt) continue;
        const bool redo = other.modifyCnt > modifyCnt;
        const bool overwritten = other.offset < end && start < other.end;
        if (redo || overwritten) other = ModelVersion{};
    }
    slots_[slot] = {modifyCnt,  start,      end, modifyID, comment.substr(0, kCommentUnits),
                    payloadTag, payloadSize};
    current_ = slot;
    if (purge) Purge();
}

void HistoryModel::Purge() {
    if (current_ == 0) return;
    ModelVersion kept = slots_[current_];
    const uint32_t size = kept.end - kept.offset;
    kept.offset = kVersionsOffset;
    kept.end = kVersionsOffset + size;
    for (ModelVersion& slot : slots_) slot = ModelVersion{};
    slots_[0] = kept;
    current_ = 0;
}

bool HistoryModel::Select(uint32_t modifyCnt) {
    if (!modifyCnt) return false;
    for (uint32_t i = 0; i < kSlotCount; ++i) {
        if (slots_[i].modifyCnt == modifyCnt) {
            current_ = i;
            return true;
        }
    }
    return false;
}

bool HistoryModel::Has(uint32_t modifyCnt) const {
    if (!modifyCnt) return false;
    for (const ModelVersion& slot : slots_)
        if (slot.modifyCnt == modifyCnt) return true;
    return false;
}

unsigned HistoryModel::UndoCount() const {
    unsigned count = 0;
    for (const ModelVersion& slot : slots_)
        if (slot.modifyCnt && slot.modifyCnt < Current().modifyCnt) ++count;
    return count;
}

unsigned HistoryModel::RedoCount() const {
    unsigned count = 0;
    for (const ModelVersion& slot : slots_)
        if (slot.modifyCnt > Current().modifyCnt) ++count;
    return count;
}

std::vector<ModelVersion> HistoryModel::Listed() const {
    std::vector<ModelVersion> listed;
    for (const ModelVersion& slot : slots_)
        if (slot.modifyCnt) listed.push_back(slot);
    std::sort(listed.begin(), listed.end(), [](const ModelVersion& a, const ModelVersion& b) {
        return a.modifyCnt < b.modifyCnt;
    });
    return listed;
}

uint32_t HistoryModel::MaxEnd() const {
    uint32_t end = 0;
    for (const ModelVersion& slot : slots_)
        if (slot.modifyCnt) end = std::max(end, slot.end);
    return end;
}

std::string HistoryModel::Describe() const {
    std::string text;
    char line[96];
    for (uint32_t i = 0; i < kSlotCount; ++i) {
        const ModelVersion& slot = slots_[i];
        if (!slot.modifyCnt) continue;
        std::snprintf(line, sizeof line, "%sslot %u: mc %u [%u, %u)\n", i == current_ ? "*" : " ",
                      unsigned(i), unsigned(slot.modifyCnt), unsigned(slot.offset),
                      unsigned(slot.end));
        text += line;
    }
    return text;
}

}  // namespace qzo::test::store
