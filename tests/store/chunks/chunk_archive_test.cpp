// The chunk archives on a file and in memory, every behaviour checked on both: byte format,
// nesting limit, access refusals with their exact messages, bounded reads, closing, searching,
// and damaged trees (every truncation and every single-byte change of a three-level tree is
// either read back from the bytes where the chunks say they are, or refused); memory archives
// as snapshots; and what only the file archive does: the
// open time-out against another process holding the file, cutting the file, deleting it, large
// payloads through the buffer, and failed write-outs.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/platform/file_faults.h"
#include "qzobj/store.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/peer.h"
#include "support/recording_archive.h"
#include "support/stopwatch.h"
#include "support/text.h"

namespace {

using qzo::test::ChunkBytes;
using qzo::test::DebugCapture;
using qzo::test::FileExists;
using qzo::test::Le32;
using qzo::test::Peer;
using qzo::test::ReadFileBytes;
using qzo::test::RecordingArchive;
using qzo::test::Wide;
using qzo::test::WriteFileBytes;
using ScopedDebug = qzo::test::ScopedDebugOutput;

constexpr unsigned kRefused = 0xFFFFFFFFu;

// A file archive on "tree.chk" in the test's folder.
class FileBackend {
  public:
    static constexpr const char* kOwner = "CChunkArchive";
    void Init(const std::string& folder) { path_ = folder + "/tree.chk"; }
    bool Open(DWORD access) {
        return OpenWith(access, (access & GENERIC_WRITE) ? CREATE_ALWAYS : OPEN_EXISTING);
    }
    BOOL Close() { return archive_.Close(); }
    BOOL Find(const char* name) { return archive_.Chnk_Find(name); }
    // The stored bytes (the archive is closed first).
    std::string Bytes() {
        archive_.Close();
        return qzo::test::ReadFileBytes(path_);
    }
    // Stores the bytes and opens them for reading, or for reading and writing.
    bool Load(const std::string& bytes, bool update = false) {
        archive_.Close();
        qzo::test::WriteFileBytes(path_, bytes);
        return OpenWith(update ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, OPEN_EXISTING);
    }
    CQZArchive& archive() { return archive_; }

  private:
    bool OpenWith(DWORD access, DWORD creation) {
        return archive_.Open(Wide(path_).c_str(), access, creation, 0) == 0;
    }
    std::string path_;
    CChunkArchive archive_;
};

// A memory archive.
class MemoryBackend {
  public:
    static constexpr const char* kOwner = "CMemChunkArchive";
    void Init(const std::string&) {}
    bool Open(DWORD access) { return archive_.Open(access) != 0; }
    BOOL Close() { return archive_.Close(); }
    BOOL Find(const char* name) { return archive_.Chnk_Find(name); }
    std::string Bytes() {
        archive_.Close();
        const CPMemoryFile content = archive_.GetContent();
        const char* data = static_cast<const char*>(content.GetCDataPtr());
        return data ? std::string(data, content.GetSize()) : std::string();
    }
    // For update the content arrives with read and write access, the pointer at its start.
    bool Load(const std::string& bytes, bool update = false) {
        if (update) return Take(bytes, GENERIC_READ | GENERIC_WRITE);
        return Take(bytes, GENERIC_WRITE) && Open(GENERIC_READ);
    }
    CQZArchive& archive() { return archive_; }

  private:
    bool Take(const std::string& bytes, DWORD access) {
        CPMemoryFile source;
        if (!source.Open(access)) return false;
        if (!bytes.empty() &&
            source.Write(bytes.data(), static_cast<DWORD>(bytes.size())) != bytes.size())
            return false;
        return source.SetFilePtr(0, FILE_BEGIN) && archive_.SetContent(source) != 0;
    }
    CMemChunkArchive archive_;
};

template <typename Backend>
class ChunkArchive : public qzo::test::QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        backend_.Init(TempDir());
    }
    CQZArchive& archive() { return backend_.archive(); }
    std::string Owner() const { return Backend::kOwner; }
    // Writes a chunk of raw bytes inside the current layer.
    void WriteChunk(const char* name, const std::string& payload) {
        const unsigned layer = archive().Chnk_Open(name, CHNK_WRITE);
        ASSERT_NE(layer, kRefused);
        if (!payload.empty()) {
            ASSERT_EQ(archive().Chnk_Write(payload.data(), static_cast<DWORD>(payload.size())),
                      payload.size());
        }
        ASSERT_TRUE(archive().Chnk_Close(layer));
    }
    std::string ReadAll(DWORD count) {
        std::string bytes(count, '\0');
        bytes.resize(archive().Chnk_Read(bytes.data(), count));
        return bytes;
    }

    Backend backend_;
};

