// The saved list of registered projects: a little-endian count, then one 520-byte record per
// project (its whole szPath field) in bucket order. Saving replaces the file atomically;
// loading skips damaged records and registers the rest.
#include <cstring>
#include <optional>
#include <string>

#include "qzobj/mailslot.h"
#include "qzobj/pathkit.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/path.h"
#include "qzobj/store/project/prjloc_internal.h"

using namespace qzo::store::prjloc;
namespace platform = qzo::platform;

namespace {

constexpr size_t kRecordSize = sizeof(PRJLOCENTRY::szPath);
static_assert(kRecordSize == 520, "a list record is one szPath field");
constexpr size_t kLongestServerName = 15;

void AppendCount(std::string& bytes, DWORD count) {
    for (int i = 0; i < 4; ++i) bytes.push_back(char((count >> (8 * i)) & 0xFF));
}

// Whether a record may be registered: a path with a server part ("//NAME/" or "\\NAME\") only
// when the server is a known computer of the neighbourhood and the folder exists.
class ServerCheck {
  public:
    bool Allows(const WCHAR* path) {
        if (!platform::IsSeparator(path[0]) || !platform::IsSeparator(path[1])) return true;
        size_t length = 0;
        while (path[2 + length] && !platform::IsSeparator(path[2 + length])) ++length;
        if (length == 0 || length > kLongestServerName) return false;
        WCHAR server[kLongestServerName + 1] = {};
        std::memcpy(server, path + 2, length * sizeof(WCHAR));
        if (!neighbourhood_) neighbourhood_ = QZNET_GetNetworkNeighbourhood();
        if (neighbourhood_->Find(server) == 0xFFFFFFFFu) return false;
        return FU_TestDirExists(path) != FALSE;
    }

  private:
    std::optional<CPComputerList> neighbourhood_;
};

}  // namespace

BOOL PrjLocator::SaveRegisteredProjects(const WCHAR* file) {
    std::string native;
    if (!file || !platform::ResolvePath(file, native)) return FALSE;
    std::string bytes;
    DWORD count = 0;
    {
        Directory& dir = Dir();
        COSAutoLock lock(dir.cs);
        std::string records;
        for (DWORD bucket = 0; bucket < kBucketCount; ++bucket) {
            for (PRJLOCENTRY* entry = dir.buckets[bucket]; entry; entry = entry->pNext) {
                records.append(reinterpret_cast<const char*>(entry->szPath), kRecordSize);
                ++count;
            }
        }
        AppendCount(bytes, count);
        bytes += records;
    }
    // Written to a temporary file and renamed over the old list: a failure keeps the old one.
    if (!platform::ReplaceFileContent(native, bytes)) return FALSE;
    return count != 0 ? TRUE : FALSE;
}

BOOL PrjLocator::LoadRegisteredProjects(const WCHAR* file) {
    if (!file) return FALSE;
    auto list = platform::File::Open(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    if (!list) return FALSE;
    unsigned char countBytes[4] = {};
    DWORD got = 0;
    if (!list->Read(countBytes, 4, got) || got != 4) return FALSE;
    const DWORD count = DWORD(countBytes[0]) | DWORD(countBytes[1]) << 8 |
                        DWORD(countBytes[2]) << 16 | DWORD(countBytes[3]) << 24;
    ServerCheck servers;
    for (DWORD i = 0; i < count; ++i) {
        WCHAR record[MAX_PATH];
        if (!list->Read(record, DWORD(kRecordSize), got) || got != kRecordSize) return FALSE;
        size_t length = 0;
        while (length < MAX_PATH && record[length]) ++length;
        if (length == 0 || length == MAX_PATH) continue;  // no terminator, or nothing: damaged
        if (servers.Allows(record)) RegisterProject(record, FALSE);
    }
    return TRUE;
}
