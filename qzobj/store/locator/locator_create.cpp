// Creating persistent objects: temporary ones in memory, and disk objects with their object
// file (header, empty history, first version), class folder and class reference file.
#include <string>
#include <vector>

#include "qzobj/archive/debug_print.h"
#include "qzobj/file_modes.h"
#include "qzobj/frame/startup.h"
#include "qzobj/persistent.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/path.h"
#include "qzobj/project_ids.h"
#include "qzobj/store/locator/locator_core.h"
#include "qzobj/store/locator/locator_life.h"
#include "qzobj/store/objfile/locator_index_io.h"
#include "qzobj/strings.h"

using qzo::store::DebugPrint;
using qzo::store::LocatorCore;
using qzo::store::LocatorCounter;
using qzo::store::LocatorLife;
using qzo::store::LocatorTimer;
namespace fmt = qzo::store::object_file_format;
namespace index_io = qzo::store::index_io;

namespace {

constexpr int kFailureLevel = 3;
constexpr UINT kCreateCommentID = 3;
constexpr DWORD kCreateAccess = LOCATOR_ACCESS_RWE;
constexpr DWORD kTemporaryAttribute = 0x100;
constexpr DWORD kDestroyTimeout = 1000;
const char16_t kDigits[] = u"0123456789ABCDEF";

std::u16string Hex8(DWORD value) {
    std::u16string text(8, u'0');
    for (int i = 0; i < 8; ++i) text[size_t(i)] = kDigits[(value >> (28 - 4 * i)) & 0xF];
    return text;
}

bool HasDefaultProject() {
    const DWORD project = LocatorCore::DefProjID();
    return !(project & LOCATION_INVALID_BITS) && LocatorCore::ProjectPath(project) != nullptr;
}

bool IsCreatableClass(const CQZRuntimeClass* record) {
    return record && record->pfnCreateObject && !(record->dwFlags & QZRTC_NOTCREATABLE) &&
           record->IsKindOf(&classCQZObject);
}

// "<project>OBJ/<class>/", the folder of a class's object files.
std::u16string ClassFolder(DWORD projectID, DWORD hashID) {
    const WCHAR* project = LocatorCore::ProjectPath(projectID);
    if (!project) return {};
    return std::u16string(project) + u"OBJ/" + Hex8(hashID) + u"/";
}

// Writes "<class name>.Classname" (the class's heritage record) into the class folder unless a
// 548-byte one is there.
void WriteClassReference(const std::u16string& folder, const CQZRuntimeClass* record) {
    std::u16string name = folder;
    for (const char* at = record->szClassName; *at && at < record->szClassName + 32; ++at)
        name += char16_t(static_cast<unsigned char>(*at));
    name += u".Classname";
    std::string native;
    if (!qzo::platform::ResolvePath(name, native)) return;
    qzo::platform::FileStatus status;
    if (qzo::platform::GetFileStatus(native, status) && status.size == OBJHERITAGE_SIZE) return;
    tagOBJHERITAGE heritage;
    heritage.Set(record);
    std::string bytes(OBJHERITAGE_SIZE, '\0');
    fmt::EncodeHeritage(heritage, reinterpret_cast<BYTE*>(bytes.data()));
    qzo::platform::ReplaceFileContent(native, bytes);
}

// The classes a header names: the class and its bases, at most four, ending with the library's
// root persistent class.
unsigned HeritageChain(const CQZRuntimeClass* record, const CQZRuntimeClass** chain) {
    unsigned count = 0;
    for (const CQZRuntimeClass* at = record; at && count < fmt::kClassRecordCount;
         at = at->pBaseClass) {
        chain[count++] = at;
        if (at == &classCQZObject) break;
    }
    return count;
}

bool WriteFreshHeader(LocFile& file, const Location& location, const CQZRuntimeClass* record) {
    const CQZRuntimeClass* chain[fmt::kClassRecordCount] = {};
    const unsigned count = HeritageChain(record, chain);
    const fmt::ObjectFileHeader header = fmt::NewHeader(location, chain, count);
    const fmt::HistoryIndex index = fmt::NewIndex(record->dwFlags);
    std::vector<BYTE> bytes(fmt::kNTOffset);
    fmt::EncodeHeader(header, *reinterpret_cast<fmt::HeaderBytes*>(bytes.data()));
    fmt::EncodeIndex(index, *reinterpret_cast<fmt::IndexBytes*>(bytes.data() + fmt::kIndexOffset));
    if (!index_io::WriteAt(file, 0, bytes.data(), DWORD(bytes.size()))) return false;
    index_io::CacheIndex(file, index);
    index_io::SelectSlot(file, index, fmt::kNoSlot);
    return true;
}

bool ParseHex8(const std::string& text, DWORD& value) {
    value = 0;
    for (char c : text) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1;
        if (digit < 0) return false;
        value = value << 4 | DWORD(digit);
    }
    return true;
}