using Backends = ::testing::Types<FileBackend, MemoryBackend>;
class BackendNames {
  public:
    template <typename T>
    static std::string GetName(int) {
        return std::is_same_v<T, FileBackend> ? "File" : "Memory";
    }
};
TYPED_TEST_SUITE(ChunkArchive, Backends, BackendNames);

TYPED_TEST(ChunkArchive, WritesTheGoldenBytesOfNamedAndUnnamedChunks) {
    ASSERT_TRUE(this->backend_.Open(GENERIC_WRITE));
    CQZArchive& archive = this->archive();
    ASSERT_EQ(archive.Chnk_Open("A", CHNK_WRITE), 0u);
    ASSERT_EQ(archive.Chnk_Write("0123456789", 10), 10u);
    ASSERT_EQ(archive.Chnk_Open("B", CHNK_WRITE), 1u);
    EXPECT_EQ(archive.Chnk_GetSize(1), 0u);  // being written
    ASSERT_EQ(archive.Chnk_Write("wxyz", 4), 4u);
    ASSERT_TRUE(archive.Chnk_Close(1));
    ASSERT_TRUE(archive.Chnk_Close(0));
    const std::string golden = std::string("\xD8\x00\xE5\x58\x16\x00\x00\x00", 8) + "0123456789" +
                               std::string("\x5D\x01\x86\x68\x04\x00\x00\x00", 8) + "wxyz";
    EXPECT_EQ(this->backend_.Bytes(), golden);

    // The reference archive the other suites read with writes the same bytes.
    RecordingArchive reference;
    reference.Chnk_Open("A", CHNK_WRITE);
    reference.Chnk_Write("0123456789", 10);
    reference.Chnk_Open("B", CHNK_WRITE);
    reference.Chnk_Write("wxyz", 4);
    reference.Chnk_Close(1);
    reference.Chnk_Close(0);
    EXPECT_EQ(reference.Bytes(), golden);
    // An unnamed chunk stores the no-identifier value and reads back with a null name.
    ASSERT_TRUE(this->backend_.Open(GENERIC_WRITE));
    this->WriteChunk(nullptr, "xy");
    EXPECT_EQ(this->backend_.Bytes(), std::string("\x00\xFC\x00\x00\x02\x00\x00\x00xy", 10));
    // Read back with a null name too.
    ASSERT_TRUE(this->backend_.Open(GENERIC_READ));
    ASSERT_EQ(this->archive().Chnk_Open(nullptr, CHNK_READ), 0u);
    EXPECT_EQ(this->ReadAll(10), "xy");
}

TYPED_TEST(ChunkArchive, SixteenLayersNestAndTheSeventeenthIsRefused) {
    ScopedDebug debug(true);
    DebugCapture capture;
    ASSERT_TRUE(this->backend_.Open(GENERIC_WRITE));
    for (unsigned layer = 0; layer < CHNK_MAX_LAYERS; ++layer)
        ASSERT_EQ(this->archive().Chnk_Open("L", CHNK_WRITE), layer);
    EXPECT_EQ(this->archive().Chnk_Open("L", CHNK_WRITE), kRefused);
    EXPECT_TRUE(capture.Contains("\r" + this->Owner() +
                                 "::OpenChunk denied: Max. chunk layers expired\r\n"));
    ASSERT_EQ(this->archive().Chnk_Write("z", 1), 1u);
    for (unsigned layer = CHNK_MAX_LAYERS; layer-- > 0;)
        ASSERT_TRUE(this->archive().Chnk_Close(layer));
    const std::string bytes = this->backend_.Bytes();
    ASSERT_EQ(bytes.size(), 8u * CHNK_MAX_LAYERS + 1);
    // Each layer counts every deeper header and the one byte.
    for (unsigned layer = 0; layer < CHNK_MAX_LAYERS; ++layer)
        EXPECT_EQ(bytes.substr(8 * layer + 4, 4), Le32(8 * (CHNK_MAX_LAYERS - 1 - layer) + 1));

    ASSERT_TRUE(this->backend_.Open(GENERIC_READ));
    for (unsigned layer = 0; layer < CHNK_MAX_LAYERS; ++layer)
        ASSERT_EQ(this->archive().Chnk_Open("L", CHNK_READ), layer);
    EXPECT_EQ(this->ReadAll(4), "z");
}

