// Finding files by a pattern: the names in one folder that match a name pattern with '*' and
// '?', reported one at a time as WIN32_FIND_DATAW records.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qzobj/types.h"

namespace qzo::platform {

// True when `name` matches `pattern`: '*' any run, '?' one character, letters without case; a
// pattern ending in ".*" also matches names without an extension, so "*.*" matches every name.
bool MatchFileName(std::u16string_view pattern, std::u16string_view name);

// The matches of one search, taken when it started. Records carry the attribute word, times
// (creation: the birth time where kept, else the last-write time), size and name; the short
// name is empty. "." and ".." are reported first when they match.
//
// Thread safety: one search belongs to one thread at a time.
class FileFind {
  public:
    // Starts a search of "folder/pattern" (system path). Null when nothing matches
    // (ERROR_FILE_NOT_FOUND) or the folder is missing (ERROR_PATH_NOT_FOUND); otherwise `data`
    // holds the first match.
    static std::unique_ptr<FileFind> First(const WCHAR* pattern, WIN32_FIND_DATAW& data);
    // The next match; false with ERROR_NO_MORE_FILES after the last.
    bool Next(WIN32_FIND_DATAW& data);

  private:
    FileFind() = default;
    std::vector<WIN32_FIND_DATAW> matches_;
    size_t next_ = 0;
};

}  // namespace qzo::platform
