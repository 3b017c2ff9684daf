// Reading an object file's header and history and finding the stored class (registered, or
// loaded from its recorded library), and the locator's class queries built on it.
#include <cstring>
#include <string>
#include <vector>

#include "qzobj/archive/debug_print.h"
#include "qzobj/persistent.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/text.h"
#include "qzobj/store/locator/locator_core.h"
#include "qzobj/store/locator/locator_life.h"
#include "qzobj/store/objfile/locator_index_io.h"

namespace qzo::store {
namespace {

namespace fmt = object_file_format;

constexpr int kRefusalLevel = 3;
constexpr int kNoticeLevel = 5;
constexpr DWORD kQueryTimeout = 1000;

void ReportRefusal(fmt::FileVerdict verdict, DWORD objID) {
    switch (verdict) {
        case fmt::FileVerdict::kBadMagic:
        case fmt::FileVerdict::kBadHeaderSize:
            DebugPrint(kRefusalLevel,
                       u"\rCQZRuntimeClass::CheckClassPresence: OFH versioning detected\r\n");
            break;
        case fmt::FileVerdict::kBadIndexSize:
            DebugPrint(kRefusalLevel,
                       u"\rCQZRuntimeClass::CheckClassPresence: History versioning detected\r\n");
            break;
        default:
            DebugPrint(kRefusalLevel, u"\rLocator %08x: Object file refused (%hs)\r\n", objID,
                       fmt::VerdictText(verdict));
            break;
    }
}

// Reads header and index; the verdict judges them against the file's length (a live writer's
// access record at the end only adds to it).
fmt::HistoryCheck ReadRecords(LocFile& file, fmt::ObjectFileHeader& header,
                              fmt::HistoryIndex& index) {
    std::vector<BYTE> bytes(fmt::kNTOffset);
    uint64_t length = 0;
    bool complete;
    {
        LocatorTimer timer(LocatorCounter::kReadOFH);
        complete = index_io::FileLength(file, length) &&
                   index_io::ReadAt(file, 0, bytes.data(), fmt::kHeaderSize);
    }
    if (complete) {
        LocatorTimer timer(LocatorCounter::kReadHist);
        complete = index_io::ReadAt(file, fmt::kIndexOffset, bytes.data() + fmt::kIndexOffset,
                                    fmt::kIndexSize);
    }
    if (!complete) return fmt::HistoryCheck{};
    const fmt::HistoryCheck check =
        fmt::ReadHistory(bytes.data(), bytes.size(), length, header, index);
    if (check.IsUsable())
        std::memcpy(file.m_HistoryIndex, bytes.data() + fmt::kIndexOffset, fmt::kIndexSize);
    return check;
}

// The class of one heritage record: registered, or made known by loading its library.
CQZRuntimeClass* ClassOfRecord(const tagOBJHERITAGE& record, bool& libraryLoaded) {
    const GUID guid = record.GetClassGUID();
    const DWORD hashID = record.GetClassHashID();
    if (CQZRuntimeClass* found = CQZRuntimeClass::GetClassPtr(&guid, hashID)) return found;
    WCHAR path[OBJHERITAGE_DLLPATH_BUFFER] = {};
    if (!record.GetDLLPath(path, OBJHERITAGE_DLLPATH_BUFFER)) return nullptr;
    if (CQZRuntimeClass::IsClassLibraryLoaded(path)) return nullptr;
    if (!CQZRuntimeClass::LoadClassLibrary(path, FALSE)) return nullptr;
    libraryLoaded = true;
    return CQZRuntimeClass::GetClassPtr(&guid, hashID);
}

void FindStoredClass(Locator& locator, const fmt::ObjectFileHeader& header, ClassReading& reading) {
    for (DWORD level = 0; level < fmt::kClassRecordCount; ++level) {
        const tagOBJHERITAGE& record = header.classes[level];
        if (record.IsEmpty()) break;
        CQZRuntimeClass* found = ClassOfRecord(record, reading.libraryLoaded);
        if (!found) continue;
        reading.record = found;
        if (level > 0) {
            reading.baseClassOnly = true;
            LocatorLife::SetFlags(locator, LOCATOR_BASECLASSONLY, LOCATOR_BASECLASSONLY);
            DebugPrint(kNoticeLevel, u"\rLocator: Baseclass reconstruction only (level %d) %ls\r\n",
                       int(level), header.classes[0].szDLLPath);
        }
        return;
    }
}

}  // namespace

ClassReading LocatorLife::CheckClassPresence(Locator& locator, bool historyOnly) {
    ClassReading reading;
    LocFile* file = locator.m_pFile;
    if (!file) return reading;
    fmt::ObjectFileHeader header;
    fmt::HistoryIndex index;
    const fmt::HistoryCheck check = ReadRecords(*file, header, index);
    reading.verdict = check.verdict;
    if (!check.IsUsable()) {
        ReportRefusal(check.verdict, locator.m_Location.dwObjID);
        index_io::SelectSlot(*file, index, fmt::kNoSlot);
        return reading;
    }
    reading.storedLocation = header.location;
    index_io::SelectSlot(*file, index, index.header.dwCurrent);
    if (file->GetAccess() & LocFile::kWrite) RepairTail(locator);
    if (historyOnly) {
        reading.record = &classCQZObject;
        return reading;
    }
    FindStoredClass(locator, header, reading);
    if (reading.record) locator.m_pClass = reading.record;
    return reading;
}

HistoryView LocatorLife::CachedHistory(Locator& locator) {
    HistoryView view;
    LocFile* file = locator.m_pFile;
    if (!file) return view;
    view.index = index_io::CachedIndex(*file);
    uint64_t length = 0;
    if (!index_io::FileLength(*file, length)) return view;
    // The header was judged when the image was read; only the index is judged again here.
    fmt::ObjectFileHeader header;
    for (tagOBJHERITAGE& record : header.classes) record.Init();
    view.check = fmt::CheckHistory(header, view.index, length);
    return view;
}

}  // namespace qzo::store

