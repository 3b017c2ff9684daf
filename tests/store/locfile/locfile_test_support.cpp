// Helpers of the object file tests.
#include "store/locfile/locfile_test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qzobj/platform/file.h"

namespace qzo::test::locfile {

long long LastWriteNs(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1;
    return st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
}

void SetTimesNs(const std::string& path, long long lastAccess, long long lastWrite) {
    struct timespec times[2] = {{lastAccess / 1000000000LL, lastAccess % 1000000000LL},
                                {lastWrite / 1000000000LL, lastWrite % 1000000000LL}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

long long FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

bool ByteIsFree(const std::string& path, DWORD offset) {
    auto file = platform::File::Open(Wide(path).c_str(), GENERIC_READ, kShareAll, OPEN_EXISTING, 0);
    if (!file) return false;
    const bool free = file->Lock(offset, 1);
    if (free) file->Unlock(offset, 1);
    return free;
}

void LocFileTest::SetUp() {
    QzoTest::SetUp();
    path_ = TempPath("obj.qzo");
    original_.resize(3000);
    for (size_t i = 0; i < original_.size(); ++i) original_[i] = static_cast<char>(i * 7 + 1);
    WriteFileBytes(path_, original_);
    SetTimesNs(path_, kOldAccess, kOldWrite);
}

LocFile* LocFileTest::OpenWriter(DWORD share) {
    return LocFile::Open(Wide(path_).c_str(), kReadWrite, share, OPEN_EXISTING, 0);
}

LocFile* LocFileTest::OpenReader() {
    return LocFile::Open(Wide(path_).c_str(), kRead, kShareAll, OPEN_EXISTING, 0);
}

std::string LocFileTest::Content() const {
    return ReadFileBytes(path_);
}

}  // namespace qzo::test::locfile
