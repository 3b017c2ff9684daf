// Workgroup folders: each member keeps an empty "%s.wg2" named after its computer; attaching
// greets the members whose files are fresh and deletes the files of members long gone.
#include <string>
#include <vector>

#include "qzobj/os/mailslot_internal.h"
#include "qzobj/pathkit.h"
#include "qzobj/platform/find.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/system.h"
#include "qzobj/platform/text.h"
#include "qzobj/process.h"

namespace {

std::u16string Upper(std::u16string text) {
    for (char16_t& c : text) c = qzo::text::FoldUpper(c);
    return text;
}

// The folder normalised to end in one separator; empty when it does not fit MAX_PATH.
std::u16string WorkgroupFolder(const WCHAR* directory) {
    if (!directory || !*directory) return {};
    WCHAR path[MAX_PATH] = {};
    if (qzo::text::BoundedLength(directory, MAX_PATH) >= MAX_PATH) return {};
    qzo::text::Copy(path, MAX_PATH, directory);
    if (!FU_FormatPath(path, u'/')) return {};
    return path;
}

std::u16string OwnFileIn(const std::u16string& folder) {
    WCHAR name[MAIL_COMPUTERNAME_LEN] = {};
    if (!GetCreateComputerName(name, MAIL_COMPUTERNAME_LEN)) return {};
    std::u16string path = folder + name + u".wg2";
    return path.size() < MAX_PATH ? path : std::u16string();
}

std::vector<std::u16string> SplitList(const std::u16string& list) {
    std::vector<std::u16string> parts;
    size_t begin = 0;
    while (begin <= list.size()) {
        size_t end = list.find(u';', begin);
        if (end == std::u16string::npos) end = list.size();
        if (end > begin) parts.push_back(list.substr(begin, end - begin));
        begin = end + 1;
    }
    return parts;
}

std::u16string JoinList(const std::vector<std::u16string>& parts) {
    std::u16string list;
    for (const std::u16string& part : parts) {
        if (!list.empty()) list += u';';
        list += part;
    }
    return list;
}

std::u16string TextOf(const CPTStr& string) {
    const auto* text = static_cast<const WCHAR*>(string.GetCDataPtr());
    return text ? std::u16string(text, string.GetLen()) : std::u16string();
}

void DeleteFileAt(const std::u16string& path) {
    std::string native;
    if (qzo::platform::ResolvePath(path, native)) qzo::platform::DeleteFile(native);
}

// Sets the file's time to now, re-creating a file that someone deleted. The list holds the
// path in upper case; folders resolve without case, and the file is made with the name's
// own spelling, the computer name and ".wg2".
void TouchOrCreate(const std::u16string& path) {
    if (FU_Touch(path.c_str())) return;
    const size_t separator = path.find_last_of(u"/\\");
    const std::u16string file = OwnFileIn(path.substr(0, separator + 1));
    if (!file.empty() && FU_CreateDirectoryEntry(file.c_str())) FU_Touch(file.c_str());
}

}  // namespace

BOOL COSMailslot::AttachWorkgroup(const WCHAR* directory) {
    const std::u16string folder = WorkgroupFolder(directory);
    if (folder.empty()) return FALSE;
    const std::u16string own = OwnFileIn(folder);
    // An existing own file is kept and touched: attaching again succeeds.
    if (own.empty() || !FU_CreateDirectoryEntry(own.c_str())) return FALSE;
    FU_Touch(own.c_str());
    {
        COSAutoLock lock(csLock);
        std::vector<std::u16string> list = SplitList(TextOf(strWorkgroups));
        const std::u16string upper = Upper(own);
        bool contained = false;
        for (const std::u16string& entry : list) contained = contained || entry == upper;
        if (!contained) {
            list.push_back(upper);
            strWorkgroups = JoinList(list).c_str();
        }
    }
    ScanWorkgroup(folder.c_str());
    return TRUE;
}

void COSMailslot::ScanWorkgroup(const WCHAR* folder) {
    WCHAR own[MAIL_COMPUTERNAME_LEN] = {};
    GetCreateComputerName(own, MAIL_COMPUTERNAME_LEN);
    const std::u16string base(folder);
    const std::u16string pattern = base + u"*.wg2";
    WIN32_FIND_DATAW data{};
    std::unique_ptr<qzo::platform::FileFind> find =
        qzo::platform::FileFind::First(pattern.c_str(), data);
    if (!find) return;
    const uint64_t now = qzo::platform::FileTimeValue(qzo::platform::CurrentFileTime());
    do {
        const std::u16string file(data.cFileName);
        const std::u16string computer = file.substr(0, file.find(u'.'));
        if (computer.empty() || qzo::text::CompareNoCase(computer, own) == 0) continue;
        const uint64_t written = qzo::platform::FileTimeValue(data.ftLastWriteTime);
        const bool fresh = written + qzo::mail::kWorkgroupFileLifetime >= now;
        // A fresh file of a computer we cannot reach now stays: it may answer later, and its
        // owner refreshes it. Only files past their lifetime belong to computers that are gone.
        if (fresh) {
            AttachComputer(computer.c_str());
        } else {
            DeleteFileAt(base + file);
        }
    } while (find->Next(data));
}

BOOL COSMailslot::DetachWorkgroup(const WCHAR* directory) {
    const std::u16string folder = WorkgroupFolder(directory);
    if (folder.empty()) return FALSE;
    const std::u16string own = OwnFileIn(folder);
    if (own.empty()) return FALSE;
    DeleteFileAt(own);
    COSAutoLock lock(csLock);
    std::vector<std::u16string> list = SplitList(TextOf(strWorkgroups));
    const std::u16string upper = Upper(own);
    std::erase(list, upper);
    if (list.empty()) {
        strWorkgroups = CPTStr();
    } else {
        strWorkgroups = JoinList(list).c_str();
    }
    return TRUE;
}

void COSMailslot::DetachAllWorkgroups() {
    std::u16string list;
    {
        COSAutoLock lock(csLock);
        list = TextOf(strWorkgroups);
        strWorkgroups = CPTStr();
    }
    for (const std::u16string& path : SplitList(list)) DeleteFileAt(path);
}

void COSMailslot::RefreshWorkgroups() {
    std::u16string list;
    {
        COSAutoLock lock(csLock);
        list = TextOf(strWorkgroups);
    }
    for (const std::u16string& path : SplitList(list)) TouchOrCreate(path);
    dwLastRefresh = qzo::platform::GetTickCount();
}
