// The access-info trailer: its stored bytes, how a writer adds and removes it without moving the
// file's last-write time, and how readers judge whether its writer still lives.
#include <gtest/gtest.h>

#include <thread>

#include "qzobj/hashid.h"
#include "qzobj/platform/system.h"
#include "qzobj/process.h"
#include "qzobj/store/objfile/locfile_format.h"
#include "store/locfile/locfile_test_support.h"
#include "support/capture.h"

namespace {

using namespace qzo::test::locfile;
namespace format = qzo::store::locfile_format;
using qzo::platform::GetLastError;
using qzo::test::DebugCapture;
using qzo::test::WriteFileBytes;

std::string Utf16Le(const std::u16string& text, size_t units) {
    std::string bytes(units * 2, '\0');
    for (size_t i = 0; i < text.size() && i < units; ++i) {
        bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
    }
    return bytes;
}

std::string Encoded(const tagACCESSINFO& info) {
    format::AccessInfoBytes bytes{};
    format::EncodeAccessInfo(info, bytes);
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

tagACCESSINFO Record(DWORD id, const std::u16string& computer, const std::u16string& user) {
    tagACCESSINFO info = format::EmptyAccessInfo();
    info.dwMagic = format::kAccessInfoMagic;
    info.dwComputerID = id;
    computer.copy(info.szComputerName, 15);
    user.copy(info.szUserName, 63);
    return info;
}

std::u16string OwnComputer() {
    WCHAR name[16] = {};
    GetCreateComputerName(name, 16);
    return name;
}

TEST(AccessInfoFormat, GoldenBytes) {
    const std::string bytes = Encoded(Record(0x12345678, u"BETA", u"b\u00f6b"));
    std::string expected = "IAZQ";
    expected += std::string("\x78\x56\x34\x12", 4);
    expected += Utf16Le(u"BETA", 16);
    expected += Utf16Le(u"b\u00f6b", 64);
    ASSERT_EQ(bytes.size(), 168u);
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(bytes.substr(8, 8), std::string("B\0E\0T\0A\0", 8));
    EXPECT_EQ(bytes.substr(40, 6), std::string("b\0\xf6\0b\0", 6));
}

TEST(AccessInfoFormat, DecodingTerminatesNamesThatFillTheirWidth) {
    format::AccessInfoBytes bytes{};
    for (BYTE& b : bytes) b = 'A';
    const tagACCESSINFO info = format::DecodeAccessInfo(bytes);
    EXPECT_EQ(info.dwMagic, 0x41414141u);
    EXPECT_EQ(std::u16string(info.szComputerName).size(), 15u);
    EXPECT_EQ(std::u16string(info.szUserName).size(), 63u);
    const tagACCESSINFO empty = format::EmptyAccessInfo();
    EXPECT_EQ(empty.dwMagic, 0u);
    EXPECT_EQ(empty.dwComputerID, 0x0000FC00u);
}

class LocFileTrailer : public LocFileTest {};

TEST_F(LocFileTrailer, WriterAddsItsRecordAtTheFirstLockAndCloseRemovesIt) {
    LocFile* file = OpenWriter();
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(file->Lock(0, kHeaderLock));
    const std::string locked = Content();
    ASSERT_EQ(locked.size(), original_.size() + kTrailer);
    EXPECT_EQ(locked.substr(0, original_.size()), original_);
    const std::string record = locked.substr(original_.size());
    EXPECT_EQ(record.substr(0, 4), "IAZQ");
    const DWORD id = GetComputerID();
    EXPECT_EQ(record.substr(4, 4), std::string(reinterpret_cast<const char*>(&id), 4));
    EXPECT_EQ(record.substr(8, 32), Utf16Le(OwnComputer(), 16));
    EXPECT_EQ(record.substr(40, 128), Utf16Le(qzo::platform::UserName().substr(0, 63), 64));
    // Announcing oneself is no change.
    EXPECT_EQ(LastWriteNs(path_), kOldWrite);
    EXPECT_FALSE(file->IsModified());
    // The writer's own view holds no foreign writer, and its marker sits just past the record.
    tagACCESSINFO info{};
    EXPECT_FALSE(file->GetAccessInfo(info));
    EXPECT_FALSE(ByteIsFree(path_, original_.size() + kTrailer));
    // The pointer is where it was.
    EXPECT_EQ(file->GetFilePtr(), 0u);
    ASSERT_TRUE(file->Unlock(0, kHeaderLock));
    // A second lock writes no second record.
    ASSERT_TRUE(file->Lock(0, kHeaderLock));
    ASSERT_TRUE(file->Unlock(0, kHeaderLock));
    EXPECT_EQ(Content().size(), original_.size() + kTrailer);
    file->Close();
    EXPECT_EQ(Content(), original_);
    EXPECT_EQ(LastWriteNs(path_), kOldWrite);
    EXPECT_TRUE(ByteIsFree(path_, original_.size() + kTrailer));
}

TEST_F(LocFileTrailer, OnlyTheLastCloseRemovesTheRecord) {
    LocFile* file = OpenWriter();
    ASSERT_NE(file, nullptr);
    file->AddRef();
    EXPECT_EQ(file->GetOpenCount(), 2u);
    ASSERT_TRUE(file->Lock(0, kHeaderLock));
    ASSERT_TRUE(file->Unlock(0, kHeaderLock));
    EXPECT_TRUE(file->Close());
    EXPECT_EQ(file->GetOpenCount(), 1u);
    EXPECT_EQ(Content().size(), original_.size() + kTrailer);
    EXPECT_TRUE(file->Close());
    EXPECT_EQ(Content(), original_);
}

TEST_F(LocFileTrailer, CloseStripsTheOwnRecordEvenAfterTheAccessWasLowered) {
    LocFile* file = OpenWriter();
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(file->Lock(0, kHeaderLock));
    ASSERT_TRUE(file->Unlock(0, kHeaderLock));
    ASSERT_TRUE(file->SetAccess(kRead));
    EXPECT_EQ(file->GetAccess(), kRead);
    file->Close();
    EXPECT_EQ(Content(), original_);
}

TEST_F(LocFileTrailer, ReaderSeesTheLiveWriterOfThisProcessAndProbingKeepsItsMarker) {
    LocFile* writer = OpenWriter();
    ASSERT_NE(writer, nullptr);
    Closer closeWriter(writer);
    ASSERT_TRUE(writer->Lock(0, kHeaderLock));
    ASSERT_TRUE(writer->Unlock(0, kHeaderLock));
    for (int round = 0; round < 3; ++round) {
        LocFile* reader = OpenReader();
        ASSERT_NE(reader, nullptr);
        ASSERT_TRUE(reader->Lock(0, kHeaderLock));
        tagACCESSINFO info{};
        EXPECT_TRUE(reader->GetAccessInfo(info)) << round;
        EXPECT_EQ(info.dwComputerID, GetComputerID());
        EXPECT_EQ(std::u16string(info.szComputerName), OwnComputer());
        ASSERT_TRUE(reader->Unlock(0, kHeaderLock));
        reader->Close();
    }
    EXPECT_FALSE(ByteIsFree(path_, original_.size() + kTrailer));
    EXPECT_EQ(Content().size(), original_.size() + kTrailer);
}

TEST_F(LocFileTrailer, StaleRecordIsVoidForReadersAndReplacedByTheNextWriter) {
    WriteFileBytes(path_, original_ + Encoded(Record(0x11110000, u"GONE", u"ghost")));
    SetTimesNs(path_, kOldAccess, kOldWrite);
    LocFile* reader = OpenReader();
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(reader->Lock(0, kHeaderLock));
    tagACCESSINFO info{};
    EXPECT_FALSE(reader->GetAccessInfo(info));
    EXPECT_EQ(info.dwMagic, 0u);
    EXPECT_EQ(info.dwComputerID, 0x0000FC00u);
    ASSERT_TRUE(reader->Unlock(0, kHeaderLock));
    reader->Close();
    // The reader leaves the stale record in place.
    EXPECT_EQ(Content().size(), original_.size() + kTrailer);

    LocFile* writer = OpenWriter();
    ASSERT_NE(writer, nullptr);
    ASSERT_TRUE(writer->Lock(0, kHeaderLock));
    const std::string replaced = Content();
    ASSERT_EQ(replaced.size(), original_.size() + kTrailer);
    EXPECT_EQ(replaced.substr(original_.size() + 8, 32), Utf16Le(OwnComputer(), 16));
    ASSERT_TRUE(writer->Unlock(0, kHeaderLock));
    writer->Close();
    EXPECT_EQ(Content(), original_);
    EXPECT_EQ(LastWriteNs(path_), kOldWrite);
}

TEST_F(LocFileTrailer, ReaderOfAFileShorterThanTheLockedRangeFindsNoWriter) {
    const std::string shortFile = original_.substr(0, 1000);
    WriteFileBytes(path_, shortFile + Encoded(Record(0x22220000, u"ALPHA", u"al")));
    LocFile* reader = OpenReader();
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(reader->Lock(0, kHeaderLock));
    tagACCESSINFO info{};
    EXPECT_FALSE(reader->GetAccessInfo(info));
    ASSERT_TRUE(reader->Unlock(0, kHeaderLock));
    reader->Close();
}

TEST_F(LocFileTrailer, FileUnder168BytesHasNoRecordAndGetsOneAppended) {
    WriteFileBytes(path_, "tiny");
    LocFile* file = OpenWriter();
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(file->Lock(0, 4));
    EXPECT_EQ(FileSize(path_), 4 + kTrailer);
    EXPECT_EQ(Content().substr(4, 4), "IAZQ");
    ASSERT_TRUE(file->Unlock(0, 4));
    file->Close();
    EXPECT_EQ(Content(), "tiny");
}

TEST_F(LocFileTrailer, SetEofEndsTheFileWithTheRecordAndMovesTheMarker) {
    LocFile* file = OpenWriter();
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(file->Lock(0, kHeaderLock));
    ASSERT_EQ(file->SetFilePtr(1000, FILE_BEGIN), 1000u);
    ASSERT_TRUE(file->SetEOF());
    EXPECT_EQ(FileSize(path_), 1000 + kTrailer);
    EXPECT_EQ(Content().substr(1000, 4), "IAZQ");
    EXPECT_FALSE(ByteIsFree(path_, 1000 + kTrailer));
    EXPECT_TRUE(ByteIsFree(path_, original_.size() + kTrailer));
    ASSERT_TRUE(file->Unlock(0, kHeaderLock));
    file->Close();
    EXPECT_EQ(Content(), original_.substr(0, 1000));
}

TEST_F(LocFileTrailer, ReadAccessInfoReadsARecordAtThePointer) {
    WriteFileBytes(path_, original_ + Encoded(Record(0x33330000, u"GAMMA", u"gus")));
    LocFile* reader = OpenReader();
    ASSERT_NE(reader, nullptr);
    Closer closer(reader);
    ASSERT_EQ(reader->SetFilePtr(-168, FILE_END), original_.size());
    tagACCESSINFO info{};
    ASSERT_TRUE(reader->ReadAccessInfo(&info));
    EXPECT_EQ(info.dwComputerID, 0x33330000u);
    EXPECT_EQ(std::u16string(info.szUserName), u"gus");
    EXPECT_FALSE(reader->ReadAccessInfo(&info));  // at the end: nothing came
    EXPECT_FALSE(reader->ReadAccessInfo(nullptr));
}

}  // namespace
