// The run-time object's chunk helpers: raw memory and properties as chunks, byte for byte, and
// refusals that leave the surrounding chunk as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qzobj/memblock.h"
#include "qzobj/objmodel.h"
#include "qzobj/store.h"
#include "support/fixture.h"
#include "support/recording_archive.h"

namespace qzo::test {
namespace {

using RTObjectStore = QzoTest;

const GUID kRootGuid = {
    0x6B1F4E01, 0x2C7A, 0x11CF, {0x8E, 0x3D, 0x00, 0x00, 0xC4, 0xA5, 0x1B, 0x77}};

// Chunk header of the name "A": GetHashID("A") = 0x58E500D8, then the payload size.
std::string HeaderA(unsigned char size) {
    return std::string("\xD8\x00\xE5\x58", 4) + std::string(1, static_cast<char>(size)) +
           std::string(3, '\0');
}

CPProperty MakeProperty(DWORD type, const GUID& id, const std::string& bytes) {
    CPProperty property(type, id);
    if (!bytes.empty()) {
        property.Alloc(static_cast<DWORD>(bytes.size()));
        std::memcpy(property.GetDataPtr(), bytes.data(), bytes.size());
    }
    return property;
}

TEST_F(RTObjectStore, StoreMemoryWritesOneChunk) {
    RecordingArchive archive;
    EXPECT_TRUE(CQZRTObject::StoreMemory(archive, "A", "abcdefghij", 10));
    EXPECT_EQ(archive.Bytes(), HeaderA(10) + "abcdefghij");

    RecordingArchive empty;
    EXPECT_TRUE(CQZRTObject::StoreMemory(empty, "A", nullptr, 0));
    EXPECT_EQ(empty.Bytes(), HeaderA(0));

    RecordingArchive refused;
    EXPECT_FALSE(CQZRTObject::StoreMemory(refused, "A", nullptr, 4));
    EXPECT_TRUE(refused.Bytes().empty());
}

TEST_F(RTObjectStore, LoadMemoryReadsAtMostTheChunk) {
    RecordingArchive shortChunk(HeaderA(2) + "xy");
    char buffer[4] = {'-', '-', '-', '-'};
    EXPECT_TRUE(CQZRTObject::LoadMemory(shortChunk, "A", buffer, 4));
    EXPECT_EQ(std::string(buffer, 4), "xy--");

    RecordingArchive longChunk(HeaderA(4) + "wxyz");
    char two[2] = {};
    EXPECT_TRUE(CQZRTObject::LoadMemory(longChunk, "A", two, 2));
    EXPECT_EQ(std::string(two, 2), "wx");

    RecordingArchive otherName(ChunkBytes("B", "wxyz"));
    EXPECT_FALSE(CQZRTObject::LoadMemory(otherName, "A", two, 2));
}

TEST_F(RTObjectStore, StorePropertyNestsTheBlockBehindTypeAndIdentifier) {
    CPProperty property = MakeProperty(0x12345678, kRootGuid, "xyz");
    RecordingArchive archive;
    ASSERT_TRUE(CQZRTObject::StoreProperty(archive, "A", property));
    const std::string expected = HeaderA(28 + 3) + std::string("\x78\x56\x34\x12", 4) +
                                 std::string(
                                     "\x01\x4E\x1F\x6B\x7A\x2C\xCF\x11"
                                     "\x8E\x3D\x00\x00\xC4\xA5\x1B\x77",
                                     16) +
                                 HeaderA(3) + "xyz";
    EXPECT_EQ(archive.Bytes(), expected);

    CPProperty loaded = MakeProperty(0x99, GUID{}, "old contents");
    archive.Rewind();
    ASSERT_TRUE(CQZRTObject::LoadProperty(archive, "A", loaded));
    EXPECT_EQ(loaded.GetPropertyType(), 0x12345678u);
    EXPECT_EQ(loaded.GetPropertyID(), kRootGuid);
    ASSERT_EQ(loaded.GetSize(), 3u);
    EXPECT_EQ(std::memcmp(loaded.GetCDataPtr(), "xyz", 3), 0);
}

TEST_F(RTObjectStore, LoadPropertyRefusesAShortHeaderAndLeavesTheTargetEmpty) {
    RecordingArchive archive(HeaderA(10) + "0123456789");
    CPProperty property = MakeProperty(0x5, kRootGuid, "keep");
    EXPECT_FALSE(CQZRTObject::LoadProperty(archive, "A", property));
    EXPECT_EQ(property.GetPropertyType(), 0u);
    EXPECT_EQ(property.GetPropertyID(), GUID{});
    EXPECT_EQ(property.GetCDataPtr(), nullptr);
    EXPECT_EQ(archive.OpenLayers(), 0u);
}

// With every layer taken, the property's chunk cannot open: nothing may be written into or
// read out of the innermost open chunk.
TEST_F(RTObjectStore, AFailedPropertyOpenLeavesTheParentIntact) {
    CMemChunkArchive archive;
    ASSERT_TRUE(archive.Open(CHNK_WRITE));
    for (unsigned i = 0; i < CHNK_MAX_LAYERS; ++i) ASSERT_EQ(archive.Chnk_Open("L", CHNK_WRITE), i);
    ASSERT_EQ(archive.Chnk_Write("payload", 7), 7u);
    CPProperty property = MakeProperty(0x7, kRootGuid, "block");
    EXPECT_FALSE(CQZRTObject::StoreProperty(archive, "P", property));
    EXPECT_FALSE(CQZRTObject::StoreMemory(archive, "P", "block", 5));
    ASSERT_EQ(archive.Chnk_Write("tail", 4), 4u);
    ASSERT_TRUE(archive.Close());

    ASSERT_TRUE(archive.Open(CHNK_READ));
    unsigned innermost = 0;
    for (unsigned i = 0; i < CHNK_MAX_LAYERS; ++i) innermost = archive.Chnk_Open("L", CHNK_READ);
    ASSERT_EQ(innermost, CHNK_MAX_LAYERS - 1);
    EXPECT_EQ(archive.Chnk_GetSize(innermost), 11u);
    CPProperty loaded;
    EXPECT_FALSE(CQZRTObject::LoadProperty(archive, "L", loaded));
    char buffer[16] = {};
    EXPECT_FALSE(CQZRTObject::LoadMemory(archive, "L", buffer, sizeof buffer));
    ASSERT_EQ(archive.Chnk_Read(buffer, 11), 11u);
    EXPECT_EQ(std::string(buffer, 11), "payloadtail");
    archive.Close();
}

}  // namespace
}  // namespace qzo::test
