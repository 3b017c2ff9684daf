// The pathkit functions that work on path text alone: formatting, splitting, comparing and
// finding the parts of a path.
#include <algorithm>
#include <string>

#include "qzobj/pathkit.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/text.h"
#include "qzobj/suitelibs/pathkit/pathkit_internal.h"

using qzo::pathkit::Fail;
using qzo::pathkit::RootLength;
using qzo::platform::IsSeparator;

namespace {

// Every separator becomes `separator` ('/' for 0). With a separator the path ends in exactly
// one; with 0 it ends in none. A root ("/", "X:/", the server opening "//") is never removed,
// and an empty path stays empty rather than becoming the root.
std::u16string FormatText(std::u16string_view path, WCHAR separator) {
    std::u16string formatted(path);
    const WCHAR replacement = separator ? separator : u'/';
    std::replace_if(
        formatted.begin(), formatted.end(), [](WCHAR c) { return IsSeparator(c); }, replacement);
    if (formatted.empty()) return formatted;
    const size_t root = RootLength(formatted);
    while (formatted.size() > root && IsSeparator(formatted.back())) formatted.pop_back();
    if (separator && !IsSeparator(formatted.back())) formatted += separator;
    return formatted;
}

// The comparable form of a path: folded case, '/' separators, runs of separators as one
// (the server opening "//" kept), no trailing separator beyond the root.
std::u16string ComparableText(const WCHAR* path) {
    std::u16string_view view(path, qzo::text::Length(path));
    const size_t root = RootLength(view);
    std::u16string canonical;
    canonical.reserve(view.size());
    for (size_t i = 0; i < view.size(); ++i) {
        if (IsSeparator(view[i])) {
            if (i >= root && !canonical.empty() && canonical.back() == u'/') continue;
            canonical += u'/';
        } else {
            canonical += qzo::pathkit::FoldCase(view[i]);
        }
    }
    const size_t keep = RootLength(canonical);
    while (canonical.size() > keep && canonical.back() == u'/') canonical.pop_back();
    return canonical;
}

// Length of the "X:" or "\\server\share" opening of a path (0 when there is none).
size_t PrefixLength(std::u16string_view path) {
    if (qzo::platform::HasDrivePrefix(path)) return 2;
    if (path.size() < 2 || !IsSeparator(path[0]) || !IsSeparator(path[1])) return 0;
    size_t server = 2;
    while (server < path.size() && !IsSeparator(path[server])) ++server;
    size_t share = server + 1;
    while (share < path.size() && !IsSeparator(path[share])) ++share;
    return share > server + 1 && share <= path.size() ? share : server;
}

// Index of the file-name part: behind the last separator, or behind a drive.
size_t FilenameIndex(std::u16string_view path) {
    size_t last = path.find_last_of(u"/\\");
    if (last != std::u16string_view::npos) return last + 1;
    return qzo::platform::HasDrivePrefix(path) ? 2 : 0;
}

// Index of the extension's "." inside the path, or npos.
size_t ExtensionIndex(std::u16string_view path) {
    size_t name = FilenameIndex(path);
    std::u16string_view part = path.substr(name);
    if (part.empty() || part == u"." || part == u"..") return std::u16string_view::npos;
    size_t dot = part.rfind(u'.');
    return dot == std::u16string_view::npos ? dot : name + dot;
}

}  // namespace

BOOL FU_FormatPathEx(WCHAR* path, size_t capacity, WCHAR separator) {
    if (!path || capacity == 0) return Fail(ERROR_INVALID_PARAMETER);
    if (separator != 0 && !IsSeparator(separator)) return Fail(ERROR_INVALID_PARAMETER);
    const size_t length = qzo::text::BoundedLength(path, capacity);
    if (length == capacity) return Fail(ERROR_INVALID_PARAMETER);  // no terminator in the buffer
    const std::u16string formatted = FormatText({path, length}, separator);
    if (formatted.size() + 1 > capacity) return Fail(ERROR_INSUFFICIENT_BUFFER);
    qzo::text::Copy(path, capacity, formatted);
    return TRUE;
}

BOOL FU_FormatPath(WCHAR* path, WCHAR separator) {
    return FU_FormatPathEx(path, MAX_PATH, separator);
}

BOOL FU_ParsePath(const WCHAR* path, FU_PATHPARTS* parts, DWORD /*flags*/) {
    if (!path || !parts) return Fail(ERROR_INVALID_PARAMETER);
    const size_t length = qzo::text::BoundedLength(path, MAX_PATH);
    if (length >= MAX_PATH) return Fail(ERROR_FILENAME_EXCED_RANGE);
    const std::u16string_view view(path, length);
    const size_t prefix = PrefixLength(view);
    const size_t name = std::max(FilenameIndex(view), prefix);
    const size_t extension = ExtensionIndex(view);
    const size_t nameEnd =
        extension == std::u16string_view::npos || extension < name ? length : extension;
    qzo::text::Copy(parts->szPrefix, MAX_PATH, view.substr(0, prefix));
    qzo::text::Copy(parts->szDirectory, MAX_PATH, view.substr(prefix, name - prefix));
    qzo::text::Copy(parts->szName, MAX_PATH, view.substr(name, nameEnd - name));
    qzo::text::Copy(parts->szExtension, MAX_PATH, view.substr(nameEnd));
    return TRUE;
}

int FU_PathCompare(const WCHAR* path1, const WCHAR* path2) {
    if (!path1 || !path2) {
        Fail(ERROR_INVALID_PARAMETER);
        return path1 == path2 ? 0 : (path1 ? 1 : -1);
    }
    const std::u16string a = ComparableText(path1), b = ComparableText(path2);
    int order = a.compare(b);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

const WCHAR* FU_FindFilenameC(const WCHAR* path) {
    if (!path) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string_view view(path, qzo::text::Length(path));
    size_t index = FilenameIndex(view);
    return index < view.size() ? path + index : nullptr;
}

WCHAR* FU_FindFilename(WCHAR* path) {
    return const_cast<WCHAR*>(FU_FindFilenameC(path));
}

WCHAR* FU_FindLastSeparator(WCHAR* path) {
    if (!path) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string_view view(path, qzo::text::Length(path));
    size_t last = view.find_last_of(u"/\\");
    return last == std::u16string_view::npos ? nullptr : path + last;
}

const WCHAR* FU_FindExtensionC(const WCHAR* path) {
    if (!path) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    size_t index = ExtensionIndex(std::u16string_view(path, qzo::text::Length(path)));
    return index == std::u16string_view::npos ? nullptr : path + index;
}

WCHAR* FU_FindExtension(WCHAR* path) {
    return const_cast<WCHAR*>(FU_FindExtensionC(path));
}

BOOL FU_RemoveFilename(WCHAR* path) {
    if (!path) return Fail(ERROR_INVALID_PARAMETER);
    path[FilenameIndex(std::u16string_view(path, qzo::text::Length(path)))] = 0;
    return TRUE;
}
