// `qzo object FILE`: an object file laid open: its header (location, class records), history
// index (every slot), NT block and current version as chunk trees, a writer's access record
// and the file's marks. Nothing is changed; every offset is checked against the file's length
// before it is used, so damaged files are reported, never trusted.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "chunk_tree.h"
#include "history_view.h"
#include "qzobj/heritage.h"
#include "qzobj/location.h"
#include "qzobj/objmodel.h"
#include "verbs.h"

namespace qzo::tool {
namespace {

constexpr char kUsage[] =
    "usage: qzo object FILE [--names a,b,c]\n"
    "Shows an object file: the header (location, the four class records with class names when\n"
    "the class is registered in this process, and library paths), the history index (every\n"
    "slot: ModifyCnt, data range, caller value, undo comment, the current one marked), the NT\n"
    "block and the current version as chunk trees, a writer's access record when one is\n"
    "present (computer, user, whether the writer is alive) and the marks (deleted, tagged,\n"
    "temporary). Nothing is changed.\n"
    "Exit status: 0 shown, 1 unreadable or damaged file, 2 bad usage.\n";

// The layout of an object file.
constexpr uint32_t kMagic = 0x515A4F46u;
constexpr uint32_t kHeaderSize = 2236;
constexpr uint32_t kNTOffset = 7920;
constexpr uint32_t kVersionsOffset = 10240;
constexpr uint32_t kClassRecords = 4;
constexpr uint32_t kHeritageOffset = 44;
constexpr uint32_t kHeritageSize = 548;
// The access record a writer keeps after the data: magic "IAZQ", computer ID, computer name
// (16 UTF-16 units), user name (64 units).
constexpr uint32_t kAccessMagic = 0x515A4149u;
constexpr uint32_t kAccessSize = 168;
// The marks, as the library keeps them in the extended attribute "user.qzo.attr".
constexpr uint32_t kAttrReadOnly = 0x01, kAttrArchive = 0x20, kAttrTemporary = 0x100;

class ObjectReport {
  public:
    ObjectReport(const char* path, std::vector<uint8_t> bytes, const ChunkNames& names)
        : path_(path), bytes_(std::move(bytes)), names_(names) {}

    // 0 shown, 1 damaged (reported on standard error after what could be shown).
    int Run() {
        if (!Header()) return Fail();
        if (!Index()) return Fail();
        if (!Blocks()) return Fail();
        Trailer();
        Marks();
        return 0;
    }

  private:
    uint32_t Word(uint64_t at) const { return Le32(&bytes_[at]); }

    int Fail() {
        std::fflush(stdout);
        std::fprintf(stderr, "qzo object: %s: %s\n", path_, error_.c_str());
        return 1;
    }

    bool Refuse(std::string what) {
        error_ = std::move(what);
        return false;
    }

    bool Header() {
        if (bytes_.size() < kNTOffset)
            return Refuse("truncated: " + std::to_string(bytes_.size()) +
                          " bytes, fewer than the header and history index (7920)");
        if (Word(0) != kMagic) return Refuse("not an object file (no \"FOZQ\" at offset 0)");
        if (Word(4) != kHeaderSize)
            return Refuse("header size " + std::to_string(Word(4)) + ", expected 2236");
        if (Word(28) != 2236 || Word(32) != kNTOffset || Word(36) != kVersionsOffset)
            return Refuse("unexpected layout offsets (index, NT block, versions)");
        if (Word(40) != kClassRecords)
            return Refuse("class record count " + std::to_string(Word(40)) + ", expected 4");
        Location location;
        std::memcpy(&location, &bytes_[8], sizeof location);
        WCHAR text[LOCATION_TEXT_CHARS];
        location.GetLocationAsString(text, LOCATION_TEXT_CHARS);
        std::printf("%s: %zu bytes\n", path_, bytes_.size());
        std::printf("location     %s\n",
                    StoredText(reinterpret_cast<const uint8_t*>(text), 40).c_str());
        std::printf("  class ID %08X  object ID %08X  project ID %08X  data %08X  flags %08X\n",
                    location.dwHashID, location.dwObjID, location.dwProjID, location.dwDataID,
                    location.dwFlags);
        for (uint32_t i = 0; i < kClassRecords; ++i)
            if (!ClassRecord(i)) return false;
        return true;
    }

    bool ClassRecord(uint32_t i) {
        tagOBJHERITAGE record;
        std::memcpy(&record, &bytes_[kHeritageOffset + i * kHeritageSize], sizeof record);
        if (!record.IsWellFormed())
            return Refuse("class record " + std::to_string(i) +
                          " is malformed (size or unterminated library path)");
        if (record.IsEmpty()) {
            std::printf("class %u      (none)\n", i);
            return true;
        }
        const GUID guid = record.GetClassGUID();
        const CQZRuntimeClass* known = CQZRuntimeClass::GetClassPtr(&guid, record.GetClassHashID());
        std::printf("class %u      %08X %s  flags %02X  %s\n", i, record.GetClassHashID(),
                    known ? known->szClassName : "(not registered here)", record.dwFlags,
                    record.szDLLPath[0]
                        ? StoredText(reinterpret_cast<const uint8_t*>(record.szDLLPath),
                                     OBJHERITAGE_PATH_UNITS)
                              .c_str()
                        : "(no library path)");
        return true;
    }

