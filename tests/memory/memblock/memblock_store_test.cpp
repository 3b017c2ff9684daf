// Chunk storage of memory blocks: golden bytes, loading with extra room, reading into an
// existing block, and damaged or missing chunks.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "memory/memblock/block_test_support.h"
#include "qzobj/hashid.h"
#include "qzobj/memblock.h"
#include "qzobj/memory.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/recording_archive.h"

namespace qzo::test {
namespace {

using MemoryBlocks = QzoTest;

std::string ChunkClaiming(const char* name, DWORD claimedSize, const std::string& present) {
    return Le32(GetHashID(name)) + Le32(claimedSize) + present;
}

TEST_F(MemoryBlocks, SavesItsBytesAsOneChunk) {
    CPMemory block;
    ASSERT_TRUE(block.Alloc(5));
    Fill(block, "hello");
    RecordingArchive image;
    ASSERT_TRUE(block.DynaSave("Data", image));
    EXPECT_EQ(image.Bytes(), Le32(GetHashID("Data")) + Le32(5) + "hello");
    EXPECT_EQ(image.Log(), (std::vector<std::string>{"open Data w -> 0", "write 5", "close 0"}));

    CPMemory empty;  // an empty block is an empty chunk
    RecordingArchive emptyImage;
    ASSERT_TRUE(empty.DynaSave("Data", emptyImage));
    EXPECT_EQ(emptyImage.Bytes(), Le32(GetHashID("Data")) + Le32(0));

    block.SetFlags(CPMEM_READONLY);  // saving only reads
    RecordingArchive again;
    EXPECT_TRUE(block.DynaSave("Data", again));
    EXPECT_EQ(again.Bytes(), image.Bytes());
}

TEST_F(MemoryBlocks, LoadsWithExtraRoom) {
    const std::string chunk = ChunkBytes("Data", "0123456789");
    CPMemory block;
    RecordingArchive minusTwo(chunk);
    ASSERT_TRUE(block.DynaLoad("Data", minusTwo, -2));
    EXPECT_EQ(minusTwo.Log(),
              (std::vector<std::string>{"open Data r -> 0", "read 10 -> 10", "close 0"}));
    EXPECT_EQ(block.GetSize(), 12u);
    EXPECT_EQ(Contents(block).substr(0, 10), "0123456789");
    EXPECT_EQ(block.GetRefCnt(), 1);
    EXPECT_EQ(minusTwo.OpenLayers(), 0u);

    RecordingArchive atLeast(chunk);
    ASSERT_TRUE(block.DynaLoad("Data", atLeast, 16));
    EXPECT_EQ(block.GetSize(), 16u);
    EXPECT_EQ(Contents(block), std::string("0123456789") + std::string(6, '\0'));

    RecordingArchive smallExtra(chunk);
    ASSERT_TRUE(block.DynaLoad("Data", smallExtra, 4));
    EXPECT_EQ(Contents(block), "0123456789");

    RecordingArchive empty(ChunkBytes("Data", ""));
    EXPECT_TRUE(block.DynaLoad("Data", empty));
    EXPECT_EQ(block.GetCDataPtr(), nullptr);
}

TEST_F(MemoryBlocks, LargePayloadsLoadCompletely) {
    std::string payload(3u << 20, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = char(i * 131 % 251);
    CPMemory block;
    RecordingArchive image(ChunkBytes("Big", payload));
    ASSERT_TRUE(block.DynaLoad("Big", image, -8));
    EXPECT_EQ(block.GetSize(), payload.size() + 8);
    EXPECT_EQ(Contents(block), payload + std::string(8, '\0'));
}

TEST_F(MemoryBlocks, DamagedOrMissingChunksFailCleanly) {
    CHeap& pool = qzo::memory::MemPool();
    const DWORD baseline = LiveBlocks(pool);
    CPMemory block;

    RecordingArchive missing(ChunkBytes("Other", "abc"));
    ASSERT_TRUE(block.Alloc(4));
    EXPECT_FALSE(block.DynaLoad("Data", missing));
    EXPECT_EQ(block.GetCDataPtr(), nullptr);  // the old block is gone all the same

    RecordingArchive shortChunk(ChunkClaiming("Data", 10, "abcd"));
    EXPECT_FALSE(block.DynaLoad("Data", shortChunk));
    EXPECT_EQ(block.GetCDataPtr(), nullptr);
    EXPECT_EQ(shortChunk.OpenLayers(), 0u);

    // A size word claiming far more than the archive holds costs no giant allocation.
    RecordingArchive huge(ChunkClaiming("Data", 0x7FFFFFF0u, "abcdefgh"));
    EXPECT_FALSE(block.DynaLoad("Data", huge));
    EXPECT_EQ(block.GetCDataPtr(), nullptr);

    // Payload plus reserve beyond what a 32-bit size can hold.
    RecordingArchive wraps(ChunkClaiming("Data", 0xFFFFFFF0u, "abcdefgh"));
    EXPECT_FALSE(block.DynaLoad("Data", wraps, -64));
    RecordingArchive wrapsExtra(ChunkClaiming("Data", 0x80000010u, "abcdefgh"));
    EXPECT_FALSE(block.DynaLoad("Data", wrapsExtra, INT_MIN));
    EXPECT_EQ(LiveBlocks(pool), baseline);
}

TEST_F(MemoryBlocks, ReadsIntoTheExistingBlock) {
    const std::string chunk = ChunkBytes("Data", "0123456789");
    CPMemory small;
    ASSERT_TRUE(small.Alloc(4));
    RecordingArchive first(chunk);
    ASSERT_TRUE(small.DynaRead("Data", first));
    EXPECT_EQ(Contents(small), "0123");

    CPMemory large;
    ASSERT_TRUE(large.Alloc(12));
    Fill(large, "############");
    RecordingArchive second(chunk);
    ASSERT_TRUE(large.DynaRead("Data", second));
    EXPECT_EQ(Contents(large), "0123456789##");

    CPMemory empty;
    RecordingArchive third(chunk);
    EXPECT_TRUE(empty.DynaRead("Data", third));
    EXPECT_EQ(third.OpenLayers(), 0u);

    RecordingArchive damaged(ChunkClaiming("Data", 10, "0123"));
    EXPECT_FALSE(large.DynaRead("Data", damaged));
    RecordingArchive missing(chunk);
    EXPECT_FALSE(large.DynaRead("Other", missing));

    ScopedDebug debug(true);
    DebugCapture capture;
    large.SetFlags(CPMEM_READONLY);
    RecordingArchive readOnly(chunk);
    EXPECT_FALSE(large.DynaRead("Data", readOnly));
    EXPECT_TRUE(capture.Contains("Attempt to write-access cast READONLY memory."));
}

}  // namespace
}  // namespace qzo::test
