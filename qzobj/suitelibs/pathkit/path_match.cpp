// FU_GetFirstMatch: the first entry of a folder that matches a wildcard name, written over the
// pattern's name part within the caller's buffer.
#include <string>

#include "qzobj/pathkit.h"
#include "qzobj/platform/text.h"
#include "qzobj/suitelibs/pathkit/pathkit_internal.h"

using qzo::pathkit::Fail;

namespace {

// Remembers the first selected entry and stops the walk there.
class FirstMatch : public qzo::pathkit::Walker {
  public:
    bool Visit(const qzo::pathkit::WalkEntry& entry) override {
        name = entry.name;
        return false;
    }
    std::u16string name;
};

}  // namespace

BOOL FU_GetFirstMatchEx(WCHAR* pattern, size_t capacity, DWORD attributes, DWORD /*flags*/) {
    if (!pattern || capacity == 0) return Fail(ERROR_INVALID_PARAMETER);
    if (qzo::text::BoundedLength(pattern, capacity) == capacity)
        return Fail(ERROR_INVALID_PARAMETER);  // no terminator inside the buffer
    qzo::pathkit::PatternScope scope;
    if (!qzo::pathkit::OpenPattern(pattern, scope)) return FALSE;
    FirstMatch first;
    auto result =
        first.Run(scope.systemFolder, scope.nativeFolder, scope.namePattern, attributes, false);
    if (result == qzo::pathkit::WalkResult::Failed) return FALSE;
    if (result == qzo::pathkit::WalkResult::Completed) return Fail(ERROR_FILE_NOT_FOUND);
    // The folder part is kept exactly as the caller wrote it; only the name part changes.
    const size_t needed = scope.systemFolder.size() + first.name.size() + 1;
    if (needed > capacity) return Fail(ERROR_INSUFFICIENT_BUFFER);
    qzo::text::Copy(pattern + scope.systemFolder.size(), capacity - scope.systemFolder.size(),
                    first.name);
    return TRUE;
}

BOOL FU_GetFirstMatch(WCHAR* pattern, DWORD attributes, DWORD flags) {
    return FU_GetFirstMatchEx(pattern, MAX_PATH, attributes, flags);
}