    bool Index() {
        if (!ReadHistoryView(bytes_, view_, error_)) return false;
        std::printf("history      current slot %s, data end %u, class flags %02X\n",
                    view_.current == 0xFFFFFFFFu ? "none" : std::to_string(view_.current).c_str(),
                    view_.dataEnd, view_.classFlags);
        std::printf("  slot  ModifyCnt  offset      end         caller    comment\n");
        for (const SlotView& slot : view_.Listed())
            std::printf("  %c%-3u  %-9u  %-10u  %-10u  %08X  \"%s\"\n",
                        slot.slot == view_.current ? '*' : ' ', slot.slot, slot.modifyCnt,
                        slot.offset, slot.end, slot.modifyID, slot.comment.c_str());
        return CheckCurrent(view_, bytes_.size(), error_);
    }

    bool Blocks() {
        std::printf("NT block at %u\n", kNTOffset);
        uint32_t ntEnd = kNTOffset + 8 + Word(kNTOffset + 4);
        if (Word(kNTOffset + 4) > kVersionsOffset - kNTOffset - 8)
            return Refuse("NT block chunk size " + std::to_string(Word(kNTOffset + 4)) +
                          " runs past offset 10240");
        if (bytes_.size() < kVersionsOffset && ntEnd > bytes_.size())
            return Refuse("truncated inside the NT block");
        ChunkFault fault = PrintChunks(stdout, bytes_, kNTOffset, ntEnd, 0, names_, 1);
        if (fault.found) return Refuse(ChunkError(fault));
        const SlotView& slot = view_.slots[view_.current];
        std::printf("current version (slot %u, ModifyCnt %u) at %u, %u bytes\n", slot.slot,
                    slot.modifyCnt, slot.offset, slot.end - slot.offset);
        fault = PrintChunks(stdout, bytes_, slot.offset, slot.end, 0, names_, 1);
        if (fault.found) return Refuse(ChunkError(fault));
        return true;
    }

    static std::string ChunkError(const ChunkFault& fault) {
        return "bad chunk header at offset " + std::to_string(fault.offset) + ": " + fault.what;
    }

    void Trailer() {
        if (bytes_.size() < uint64_t(view_.dataEnd) + kAccessSize ||
            Word(view_.dataEnd) != kAccessMagic) {
            if (bytes_.size() > view_.dataEnd)
                std::printf("after the data  %zu bytes that are no access record\n",
                            bytes_.size() - view_.dataEnd);
            else
                std::printf("writer       none (no access record)\n");
            return;
        }
        const uint8_t* record = &bytes_[view_.dataEnd];
        std::printf("writer       computer %s (ID %08X), user %s, %s\n",
                    StoredText(record + 8, 16).c_str(), Le32(record + 4),
                    StoredText(record + 40, 64).c_str(),
                    WriterAlive(view_.dataEnd + kAccessSize) ? "alive (holds the file open)"
                                                             : "gone (a stale record)");
    }

    // A live writer holds a lock on the byte just past its record.
    bool WriterAlive(uint64_t marker) const {
        const int fd = open(path_, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        struct flock probe {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        probe.l_start = off_t(marker);
        probe.l_len = 1;
        const bool held = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
        close(fd);
        return held;
    }

    void Marks() const {
        uint8_t word[4] = {};
        uint32_t attributes = 0;
        if (getxattr(path_, "user.qzo.attr", word, sizeof word) == 4) attributes = Le32(word);
        struct stat st {};
        if (stat(path_, &st) == 0 && !(st.st_mode & S_IWUSR)) attributes |= kAttrReadOnly;
        std::printf("marks        %s%s%s%s\n", attributes & kAttrReadOnly ? "deleted " : "",
                    attributes & kAttrArchive ? "tagged " : "",
                    attributes & kAttrTemporary ? "temporary " : "",
                    attributes & (kAttrReadOnly | kAttrArchive | kAttrTemporary) ? "" : "none");
    }

    const char* path_;
    std::vector<uint8_t> bytes_;
    const ChunkNames& names_;
    std::string error_;
    HistoryView view_;
};

}  // namespace

int RunObject(int argc, char** argv) {
    const char* file = nullptr;
    ChunkNames names;
    const int status = ParseFileVerbArguments(argc, argv, kUsage, file, names, nullptr);
    if (status >= 0) return status;
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ReadWholeFile(file, bytes, error)) {
        std::fprintf(stderr, "qzo object: %s: %s\n", file, error.c_str());
        return 1;
    }
    return ObjectReport(file, std::move(bytes), names).Run();
}

}  // namespace qzo::tool
