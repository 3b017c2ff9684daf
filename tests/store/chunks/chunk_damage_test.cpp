// Damaged chunk trees: every truncation and every single-byte change of a three-level tree is
// either read back from the bytes where the chunks say they are, or refused; no read leaves its
// chunk and no chunk leaves its parent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/chunks/chunk_test_support.h"
#include "support/recording_archive.h"

namespace {

using qzo::test::ChunkBytes;
using qzo::test::chunks::FileBackend;
using qzo::test::chunks::MemoryBackend;

constexpr unsigned kRefused = 0xFFFFFFFFu;

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
        if (layer == kRefused) return Refuse();
        EXPECT_EQ(layer, stack_.size());
        const size_t size = archive_.Chnk_GetSize(layer);
        const Extent extent{position_, position_ + 8 + size};
        const size_t limit = stack_.empty() ? data_.size() : stack_.back().end;
        EXPECT_LE(extent.end, limit) << "chunk " << name << " leaves its parent";
        stack_.push_back(extent);
        position_ += 8;
        return true;
    }
    bool Read(size_t asked) {
        if (refused_) return false;
        std::string bytes(asked, '\0');
        const size_t got = archive_.Chnk_Read(bytes.data(), static_cast<DWORD>(asked));
        EXPECT_LE(position_ + got, stack_.back().end) << "read beyond its chunk";
        EXPECT_LE(position_ + got, data_.size());
        if (position_ + got <= data_.size()) {
            EXPECT_EQ(bytes.substr(0, got), data_.substr(position_, got));
        }
        transcript_ += bytes.substr(0, got) + "|";
        position_ += got;
        return true;
    }
    void Close() {
        if (refused_) return;
        EXPECT_TRUE(archive_.Chnk_Close(static_cast<unsigned>(stack_.size() - 1)));
        position_ = std::max(position_, stack_.back().end);
        stack_.pop_back();
    }
    bool refused() const { return refused_; }
    const std::string& transcript() const { return transcript_; }

  private:
    struct Extent {
        size_t begin;
        size_t end;
    };
    bool Refuse() {
        refused_ = true;
        return false;
    }
    CQZArchive& archive_;
    const std::string& data_;
    std::vector<Extent> stack_;
    size_t position_ = 0;
    bool refused_ = false;
    std::string transcript_;
};

void Walk(CheckedReader& reader) {
    if (reader.Open("R")) {
        reader.Read(3);
        if (reader.Open("A")) {
            reader.Read(2);
            if (reader.Open("B")) {
                reader.Read(100);
                reader.Close();
            }
            reader.Read(100);
            reader.Close();
        }
        if (reader.Open("C")) {
            reader.Read(100);
            reader.Close();
        }
        reader.Read(100);
        reader.Close();
    }
    if (reader.Open("S")) {
        reader.Read(100);
        reader.Close();
    }
}

template <typename Backend>
class ChunkDamage : public qzo::test::QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        backend_.Init(TempDir());
    }
    // Reads `data`; returns whether the walk went through without a refusal.
    bool ReadBack(const std::string& data, std::string* transcript = nullptr) {
        EXPECT_TRUE(backend_.Load(data));
        CheckedReader reader(backend_.archive(), data);
        Walk(reader);
        backend_.Close();
        if (transcript) *transcript = reader.transcript();
        return !reader.refused();
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
TYPED_TEST_SUITE(ChunkDamage, Backends, BackendNames);

TYPED_TEST(ChunkDamage, TheIntactTreeReadsBackWhole) {
    std::string transcript;
    ASSERT_TRUE(this->ReadBack(Tree(), &transcript));
    EXPECT_EQ(transcript, "hdr|aa|bbbb|a2|ccc|tail|s|");
}

TYPED_TEST(ChunkDamage, EveryTruncationIsRefused) {
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

}  // namespace