using qzo::store::LocatorCore;
using qzo::store::LocatorLife;

namespace {

constexpr DWORD kClassNameUnits = 32;
const char kClassNameSuffix[] = ".Classname";

bool SameWithoutCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return i == a.size() && !b[i];
}

// Reads "<name>.Classname" in `folder`: the name and the heritage record. False when none.
bool ReadClassReference(const std::string& folder, std::string& name, tagOBJHERITAGE& record) {
    std::vector<qzo::platform::DirectoryEntry> entries;
    if (!qzo::platform::ListDirectory(folder, entries)) return false;
    const size_t suffix = sizeof(kClassNameSuffix) - 1;
    for (const auto& entry : entries) {
        if (entry.isDirectory || entry.name.size() <= suffix) continue;
        const std::string tail = entry.name.substr(entry.name.size() - suffix);
        if (!SameWithoutCase(tail, kClassNameSuffix)) continue;
        std::string bytes;
        if (!qzo::platform::ReadWholeFile(folder + "/" + entry.name, bytes) ||
            bytes.size() < OBJHERITAGE_SIZE)
            continue;
        record = qzo::store::object_file_format::DecodeHeritage(
            reinterpret_cast<const BYTE*>(bytes.data()));
        if (!record.IsWellFormed()) continue;
        name = entry.name.substr(0, entry.name.size() - suffix);
        return true;
    }
    return false;
}

}  // namespace

BOOL Locator::GetClassInfo(char* name, GUID& guid, WCHAR* path) {
    if (!name || !path || !IsValid() || (QueryFlags() & LOCATOR_VIRTUAL)) return FALSE;
    const WCHAR* project = LocatorCore::ProjectPath(m_Location.dwProjID);
    if (!project) return FALSE;
    WCHAR folder[MAX_PATH] = {};
    std::u16string text(project);
    char16_t hex[16] = {};
    static const char16_t kDigits[] = u"0123456789ABCDEF";
    for (int i = 0; i < 8; ++i) hex[i] = kDigits[(m_Location.dwHashID >> (28 - 4 * i)) & 0xF];
    text += u"OBJ/";
    text += hex;
    if (text.size() >= MAX_PATH) return FALSE;
    std::copy(text.begin(), text.end(), folder);
    std::string native;
    std::string stem;
    tagOBJHERITAGE record;
    record.Init();
    bool found = qzo::platform::ResolvePath(folder, native) &&
                 ReadClassReference(native, stem, record) &&
                 record.GetClassHashID() == m_Location.dwHashID;
    if (!found) {
        // Older projects keep the class reference files in the object folder itself.
        text.resize(text.size() - 8);
        std::fill(std::begin(folder), std::end(folder), 0);
        std::copy(text.begin(), text.end(), folder);
        found = qzo::platform::ResolvePath(folder, native) &&
                ReadClassReference(native, stem, record) &&
                record.GetClassHashID() == m_Location.dwHashID;
    }
    if (!found || stem.size() >= kClassNameUnits) return FALSE;
    std::memcpy(name, stem.c_str(), stem.size() + 1);
    guid = record.GetClassGUID();
    if (!record.GetDLLPath(path, OBJHERITAGE_DLLPATH_BUFFER)) path[0] = 0;
    return TRUE;
}

DWORD Locator::GetClassFamily(CQZRuntimeClass** classes, unsigned max) {
    if (!classes || max == 0 || !IsValid()) return 0xFFFFFFFFu;
    CQZRuntimeClass* record = CQZRuntimeClass::IsUnique(GetHashID());
    if (!record) {
        Locator reader(GetLocation());
        DWORD result = 0;
        CQZObject* object = reader.RestoreObject(LOCATOR_ACCESS_READ, 1000, 0, &result);
        if (!object) return 0xFFFFFFFFu;
        record = object->GetRuntimeClass();
        object->DelObject();
    }
    if (!record) return 0xFFFFFFFFu;
    return record->GetClassFamily(classes, max);
}
