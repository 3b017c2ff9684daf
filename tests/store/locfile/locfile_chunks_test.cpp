// Chunk mode of an object file: the byte format, refusals with their messages and errors, the
// write limit, the archive wrapper, and the file counters' report.
#include <gtest/gtest.h>

#include <cstdio>

#include "qzobj/hashid.h"
#include "store/locfile/locfile_test_support.h"
#include "support/capture.h"
#include "support/recording_archive.h"

namespace {

using namespace qzo::test::locfile;
using qzo::platform::GetLastError;
using qzo::platform::SetLastError;
using qzo::store::LocFileCounter;
using qzo::test::DebugCapture;
using qzo::test::Le32;
using qzo::test::Wide;

class LocFileChunks : public LocFileTest {
  protected:
    void SetUp() override {
        LocFileTest::SetUp();
        file_ = OpenWriter();
        ASSERT_NE(file_, nullptr);
    }
    void TearDown() override {
        if (file_) file_->Close();
        LocFileTest::TearDown();
    }
    LocFile* file_ = nullptr;
};

TEST_F(LocFileChunks, WritesTheChunkFormatAtThePointer) {
    ASSERT_EQ(file_->SetFilePtr(100, FILE_BEGIN), 100u);
    LocFileArchive archive(file_);
    ASSERT_EQ(archive.Chnk_Open("A", CHNK_WRITE), 0u);
    EXPECT_TRUE(file_->IsChunkMode());
    EXPECT_EQ(archive.Chnk_Write("0123456789", 10), 10u);
    ASSERT_EQ(archive.Chnk_Open("B", CHNK_WRITE), 1u);
    EXPECT_EQ(archive.Chnk_Write("wxyz", 4), 4u);
    ASSERT_TRUE(archive.Chnk_Close(1));
    ASSERT_TRUE(archive.Chnk_Close(0));
    EXPECT_FALSE(file_->IsChunkMode());
    const std::string expected =
        Le32(GetHashID("A")) + Le32(22) + "0123456789" + Le32(GetHashID("B")) + Le32(4) + "wxyz";
    EXPECT_EQ(Content().substr(100, 30), expected);
    EXPECT_EQ(Content().substr(130), original_.substr(130));

    ASSERT_EQ(file_->SetFilePtr(100, FILE_BEGIN), 100u);
    ASSERT_EQ(archive.Chnk_Open("A", CHNK_READ), 0u);
    EXPECT_EQ(archive.Chnk_GetSize(0), 22u);
    char bytes[32] = {};
    EXPECT_EQ(archive.Chnk_Read(bytes, 10), 10u);
    ASSERT_EQ(archive.Chnk_Open("B", CHNK_READ), 1u);
    EXPECT_EQ(archive.Chnk_Read(bytes, 32), 4u);
    EXPECT_EQ(std::string(bytes, 4), "wxyz");
    EXPECT_TRUE(archive.Chnk_Close(0));
    EXPECT_EQ(file_->GetFilePtr(), 130u);
}

TEST_F(LocFileChunks, ClosingSeveralWriteLayersWarnsAndPatchesEverySize) {
    ScopedDebug debug(true);
    DebugCapture capture;
    ASSERT_EQ(file_->Chnk_Open("A", CHNK_WRITE), 0u);
    ASSERT_EQ(file_->Chnk_Open("B", CHNK_WRITE), 1u);
    ASSERT_EQ(file_->Chnk_Write("xy", 2), 2u);
    ASSERT_TRUE(file_->Chnk_Close(0));
    EXPECT_TRUE(capture.Contains("LocFile::Chnk_Close: Multiple close detected!"));
    EXPECT_EQ(Content().substr(0, 18),
              Le32(GetHashID("A")) + Le32(10) + Le32(GetHashID("B")) + Le32(2) + "xy");
}

TEST_F(LocFileChunks, RawOperationsAreRefusedInChunkMode) {
    ScopedDebug debug(true);
    ASSERT_EQ(file_->Chnk_Open("A", CHNK_WRITE), 0u);
    DebugCapture capture;
    char byte = 0;
    SetLastError(0);
    EXPECT_EQ(file_->Write("x", 1), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(file_->Read(&byte, 1), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(file_->SetFilePtr(0, FILE_BEGIN), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(file_->SetEOF());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(capture.Text(),
              "\rLocFile::Write: Not allowed while in chunk mode\r\n"
              "\rLocFile::Read: Not allowed while in chunk mode\r\n"
              "\rLocFile::SetFilePtr: Not allowed while in chunk-mode\r\n"
              "\rLocFile::SetEOF not allowed while in chunk mode\r\n");
    // A read in the write direction is refused with error 5.
    SetLastError(0);
    EXPECT_EQ(file_->Chnk_Read(&byte, 1), 0u);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(file_->Chnk_Close(0));
    SetLastError(0);
    EXPECT_EQ(file_->Chnk_Write("x", 1), 0u);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(file_->Write("x", 1), 1u);
}

TEST_F(LocFileChunks, OpenRefusalsPrintTheirMessagesAndSetTheirErrors) {
    ScopedDebug debug(true);
    DebugCapture capture;
    SetLastError(0);
    EXPECT_EQ(file_->Chnk_Open("A", 0xC0000000u), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(capture.Text(),
              "\rLocFile::OpenChunk denied: dwDesiredAccess=C0000000, dwFileAccess=C0000000, "
              "dwChunkAccess=00000000\r\n");
    capture.Clear();
    for (unsigned layer = 0; layer < 16; ++layer)
        ASSERT_EQ(file_->Chnk_Open("L", CHNK_WRITE), layer);
    SetLastError(0);
    EXPECT_EQ(file_->Chnk_Open("L", CHNK_WRITE), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(capture.Text(), "\rLocFile::OpenChunk denied: Max. chunk layers expired\r\n");
    capture.Clear();
    EXPECT_EQ(file_->Chnk_Open("L", CHNK_READ), 0xFFFFFFFFu);  // stays 16 deep
    ASSERT_TRUE(file_->Chnk_Close(0));
    // A lowered access refuses writing chunks: the test uses the current access.
    ASSERT_TRUE(file_->SetAccess(kRead));
    capture.Clear();
    EXPECT_EQ(file_->Chnk_Open("A", CHNK_WRITE), 0xFFFFFFFFu);
    EXPECT_EQ(capture.Text(),
              "\rLocFile::OpenChunk denied: dwDesiredAccess=40000000, dwFileAccess=80000000, "
              "dwChunkAccess=40000000\r\n");
}

TEST_F(LocFileChunks, BadHeadersAreReportedInDetailAndLeaveThePointer) {
    ScopedDebug debug(true);
    DebugCapture capture;
    ASSERT_EQ(file_->SetFilePtr(2996, FILE_BEGIN), 2996u);
    EXPECT_EQ(file_->Chnk_Open("Short", CHNK_READ), 0xFFFFFFFFu);
    EXPECT_EQ(capture.Text(),
              "\rLocFile::OpenChunk denied: Error reading chunk header Short (2996 bytes of 3000 "
              "read)\r\n\r   Could read only 4 of 8 bytes header data\r\n");
    EXPECT_EQ(file_->GetFilePtr(), 2996u);
    capture.Clear();
    ASSERT_EQ(file_->SetFilePtr(0, FILE_BEGIN), 0u);
    const std::string stored = original_.substr(0, 4);
    const DWORD found = DWORD(BYTE(stored[0])) | DWORD(BYTE(stored[1])) << 8 |
                        DWORD(BYTE(stored[2])) << 16 | DWORD(BYTE(stored[3])) << 24;
    EXPECT_EQ(file_->Chnk_Open("Other", CHNK_READ), 0xFFFFFFFFu);
    char expected[200];
    std::snprintf(expected, sizeof expected,
                  "\rLocFile::OpenChunk denied: Error reading chunk header Other (0 bytes of 3000 "
                  "read)\r\n\r   ChunkIDs do not match: Expected=%08X, Found=%08X\r\n",
                  GetHashID("Other"), found);
    EXPECT_EQ(capture.Text(), expected);
    EXPECT_EQ(file_->GetFilePtr(), 0u);
    EXPECT_FALSE(file_->IsChunkMode());
}

TEST_F(LocFileChunks, WriteLimitRefusesWritesThatWouldPassIt) {
    ScopedDebug debug(true);
    ASSERT_EQ(file_->SetFilePtr(1000, FILE_BEGIN), 1000u);
    ASSERT_TRUE(file_->SetWriteLimit(1028));
    ASSERT_EQ(file_->Chnk_Open("NT", CHNK_WRITE), 0u);      // header 1000..1008
    EXPECT_EQ(file_->Chnk_Write("0123456789", 10), 10u);    // up to 1018: 10 left
    EXPECT_EQ(file_->Chnk_Write("ABCDEFGHIJKL", 12), 10u);  // would pass: nothing written
    EXPECT_EQ(file_->GetFilePtr(), 1018u);
    DebugCapture capture;
    // A header that would cross the limit fails whole.
    ASSERT_EQ(file_->Chnk_Write("ab", 2), 2u);         // up to 1020: 8 left
    EXPECT_EQ(file_->Chnk_Open("X", CHNK_WRITE), 1u);  // exactly fits: 1020..1028
    EXPECT_EQ(file_->Chnk_Write("z", 1), 0u);          // at the limit nothing fits
    ASSERT_TRUE(file_->Chnk_Close(1));
    ASSERT_TRUE(file_->Chnk_Close(0));
    ASSERT_EQ(file_->SetFilePtr(1024, FILE_BEGIN), 1024u);
    ASSERT_EQ(file_->Chnk_Open("Y", CHNK_WRITE), 0xFFFFFFFFu);
    EXPECT_EQ(capture.Text(), "\rLocFile::OpenChunk denied: Error writing chunk header\r\n");
    // Past the limit: nothing fits and nothing wraps.
    ASSERT_EQ(file_->SetFilePtr(2000, FILE_BEGIN), 2000u);
    EXPECT_EQ(file_->Chnk_Open("Z", CHNK_WRITE), 0xFFFFFFFFu);
    EXPECT_TRUE(file_->ClearWriteLimit());
    ASSERT_EQ(file_->Chnk_Open("Z", CHNK_WRITE), 0u);
    ASSERT_TRUE(file_->Chnk_Close(0));
    const std::string content = Content();
    EXPECT_EQ(content.substr(1008, 12), "0123456789ab");
    EXPECT_EQ(content.substr(1028, 2000 - 1028), original_.substr(1028, 2000 - 1028));
    EXPECT_EQ(content.substr(2008), original_.substr(2008));
}

TEST_F(LocFileChunks, ArchiveWithoutAFileRefusesEverything) {
    LocFileArchive archive(nullptr);
    char byte = 0;
    EXPECT_EQ(archive.Chnk_Open("A", CHNK_WRITE), 0xFFFFFFFFu);
    EXPECT_FALSE(archive.Chnk_Close(0));
    EXPECT_EQ(archive.Chnk_GetSize(0), 0u);
    EXPECT_EQ(archive.Chnk_Write("x", 1), 0u);
    EXPECT_EQ(archive.Chnk_Read(&byte, 1), 0u);
}

TEST_F(LocFileChunks, CloseClosesOpenLayersFirst) {
    ASSERT_EQ(file_->Chnk_Open("A", CHNK_WRITE), 0u);
    ASSERT_EQ(file_->Chnk_Write("abc", 3), 3u);
    file_->Close();
    file_ = nullptr;
    EXPECT_EQ(Content().substr(0, 11), Le32(GetHashID("A")) + Le32(3) + "abc");
}

TEST(LocFileCounters, OperationsAreTimedUnderTheirCountersAndReportedInOrder) {
    const auto events = [](LocFileCounter counter) {
        return qzo::store::LocFileCounterItem(counter).GetEvents();
    };
    const std::string folder = qzo::test::MakeTempDir("locfile-counters");
    const std::u16string path = Wide(folder + "/c.qzo");
    const DWORD creates = events(LocFileCounter::kCreate);
    const DWORD writes = events(LocFileCounter::kWrite);
    const DWORD closes = events(LocFileCounter::kClose);
    const DWORD openR = events(LocFileCounter::kOpenR);
    LocFile* file = LocFile::Open(path.c_str(), kReadWrite, 0, CREATE_ALWAYS, 0);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->Write("abc", 3), 3u);
    file->Close();
    LocFile* reader = LocFile::Open(path.c_str(), kRead, kShareAll, OPEN_EXISTING, 0);
    ASSERT_NE(reader, nullptr);
    reader->Close();
    EXPECT_EQ(events(LocFileCounter::kCreate), creates + 1);
    EXPECT_EQ(events(LocFileCounter::kWrite), writes + 1);
    EXPECT_EQ(events(LocFileCounter::kClose), closes + 2);
    EXPECT_EQ(events(LocFileCounter::kOpenR), openR + 1);

    ScopedDebug debug(true);
    DebugCapture capture;
    qzo::store::ReportLocFileCounters();
    const auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 12u);
    EXPECT_EQ(messages[0].Utf8(), "\rLocFile::Performance\r\n");
    const char* names[] = {"Create",  "OpenRW",     "OpenR", "Write",     "Read",      "Close",
                           "FilePtr", "AccessInfo", "Lock",  "LastWrite", "Attributes"};
    for (size_t i = 0; i < 11; ++i) {
        const std::string padded = "\r" + (names[i] + std::string(24, ' ')).substr(0, 24) + " [";
        EXPECT_EQ(messages[i + 1].Utf8().substr(0, padded.size()), padded) << i;
    }
    qzo::test::RemoveTree(folder);
}

}  // namespace
