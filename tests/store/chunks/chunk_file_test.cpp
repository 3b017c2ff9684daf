// What only the file archive does: the open time-out against another process holding the file,
// cutting the file, deleting it, large payloads through the buffer, and failed write-outs.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "store/chunks/chunk_test_support.h"
#include "qzobj/platform/file_faults.h"
#include "qzobj/platform/system.h"
#include "support/peer.h"
#include "support/recording_archive.h"

namespace {

using qzo::test::ChunkBytes;
using qzo::test::FileExists;
using qzo::test::Peer;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;
using qzo::test::chunks::System;

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
    const std::u16string path = System(args.at(0));
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
    EXPECT_EQ(archive.Open(System(path).c_str(), GENERIC_READ, OPEN_EXISTING, 200), 258u);
    const DWORD elapsed = qzo::platform::GetTickCount() - start;
    EXPECT_GE(elapsed, 100u);
    EXPECT_LT(elapsed, 2000u);
    EXPECT_EQ(archive.Chnk_Open("A", CHNK_READ), 0xFFFFFFFFu);

    ASSERT_EQ(peer.Call("chunk_release"), "1");
    EXPECT_EQ(archive.Open(System(path).c_str(), GENERIC_READ, OPEN_EXISTING, 200), 0u);
    EXPECT_EQ(archive.Chnk_Open("A", CHNK_READ), 0u);
    // Other failures are not retried.
    CChunkArchive missing;
    EXPECT_EQ(
        missing.Open(System(TempPath("none.chk")).c_str(), GENERIC_READ, OPEN_EXISTING, INFINITE),
        0xFFFFFFFFu);
}

TEST_F(ChunkFile, SetEofCutsAtThePositionAndDeleteRemovesTheFile) {
    const std::string path = TempPath("cut.chk");
    CChunkArchive archive;
    ASSERT_EQ(archive.Open(System(path).c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0), 0u);
    for (const char* name : {"A", "B"}) {
        ASSERT_EQ(archive.Chnk_Open(name, CHNK_WRITE), 0u);
        ASSERT_EQ(archive.Chnk_Write("payload", 7), 7u);
        ASSERT_TRUE(archive.Chnk_Close(0));
    }
    ASSERT_TRUE(archive.Close());
    // Rewrite a shorter first chunk and cut the rest.
    ASSERT_EQ(archive.Open(System(path).c_str(), GENERIC_WRITE, OPEN_EXISTING, 0), 0u);
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
        ASSERT_EQ(archive.Open(System(path).c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0), 0u);
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
    ASSERT_EQ(archive.Open(System(path).c_str(), GENERIC_READ, OPEN_EXISTING, 0), 0u);
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
    ASSERT_EQ(archive.Open(System(path).c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0), 0u);
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
    EXPECT_EQ(archive.Open(System(path).c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0), 0u);
    EXPECT_TRUE(archive.Close());
}

}  // namespace
