// Shared helpers of the generator tests: a project folder per test, the counter file's bytes,
// and direct byte-range probes of "PRJ.IDS" that do not go through the library.
#pragma once

#include <cstdint>
#include <string>

#include "qzobj/diag.h"
#include "qzobj/project_ids.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace qzo::test::projectids {

// The four counter bytes of `value`, little-endian.
std::string CounterBytes(uint32_t value);
// The counter as stored; a file shorter than 4 bytes fails the test and gives 0.
uint32_t StoredCounter(const std::string& idsPath);

// Whether another handle holds a lock overlapping [offset, offset + length) of the file
// (probed with F_OFD_GETLK through a handle of its own).
bool RangeIsLocked(const std::string& path, uint64_t offset, uint64_t length);

// Holds the counter lock (bytes 0-3) through a descriptor of its own, like another process's
// generator in the middle of a read-modify-write.
class CounterLockHolder {
  public:
    explicit CounterLockHolder(const std::string& idsPath);
    ~CounterLockHolder();
    CounterLockHolder(const CounterLockHolder&) = delete;
    CounterLockHolder& operator=(const CounterLockHolder&) = delete;
    bool held() const { return held_; }

  private:
    int fd_ = -1;
    bool held_ = false;
};

using ScopedDebug = qzo::test::ScopedDebugOutput;

// A fixture with a project folder "<temp>/Proj" (created, holding no "PRJ.IDS" yet).
class ProjectIdsTest : public QzoTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // "<temp>/Proj" natively and as UTF-16 for the library.
    const std::string& Folder() const { return folder_; }
    const std::u16string& FolderW() const { return folderW_; }
    std::string IdsPath() const { return folder_ + "/PRJ.IDS"; }
    std::string IdsBytes() const { return ReadFileBytes(IdsPath()); }
    void WriteIds(const std::string& bytes) const { WriteFileBytes(IdsPath(), bytes); }

  private:
    std::string folder_;
    std::u16string folderW_;
};

}  // namespace qzo::test::projectids
