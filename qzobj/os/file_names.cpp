// CQZFile name operations: deleting, naming, moving, copying and renaming a closed file.
#include <cstring>
#include <string>

#include "qzobj/file.h"
#include "qzobj/os/file_handles.h"
#include "qzobj/pathkit.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"

namespace {

namespace platform = qzo::platform;

BOOL Refuse(DWORD error) {
    platform::SetLastError(error);
    return FALSE;
}

bool IsEmpty(const WCHAR* text) {
    return !text || text[0] == 0;
}

}  // namespace

BOOL CQZFile::Delete() {
    Close();
    COSAutoLock hold(m_csThread);
    if (m_szName[0] == 0) return Refuse(ERROR_INVALID_PARAMETER);
    return platform::DeleteFileUnlessOpen(m_szName) ? TRUE : FALSE;
}

BOOL CQZFile::Name(const WCHAR* newName) {
    COSAutoLock hold(m_csThread);
    if (IsOpen()) return Refuse(ERROR_ACCESS_DENIED);
    UINT failure = kOpened;
    if (!StoreName(newName, failure)) return FALSE;
    if (m_dwFlags & kNameRefused) return Refuse(ERROR_FILENAME_EXCED_RANGE);
    return TRUE;
}

BOOL CQZFile::Move(const WCHAR* newPath) {
    COSAutoLock hold(m_csThread);
    if (m_szName[0] == 0 || IsEmpty(newPath) || IsOpen()) return Refuse(ERROR_INVALID_PARAMETER);
    if (qzo::text::BoundedLength(newPath, MAX_PATH) >= MAX_PATH)
        return Refuse(ERROR_FILENAME_EXCED_RANGE);
    if (!platform::MoveFileUnlessOpen(m_szName, newPath)) return FALSE;
    qzo::text::Copy(m_szName, MAX_PATH, newPath);
    return TRUE;
}

BOOL CQZFile::Copy(const WCHAR* destination, BOOL failIfExists) {
    COSAutoLock hold(m_csThread);
    if (m_szName[0] == 0 || IsEmpty(destination) || IsOpen())
        return Refuse(ERROR_INVALID_PARAMETER);
    return platform::CopyFileShared(m_szName, destination, failIfExists != 0) ? TRUE : FALSE;
}

BOOL CQZFile::Rename(const WCHAR* newFileName) {
    std::u16string target;
    {
        COSAutoLock hold(m_csThread);
        if (m_szName[0] == 0 || IsEmpty(newFileName) || IsOpen())
            return Refuse(ERROR_INVALID_PARAMETER);
        const WCHAR* name = FU_FindFilenameC(m_szName);
        const size_t folderLength =
            name ? static_cast<size_t>(name - m_szName) : qzo::text::Length(m_szName);
        target.assign(m_szName, folderLength);
        target += std::u16string_view(newFileName, qzo::text::BoundedLength(newFileName, MAX_PATH));
    }
    // A longer path is refused, never cut.
    if (target.size() >= MAX_PATH) return Refuse(ERROR_FILENAME_EXCED_RANGE);
    return Move(target.c_str());
}
