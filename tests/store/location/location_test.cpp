// Location: the cleared state and its golden text, text round trips, refused texts, GUID
// locations, validity and the equality rules.
#include "qzobj/location.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>

namespace {

const std::u16string kClearedText = u"AAMPAAAAPPPPPPPPAAMPAAAAAAAAAAAAAAAAAAAA";

std::u16string TextOf(const Location& location) {
    WCHAR buffer[LOCATION_TEXT_CHARS];
    EXPECT_TRUE(location.GetLocationAsString(buffer, LOCATION_TEXT_CHARS));
    return std::u16string(buffer);
}

Location Make(DWORD hash, DWORD obj, DWORD proj, DWORD data, DWORD flags) {
    Location location;
    location.dwHashID = hash;
    location.dwObjID = obj;
    location.dwProjID = proj;
    location.dwDataID = data;
    location.dwFlags = flags;
    return location;
}

void ExpectCleared(const Location& location) {
    EXPECT_EQ(location.dwHashID, 0x0000FC00u);
    EXPECT_EQ(location.dwObjID, 0xFFFFFFFFu);
    EXPECT_EQ(location.dwProjID, 0x0000FC00u);
    EXPECT_EQ(location.dwDataID, 0u);
    EXPECT_EQ(location.dwFlags, 0u);
}

TEST(LocationText, ClearedLocationHasTheGoldenText) {
    Location fresh;
    ExpectCleared(fresh);
    EXPECT_EQ(TextOf(fresh), kClearedText);
    Location used = Make(1, 2, 3, 4, 5);
    used.Init();
    ExpectCleared(used);
    EXPECT_FALSE(used.IsValid());
    EXPECT_FALSE(used.IsDiskObject());
}

TEST(LocationText, EachByteIsLowNibbleThenHighNibbleInLittleEndianOrder) {
    const Location location = Make(0x12345678, 0x9ABCDEF0, 0x0000A5C3, 0x00FF0001, 0xFF060001);
    // Only the identity flags 0x60000 reach the text.
    EXPECT_EQ(TextOf(location), u"IHGFEDCBAPONMLKJDMFKAAAABAAAPPAAAAAAGAAA");
}

TEST(LocationText, ShortOrMissingBufferFailsWithoutWriting) {
    const Location location;
    WCHAR buffer[64];
    for (unsigned size : {0u, 1u, 40u}) {
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        EXPECT_FALSE(location.GetLocationAsString(buffer, size));
        for (WCHAR c : buffer) ASSERT_EQ(c, u'#');
    }
    EXPECT_FALSE(location.GetLocationAsString(nullptr, 64));
    EXPECT_TRUE(location.GetLocationAsString(buffer, 41));
    EXPECT_EQ(buffer[40], 0);
    EXPECT_EQ(buffer[41], u'#');
}

TEST(LocationText, RoundTripsKeepTheIdentity) {
    std::mt19937 random(20261206);
    for (int i = 0; i < 1000; ++i) {
        const DWORD flags = random() & (LOCATOR_IDENTITY_FLAGS | 0xFF00007Fu);
        const Location original = Make(random(), random(), random(), random(), flags);
        Location back;
        back = TextOf(original).c_str();
        ASSERT_EQ(back.dwHashID, original.dwHashID);
        ASSERT_EQ(back.dwObjID, original.dwObjID);
        ASSERT_EQ(back.dwProjID, original.dwProjID);
        ASSERT_EQ(back.dwDataID, original.dwDataID);
        ASSERT_EQ(back.dwFlags, original.dwFlags & LOCATOR_IDENTITY_FLAGS);
        ASSERT_TRUE(back == original);
    }
    Location cleared = Make(1, 2, 3, 4, 0);
    cleared = kClearedText.c_str();
    ExpectCleared(cleared);
}

TEST(LocationText, BadShortOrNullTextClearsTheLocation) {
    const std::u16string good = TextOf(Make(0x11, 0x22, 0x33, 0x44, 0));
    std::u16string withQ = good;
    withQ[17] = u'Q';
    std::u16string lower = good;
    lower[0] = u'a';
    for (const std::u16string& bad : {withQ, lower, good.substr(0, 39), std::u16string()}) {
        Location location = Make(1, 2, 3, 4, LOCATOR_VIRTUAL);
        location = bad.c_str();
        ExpectCleared(location);
    }
    Location location = Make(1, 2, 3, 4, 5);
    location = static_cast<const WCHAR*>(nullptr);
    ExpectCleared(location);
    // Letters after the 40th are not read.
    location = (good + u"QQ").c_str();
    EXPECT_EQ(location.dwObjID, 0x22u);
}

// Memory whose last byte lies right before a page no one may read: a read one byte past it ends
// the test program, in any build.
class BeforeGuardPage {
  public:
    explicit BeforeGuardPage(size_t size) : page_(size_t(sysconf(_SC_PAGESIZE))) {
        pages_ = static_cast<char*>(
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        EXPECT_NE(pages_, MAP_FAILED);
        EXPECT_EQ(mprotect(pages_ + page_, page_, PROT_NONE), 0);
        data_ = pages_ + page_ - size;
    }
    ~BeforeGuardPage() { munmap(pages_, 2 * page_); }
    void* data() const { return data_; }

  private:
    size_t page_;
    char* pages_;
    char* data_;
};

TEST(LocationText, ShortTextIsNeverReadPastItsTerminator) {
    const WCHAR shortText[] = {u'A', u'B', u'C', u'D', u'E', 0};
    BeforeGuardPage memory(sizeof shortText);
    auto* text = static_cast<WCHAR*>(memory.data());
    std::copy(std::begin(shortText), std::end(shortText), text);
    Location location = Make(1, 2, 3, 4, 5);
    location = text;
    ExpectCleared(location);
}

TEST(LocationGuid, GuidBytesBecomeTheFirstFourWords) {
    const GUID guid{0x6B1FB200, 0x1234, 0xABCD, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}};
    Location location;
    location = guid;
    EXPECT_EQ(location.dwHashID, 0x6B1FB200u);
    EXPECT_EQ(location.dwObjID, 0xABCD1234u);
    EXPECT_EQ(location.dwProjID, 0x04030201u);
    EXPECT_EQ(location.dwDataID, 0x08070605u);
    EXPECT_EQ(location.dwFlags, LOCATOR_VIRTUAL);
    EXPECT_EQ(std::memcmp(&location, &guid, 16), 0);  // the same bytes, as stored
    EXPECT_TRUE(location.IsValid());
    EXPECT_FALSE(location.IsDiskObject());
    EXPECT_EQ(location.GetData(), 0u);                    // the data word belongs to the GUID
    EXPECT_EQ(TextOf(location).substr(32), u"AAAACAAA");  // flags 0x20000 in the text
}

// The form copies the 8 bytes of Data4 and not one more.
TEST(LocationGuid, ReadsNoBytePastTheGuid) {
    BeforeGuardPage memory(sizeof(GUID));
    auto* guid = static_cast<GUID*>(memory.data());
    *guid = GUID{0x01020304, 0x0506, 0x0708, {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18}};
    Location location;
    location = *guid;
    EXPECT_EQ(location.dwProjID, 0x14131211u);
    EXPECT_EQ(location.dwDataID, 0x18171615u);
    EXPECT_EQ(location.dwFlags, LOCATOR_VIRTUAL);
}

TEST(LocationValidity, EachFieldsNoneValueMakesItInvalid) {
    const Location good = Make(0x12340055, 1024, 0x56780011, 9, 0);
    EXPECT_TRUE(good.IsValid());
    EXPECT_TRUE(good.IsDiskObject());
    EXPECT_EQ(good.GetData(), 9u);
    for (DWORD bit = 0x400; bit <= 0x8000; bit <<= 1) {
        Location badHash = good;
        badHash.dwHashID |= bit;
        EXPECT_FALSE(badHash.IsValid()) << bit;
    }
    Location badObj = good;
    badObj.dwObjID = 0xFFFFFFFF;
    EXPECT_FALSE(badObj.IsValid());
    Location badProj = good;
    badProj.dwProjID = 0x0000FC00;
    EXPECT_FALSE(badProj.IsValid());
    Location otherBitsProj = good;
    otherBitsProj.dwProjID = 0x0000FC01;  // only the exact value is "no project"
    EXPECT_TRUE(otherBitsProj.IsValid());
    Location virtualCleared;
    virtualCleared.dwFlags = LOCATOR_VIRTUAL;
    EXPECT_TRUE(virtualCleared.IsValid());
    EXPECT_FALSE(virtualCleared.IsDiskObject());
}

TEST(LocationFlags, CustomFlagsAreTheTopByteAndSetNeverClears) {
    Location location = Make(1, 2, 3, 4, 0x00060001);
    location.SetCustomFlags(0x81);
    EXPECT_EQ(location.GetCustomFlags(), 0x81u);
    location.SetCustomFlags(0x02);
    EXPECT_EQ(location.GetCustomFlags(), 0x83u);
    location.AddCustomFlags(0x140);  // bits above the byte are ignored
    EXPECT_EQ(location.GetCustomFlags(), 0xC3u);
    location.RemoveCustomFlags(0x81);
    EXPECT_EQ(location.GetCustomFlags(), 0x42u);
    EXPECT_EQ(location.dwFlags & 0x00FFFFFFu, 0x00060001u);  // the rest untouched
}

TEST(LocationEquality, IdentityFieldsCountAndTheRestDoesNot) {
    const Location a = Make(0x10, 0x20, 0x30, 0x40, 0x00040001);
    Location b = a;
    b.dwDataID = 0x99;  // not compared for disk objects
    b.dwFlags = 0xFF040000 | LOCATOR_TEMPORARY | LOCATOR_SELFLOCATOR | 0x4;
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a != b);
    EXPECT_TRUE(a.IsSameObject(b));
    DWORD Location::*const fields[] = {&Location::dwHashID, &Location::dwObjID,
                                       &Location::dwProjID};
    for (auto field : fields) {
        Location c = a;
        c.*field ^= 1;
        EXPECT_TRUE(a != c);
        EXPECT_FALSE(a.IsSameObject(c));
    }
    Location staticLess = a;
    staticLess.dwFlags &= ~LOCATOR_STATIC;
    EXPECT_TRUE(a != staticLess);
    Location virtualA = a, virtualB = a;
    virtualA.dwFlags = virtualB.dwFlags = LOCATOR_VIRTUAL;
    virtualB.dwDataID ^= 1;  // it belongs to a GUID: counts
    EXPECT_TRUE(virtualA != virtualB);
    Location virtualC = virtualA;
    virtualC.dwFlags |= 0x80000000u;
    EXPECT_TRUE(virtualA == virtualC);
}

}  // namespace
