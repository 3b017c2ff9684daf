// The storage under the chunk archives. CPMemoryFile: growth in steps of 4096, zeroed gaps,
// refused overflow, copies as snapshots, and the access rules of reading, writing and seeking.
// The file archive alone: the open time-out against another process holding the file, cutting
// the file, deleting it, large payloads through the buffer, and failed write-outs.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "qzobj/platform/file_faults.h"
#include "qzobj/platform/system.h"
#include "qzobj/store.h"
#include "support/fixture.h"
#include "support/peer.h"
#include "support/recording_archive.h"
#include "support/text.h"

namespace {

using qzo::test::ChunkBytes;
using qzo::test::FileExists;
using qzo::test::Peer;
using qzo::test::ReadFileBytes;
using qzo::test::Wide;
using qzo::test::WriteFileBytes;

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
    EXPECT_EQ(Content(mine), ChunkBytes("A", "abc"));
    EXPECT_EQ(Content(theirs), ChunkBytes("A", "abcdef"));

    // SetContent leaves the archive the only holder.
    CMemChunkArchive other;
    ASSERT_TRUE(other.SetContent(theirs));
    EXPECT_EQ(theirs.GetRefCnt(), 0);
    EXPECT_EQ(other.GetContent().GetRefCnt(), 3);  // the archive, copy's, and this temporary
    ASSERT_TRUE(other.Delete());
    EXPECT_EQ(other.Chnk_Open("A", CHNK_READ), 0xFFFFFFFFu);
}

class ChunkFile : public qzo::test::QzoTest {
  protected:
    void TearDown() override {
        qzo::platform::ClearFileFaults();
        QzoTest::TearDown();
    }
};

// The peer opens the file without sharing and keeps it until told to close.
CQZFile& HeldFile() {
    static CQZFile& file = *new CQZFile;
    return file;
}

QZO_PEER_COMMAND(chunk_hold) {
    const std::u16string path = Wide(args.at(0));
    return std::to_string(
        HeldFile().Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS, 0));
}

QZO_PEER_COMMAND(chunk_release) {
    return std::to_string(HeldFile().Close());
}

TEST_F(ChunkFile, OpenTimesOutWhileAnotherProcessHoldsTheFile) {
    const std::string path = TempPath("held.chk");
    WriteFileBytes(path, ChunkBytes("A", "a"));
    Peer peer;
    ASSERT_TRUE(peer.Start());
    ASSERT_EQ(peer.Call("chunk_hold " + path), "0");

    CChunkArchive archive;
    const DWORD start = qzo::platform::GetTickCount();
    EXPECT_EQ(archive.Open(Wide(path).c_str(), GENERIC_READ, OPEN_EXISTING, 200), 258u);
    const DWORD elapsed = qzo::platform::GetTickCount() - start;
    EXPECT_GE(elapsed, 100u);
    EXPECT_LT(elapsed, 2000u);
    EXPECT_EQ(archive.Chnk_Open("A", CHNK_READ), 0xFFFFFFFFu);

    ASSERT_EQ(peer.Call("chunk_release"), "1");
    EXPECT_EQ(archive.Open(Wide(path).c_str(), GENERIC_READ, OPEN_EXISTING, 200), 0u);
    EXPECT_EQ(archive.Chnk_Open("A", CHNK_READ), 0u);
    // Other failures are not retried.
    CChunkArchive missing;
    EXPECT_EQ(
        missing.Open(Wide(TempPath("none.chk")).c_str(), GENERIC_READ, OPEN_EXISTING, INFINITE),
        0xFFFFFFFFu);
}

TEST_F(ChunkFile, SetEofCutsAtThePositionAndDeleteRemovesTheFile) {
    const std::string path = TempPath("cut.chk");
    CChunkArchive archive;
    ASSERT_EQ(archive.Open(Wide(path).c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0), 0u);
    for (const char* name : {"A", "B"}) {
        ASSERT_EQ(archive.Chnk_Open(name, CHNK_WRITE), 0u);
        ASSERT_EQ(archive.Chnk_Write("payload", 7), 7u);
        ASSERT_TRUE(archive.Chnk_Close(0));
    }
    ASSERT_TRUE(archive.Close());
    // Rewrite a shorter first chunk and cut the rest.
    ASSERT_EQ(archive.Open(Wide(path).c_str(), GENERIC_WRITE, OPEN_EXISTING, 0), 0u);
    ASSERT_EQ(archive.Chnk_Open("A", CHNK_WRITE), 0u);
    ASSERT_EQ(archive.Chnk_Write("p", 1), 1u);
    ASSERT_TRUE(archive.Chnk_Close(0));
    EXPECT_TRUE(archive.SetEOF());
    ASSERT_TRUE(archive.Close());
    EXPECT_EQ(ReadFileBytes(path), ChunkBytes("A", "p"));
    EXPECT_FALSE(archive.SetEOF());  // closed
    EXPECT_TRUE(archive.Delete());
    EXPECT_FALSE(FileExists(path));
}