// The object at `objID` of the working project, if one has a file there.
bool FindInDefaultProject(DWORD objID, Location& found) {
    const DWORD project = LocatorCore::DefProjID();
    const WCHAR* root = LocatorCore::ProjectPath(project);
    if (!root) return false;
    std::string objFolder;
    if (!qzo::platform::ResolvePath(std::u16string(root) + u"OBJ", objFolder)) return false;
    std::vector<qzo::platform::DirectoryEntry> classes;
    if (!qzo::platform::ListDirectory(objFolder, classes)) return false;
    std::string fileName;
    for (char16_t unit : Hex8(objID)) fileName += char(unit);
    fileName += ".QZO";
    for (const auto& entry : classes) {
        if (!entry.isDirectory || entry.name.size() != 8) continue;
        DWORD hashID = 0;
        if (!ParseHex8(entry.name, hashID)) continue;
        const std::string folder = objFolder + "/" + entry.name;
        if (!qzo::platform::PathExists(qzo::platform::ResolveNameInFolder(folder, fileName)))
            continue;
        found.Init();
        found.dwHashID = hashID;
        found.dwObjID = objID;
        found.dwProjID = project;
        return true;
    }
    return false;
}

}  // namespace

namespace qzo::store {

// Creates the object file of `self` (the object's self-locator, location already set) and makes
// it self's open file. False with the location cleared on failure.
static bool CreateDiskImage(Locator& self, CQZRuntimeClass* record, DWORD flags) {
    Location& where = LocatorLife::Where(self);
    WCHAR path[MAX_PATH] = {};
    if (!self.GetObjectPath(path)) {
        DebugPrint(kFailureLevel, u"\rLocator::CreateDiskImage: No path available\r\n");
        where.Init();
        return false;
    }
    DWORD fileFlags = FILE_FLAG_RANDOM_ACCESS;
    if (LocatorCore::WritebackPriority() == 2) fileFlags |= FILE_FLAG_WRITE_THROUGH;
    if (flags & LOCATOR_CREATE_SHORTTERM) fileFlags |= kTemporaryAttribute;

    const std::u16string folder = ClassFolder(where.dwProjID, where.dwHashID);
    std::string nativeFolder;
    const bool folderThere = qzo::platform::ResolvePath(folder, nativeFolder) &&
                             qzo::platform::IsDirectory(nativeFolder);
    if (!folderThere) qzo::platform::CreateDirectories(nativeFolder);
    WriteClassReference(folder, record);

    LocFile* file = LocFile::Open(path, kCreateAccess, FILE_SHARE_READ, CREATE_NEW, fileFlags);
    if (!file) {
        if (qzo::platform::GetLastError() == ERROR_FILE_EXISTS)
            DebugPrint(kFailureLevel, u"\rLocator::CreateDiskImage: Obj already exists %s\r\n",
                       path);
        DebugPrint(kFailureLevel, u"\rLocator::CreateDiskImage: Unable to create file\r\n%s\r\n",
                   path);
        where.Init();
        return false;
    }
    LocatorLife::File(self) = file;
    LocatorLife::Class(self) = record;
    LocatorLife::SetFlags(self, LOCATOR_SELFLOCATOR, LOCATOR_SELFLOCATOR);
    return true;
}

// Closes and deletes a file made by a creation that did not finish (our delete refuses open
// files, so the close comes first); the locator is cleared.
static void DiscardDiskImage(Locator& self) {
    WCHAR path[MAX_PATH] = {};
    const bool named = self.GetObjectPath(path) != FALSE;
    if (LocFile*& file = LocatorLife::File(self)) {
        file->Close();
        file = nullptr;
    }
    if (named) qzo::platform::DeleteFileUnlessOpen(path);
    LocatorLife::Where(self).Init();
    LocatorLife::Class(self) = nullptr;
}

bool LocatorLife::CreateDiskObject(CQZObject& object, CQZRuntimeClass* record, DWORD objID,
                                   DWORD flags) {
    LSetStringW(object.m_szUndoComment, u"Create", int(QZOBJ_COMMENT_UNITS),
                qzo::frame::LibraryInstance(), kCreateCommentID);
    Locator& self = object.m_Locator;
    if (!HasDefaultProject()) {
        DebugPrint(kFailureLevel,
                   u"\rLocator::CreateDiskImage: Project does not have edit access\r\n");
        return false;
    }
    if (objID == 0) {
        CProjUniID* generator = LocatorCore::UIDGen();
        if (!generator) {
            DebugPrint(kFailureLevel, u"\rLocator::CreateDiskImage: No ID generator available\r\n");
            return false;
        }
        objID = generator->GetNextID();
        if (objID == LOCATION_NO_OBJID) {
            DebugPrint(kFailureLevel, u"\rLocator::CreateDiskImage: No OBJID available\r\n");
            return false;
        }
    }
    Location& where = self.m_Location;
    where.Init();
    where.dwHashID = record->dwHashID;
    where.dwObjID = objID;
    where.dwProjID = LocatorCore::DefProjID();
    where.dwDataID = record->dwDataID;
    if (!CreateDiskImage(self, record, flags)) {
        DebugPrint(kFailureLevel, u"\rLocator::CreateDiskObject: Could not create object file\r\n");
        return false;
    }
    if (flags & LOCATOR_CREATE_STATIC) self.SetFlags(LOCATOR_STATIC, LOCATOR_STATIC);
    if (!WriteFreshHeader(*self.m_pFile, where, record)) {
        DebugPrint(kFailureLevel, u"\rLocator::CreateDiskObject: Could not write header\r\n");
        DiscardDiskImage(self);
        return false;
    }
    if (!object.Commit(LOCATOR_COMMIT_SILENT)) {
        DebugPrint(kFailureLevel, u"\rLocator::CreateObject: Could not commit object\r\n");
        DiscardDiskImage(self);
        return false;
    }
    return true;
}

void LocatorLife::MakeTemporary(CQZObject& object, CQZRuntimeClass* record) {
    Locator& self = object.m_Locator;
    Location& where = self.m_Location;
    const DWORD project = LocatorCore::DefProjID();
    where.Init();
    where.dwHashID = record->dwHashID;
    where.dwObjID = 0;
    where.dwProjID = (project & LOCATION_INVALID_BITS) ? 0 : project;
    where.dwDataID = record->dwDataID;
    self.m_pClass = record;
    self.SetMode(0);
    const DWORD marks = LOCATOR_SELFLOCATOR | LOCATOR_TEMPORARY | LOCATOR_VIRTUAL;
    self.SetFlags(marks, marks);
}

CQZObject* LocatorLife::Create(Locator& locator, DWORD objID, CQZRuntimeClass* record,
                               DWORD flags) {
    if ((locator.QueryFlags() & LOCATOR_SELFLOCATOR) || !IsCreatableClass(record)) {
        DebugPrint(kFailureLevel, u"\rLocator::CreateObject: Invalid class reference\r\n");
        return nullptr;
    }
    const bool temporary =
        (flags & LOCATOR_CREATE_TEMPORARY) || !(record->dwFlags & QZRTC_PERSISTENT);
    if (!temporary && !HasDefaultProject()) {
        DebugPrint(kFailureLevel,
                   u"\rLocator::CreateObject: Attempt to create non-temporary object without "
                   u"default project\r\n");
        return nullptr;
    }
    locator.Init();
    LocatorTimer timer(LocatorCounter::kCreate);
    CQZObject* object = static_cast<CQZObject*>(record->pfnCreateObject());
    if (!object) {
        DebugPrint(kFailureLevel, u"\rLocator::CreateObject: Object could not be created\r\n");
        return nullptr;
    }
    if (temporary) {
        MakeTemporary(*object, record);
    } else if (!CreateDiskObject(*object, record, objID, flags)) {
        object->DelObject();
        return nullptr;
    }
    locator.m_Location = object->m_Locator.m_Location;
    locator.m_Location.dwFlags &= ~(LOCATOR_SELFLOCATOR | LOCATION_MODE_MASK);
    locator.m_pClass = record;
    if (!temporary) {
        object->m_Locator.SetRWTrace();
        LocatorCore::NotifyState(object, LOCATOR_NOTIFY_CREATED, 0);
    }
    return object;
}

}  // namespace qzo::store

CQZObject* Locator::CreateObject(CQZRuntimeClass* record, DWORD flags) {
    return LocatorLife::Create(*this, 0, record, flags);
}

CQZObject* Locator::CreateObjectAt(DWORD objID, CQZRuntimeClass* record, DWORD flags) {
    // Placing at a given ID: the object that has it now goes for good first.
    Invalidate();
    if (objID == 0 || !HasDefaultProject()) return nullptr;
    Location existing;
    if (FindInDefaultProject(objID, existing)) {
        Locator old(existing);
        DestroyLocator(old, 1);
        if (old.QueryUndestroy()) return nullptr;
    }
    return LocatorLife::Create(*this, objID, record, flags);
}
