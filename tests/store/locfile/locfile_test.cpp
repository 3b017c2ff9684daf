// The object file's lock layer: the header lock between threads and handles, unbalanced unlocks
// and closes, counts, access and times; and the access-info trailer: its stored bytes, how a
// writer adds and removes it without moving the file's last-write time, and how readers judge
// whether its writer still lives, in this process and in another one (a live peer and a killed
// one); and chunk mode: the byte format at the pointer, refusals with their messages and
// errors, the write limit, the archive wrapper, and the file counters' report.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "qzobj/diag.h"
#include "qzobj/file_modes.h"
#include "qzobj/hashid.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/system.h"
#include "qzobj/process.h"
#include "qzobj/store/objfile/locfile.h"
#include "qzobj/store/objfile/locfile_format.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/peer.h"
#include "support/recording_archive.h"
#include "support/text.h"

namespace {

namespace format = qzo::store::locfile_format;
using qzo::platform::GetLastError;
using qzo::platform::SetLastError;
using qzo::store::LocFileCounter;
using qzo::test::DebugCapture;
using qzo::test::Le32;
using qzo::test::Wide;
using qzo::test::WriteFileBytes;

// ---- helpers: the trailer's sizes, file times and lock probes, and a fixture with an object
// file of known content

constexpr DWORD kHeaderLock = 2236;
constexpr DWORD kTrailer = 168;
constexpr DWORD kRead = 0x80000000u;
constexpr DWORD kReadWrite = 0xC0000000u;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
using ScopedDebug = qzo::test::ScopedDebugOutput;

// Last-write time of a file in nanoseconds since 1970; -1 when it cannot be read.
long long LastWriteNs(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1;
    return st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
}

// Sets both times of a file (nanoseconds since 1970).
void SetTimesNs(const std::string& path, long long lastAccess, long long lastWrite) {
    struct timespec times[2] = {{lastAccess / 1000000000LL, lastAccess % 1000000000LL},
                                {lastWrite / 1000000000LL, lastWrite % 1000000000LL}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

long long FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Whether a byte-range lock on [offset, offset + 1) is free for a new handle of this process.
bool ByteIsFree(const std::string& path, DWORD offset) {
    auto file =
        qzo::platform::File::Open(Wide(path).c_str(), GENERIC_READ, kShareAll, OPEN_EXISTING, 0);
    if (!file) return false;
    const bool free = file->Lock(offset, 1);
    if (free) file->Unlock(offset, 1);
    return free;
}

// Closes a LocFile at the end of a scope.
struct Closer {
    explicit Closer(LocFile* file) : file_(file) {}
    ~Closer() {
        if (file_) file_->Close();
    }
    LocFile* file_;
};

// Every test starts with "obj.qzo": 3000 bytes of a known pattern, last written at a fixed time.
class LocFileTest : public qzo::test::QzoTest {
  protected:
    static constexpr long long kOldWrite = 1000000000123456700LL;
    static constexpr long long kOldAccess = 1000000000000000000LL;

    void SetUp() override {
        QzoTest::SetUp();
        path_ = TempPath("obj.qzo");
        original_.resize(3000);
        for (size_t i = 0; i < original_.size(); ++i) original_[i] = static_cast<char>(i * 7 + 1);
        WriteFileBytes(path_, original_);
        SetTimesNs(path_, kOldAccess, kOldWrite);
    }
    LocFile* OpenWriter(DWORD share = FILE_SHARE_READ) {
        return LocFile::Open(Wide(path_).c_str(), kReadWrite, share, OPEN_EXISTING, 0);
    }
    LocFile* OpenReader() {
        return LocFile::Open(Wide(path_).c_str(), kRead, kShareAll, OPEN_EXISTING, 0);
    }
    std::string Content() const { return qzo::test::ReadFileBytes(path_); }

    std::string path_;
    std::string original_;
};

class LocFileLock : public LocFileTest {};

TEST_F(LocFileLock, OpenFailureLeavesTheSystemError) {
    SetLastError(0);
    EXPECT_EQ(
        LocFile::Open(Wide(TempPath("missing.qzo")).c_str(), kRead, kShareAll, OPEN_EXISTING, 0),
        nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(LocFile::Open(nullptr, kRead, kShareAll, OPEN_EXISTING, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    LocFile* writer = OpenWriter(0);
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(OpenReader(), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    writer->Close();
}

TEST_F(LocFileLock, TwoObjectsOnOneFileExcludeEachOther) {
    LocFile* a = OpenReader();
    LocFile* b = OpenReader();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(a->Lock(0, kHeaderLock));
    EXPECT_FALSE(b->Lock(0, kHeaderLock));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_EQ(b->GetLockCount(), 0u);
    ASSERT_TRUE(a->Unlock(0, kHeaderLock));
    EXPECT_TRUE(b->Lock(0, kHeaderLock));
    EXPECT_TRUE(b->Unlock(0, kHeaderLock));
    a->Close();
    b->Close();
}

TEST_F(LocFileLock, AnotherThreadFailsWith33WhileTheHolderKeepsTheLock) {
    LocFile* file = OpenReader();
    ASSERT_NE(file, nullptr);
    Closer closer(file);
    ASSERT_TRUE(file->Lock(0, kHeaderLock));
    BOOL otherResult = TRUE;
    DWORD otherError = 0;
    BOOL otherUnlock = TRUE;
    std::thread other([&] {
        otherResult = file->Lock(0, kHeaderLock);
        otherError = GetLastError();
        otherUnlock = file->Unlock(0, kHeaderLock);  // not the holder: refused
    });
    other.join();
    EXPECT_FALSE(otherResult);
    EXPECT_EQ(otherError, ERROR_LOCK_VIOLATION);
    EXPECT_FALSE(otherUnlock);
    EXPECT_EQ(file->GetLockCount(), 1u);
    // The holder locking the same range again gets 33 too, and nothing changes.
    EXPECT_FALSE(file->Lock(0, kHeaderLock));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_EQ(file->GetLockCount(), 1u);
    ASSERT_TRUE(file->Unlock(0, kHeaderLock));
    // Now the other thread gets it.
    BOOL later = FALSE;
    std::thread again([&] {
        later = file->Lock(0, kHeaderLock);
        if (later) file->Unlock(0, kHeaderLock);
    });
    again.join();
    EXPECT_TRUE(later);
}

TEST_F(LocFileLock, LocksOfOneHolderAreCountedAndUnlockedExactly) {
    ScopedDebug debug(true);
    LocFile* file = OpenReader();
    ASSERT_NE(file, nullptr);
    Closer closer(file);
    DebugCapture capture;
    EXPECT_FALSE(file->Unlock(0, kHeaderLock));
    EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
    EXPECT_TRUE(capture.Contains(": Illegal attempt to unlock non-locked file\r\n"));
    EXPECT_TRUE(capture.Contains("UNLOCK HISTORY"));
    // One holder's locks of distinct ranges are counted; only an exact range unlocks.
    ASSERT_TRUE(file->Lock(0, 100));
    ASSERT_TRUE(file->Lock(100, 100));
    EXPECT_EQ(file->GetLockCount(), 2u);
    EXPECT_FALSE(file->Unlock(50, 10));  // not a locked range: everything stays
    EXPECT_EQ(file->GetLockCount(), 2u);
    EXPECT_TRUE(file->Unlock(100, 100));
    EXPECT_TRUE(file->Unlock(0, 100));
    EXPECT_EQ(file->GetLockCount(), 0u);
    EXPECT_FALSE(file->Lock(0, 0));
    EXPECT_EQ(file->GetLockCount(), 0u);
}

TEST_F(LocFileLock, CloseWithLocksHeldReleasesThemAndReports) {
    ScopedDebug debug(true);
    DebugCapture capture;
    LocFile* file = OpenWriter(kShareAll);
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(file->Lock(0, 100));
    ASSERT_TRUE(file->Lock(200, 100));
    EXPECT_TRUE(file->Close());
    EXPECT_TRUE(capture.Contains("FileLock count (2) wasn't zero at close!!\r\n"));
    EXPECT_TRUE(capture.Contains("CLOSE HISTORY"));
    EXPECT_EQ(Content(), original_);
    // Nothing stays locked, and this thread holds no section of the freed object.
    LocFile* next = OpenReader();
    ASSERT_NE(next, nullptr);
    EXPECT_TRUE(next->Lock(0, kHeaderLock));
    EXPECT_TRUE(next->Unlock(0, kHeaderLock));
    next->Close();
}

TEST_F(LocFileLock, AccessWords) {
    LocFile* reader = OpenReader();
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->GetAccess(), kRead);
    EXPECT_FALSE(reader->SetAccess(0x1FFFFFFF));
    EXPECT_FALSE(reader->SetAccess(0x20000000));  // editing needs a write handle
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    reader->Close();
    LocFile* writer =
        LocFile::Open(Wide(path_).c_str(), 0x60000001, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(writer->GetAccess(), 0xE0000001u);
    EXPECT_TRUE(writer->SetAccess(0x20000000));
    EXPECT_EQ(writer->GetAccess(), 0xA0000000u);
    EXPECT_TRUE(writer->SetAccess(0x40000000));
    EXPECT_EQ(writer->GetAccess(), 0x40000000u);
    writer->Close();
}

TEST_F(LocFileLock, RawTransfersSetTheModifiedFlagAndForgetTheCachedTime) {
    LocFile* file = OpenWriter();
    ASSERT_NE(file, nullptr);
    Closer closer(file);
    FILETIME before{};
    ASSERT_TRUE(file->GetLastWriteTime(&before));
    EXPECT_FALSE(file->IsModified());
    char bytes[10] = {};
    EXPECT_EQ(file->Read(bytes, 10), 10u);
    EXPECT_EQ(std::string(bytes, 10), original_.substr(0, 10));
    EXPECT_EQ(file->Write("0123456789", 10), 10u);
    EXPECT_TRUE(file->IsModified());
    EXPECT_EQ(file->GetFilePtr(), 20u);
    FILETIME after{};
    ASSERT_TRUE(file->GetLastWriteTime(&after));
    EXPECT_NE(qzo::platform::FileTimeValue(after), qzo::platform::FileTimeValue(before));
    EXPECT_TRUE(file->Flush());
    EXPECT_NE(file->GetAttributes(), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(file->GetAttributes() & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST_F(LocFileLock, TouchLastWriteRisesEveryTimeAndSettingTimesNeedsWriting) {
    LocFile* file = OpenWriter();
    ASSERT_NE(file, nullptr);
    Closer closer(file);
    // Last access later than last write: the write time takes the access time.
    SetTimesNs(path_, kOldWrite + 5000, kOldWrite);
    ASSERT_TRUE(file->TouchLastWrite());
    EXPECT_EQ(LastWriteNs(path_), kOldWrite + 5000);
    // Equal times: one unit (100 ns) later.
    ASSERT_TRUE(file->TouchLastWrite());
    EXPECT_EQ(LastWriteNs(path_), kOldWrite + 5100);
    long long previous = LastWriteNs(path_);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(file->TouchLastWrite());
        const long long now = LastWriteNs(path_);
        ASSERT_GT(now, previous) << i;
        previous = now;
    }
    FILETIME cached{};
    ASSERT_TRUE(file->GetLastWriteTime(&cached));
    EXPECT_EQ(qzo::platform::FileTimeValue(cached), 116444736000000000ull + previous / 100);
    // Setting the time needs write access.
    LocFile* reader = OpenReader();
    ASSERT_NE(reader, nullptr);
    EXPECT_FALSE(reader->SetFileTimeNow());
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(reader->TouchLastWrite());
    reader->Close();
    EXPECT_TRUE(file->SetFileTimeNow());
    EXPECT_GT(LastWriteNs(path_), previous);
}

// ---- the access-info trailer

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

TEST(AccessInfoFormat, GoldenBytesAndFullWidthNames) {
    const std::string bytes = Encoded(Record(0x12345678, u"BETA", u"b\u00f6b"));
    std::string expected = "IAZQ";
    expected += std::string("\x78\x56\x34\x12", 4);
    expected += Utf16Le(u"BETA", 16);
    expected += Utf16Le(u"b\u00f6b", 64);
    ASSERT_EQ(bytes.size(), 168u);
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(bytes.substr(8, 8), std::string("B\0E\0T\0A\0", 8));
    EXPECT_EQ(bytes.substr(40, 6), std::string("b\0\xf6\0b\0", 6));
    // Decoding terminates names that fill their width.
    format::AccessInfoBytes filled{};
    for (BYTE& b : filled) b = 'A';
    const tagACCESSINFO info = format::DecodeAccessInfo(filled);
    EXPECT_EQ(info.dwMagic, 0x41414141u);
    EXPECT_EQ(std::u16string(info.szComputerName).size(), 15u);
    EXPECT_EQ(std::u16string(info.szUserName).size(), 63u);
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

TEST_F(LocFileTrailer, OnlyTheLastCloseRemovesTheRecordWhateverTheAccess) {
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
    // Close strips the own record even after the access was lowered.
    file = OpenWriter();
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(file->Lock(0, kHeaderLock));
    ASSERT_TRUE(file->Unlock(0, kHeaderLock));
    ASSERT_TRUE(file->SetAccess(kRead));
    EXPECT_EQ(file->GetAccess(), kRead);
    file->Close();
    EXPECT_EQ(Content(), original_);
}

TEST_F(LocFileTrailer, ShortFilesHaveNoRecordAndGetOneAppended) {
    WriteFileBytes(path_, "tiny");
    LocFile* file = OpenWriter();
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(file->Lock(0, 4));
    EXPECT_EQ(FileSize(path_), 4 + kTrailer);
    EXPECT_EQ(Content().substr(4, 4), "IAZQ");
    ASSERT_TRUE(file->Unlock(0, 4));
    file->Close();
    EXPECT_EQ(Content(), "tiny");
    // A reader of a file shorter than the locked range finds no writer in a record there.
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

LocFile*& PeerWriter() {
    static LocFile* writer = nullptr;
    return writer;
}

}  // namespace

// Opens PATH for writing and takes and releases the header lock once, so that the file carries
// this process's record: "OK", or "ERR <step> <error>".
QZO_PEER_COMMAND(locfile_writer) {
    const std::u16string path = Wide(args.at(0));
    LocFile* file = LocFile::Open(path.c_str(), kReadWrite, FILE_SHARE_READ, OPEN_EXISTING, 0);
    if (!file) return "ERR open " + std::to_string(qzo::platform::GetLastError());
    if (!file->Lock(0, kHeaderLock))
        return "ERR lock " + std::to_string(qzo::platform::GetLastError());
    file->Unlock(0, kHeaderLock);
    PeerWriter() = file;
    return "OK";
}

QZO_PEER_COMMAND(locfile_close) {
    if (!PeerWriter()) return "ERR none";
    PeerWriter()->Close();
    PeerWriter() = nullptr;
    return "OK";
}

namespace {

class LocFilePeer : public LocFileTest {
  protected:
    void StartBeta() {
        peer_ = std::make_unique<qzo::test::Peer>(std::map<std::string, std::string>{
            {"QZO_COMPUTERNAME", "BETA"}, {"QZO_USERNAME", "bob"}});
        ASSERT_TRUE(peer_->Start());
        ASSERT_EQ(peer_->Call("locfile_writer " + path_), "OK");
    }
    // What a reader of this process learns at its first lock.
    bool ReaderSees(tagACCESSINFO& info) {
        LocFile* reader = OpenReader();
        if (!reader) return false;
        bool found = false;
        if (reader->Lock(0, kHeaderLock)) {
            found = reader->GetAccessInfo(info) != FALSE;
            reader->Unlock(0, kHeaderLock);
        }
        reader->Close();
        return found;
    }
    std::unique_ptr<qzo::test::Peer> peer_;
};

TEST_F(LocFilePeer, ReaderNamesThePeerWriterAndItsUserWithoutDisturbingItsMarker) {
    StartBeta();
    for (int round = 0; round < 3; ++round) {
        tagACCESSINFO info{};
        ASSERT_TRUE(ReaderSees(info)) << round;
        EXPECT_EQ(std::u16string(info.szComputerName), u"BETA");
        EXPECT_EQ(std::u16string(info.szUserName), u"bob");
        EXPECT_EQ(info.dwComputerID, GetHashIDW(u"BETA"));
    }
    EXPECT_FALSE(ByteIsFree(path_, original_.size() + kTrailer));
    ASSERT_EQ(peer_->Call("locfile_close"), "OK");
    EXPECT_EQ(Content(), original_);
    EXPECT_EQ(LastWriteNs(path_), kOldWrite);
    tagACCESSINFO info{};
    EXPECT_FALSE(ReaderSees(info));
}

TEST_F(LocFilePeer, KilledWritersRecordIsVoidAndTheNextWriterReplacesIt) {
    StartBeta();
    kill(peer_->pid(), SIGKILL);
    const qzo::test::PeerExit exit = peer_->Wait();
    EXPECT_TRUE(exit.signaled);
    const std::string stale = Content();
    ASSERT_EQ(stale.size(), original_.size() + kTrailer);
    EXPECT_EQ(stale.substr(original_.size() + 8, 8), std::string("B\0E\0T\0A\0", 8));
    tagACCESSINFO info{};
    EXPECT_FALSE(ReaderSees(info));
    EXPECT_EQ(info.dwMagic, 0u);
    EXPECT_EQ(info.dwComputerID, 0x0000FC00u);
    EXPECT_EQ(Content(), stale) << "the reader leaves the stale record in place";

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

}  // namespace

namespace {

// ---- chunk mode

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