TYPED_TEST(ChunkArchive, AccessRefusalsPrintTheirExactMessages) {
    ScopedDebug debug(true);
    DebugCapture capture;
    const std::string owner = this->Owner();
    EXPECT_EQ(this->archive().Chnk_Open("A", CHNK_WRITE), kRefused);  // nothing open
    EXPECT_TRUE(capture.Contains("\r" + owner + "::OpenChunk denied: No file access\r\n"));
    auto messages = capture.Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().channel, 3);
    EXPECT_EQ(messages.back().level, 3);

    ASSERT_TRUE(this->backend_.Open(GENERIC_WRITE));
    capture.Clear();
    EXPECT_EQ(this->archive().Chnk_Open("A", CHNK_READ), kRefused);  // written-only file
    EXPECT_EQ(capture.Text(), owner +
                                  "::OpenChunk denied: dwDesiredAccess=80000000, "
                                  "dwFileAccess=40000000, dwChunkAccess=00000000\r\n");
    capture.Clear();
    EXPECT_EQ(this->archive().Chnk_Open("A", CHNK_READ | CHNK_WRITE), kRefused);
    EXPECT_TRUE(capture.Contains("dwDesiredAccess=C0000000"));

    // A write layer inside read layers.
    ASSERT_TRUE(this->backend_.Load(ChunkBytes("A", "abc"), true));
    ASSERT_EQ(this->archive().Chnk_Open("A", CHNK_READ), 0u);
    capture.Clear();
    EXPECT_EQ(this->archive().Chnk_Open("B", CHNK_WRITE), kRefused);
    EXPECT_EQ(capture.Text(), owner +
                                  "::OpenChunk denied: dwDesiredAccess=40000000, "
                                  "dwFileAccess=C0000000, dwChunkAccess=80000000\r\n");
    messages = capture.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].level, 3);
    // Transfers against the direction do nothing.
    EXPECT_EQ(this->archive().Chnk_Write("x", 1), 0u);

    // Outside debug mode the refusals are silent.
    SetDebugMode(FALSE);
    capture.Clear();
    EXPECT_EQ(this->archive().Chnk_Open("B", CHNK_WRITE), kRefused);
    EXPECT_EQ(capture.Count(), 0u);
}

TYPED_TEST(ChunkArchive, ReadsStopAtTheEndOfTheInnermostChunk) {
    ASSERT_TRUE(this->backend_.Load(ChunkBytes("A", ChunkBytes("B", "1234") + "tail") +
                                    ChunkBytes("C", "next")));
    CQZArchive& archive = this->archive();
    ASSERT_EQ(archive.Chnk_Open("A", CHNK_READ), 0u);
    EXPECT_EQ(archive.Chnk_GetSize(0), 16u);
    ASSERT_EQ(archive.Chnk_Open("B", CHNK_READ), 1u);
    EXPECT_EQ(archive.Chnk_GetSize(1), 4u);
    EXPECT_EQ(this->ReadAll(3), "123");
    EXPECT_EQ(this->ReadAll(100), "4");  // only what the chunk has left
    EXPECT_EQ(this->ReadAll(100), "");
    ASSERT_TRUE(archive.Chnk_Close(1));
    // The parent counts the child's header and payload: its own bytes follow.
    EXPECT_EQ(this->ReadAll(100), "tail");
    ASSERT_TRUE(archive.Chnk_Close(0));
    ASSERT_EQ(archive.Chnk_Open("C", CHNK_READ), 0u);
    EXPECT_EQ(this->ReadAll(100), "next");
    EXPECT_EQ(archive.Chnk_GetSize(5), 0u);
    EXPECT_FALSE(archive.Chnk_Close(3));

    // Closing a partly read chunk moves behind it.
    ASSERT_TRUE(this->backend_.Load(ChunkBytes("A", "0123456789") + ChunkBytes("B", "b")));
    ASSERT_EQ(archive.Chnk_Open("A", CHNK_READ), 0u);
    EXPECT_EQ(this->ReadAll(3), "012");
    ASSERT_TRUE(archive.Chnk_Close(0));
    ASSERT_EQ(archive.Chnk_Open("B", CHNK_READ), 0u);
    EXPECT_EQ(this->ReadAll(8), "b");
}

