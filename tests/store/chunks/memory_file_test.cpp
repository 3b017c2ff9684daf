// CPMemoryFile: growth in steps of 4096, zeroed gaps, refused overflow, copies as snapshots, and
// the access rules of reading, writing and seeking.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "store/chunks/chunk_test_support.h"
#include "support/recording_archive.h"

namespace {

class MemoryFile : public qzo::test::QzoTest {
  protected:
    static std::string Content(const CPMemoryFile& file) {
        const char* data = static_cast<const char*>(file.GetCDataPtr());
        return data ? std::string(data, file.GetSize()) : std::string();
    }
};

TEST_F(MemoryFile, OpeningForWritingStartsEmptyAndReadingNeedsABlock) {
    CPMemoryFile file;
    EXPECT_FALSE(file.Open(GENERIC_READ));  // no block yet
    EXPECT_EQ(file.GetAccess(), 0u);
    ASSERT_TRUE(file.Open(GENERIC_WRITE | 0x1234));
    EXPECT_EQ(file.GetAccess(), GENERIC_WRITE);  // only the two direction bits
    EXPECT_EQ(file.GetSize(), 0u);
    EXPECT_GE(file.GetAllocSize(), 4096u);
    ASSERT_EQ(file.Write("hello", 5), 5u);
    EXPECT_EQ(file.Read(nullptr, 5), 0u);
    char buffer[8] = {};
    EXPECT_EQ(file.Read(buffer, 5), 0u);  // write-only
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(file.GetAccess(), 0u);
    EXPECT_FALSE(file.SetFilePtr(0, FILE_BEGIN));
    EXPECT_EQ(file.Write("x", 1), 0u);

    ASSERT_TRUE(file.Open(GENERIC_READ));
    EXPECT_EQ(file.GetFilePtr(), 0u);
    EXPECT_EQ(file.Read(buffer, 8), 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(file.Read(buffer, 8), 0u);         // at the end
    EXPECT_FALSE(file.SetFilePtr(1, FILE_END));  // readers stay inside
    EXPECT_TRUE(file.SetFilePtr(-2, FILE_END));
    EXPECT_EQ(file.Read(buffer, 8), 2u);
    EXPECT_FALSE(file.SetFilePtr(-6, FILE_CURRENT));
    EXPECT_FALSE(file.SetFilePtr(0, 7));

    ASSERT_TRUE(file.Open(GENERIC_WRITE));  // content starts over
    EXPECT_EQ(file.GetSize(), 0u);
}

TEST_F(MemoryFile, GrowsInStepsAndKeepsTheContentLength) {
    CPMemoryFile file;
    ASSERT_TRUE(file.Open(GENERIC_WRITE));
    std::string bytes(10000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13);
    for (size_t at = 0; at < bytes.size(); at += 100)
        ASSERT_EQ(file.Write(bytes.data() + at, 100), 100u);
    EXPECT_EQ(file.GetSize(), 10000u);
    EXPECT_EQ(file.GetFilePtr(), 10000u);
    EXPECT_GE(file.GetAllocSize(), 12288u);  // (10000 rounded down to 4096) + 4096
    EXPECT_LT(file.GetAllocSize(), 12288u + 64);
    EXPECT_TRUE(Content(file) == bytes);
    // Overwriting inside keeps the length.
    ASSERT_TRUE(file.SetFilePtr(10, FILE_BEGIN));
    ASSERT_EQ(file.Write("xy", 2), 2u);
    EXPECT_EQ(file.GetSize(), 10000u);
}

TEST_F(MemoryFile, GapsBehindTheEndReadAsZeros) {
    CPMemoryFile file;
    ASSERT_TRUE(file.Open(GENERIC_WRITE));
    // Leave stale bytes in the heap: the fresh block of the next open may reuse them.
    std::string junk(3000, '\xAA');
    ASSERT_EQ(file.Write(junk.data(), 3000), 3000u);
    ASSERT_TRUE(file.Open(GENERIC_WRITE));
    ASSERT_EQ(file.Write("ab", 2), 2u);
    // Within the capacity a writer's seek extends the content at once...
    ASSERT_TRUE(file.SetFilePtr(100, FILE_BEGIN));
    EXPECT_EQ(file.GetSize(), 100u);
    ASSERT_EQ(file.Write("c", 1), 1u);
    // ...beyond it only the pointer moves, and the next write fills the gap.
    ASSERT_TRUE(file.SetFilePtr(9000, FILE_END));
    EXPECT_EQ(file.GetSize(), 101u);
    EXPECT_EQ(file.GetFilePtr(), 9101u);
    ASSERT_EQ(file.Write("d", 1), 1u);
    const std::string content = Content(file);
    ASSERT_EQ(content.size(), 9102u);
    EXPECT_EQ(content.substr(0, 2), "ab");
    EXPECT_EQ(content.substr(2, 98), std::string(98, '\0'));
    EXPECT_EQ(content[100], 'c');
    EXPECT_EQ(content.substr(101, 9000), std::string(9000, '\0'));
    EXPECT_EQ(content[9101], 'd');
}

TEST_F(MemoryFile, PositionsThatDoNotFitAreRefusedWithoutWrapping) {
    CPMemoryFile file;
    ASSERT_TRUE(file.Open(GENERIC_WRITE));
    ASSERT_EQ(file.Write("abcd", 4), 4u);
    ASSERT_TRUE(file.SetFilePtr(2, FILE_BEGIN));
    EXPECT_FALSE(file.SetFilePtr(-3, FILE_CURRENT));  // before the start
    EXPECT_FALSE(file.SetFilePtr(-5, FILE_END));
    EXPECT_EQ(file.GetFilePtr(), 2u);
    // An absolute position is unsigned; a capacity behind 0xFFFFFFF0 cannot be described.
    EXPECT_FALSE(file.SetFilePtr(static_cast<LONG>(0xFFFFFFF0u), FILE_BEGIN));
    EXPECT_FALSE(file.SetFilePtr(-1, FILE_BEGIN));
    EXPECT_EQ(file.GetFilePtr(), 2u);
    EXPECT_EQ(file.GetSize(), 4u);
    EXPECT_EQ(file.Write("x", 0), 0u);
    EXPECT_EQ(file.Write(nullptr, 1), 0u);
}

TEST_F(MemoryFile, CopiesAreSnapshots) {
    CPMemoryFile file;
    ASSERT_TRUE(file.Open(GENERIC_WRITE));
    ASSERT_EQ(file.Write("first", 5), 5u);
    CPMemoryFile copy(file);
    EXPECT_EQ(copy.GetAccess(), GENERIC_WRITE);
    EXPECT_EQ(copy.GetFilePtr(), 5u);
    EXPECT_EQ(file.GetRefCnt(), 2);
    ASSERT_EQ(file.Write("+more", 5), 5u);  // unshares first
    EXPECT_EQ(file.GetRefCnt(), 1);
    EXPECT_EQ(Content(copy), "first");
    EXPECT_EQ(Content(file), "first+more");
    // The copy writes into its own block too.
    ASSERT_EQ(copy.Write("!", 1), 1u);
    EXPECT_EQ(Content(copy), "first!");
    EXPECT_EQ(Content(file), "first+more");

    CPMemoryFile assigned;
    assigned = file;
    ASSERT_TRUE(file.Open(GENERIC_WRITE));  // a fresh block: the assigned copy keeps the old
    EXPECT_EQ(Content(assigned), "first+more");
    // A plain memory block does not share with a memory file.
    CPMemory plain;
    plain = file;
    EXPECT_EQ(plain.GetRefCnt(), 0);
}

TEST_F(MemoryFile, MemoryArchivesShareTheirContentAsSnapshots) {
    CMemChunkArchive archive;
    ASSERT_TRUE(archive.Open(GENERIC_WRITE));
    ASSERT_EQ(archive.Chnk_Open("A", CHNK_WRITE), 0u);
    ASSERT_EQ(archive.Chnk_Write("abc", 3), 3u);
    CMemChunkArchive copy(archive);  // layers and all
    ASSERT_TRUE(archive.Chnk_Close(0));
    ASSERT_EQ(copy.Chnk_Write("def", 3), 3u);
    ASSERT_TRUE(copy.Chnk_Close(0));
    CPMemoryFile mine = archive.GetContent();
    CPMemoryFile theirs = copy.GetContent();
    EXPECT_EQ(Content(mine), qzo::test::ChunkBytes("A", "abc"));
    EXPECT_EQ(Content(theirs), qzo::test::ChunkBytes("A", "abcdef"));

    // SetContent leaves the archive the only holder.
    CMemChunkArchive other;
    ASSERT_TRUE(other.SetContent(theirs));
    EXPECT_EQ(theirs.GetRefCnt(), 0);
    EXPECT_EQ(other.GetContent().GetRefCnt(), 3);  // the archive, copy's, and this temporary
    ASSERT_TRUE(other.Delete());
    EXPECT_EQ(other.Chnk_Open("A", CHNK_READ), 0xFFFFFFFFu);
}

}  // namespace
