// COSFileChangeNotify: waits for changes of one file by watching its folder and comparing the
// file's directory entry with the one seen last, so that only the changes asked for end a wait.
#include <cstring>

#include "qzobj/pathkit.h"
#include "qzobj/platform/change_notify.h"
#include "qzobj/platform/find.h"
#include "qzobj/platform/kernel_objects.h"
#include "qzobj/threads.h"

namespace platform = qzo::platform;

namespace {

// The filter bits this class understands.
constexpr DWORD kKnownFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES |
                               FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;

size_t TextLength(const WCHAR* text, size_t limit) {
    size_t length = 0;
    while (length < limit && text[length] != 0) ++length;
    return length;
}

bool SameName(const WIN32_FIND_DATAW& a, const WIN32_FIND_DATAW& b) {
    return std::memcmp(a.cFileName, b.cFileName, sizeof a.cFileName) == 0;
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// The kinds of change between two entries of the same file, as filter bits.
DWORD ChangesBetween(const WIN32_FIND_DATAW& before, const WIN32_FIND_DATAW& now) {
    DWORD changes = 0;
    if (!SameName(before, now)) changes |= FILE_NOTIFY_CHANGE_FILE_NAME;
    if (before.dwFileAttributes != now.dwFileAttributes) changes |= FILE_NOTIFY_CHANGE_ATTRIBUTES;
    if (before.nFileSizeHigh != now.nFileSizeHigh || before.nFileSizeLow != now.nFileSizeLow)
        changes |= FILE_NOTIFY_CHANGE_SIZE;
    if (!SameTime(before.ftLastWriteTime, now.ftLastWriteTime))
        changes |= FILE_NOTIFY_CHANGE_LAST_WRITE;
    return changes;
}

bool HasEntry(const WIN32_FIND_DATAW& entry) {
    return entry.cFileName[0] != 0;
}

}  // namespace

COSFileChangeNotify::COSFileChangeNotify(const WCHAR* path, DWORD filter)
    : m_dwFilter(filter & kKnownFilter), m_szPath{}, m_LastEntry{} {
    if (m_dwFilter == 0 || path == nullptr) return;
    const size_t length = TextLength(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    std::memcpy(m_szPath, path, length * sizeof(WCHAR));
    FU_PATHPARTS parts{};
    if (!FU_ParsePath(m_szPath, &parts, 0) || (parts.szName[0] == 0 && parts.szExtension[0] == 0))
        return;
    // The folder part: the path up to its file name.
    WCHAR folder[MAX_PATH] = {};
    const WCHAR* name = FU_FindFilenameC(m_szPath);
    const size_t folderLength = name != nullptr ? size_t(name - m_szPath) : 0;
    if (folderLength == 0) {
        folder[0] = u'.';
    } else {
        std::memcpy(folder, m_szPath, folderLength * sizeof(WCHAR));
    }
    const platform::KernelHandle handle = platform::FindFirstChangeNotification(folder, m_dwFilter);
    if (handle == 0) return;
    m_hObject = platform::ToHandle(handle);
    if (!LookUpFile(m_LastEntry)) m_LastEntry = WIN32_FIND_DATAW{};
}

COSFileChangeNotify::~COSFileChangeNotify() {
    if (m_hObject == nullptr) return;
    platform::FindCloseChangeNotification(platform::FromHandle(m_hObject));
    m_hObject = nullptr;
}

bool COSFileChangeNotify::LookUpFile(WIN32_FIND_DATAW& entry) const {
    entry = WIN32_FIND_DATAW{};
    return platform::FileFind::First(m_szPath, entry) != nullptr;
}

DWORD COSFileChangeNotify::VerifyWaitSuccessful(DWORD result) {
    if (m_hObject == nullptr) return WAIT_FAILED;
    // Re-arm before looking, so that a change made after the look signals again.
    platform::FindNextChangeNotification(platform::FromHandle(m_hObject));
    WIN32_FIND_DATAW now;
    if (LookUpFile(now)) {
        const DWORD changes = ChangesBetween(m_LastEntry, now);
        m_LastEntry = now;
        return (changes & m_dwFilter) != 0 ? result : WAIT_TIMEOUT;
    }
    const bool disappeared = HasEntry(m_LastEntry);
    m_LastEntry = WIN32_FIND_DATAW{};
    return disappeared && (m_dwFilter & FILE_NOTIFY_CHANGE_FILE_NAME) != 0 ? result : WAIT_TIMEOUT;
}