TYPED_TEST(ChunkArchive, ClosingLayersFillsSizesAndKeepsParentBytesInOrder) {
    ScopedDebug debug(true);
    DebugCapture capture;
    ASSERT_TRUE(this->backend_.Open(GENERIC_WRITE));
    CQZArchive& archive = this->archive();
    ASSERT_EQ(archive.Chnk_Open("A", CHNK_WRITE), 0u);
    ASSERT_EQ(archive.Chnk_Open("B", CHNK_WRITE), 1u);
    ASSERT_EQ(archive.Chnk_Open("C", CHNK_WRITE), 2u);
    ASSERT_EQ(archive.Chnk_Write("xy", 2), 2u);
    ASSERT_TRUE(archive.Chnk_Close(0));
    EXPECT_TRUE(capture.Contains(this->Owner() + "::Chnk_Close: Multiple close detected!"));
    // A following sibling starts behind the closed tree.
    this->WriteChunk("D", "d");
    EXPECT_EQ(this->backend_.Bytes(),
              ChunkBytes("A", ChunkBytes("B", ChunkBytes("C", "xy"))) + ChunkBytes("D", "d"));
    // A parent's bytes after a child land behind it, and read back so.
    ASSERT_TRUE(this->backend_.Open(GENERIC_WRITE));
    ASSERT_EQ(archive.Chnk_Open("P", CHNK_WRITE), 0u);
    ASSERT_EQ(archive.Chnk_Write("head", 4), 4u);
    this->WriteChunk("C", "child");
    ASSERT_EQ(archive.Chnk_Write("foot", 4), 4u);
    ASSERT_TRUE(archive.Chnk_Close(0));
    const std::string expected = ChunkBytes("P", "head" + ChunkBytes("C", "child") + "foot");
    EXPECT_EQ(this->backend_.Bytes(), expected);

    ASSERT_TRUE(this->backend_.Load(expected));
    ASSERT_EQ(archive.Chnk_Open("P", CHNK_READ), 0u);
    EXPECT_EQ(this->ReadAll(4), "head");
    ASSERT_EQ(archive.Chnk_Open("C", CHNK_READ), 1u);
    ASSERT_TRUE(archive.Chnk_Close(1));  // unread: skipped
    EXPECT_EQ(this->ReadAll(100), "foot");
}

TYPED_TEST(ChunkArchive, FindLocatesSkipsAndRefusesSubChunks) {
    ScopedDebug debug(true);
    DebugCapture capture;
    const std::string owner = this->Owner();
    const std::string tree =
        ChunkBytes("R", ChunkBytes("X", "x") + ChunkBytes("Y", "yy") + ChunkBytes("Z", "zzz"));
    ASSERT_TRUE(this->backend_.Load(tree));
    EXPECT_FALSE(this->backend_.Find("Y"));  // no layer open
    ASSERT_EQ(this->archive().Chnk_Open("R", CHNK_READ), 0u);

    ASSERT_TRUE(this->backend_.Find("Z"));
    ASSERT_EQ(this->archive().Chnk_Open("Z", CHNK_READ), 1u);
    EXPECT_EQ(this->ReadAll(10), "zzz");
    ASSERT_TRUE(this->archive().Chnk_Close(1));
    EXPECT_FALSE(this->backend_.Find("X"));  // nothing left in R
    EXPECT_TRUE(
        capture.Contains("\r" + owner + "::Chnk_Find failed: Not enough data for subchunk\r\n"));
    ASSERT_TRUE(this->archive().Chnk_Close(0));

    // A null name skips exactly one sub-chunk; a missing name leaves the position alone.
    ASSERT_TRUE(this->backend_.Load(tree));
    ASSERT_EQ(this->archive().Chnk_Open("R", CHNK_READ), 0u);
    ASSERT_TRUE(this->backend_.Find(nullptr));
    capture.Clear();
    EXPECT_FALSE(this->backend_.Find("Q"));
    EXPECT_EQ(capture.Text(), "\r" + owner + "::Chnk_Find failed: No matching subchunk\r\n");
    ASSERT_EQ(this->archive().Chnk_Open("Y", CHNK_READ), 1u);
    EXPECT_EQ(this->ReadAll(10), "yy");

    // A sub-chunk running past its parent stops the search.
    std::string damaged = tree;
    damaged.replace(8 + 4, 4, Le32(1000));  // X claims 1000 bytes
    ASSERT_TRUE(this->backend_.Load(damaged));
    ASSERT_EQ(this->archive().Chnk_Open("R", CHNK_READ), 0u);
    capture.Clear();
    EXPECT_FALSE(this->backend_.Find("Z"));
    EXPECT_EQ(capture.Text(), "\r" + owner + "::Chnk_Find failed: Bad subchunk info\r\n");
    // The position is where the search began: X's header is still next.
    EXPECT_EQ(this->archive().Chnk_Open("X", CHNK_READ), kRefused);  // refused: too large
    EXPECT_TRUE(
        capture.Contains("\r" + owner + "::OpenChunk denied: Error reading chunk header\r\n"));
}

