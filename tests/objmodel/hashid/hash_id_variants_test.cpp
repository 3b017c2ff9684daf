// Every hash-identifier variant against the reference bytes: bytes of 0x80 and above, '{', wide
// units with a high byte, surrogate pairs; the shape of identifiers; null and unreadable input.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "signal/crc/crc_reference.h"
#include "qzobj/hashid.h"
#include "qzobj/platform/guard.h"
#include "qzobj/signal.h"

namespace {

using qzo::test::NarrowBytes;
using qzo::test::ReferenceHashID;
using qzo::test::WideBytes;

void ExpectNarrowVariants(const std::string& text) {
    EXPECT_EQ(GetHashID(text.c_str()), ReferenceHashID(NarrowBytes(text, false)));
    EXPECT_EQ(GetHashIDi(text.c_str()), ReferenceHashID(NarrowBytes(text, true)));
}

void ExpectWideVariants(const std::u16string& text) {
    const uint32_t plain = ReferenceHashID(WideBytes(text, false));
    const uint32_t folded = ReferenceHashID(WideBytes(text, true));
    EXPECT_EQ(GetHashIDW(text.c_str()), plain);
    EXPECT_EQ(GetHashIDWi(text.c_str()), plain);  // never folded
    EXPECT_EQ(GetHashIDT(text.c_str()), plain);
    EXPECT_EQ(GetHashIDTW(text.c_str()), plain);
    EXPECT_EQ(GetHashIDTi(text.c_str()), folded);
    EXPECT_EQ(GetHashIDTWi(text.c_str()), folded);
}

TEST(HashIdVariants, NarrowBytesAboveAscii) {
    // Unsigned bytes: 0xE1 and 0xC1 are different letters in no folding the identifiers know.
    ExpectNarrowVariants("\xE1\xC1\x80\xFF");
    ExpectNarrowVariants(
        "Stra\xDF"
        "e");
    EXPECT_NE(GetHashIDi("\xE1"), GetHashIDi("\xC1"));
    EXPECT_EQ(GetHashIDi("\xE1"), GetHashID("\xE1"));
}

TEST(HashIdVariants, BraceFoldsToBracket) {
    ExpectNarrowVariants("a{b}|`~");
    EXPECT_EQ(GetHashIDi("{"), GetHashIDi("["));
    EXPECT_EQ(GetHashIDi("{"), GetHashID("["));
    EXPECT_NE(GetHashIDi("}"), GetHashID("]"));  // 0x7D lies outside the folded range
    EXPECT_EQ(GetHashIDTi(u"{"), GetHashIDW(u"["));
    EXPECT_EQ(GetHashIDTWi(u"{"), GetHashIDW(u"["));
    EXPECT_NE(GetHashIDWi(u"{"), GetHashIDW(u"["));
}

TEST(HashIdVariants, WideUnitsWithHighByte) {
    // U+0161 has the low byte of 'a': a unit with a high byte is never folded.
    ExpectWideVariants(u"\u0161\u017B\u0141x");
    EXPECT_EQ(GetHashIDTWi(u"\u0161"), GetHashIDW(u"\u0161"));
    EXPECT_NE(GetHashIDTWi(u"\u0161"), GetHashIDW(u"\u0141"));
    ExpectWideVariants(u"\u00E4\u00FF\u0100\uFFFF");
}

TEST(HashIdVariants, SurrogatePairsFeedBothUnits) {
    const std::u16string text = u"a\U0001F600b\U00010061";
    ASSERT_EQ(text.size(), 6u);
    ExpectWideVariants(text);
    const qzo::test::Bytes bytes = {0x41, 0x00, 0x3D, 0xD8, 0x00, 0xDE};
    EXPECT_EQ(GetHashIDTWi(u"a\U0001F600"), ReferenceHashID(bytes));
}

TEST(HashIdVariants, CaseSensitivityOfTheWideForms) {
    EXPECT_NE(GetHashIDWi(u"Abc"), GetHashIDWi(u"abc"));
    EXPECT_EQ(GetHashIDTWi(u"Abc"), GetHashIDTWi(u"abc"));
    EXPECT_EQ(GetHashIDTi(u"Abc"), GetHashIDTi(u"ABC"));
    EXPECT_EQ(GetHashIDi("CQZObject"), GetHashID("CQZOBJECT"));
}

TEST(HashIdVariants, EmptyTextGivesZero) {
    EXPECT_EQ(GetHashID(""), 0u);
    EXPECT_EQ(GetHashIDi(""), 0u);
    for (auto* f :
         {&GetHashIDW, &GetHashIDWi, &GetHashIDT, &GetHashIDTi, &GetHashIDTW, &GetHashIDTWi})
        EXPECT_EQ(f(u""), 0u);
    EXPECT_EQ(GetCRC1615("x", 0), 0u);
}

TEST(HashIdVariants, BucketBitsOfEveryNameAreClear) {
    std::vector<std::string> corpus = {"CQZObject", "CQZRTObject", "CPMemory",     "CPvList",
                                       "CPTStr",    "CPTCDib",     "CPLocROCache", "ZORB",
                                       "PRJ.IDS",   "QZO.INI",     "QZO.VST",      "HEAD",
                                       "DATA",      "{}",          "\xFF\x80"};
    for (int i = 0; i < 2000; ++i) {
        std::string name = "Class" + std::to_string(i * 7919);
        name += static_cast<char>(0x20 + i % 0x5F);
        corpus.push_back(name);
    }
    for (const std::string& name : corpus) {
        std::u16string wide(name.begin(), name.end());
        for (DWORD id :
             {GetHashID(name.c_str()), GetHashIDi(name.c_str()), GetHashIDW(wide.c_str()),
              GetHashIDTWi(wide.c_str()), GetHashIDTi(wide.c_str())}) {
            ASSERT_EQ(id & QZO_HASHID_INVALID_BITS, 0u) << name;
        }
    }
}

TEST(HashIdVariants, NullGivesAllOnes) {
    EXPECT_EQ(GetHashID(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(GetHashIDi(nullptr), 0xFFFFFFFFu);
    for (auto* f : {&GetHashIDW, &GetHashIDWi, &GetHashIDT, &GetHashIDTi, &GetHashIDTW,
                    &GetHashIDTWi, &GetPathHash})
        EXPECT_EQ(f(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(GetCRC1615(nullptr, 4), 0xFFFFFFFFu);
    EXPECT_EQ(GetCRC1615(nullptr, 0), 0u);  // a zero length reads nothing

    // The generators themselves give 0 for a fault.
    const CMonoCRC mono(16, 0x1021);
    const CDualCRC dual(10, 0x083, 16, 0x1021);
    EXPECT_EQ(mono.Eval(nullptr, 4), 0u);
    EXPECT_EQ(mono.Eval(static_cast<const char*>(nullptr)), 0u);
    EXPECT_EQ(mono.Evali(static_cast<const WCHAR*>(nullptr)), 0u);
    EXPECT_EQ(dual.Eval(nullptr, 4), 0u);
    EXPECT_EQ(dual.Evali(static_cast<const char*>(nullptr)), 0u);
}

TEST(HashIdVariants, PathHash) {
    EXPECT_EQ(GetPathHash(u"a"), QZO_NO_HASHID);
    EXPECT_EQ(GetPathHash(u""), QZO_NO_HASHID);
    EXPECT_EQ(GetPathHash(u"/"), QZO_NO_HASHID);  // normalised to nothing
    EXPECT_EQ(GetPathHash(u"/work/Prj"), GetHashIDTW(u"/work/Prj"));
    // The identifier is of the path as passed, not of its normalised copy.
    EXPECT_EQ(GetPathHash(u"\\work\\Prj\\"), GetHashIDTW(u"\\work\\Prj\\"));
    std::u16string longPath = u"/";
    for (int i = 0; i < 40; ++i) longPath += u"folder/";
    EXPECT_EQ(GetPathHash(longPath.c_str()), GetHashIDTW(longPath.c_str()));
}

// Unreadable memory: a page with no access, mapped for the test.
class UnreadablePage {
  public:
    UnreadablePage() {
        size_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* p =
            mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = static_cast<char*>(p);
        std::fill(base_, base_ + size_, 'q');
        mprotect(base_ + size_, size_, PROT_NONE);
    }
    ~UnreadablePage() { munmap(base_, 2 * size_); }
    const char* Locked() const { return base_ + size_; }
    // Readable text that runs into the locked page without a terminator.
    const char* RunsIntoLocked() const { return base_ + size_ - 24; }

  private:
    size_t size_ = 0;
    char* base_ = nullptr;
};

void EvaluateUnreadable(const UnreadablePage& page, int rounds, std::atomic<int>& failures) {
    const CMonoCRC mono(32, 0x04C11DB7);
    const CDualCRC dual(16, 0x1021, 15, 0x8123);
    for (int i = 0; i < rounds; ++i) {
        if (mono.Eval(page.Locked(), 16) != 0) ++failures;
        if (mono.Eval(page.RunsIntoLocked(), 64) != 0) ++failures;
        if (mono.Eval(page.RunsIntoLocked()) != 0) ++failures;
        if (dual.Evali(reinterpret_cast<const WCHAR*>(page.RunsIntoLocked())) != 0) ++failures;
        if (GetHashID(page.Locked()) != 0xFFFFFFFFu) ++failures;
        if (GetHashIDTWi(reinterpret_cast<const WCHAR*>(page.Locked())) != 0xFFFFFFFFu) ++failures;
        if (GetPathHash(reinterpret_cast<const WCHAR*>(page.RunsIntoLocked())) != 0xFFFFFFFFu)
            ++failures;
        if (GetCRC1615(page.RunsIntoLocked(), 25) != 0xFFFFFFFFu) ++failures;
    }
}

TEST(HashIdVariants, UnreadableMemoryIsCaught) {
    if (!qzo::platform::SignalGuardEnabled()) GTEST_SKIP() << "fault guard compiled out";
    UnreadablePage page;
    std::atomic<int> failures{0};
    EvaluateUnreadable(page, 100, failures);
    EXPECT_EQ(failures.load(), 0);
    // The readable part still hashes normally afterwards.
    EXPECT_EQ(CMonoCRC(16, 0x1021).Eval(page.RunsIntoLocked(), 24),
              qzo::test::ReferenceCrc(16, 0x1021, qzo::test::Bytes(24, 'q')));
}

TEST(HashIdVariants, UnreadableMemoryOnWorkerThreads) {
    if (!qzo::platform::SignalGuardEnabled()) GTEST_SKIP() << "fault guard compiled out";
    UnreadablePage page;
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&] { EvaluateUnreadable(page, 100, failures); });
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
