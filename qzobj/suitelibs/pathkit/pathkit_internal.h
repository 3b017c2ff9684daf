// Pieces shared by the pathkit functions: argument checks, splitting a path at its last
// separator, wildcard matching without case, attribute masks and folder walks.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "qzobj/platform/fs.h"
#include "qzobj/types.h"

namespace qzo::pathkit {

// Sets the last error and returns FALSE.
BOOL Fail(DWORD error);

// Case folding of path names: ASCII and Latin-1 letters, as names are looked up.
WCHAR FoldCase(WCHAR c);

// The number of leading characters that form a path's root: "X:" (plus one separator), one
// separator, or the two separators that open a server name.
size_t RootLength(std::u16string_view path);

// A path split behind its last separator: `folder` keeps that separator (or a drive "X:") and
// is empty for a bare name; `name` is what follows.
struct SplitPath {
    std::u16string folder;
    std::u16string name;
};
SplitPath SplitAtLastSeparator(std::u16string_view path);

// Reads a path argument: null fails with ERROR_INVALID_PARAMETER, 260 characters or more with
// ERROR_FILENAME_EXCED_RANGE.
bool ReadPathArgument(const WCHAR* path, std::u16string& out);

// Resolves the folder part of a split path; an empty part is the current folder.
bool ResolveFolder(std::u16string_view folder, std::string& native);

bool HasWildcards(std::u16string_view name);
// '*' matches any run, '?' any one character, letters without case. A pattern ending in ".*"
// also matches names without an extension, so "*.*" matches every name.
bool MatchWildcard(std::u16string_view pattern, std::u16string_view name);

// Whether an entry with `attributes` is selected by `mask`: folders (and hidden or system
// entries) only when the mask has their bit; plain and read-only files always.
bool AttributesSelected(DWORD attributes, DWORD mask);

// Appends a name to a folder given in system form, adding '/' when the folder needs one.
std::u16string JoinSystem(std::u16string_view folder, std::u16string_view name);
std::string JoinNative(const std::string& folder, const std::string& name);

// One entry met by a walk.
struct WalkEntry {
    std::u16string systemPath;  // the caller's folder spelling plus the entry's name
    std::string nativePath;
    std::u16string name;
    platform::DirectoryEntry entry;
    platform::FileStatus status;  // what the entry reaches (the link itself when dangling)
};

enum class WalkResult { Completed, Stopped, Failed };

// Visits, in sorted order, the entries of a folder whose names match `pattern` and whose
// attributes `mask` selects; with `recursive` it descends into every real subfolder (never
// through a link). The visitor returns false to stop. A folder that cannot be listed below
// the first fails the walk at its end, after the rest was visited.
class Walker {
  public:
    virtual ~Walker() = default;
    virtual bool Visit(const WalkEntry& entry) = 0;
    WalkResult Run(const std::u16string& systemFolder, const std::string& nativeFolder,
                   const std::u16string& pattern, DWORD mask, bool recursive);

  private:
    WalkResult Walk(const std::u16string& systemFolder, const std::string& nativeFolder);
    std::u16string pattern_;
    DWORD mask_ = 0;
    bool recursive_ = false;
    DWORD firstError_ = 0;
};

// Splits a pattern argument and resolves its folder: the name part defaults to "*".
struct PatternScope {
    std::u16string systemFolder;
    std::string nativeFolder;
    std::u16string namePattern;
};
bool OpenPattern(const WCHAR* pattern, PatternScope& scope);

// Fills a find-data record for an entry.
void FillFindData(const WalkEntry& entry, WIN32_FIND_DATAW& data);

}  // namespace qzo::pathkit