TYPED_TEST(ChunkArchive, HeaderRefusalsRestoreThePosition) {
    ScopedDebug debug(true);
    DebugCapture capture;
    ASSERT_TRUE(this->backend_.Load(ChunkBytes("A", ChunkBytes("B", "bbbbbbbb"))));
    EXPECT_EQ(this->archive().Chnk_Open("B", CHNK_READ), kRefused);  // wrong name
    ASSERT_EQ(this->archive().Chnk_Open("A", CHNK_READ), 0u);
    ASSERT_EQ(this->archive().Chnk_Open("B", CHNK_READ), 1u);
    EXPECT_EQ(this->ReadAll(8), "bbbbbbbb");
    ASSERT_TRUE(this->archive().Chnk_Close(1));
    capture.Clear();
    EXPECT_EQ(this->archive().Chnk_Open("B", CHNK_READ), kRefused);  // nothing left in A
    EXPECT_EQ(capture.Text(),
              "\r" + this->Owner() + "::OpenChunk denied: Parent chunk exceeded\r\n");
    EXPECT_EQ(capture.Messages().at(0).level, 4);

    // A top-level chunk that runs past the end is refused.
    ASSERT_TRUE(this->backend_.Load(std::string(ChunkBytes("A", "abcdef")).substr(0, 10)));
    EXPECT_EQ(this->archive().Chnk_Open("A", CHNK_READ), kRefused);
}

// ---- damaged trees

// R{"hdr" A{"aa" B{"bbbb"} "a2"} C{"ccc"} "tail"} S{"s"}
std::string Tree() {
    return ChunkBytes("R", "hdr" + ChunkBytes("A", "aa" + ChunkBytes("B", "bbbb") + "a2") +
                               ChunkBytes("C", "ccc") + "tail") +
           ChunkBytes("S", "s");
}

// Reads the tree through an archive while following, independently, where each byte must come
// from: a read returns the stored bytes at the tracked position and never passes the chunk's
// declared end; every chunk lies inside its parent and inside the data.
class CheckedReader {
  public:
    CheckedReader(CQZArchive& archive, const std::string& data) : archive_(archive), data_(data) {}

    // False once something was refused (then the walk stops).
    bool Open(const char* name) {
        if (refused_) return false;
        const unsigned layer = archive_.Chnk_Open(name, CHNK_READ);
        if (layer == kRefused) return !(refused_ = true);
        EXPECT_EQ(layer, ends_.size());
        const size_t end = position_ + 8 + archive_.Chnk_GetSize(layer);
        EXPECT_LE(end, ends_.empty() ? data_.size() : ends_.back())
            << "chunk " << name << " leaves its parent";
        ends_.push_back(end);
        position_ += 8;
        return true;
    }
    void Read(size_t asked) {
        if (refused_) return;
        std::string bytes(asked, '\0');
        const size_t got = archive_.Chnk_Read(bytes.data(), static_cast<DWORD>(asked));
        EXPECT_LE(position_ + got, ends_.back()) << "read beyond its chunk";
        EXPECT_LE(position_ + got, data_.size());
        if (position_ + got <= data_.size()) {
            EXPECT_EQ(bytes.substr(0, got), data_.substr(position_, got));
        }
        transcript_ += bytes.substr(0, got) + "|";
        position_ += got;
    }
    void Close() {
        if (refused_) return;
        EXPECT_TRUE(archive_.Chnk_Close(static_cast<unsigned>(ends_.size() - 1)));
        position_ = std::max(position_, ends_.back());
        ends_.pop_back();
    }
    // Reads a chunk's own bytes in pieces of the given sizes, opening `inner` between them.
    void Chunk(const char* name, size_t head, const std::function<void()>& inner = {}) {
        if (!Open(name)) return;
        Read(head);
        if (inner) inner();
        Read(100);
        Close();
    }
    bool refused() const { return refused_; }
    const std::string& transcript() const { return transcript_; }

