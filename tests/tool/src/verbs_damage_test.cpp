// The inspection verbs on damaged files: an object file the library wrote, and the chunk tree of
// its current version, truncated at every length and with every byte flipped in turn. Every run
// must end with exit status 0 or 1 (never a crash), and every truncation and every damaged
// structural word with 1. The verbs run in-process, with their output sent to /dev/null.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "qzobj/locator.h"
#include "qzobj/persistent.h"
#include "qzobj/project_locator.h"
#include "support/fixture.h"
#include "support/text.h"
#include "verbs.h"

namespace {

namespace fs = std::filesystem;
using qzo::test::Wide;

// The first `count` bytes of `bytes` as the whole file.
void WriteAll(const fs::path& path, const std::string& bytes, size_t count) {
    qzo::test::WriteFileBytes(path.string(), bytes.substr(0, count));
}

uint32_t Le32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value |= uint32_t(uint8_t(bytes[at + i])) << (8 * i);
    return value;
}

// Runs a verb with standard output and error sent to /dev/null.
int Quietly(int (*verb)(int, char**), std::vector<std::string> args) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = dup(1), savedErr = dup(2);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    const int status = verb(int(argv.size()), argv.data());
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(null);
    close(savedOut);
    close(savedErr);
    return status;
}

class VerbsOnDamagedFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = fs::path(std::getenv("QZO_WINDIR")) / "damage";
        fs::create_directories(folder_);
        const std::string project = (folder_ / "project").string() + "/";
        const DWORD id = PrjLocator::RegisterProject(Wide(project).c_str(), TRUE);
        ASSERT_NE(id, PRJLOC_NO_PROJECT);
        ASSERT_TRUE(PrjLocator::SetWorkingProject(id));
        Locator locator;
        CQZObject* object = locator.CreateObject(&classCQZObject, 0);
        ASSERT_NE(object, nullptr);
        object->SetUndoComment(u"Second", nullptr, 0);
        ASSERT_TRUE(object->Commit(0));
        // The library spells its paths in upper case and matches them without regard to case;
        // the file system keeps the folder's own spelling.
        char name[32];
        std::snprintf(name, sizeof name, "OBJ/%08X/%08X.QZO", object->GetLocator().GetHashID(),
                      object->GetLocator().GetObjID());
        object->DelObject();
        PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
        PrjLocator::UnregisterProject(id);
        original_ = qzo::test::ReadFileBytes(project + name);
        ASSERT_GT(original_.size(), 10240u);
        damaged_ = folder_ / "damaged.qzo";
    }

    fs::path folder_, damaged_;
    std::string original_;
};

TEST_F(VerbsOnDamagedFiles, TheUndamagedFileIsShown) {
    WriteAll(damaged_, original_, original_.size());
    EXPECT_EQ(Quietly(qzo::tool::RunObject, {damaged_.string()}), 0);
}

TEST_F(VerbsOnDamagedFiles, EveryTruncationOfAnObjectFileIsRefused) {
    for (size_t length = 0; length < original_.size(); ++length) {
        WriteAll(damaged_, original_, length);
        ASSERT_EQ(Quietly(qzo::tool::RunObject, {damaged_.string()}), 1) << "length " << length;
    }
}

TEST_F(VerbsOnDamagedFiles, EveryFlippedByteOfAnObjectFileEndsCleanly) {
    // Structural words whose damage must be reported: magic, header size, the three offsets,
    // the record count, index size, current slot, data end and slot count.
    const std::vector<size_t> structural = {0, 4, 28, 32, 36, 40, 2236, 2244, 2248, 2252};
    std::string bytes = original_;
    for (size_t at = 0; at < bytes.size(); ++at) {
        bytes[at] ^= 0x80;
        WriteAll(damaged_, bytes, bytes.size());
        const int status = Quietly(qzo::tool::RunObject, {damaged_.string()});
        bytes[at] ^= 0x80;
        ASSERT_TRUE(status == 0 || status == 1) << "byte " << at;
        for (size_t word : structural) {
            if (at >= word && at < word + 4) {
                ASSERT_EQ(status, 1) << "byte " << at;
            }
        }
    }
}

TEST_F(VerbsOnDamagedFiles, ChunkTreesOfTheCurrentVersionEndCleanly) {
    // The current version's chunk stream, alone in a file.
    const uint32_t current = Le32(original_, 2236 + 8);
    const size_t slot = 2236 + 52 + size_t(current) * 88;
    const uint32_t offset = Le32(original_, slot + 4);
    const uint32_t end =
        Le32(original_, slot + 8) ? Le32(original_, slot + 8) : Le32(original_, 2236 + 12);
    ASSERT_LT(offset, end);
    std::string stream = original_.substr(offset, end - offset);
    WriteAll(damaged_, stream, stream.size());
    ASSERT_EQ(Quietly(qzo::tool::RunChunks, {damaged_.string()}), 0);
    // One top-level chunk: every cut inside it is a bad header.
    for (size_t length = 1; length < stream.size(); ++length) {
        WriteAll(damaged_, stream, length);
        ASSERT_EQ(Quietly(qzo::tool::RunChunks, {damaged_.string()}), 1) << "length " << length;
    }
    for (size_t at = 0; at < stream.size(); ++at) {
        for (char mask : {'\x01', '\x80', '\xFF'}) {
            stream[at] ^= mask;
            WriteAll(damaged_, stream, stream.size());
            const int status = Quietly(qzo::tool::RunChunks, {damaged_.string()});
            stream[at] ^= mask;
            ASSERT_TRUE(status == 0 || status == 1) << "byte " << at;
        }
    }
    // A size word grown past the end is reported.
    stream[7] = '\x7F';
    WriteAll(damaged_, stream, stream.size());
    EXPECT_EQ(Quietly(qzo::tool::RunChunks, {damaged_.string()}), 1);
}

TEST_F(VerbsOnDamagedFiles, MissingFilesAndFoldersAreRefused) {
    EXPECT_EQ(Quietly(qzo::tool::RunObject, {(folder_ / "missing.qzo").string()}), 1);
    EXPECT_EQ(Quietly(qzo::tool::RunChunks, {folder_.string()}), 1);
    EXPECT_EQ(Quietly(qzo::tool::RunObject, {}), 2);
    EXPECT_EQ(Quietly(qzo::tool::RunChunks, {"a", "b"}), 2);
}

}  // namespace
