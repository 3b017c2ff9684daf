// The pathkit functions that visit the entries matching a pattern: enumeration with a
// callback, totals of file sizes, and deleting matching files.
#include <string>

#include "qzobj/pathkit.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/suitelibs/pathkit/pathkit_internal.h"

using qzo::pathkit::Fail;
using qzo::pathkit::PatternScope;
using qzo::pathkit::WalkEntry;
using qzo::pathkit::WalkResult;

namespace {

constexpr DWORD kErrorCancelled = 1223;  // the callback ended the walk

// Hands every selected entry to the caller's callback. A callback that throws ends the walk
// as a failure; nothing escapes into the caller of FU_EnumDirectory.
class CallbackWalk : public qzo::pathkit::Walker {
  public:
    CallbackWalk(FU_ENUMPROC callback, uintptr_t context)
        : callback_(callback), context_(context) {}
    bool Visit(const WalkEntry& entry) override {
        WIN32_FIND_DATAW data;
        qzo::pathkit::FillFindData(entry, data);
        try {
            return callback_(entry.systemPath.c_str(), &data, context_) != FALSE;
        } catch (...) {
            return false;
        }
    }

  private:
    FU_ENUMPROC callback_;
    uintptr_t context_;
};

class SizeTotal : public qzo::pathkit::Walker {
  public:
    bool Visit(const WalkEntry& entry) override {
        total += entry.status.size;
        ++count;
        return true;
    }
    ULONGLONG total = 0;
    DWORD count = 0;
};

// Deletes each selected file, noting the first failure and going on.
class FileDeletion : public qzo::pathkit::Walker {
  public:
    bool Visit(const WalkEntry& entry) override {
        if (!qzo::platform::DeleteFile(entry.nativePath) && firstError == ERROR_SUCCESS)
            firstError = qzo::platform::GetLastError();
        return true;
    }
    DWORD firstError = ERROR_SUCCESS;
};

}  // namespace

BOOL FU_EnumDirectory(FU_ENUMPROC callback, const WCHAR* pattern, DWORD attributeMask, DWORD flags,
                      uintptr_t context) {
    if (!callback || !pattern) return Fail(ERROR_INVALID_PARAMETER);
    PatternScope scope;
    if (!qzo::pathkit::OpenPattern(pattern, scope)) return FALSE;
    CallbackWalk walk(callback, context);
    WalkResult result = walk.Run(scope.systemFolder, scope.nativeFolder, scope.namePattern,
                                 attributeMask, (flags & FU_ENUM_RECURSIVE) != 0);
    if (result == WalkResult::Stopped) return Fail(kErrorCancelled);
    return result == WalkResult::Completed ? TRUE : FALSE;
}

BOOL FU_ScanDir(const WCHAR* pattern, DWORD flags, ULONGLONG* totalSize, DWORD* fileCount) {
    if (!pattern || !totalSize || !fileCount) return Fail(ERROR_INVALID_PARAMETER);
    PatternScope scope;
    if (!qzo::pathkit::OpenPattern(pattern, scope)) return FALSE;
    SizeTotal totals;
    WalkResult result = totals.Run(scope.systemFolder, scope.nativeFolder, scope.namePattern, 0,
                                   (flags & FU_ENUM_RECURSIVE) != 0);
    *totalSize = totals.total;
    *fileCount = totals.count;
    return result == WalkResult::Completed ? TRUE : FALSE;
}

BOOL FU_DeleteFiles(const WCHAR* pattern) {
    PatternScope scope;
    if (!qzo::pathkit::OpenPattern(pattern, scope)) return FALSE;
    FileDeletion deletion;
    WalkResult result =
        deletion.Run(scope.systemFolder, scope.nativeFolder, scope.namePattern, 0, false);
    if (result != WalkResult::Completed) return FALSE;
    return deletion.firstError == ERROR_SUCCESS ? TRUE : Fail(deletion.firstError);
}