  private:
    CQZArchive& archive_;
    const std::string& data_;
    std::vector<size_t> ends_;
    size_t position_ = 0;
    bool refused_ = false;
    std::string transcript_;
};

void Walk(CheckedReader& reader) {
    reader.Chunk("R", 3, [&] {
        reader.Chunk("A", 2, [&] { reader.Chunk("B", 100); });
        reader.Chunk("C", 100);
    });
    reader.Chunk("S", 100);
}

template <typename Backend>
class ChunkDamage : public ChunkArchive<Backend> {
  protected:
    // Reads `data`; returns whether the walk went through without a refusal.
    bool ReadBack(const std::string& data, std::string* transcript = nullptr) {
        EXPECT_TRUE(this->backend_.Load(data));
        CheckedReader reader(this->archive(), data);
        Walk(reader);
        this->backend_.Close();
        if (transcript) *transcript = reader.transcript();
        return !reader.refused();
    }
};
TYPED_TEST_SUITE(ChunkDamage, Backends, BackendNames);

TYPED_TEST(ChunkDamage, TheIntactTreeReadsBackWholeAndEveryTruncationIsRefused) {
    std::string transcript;
    ASSERT_TRUE(this->ReadBack(Tree(), &transcript));
    EXPECT_EQ(transcript, "hdr|aa|bbbb||a2|ccc||tail|s||");
    const std::string tree = Tree();
    for (size_t length = 0; length < tree.size(); ++length) {
        SCOPED_TRACE("length " + std::to_string(length));
        EXPECT_FALSE(this->ReadBack(tree.substr(0, length)));
    }
}

TYPED_TEST(ChunkDamage, EverySingleByteChangeReadsWithinItsChunksOrIsRefused) {
    const std::string tree = Tree();
    for (size_t at = 0; at < tree.size(); ++at) {
        for (unsigned mask : {0x01u, 0x02u, 0x04u, 0x08u, 0x10u, 0x20u, 0x40u, 0x80u, 0xFFu}) {
            SCOPED_TRACE("byte " + std::to_string(at) + " mask " + std::to_string(mask));
            std::string damaged = tree;
            damaged[at] = static_cast<char>(damaged[at] ^ mask);
            this->ReadBack(damaged);
            if (::testing::Test::HasFailure()) return;
        }
    }
}

TYPED_TEST(ChunkDamage, HugeSizesAreRefusedWithoutWrapping) {
    // A child claiming 0xFFFFFFF8 bytes would wrap a 32-bit "size + 8".
    std::string tree = Tree();
    tree.replace(8 + 3 + 4, 4, std::string("\xF8\xFF\xFF\xFF", 4));  // A's size
    EXPECT_FALSE(this->ReadBack(tree));
    tree = Tree();
    tree.replace(4, 4, std::string("\xFF\xFF\xFF\xFF", 4));  // R's size
    EXPECT_FALSE(this->ReadBack(tree));
}

// ---- memory archives as snapshots

class MemoryArchive : public qzo::test::QzoTest {
  protected:
    static std::string Content(const CPMemoryFile& file) {
        const char* data = static_cast<const char*>(file.GetCDataPtr());
        return data ? std::string(data, file.GetSize()) : std::string();
    }
};

TEST_F(MemoryArchive, MemoryArchivesShareTheirContentAsSnapshots) {
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
    const qzo::test::Stopwatch watch;
    EXPECT_EQ(archive.Open(Wide(path).c_str(), GENERIC_READ, OPEN_EXISTING, 200), 258u);
    EXPECT_GE(watch.Ms(), 100);
    EXPECT_LT(watch.Ms(), 2000);
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
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(1000, big.size() - at));
            ASSERT_EQ(archive.Chnk_Write(big.data() + at, piece), piece);
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
