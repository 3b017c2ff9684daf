// Helpers of the locator object tests.
#include "store/locatorobj/locatorobj_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qzobj/pathkit.h"
#include "qzobj/persistent.h"
#include "qzobj/project_locator.h"
#include "qzobj/store/objfile/object_file_format.h"
#include "support/simulated_network.h"

namespace qzo::test::locatorobj {
namespace {

namespace format = qzo::store::object_file_format;

constexpr DWORD kClassHashID = 0x5A5A0001;

// Before the library caches the computer's ID: this process is ALPHA.
const bool kComputerNamed = [] {
    setenv("QZO_COMPUTERNAME", "ALPHA", 0);
    return true;
}();

void Put32(std::string& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = char(value >> (8 * i));
}

// A chunk header: the chunk name's hash ID and the payload size, little-endian.
std::string ChunkHeader(uint32_t hashID, uint32_t size) {
    std::string bytes(8, '\0');
    Put32(bytes, 0, hashID);
    Put32(bytes, 4, size);
    return bytes;
}

// The hash ID of the chunk name "CQZObject" as the bytes 8D 00 37 34 spell it.
constexpr uint32_t kObjectChunk = 0x3437008Du;

}  // namespace

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

std::string Narrow(const std::u16string& text) {
    std::string narrow;
    for (char16_t unit : text) narrow += char(unit);
    return narrow;
}

std::string Hex8(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::string ObjectFileBytes(const ObjectFileContent& content) {
    const CQZRuntimeClass* classes[] = {&classCQZObject};
    format::ObjectFileHeader header =
        format::NewHeader(content.location, classes, content.withClass ? 1u : 0u);
    if (content.damagedMagic) header.dwMagic ^= 0x01010101u;
    format::HistoryIndex index = format::NewIndex(0);
    index.header.dwCurrent = 0;
    index.header.dwDataEnd = kFreshFileSize;
    index.slots[0].dwModifyCnt = 1;
    index.slots[0].dwOffset = format::kVersionsOffset;
    index.slots[0].dwEnd = kFreshFileSize;
    format::SetSlotComment(index.slots[0], u"Create");

    std::string bytes(kFreshFileSize, '\0');
    format::HeaderBytes headerBytes;
    format::EncodeHeader(header, headerBytes);
    std::memcpy(bytes.data(), headerBytes, sizeof headerBytes);
    format::IndexBytes indexBytes;
    format::EncodeIndex(index, indexBytes);
    std::memcpy(bytes.data() + format::kIndexOffset, indexBytes, sizeof indexBytes);
    const std::string nt = ChunkHeader(kObjectChunk, 0);
    bytes.replace(format::kNTOffset, nt.size(), nt);
    std::string version = ChunkHeader(kObjectChunk, 12) + ChunkHeader(kObjectChunk, 4);
    version += std::string("\x01\0\0\0", 4);
    bytes.replace(format::kVersionsOffset, version.size(), version);
    return bytes;
}

void LocatorObjTest::SetUp() {
    QzoTest::SetUp();
    ASSERT_TRUE(kComputerNamed);
    InstallMailEnvironment();
    WriteHostsMap(TempPath("hosts"), {{"ALPHA", TestAddress(2)}});
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    // Stored project paths are upper case: a root spelled so resolves by its exact name.
    static int counter = 0;
    const char* base = std::getenv("TMPDIR");
    char name[64];
    std::snprintf(name, sizeof name, "/QZOLOCOBJ-%X-%X", unsigned(getpid()), unsigned(++counter));
    projectDir_ = std::string(base && *base ? base : "/tmp") + name;
    ASSERT_EQ(mkdir(projectDir_.c_str(), 0777), 0) << projectDir_;
    projectDir_ += "/PRJ/";
    projectID_ = OtherProject("PRJ");
    ASSERT_NE(projectID_, PRJLOC_NO_PROJECT);
    ASSERT_TRUE(PrjLocator::SetWorkingProject(projectID_));
}

void LocatorObjTest::TearDown() {
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    for (DWORD id : registered_) PrjLocator::UnregisterProject(id);
    if (!projectDir_.empty()) RemoveTree(projectDir_.substr(0, projectDir_.size() - 5));
    QzoTest::TearDown();
}

DWORD LocatorObjTest::OtherProject(const std::string& name) {
    const std::string root = projectDir_.substr(0, projectDir_.size() - 5);
    const DWORD id = PrjLocator::RegisterProject(Wide(root + "/" + name).c_str(), TRUE);
    if (id != PRJLOC_NO_PROJECT) {
        registered_.push_back(id);
        folders_[id] = root + "/" + name + "/";
    }
    return id;
}

Location LocatorObjTest::MakeLocation(DWORD objID, DWORD projectID) const {
    Location location;
    location.dwHashID = kClassHashID;
    location.dwObjID = objID;
    location.dwProjID = projectID ? projectID : projectID_;
    location.dwDataID = 0;
    location.dwFlags = 0;
    return location;
}

std::string LocatorObjTest::ObjectFile(const Location& location) const {
    const auto found = folders_.find(location.dwProjID);
    const std::string folder = found != folders_.end() ? found->second : projectDir_;
    return folder + "OBJ/" + Hex8(location.dwHashID) + "/" + Hex8(location.dwObjID) + ".QZO";
}

std::string LocatorObjTest::WriteObject(const Location& location, bool damaged) {
    const std::string path = ObjectFile(location);
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    EXPECT_TRUE(FU_CreatePath(Wide(folder).c_str()));
    ObjectFileContent content;
    content.location = location;
    content.damagedMagic = damaged;
    WriteFileBytes(path, ObjectFileBytes(content));
    return path;
}

StateRecorder::StateRecorder() {
    handle_ = Locator::RegisterStateNotify(&StateRecorder::Callback,
                                           reinterpret_cast<uintptr_t>(this), 0);
}

StateRecorder::~StateRecorder() {
    Locator::UnregisterStateNotify(handle_);
}

std::vector<StateRecorder::Event> StateRecorder::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

size_t StateRecorder::Count(uintptr_t code) const {
    size_t count = 0;
    for (const Event& event : Events()) count += event.code == code;
    return count;
}

int StateRecorder::Callback(void* pointer, uintptr_t code, uintptr_t& value1, uintptr_t&,
                            uintptr_t) {
    auto* self = reinterpret_cast<StateRecorder*>(value1);
    Event event{code, Location{}};
    // Lock waits and destroyed objects without one come with their location.
    if (pointer && (code == LOCATOR_NOTIFY_LOCKWAIT || code == LOCATOR_NOTIFY_DESTROYED))
        std::memcpy(&event.location, pointer, sizeof(Location));
    std::lock_guard lock(self->mutex_);
    self->events_.push_back(event);
    return 1;
}

}  // namespace qzo::test::locatorobj