TEST_F(ChunkFile, LargePayloadsPassTheBufferIntact) {
    const std::string path = TempPath("large.chk");
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
    {
        CChunkArchive archive;
        ASSERT_EQ(archive.Open(Wide(path).c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0), 0u);
        ASSERT_EQ(archive.Chnk_Open("Big", CHNK_WRITE), 0u);
        ASSERT_EQ(archive.Chnk_Write(big.data(), 100), 100u);
        ASSERT_EQ(archive.Chnk_Open("Inner", CHNK_WRITE), 1u);
        ASSERT_EQ(archive.Chnk_Write(big.data() + 100, 150000), 150000u);
        ASSERT_TRUE(archive.Chnk_Close(1));
        for (size_t at = 150100; at < big.size(); at += 1000) {
            const DWORD part = static_cast<DWORD>(std::min<size_t>(1000, big.size() - at));
            ASSERT_EQ(archive.Chnk_Write(big.data() + at, part), part);
        }
        ASSERT_TRUE(archive.Chnk_Close(0));
        ASSERT_TRUE(archive.Close());
    }
    const std::string expected =
        ChunkBytes("Big", big.substr(0, 100) + ChunkBytes("Inner", big.substr(100, 150000)) +
                              big.substr(150100));
    ASSERT_TRUE(ReadFileBytes(path) == expected);

    CChunkArchive archive;
    ASSERT_EQ(archive.Open(Wide(path).c_str(), GENERIC_READ, OPEN_EXISTING, 0), 0u);
    ASSERT_EQ(archive.Chnk_Open("Big", CHNK_READ), 0u);
    std::string head(100, '\0');
    ASSERT_EQ(archive.Chnk_Read(head.data(), 100), 100u);
    ASSERT_TRUE(archive.Chnk_Find("Inner"));
    ASSERT_EQ(archive.Chnk_Open("Inner", CHNK_READ), 1u);
    std::string inner(200000, '\0');
    ASSERT_EQ(archive.Chnk_Read(inner.data(), 200000), 150000u);
    EXPECT_TRUE(inner.substr(0, 150000) == big.substr(100, 150000));
    ASSERT_TRUE(archive.Chnk_Close(1));
    std::string rest(100000, '\0');
    ASSERT_EQ(archive.Chnk_Read(rest.data(), 100000), big.size() - 150100);
    EXPECT_TRUE(rest.substr(0, big.size() - 150100) == big.substr(150100));
}

TEST_F(ChunkFile, AFailedWriteOutFailsCloseAfterClosingEverything) {
    const std::string path = TempPath("full.chk");
    CChunkArchive archive;
    ASSERT_EQ(archive.Open(Wide(path).c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0), 0u);
    ASSERT_EQ(archive.Chnk_Open("A", CHNK_WRITE), 0u);
    std::string payload(100000, 'p');
    ASSERT_EQ(archive.Chnk_Write(payload.data(), 100000), 100000u);
    // The disk fills up: the size of A cannot be stored any more.
    qzo::platform::FileFaults faults;
    faults.writeBudget = 0;
    qzo::platform::SetFileFaults(faults);
    EXPECT_FALSE(archive.Close());
    EXPECT_EQ(archive.Chnk_GetSize(0), 0u);
    EXPECT_EQ(archive.Chnk_Open("A", CHNK_WRITE), 0xFFFFFFFFu);  // the file is closed
    qzo::platform::ClearFileFaults();
    EXPECT_EQ(ReadFileBytes(path).substr(4, 4), std::string(4, '\0'));  // never patched
    // The archive opens again afterwards.
    EXPECT_EQ(archive.Open(Wide(path).c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0), 0u);
    EXPECT_TRUE(archive.Close());
}

}  // namespace
