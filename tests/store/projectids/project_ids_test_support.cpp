// Helpers of the generator tests: the project folder fixture, counter bytes and raw lock probes.
#include "store/projectids/project_ids_test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qzobj/platform/file_faults.h"
#include "qzobj/platform/text.h"

namespace qzo::test::projectids {

std::string CounterBytes(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = char(uint8_t(value >> (8 * i)));
    return bytes;
}

uint32_t StoredCounter(const std::string& idsPath) {
    const std::string bytes = ReadFileBytes(idsPath);
    EXPECT_GE(bytes.size(), 4u) << idsPath;
    if (bytes.size() < 4) return 0;
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t(uint8_t(bytes[i])) << (8 * i);
    return value;
}

bool RangeIsLocked(const std::string& path, uint64_t offset, uint64_t length) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = off_t(offset);
    probe.l_len = off_t(length);
    const bool locked = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    close(fd);
    return locked;
}

CounterLockHolder::CounterLockHolder(const std::string& idsPath) {
    fd_ = open(idsPath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) return;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 4;
    held_ = fcntl(fd_, F_OFD_SETLK, &lock) == 0;
}

CounterLockHolder::~CounterLockHolder() {
    if (fd_ >= 0) close(fd_);
}

void ProjectIdsTest::SetUp() {
    QzoTest::SetUp();
    folder_ = TempPath("Proj");
    mkdir(folder_.c_str(), 0755);
    folderW_ = qzo::text::ToUtf16(folder_);
}

void ProjectIdsTest::TearDown() {
    qzo::platform::ClearFileFaults();
    QzoTest::TearDown();
}

}  // namespace qzo::test::projectids
