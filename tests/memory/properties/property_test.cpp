// Properties: labels, family membership, validity, sharing only among properties, their own
// heap, and chunk storage.
#include <gtest/gtest.h>

#include "memory/memblock/block_test_support.h"
#include "qzobj/hashid.h"
#include "qzobj/memblock.h"
#include "qzobj/memory.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/recording_archive.h"

namespace qzo::test {
namespace {

const GUID kColourID = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};

using Properties = QzoTest;

TEST_F(Properties, StartUnlabelledAndEmpty) {
    CPProperty property;
    EXPECT_EQ(property.GetPropertyType(), 0u);
    EXPECT_EQ(property.GetPropertyID(), GUID{});
    EXPECT_FALSE(property.IsValid());
    EXPECT_EQ(property.GetCDataPtr(), nullptr);
    EXPECT_STREQ(classidCPProperty, "CPProperty");

    property.SetPropertyID(0x6, kColourID);
    EXPECT_EQ(property.GetPropertyType(), 0x6u);
    EXPECT_EQ(property.GetPropertyID(), kColourID);
    EXPECT_FALSE(property.IsValid());  // a type without data
    ASSERT_TRUE(property.Alloc(4));
    EXPECT_TRUE(property.IsValid());
    property.SetPropertyID(0, kColourID);
    EXPECT_FALSE(property.IsValid());  // data without a type

    ASSERT_TRUE(property.Free());
    property.SetPropertyID(0x6, kColourID);
    property.Construct();  // as for a handle living in raw memory
    EXPECT_EQ(property.GetPropertyType(), 0u);
    EXPECT_EQ(property.GetPropertyID(), GUID{});
    EXPECT_EQ(property.GetCDataPtr(), nullptr);
}

TEST_F(Properties, FamilyMembershipNeedsEveryBitOfTheMask) {
    CPProperty property(0x6, kColourID);
    EXPECT_TRUE(property.IsFamilyMember(0x2));
    EXPECT_TRUE(property.IsFamilyMember(0x4));
    EXPECT_TRUE(property.IsFamilyMember(0x6));
    EXPECT_FALSE(property.IsFamilyMember(0x3));
    EXPECT_FALSE(property.IsFamilyMember(0x8));
    EXPECT_TRUE(property.IsFamilyMember(0));
    EXPECT_TRUE(CPProperty().IsFamilyMember(0));
}

TEST_F(Properties, BlocksComeFromPropertyPool) {
    const DWORD properties = LiveBlocks(qzo::memory::PropertyPool());
    const DWORD plain = LiveBlocks(qzo::memory::MemPool());
    {
        CPProperty property(1, kColourID);
        ASSERT_TRUE(property.Alloc(10));
        EXPECT_EQ(property.GetAllocSize(), 32u);
        EXPECT_EQ(LiveBlocks(qzo::memory::PropertyPool()), properties + 1);
        EXPECT_EQ(LiveBlocks(qzo::memory::MemPool()), plain);
        ASSERT_TRUE(property.Realloc(CPMEM_UNSHARE));
        CPProperty copy(property);
        ASSERT_TRUE(copy.Realloc(CPMEM_UNSHARE));
        EXPECT_EQ(LiveBlocks(qzo::memory::PropertyPool()), properties + 2);
    }
    EXPECT_EQ(LiveBlocks(qzo::memory::PropertyPool()), properties);
}

TEST_F(Properties, CopiesShareTheBlockAndCarryTheLabel) {
    CPProperty property(0x6, kColourID);
    ASSERT_TRUE(property.Alloc(8));
    Fill(property, "colour!!");
    CPProperty copy(property);
    EXPECT_EQ(copy.GetCDataPtr(), property.GetCDataPtr());
    EXPECT_EQ(copy.GetPropertyType(), 0x6u);
    EXPECT_EQ(copy.GetPropertyID(), kColourID);
    EXPECT_EQ(property.GetRefCnt(), 2);

    CPProperty assigned(0x1, GUID{});
    assigned = property;
    assigned = assigned;
    EXPECT_EQ(assigned.GetPropertyType(), 0x6u);
    EXPECT_EQ(assigned.GetPropertyID(), kColourID);
    EXPECT_EQ(property.GetRefCnt(), 3);
    EXPECT_TRUE(assigned.IsValid());
}

TEST_F(Properties, SharingWithOtherClassesIsRefused) {
    ScopedDebug debug(true);
    DebugCapture capture;
    CPProperty property(0x6, kColourID);
    ASSERT_TRUE(property.Alloc(8));
    CPMemory plain;
    plain = property;
    EXPECT_EQ(plain.GetCDataPtr(), nullptr);
    EXPECT_TRUE(capture.Contains(
        "Warning: CPMemory::CopyCPMemory: Invalid assignment (bad pointer or different "
        "classes)!"));
    EXPECT_EQ(property.GetRefCnt(), 1);

    capture.Clear();
    ASSERT_TRUE(plain.Alloc(8));
    static_cast<CPMemory&>(property) = plain;  // the other way round
    EXPECT_EQ(property.GetCDataPtr(), nullptr);
    EXPECT_TRUE(capture.Contains("Invalid assignment"));
}

TEST_F(Properties, StoreAndLoadTheirDataAsOneChunk) {
    CPProperty property(0x6, kColourID);
    ASSERT_TRUE(property.Alloc(6));
    Fill(property, "purple");
    RecordingArchive image;
    ASSERT_TRUE(property.DynaSave("Colour", image));
    EXPECT_EQ(image.Bytes(), Le32(GetHashID("Colour")) + Le32(6) + "purple");

    const DWORD properties = LiveBlocks(qzo::memory::PropertyPool());
    CPProperty loaded(0x2, kColourID);
    RecordingArchive reader(image.Bytes());
    ASSERT_TRUE(loaded.DynaLoad("Colour", reader, -2));
    EXPECT_EQ(loaded.GetSize(), 8u);
    EXPECT_EQ(Contents(loaded), std::string("purple\0\0", 8));
    EXPECT_EQ(loaded.GetPropertyType(), 0x2u);  // the label is not stored with the data
    EXPECT_EQ(LiveBlocks(qzo::memory::PropertyPool()), properties + 1);
    EXPECT_FALSE(static_cast<const CPMemory&>(loaded) == static_cast<const CPMemory&>(property));
    ASSERT_TRUE(loaded.SetSize(6));
    EXPECT_TRUE(static_cast<const CPMemory&>(loaded) == static_cast<const CPMemory&>(property));
}

}  // namespace
}  // namespace qzo::test
