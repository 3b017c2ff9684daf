// What a persistent object writes and reads: the version chunk and the empty non-versioned chunk
// byte for byte, loads that refuse missing chunks, and the class record with its heritage record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "objmodel/persistent/persistent_support.h"
#include "qzobj/heritage.h"
#include "qzobj/memblock.h"
#include "qzobj/store.h"

namespace qzo::test::persistent {
namespace {

using PersistentFormat = QzoTest;

// The chunk header of "CQZObject": its hash identifier 0x3437008D, then the payload size.
const std::string kOuterHeader("\x8D\x00\x37\x34\x0C\x00\x00\x00", 8);
const std::string kInnerHeader("\x8D\x00\x37\x34\x04\x00\x00\x00", 8);
const std::string kEmptyChunk("\x8D\x00\x37\x34\x00\x00\x00\x00", 8);

std::string Content(const CMemChunkArchive& archive) {
    CPMemoryFile file = archive.GetContent();
    return std::string(static_cast<const char*>(file.GetCDataPtr()), file.GetSize());
}

// An archive holding `bytes`, opened for reading.
void LoadArchive(CMemChunkArchive& archive, const std::string& bytes) {
    CPMemoryFile file;
    ASSERT_TRUE(file.Open(GENERIC_WRITE));
    ASSERT_EQ(file.Write(bytes.data(), static_cast<DWORD>(bytes.size())), bytes.size());
    ASSERT_TRUE(archive.SetContent(file));
    ASSERT_TRUE(archive.Open(CHNK_READ));
}

// Sets the object's version through a load, the only way a version reaches an object.
void SetVersion(CQZObject& object, DWORD version) {
    std::string bytes = kOuterHeader + kInnerHeader;
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(version >> (8 * i)));
    CMemChunkArchive archive;
    LoadArchive(archive, bytes);
    ASSERT_TRUE(object.LoadData(archive));
    ASSERT_EQ(object.QueryVersion(), version);
}

TEST_F(PersistentFormat, StoreDataWritesTheVersionInsideTwoChunks) {
    ObjectRef object(NewLooseObject());
    ASSERT_TRUE(object);
    SetVersion(*object.get(), 0x0A0B0C0D);
    CMemChunkArchive archive;
    ASSERT_TRUE(archive.Open(CHNK_WRITE));
    ASSERT_TRUE(object->StoreData(archive));
    ASSERT_TRUE(archive.Close());
    EXPECT_EQ(Content(archive), kOuterHeader + kInnerHeader + std::string("\x0D\x0C\x0B\x0A", 4));

    ObjectRef fresh(NewLooseObject());
    CMemChunkArchive zero;
    ASSERT_TRUE(zero.Open(CHNK_WRITE));
    ASSERT_TRUE(fresh->StoreData(zero));
    ASSERT_TRUE(zero.Close());
    EXPECT_EQ(Content(zero), kOuterHeader + kInnerHeader + std::string(4, '\0'));
}

TEST_F(PersistentFormat, StoreNTWritesOneEmptyChunk) {
    ObjectRef object(NewLooseObject());
    CMemChunkArchive archive;
    ASSERT_TRUE(archive.Open(CHNK_WRITE));
    ASSERT_TRUE(object->StoreNT(archive));
    ASSERT_TRUE(archive.Close());
    EXPECT_EQ(Content(archive), kEmptyChunk);

    CMemChunkArchive reader;
    LoadArchive(reader, kEmptyChunk);
    EXPECT_TRUE(object->LoadNT(reader));
}

TEST_F(PersistentFormat, LoadDataRoundTripsAndFollowsTheDerivedChunks) {
    ObjectRef source(NewLooseObject());
    SetVersion(*source.get(), 77);
    CMemChunkArchive archive;
    ASSERT_TRUE(archive.Open(CHNK_WRITE));
    ASSERT_TRUE(source->StoreData(archive));
    // A derived class writes its own chunks after the base's.
    ASSERT_TRUE(CQZRTObject::StoreMemory(archive, "Derived", "xyz", 3));
    ASSERT_TRUE(archive.Close());

    ObjectRef target(NewLooseObject());
    ASSERT_TRUE(archive.Open(CHNK_READ));
    ASSERT_TRUE(target->LoadData(archive));
    EXPECT_EQ(target->QueryVersion(), 77u);
    char derived[3] = {};
    EXPECT_TRUE(CQZRTObject::LoadMemory(archive, "Derived", derived, 3));
    EXPECT_EQ(std::string(derived, 3), "xyz");
}

TEST_F(PersistentFormat, LoadsFailOnMissingChunks) {
    ObjectRef object(NewLooseObject());
    SetVersion(*object.get(), 5);
    const std::string foreign("\x11\x00\x22\x33\x00\x00\x00\x00", 8);
    const std::string outerOnly("\x8D\x00\x37\x34\x00\x00\x00\x00", 8);
    for (const std::string& bytes : {std::string(), foreign, outerOnly}) {
        SCOPED_TRACE(bytes.size());
        CMemChunkArchive data;
        LoadArchive(data, bytes);
        EXPECT_FALSE(object->LoadData(data));
        EXPECT_EQ(object->QueryVersion(), 5u);  // a failed load leaves the version
    }
    CMemChunkArchive empty;
    LoadArchive(empty, std::string());
    EXPECT_FALSE(object->LoadNT(empty));
    CMemChunkArchive other;
    LoadArchive(other, foreign);
    EXPECT_FALSE(object->LoadNT(other));
}

TEST_F(PersistentFormat, ShortVersionChunkGivesItsLowBytes) {
    ObjectRef object(NewLooseObject());
    CMemChunkArchive archive;
    LoadArchive(archive, std::string("\x8D\x00\x37\x34\x0A\x00\x00\x00", 8) +
                             std::string("\x8D\x00\x37\x34\x02\x00\x00\x00\x34\x12", 10));
    ASSERT_TRUE(object->LoadData(archive));
    EXPECT_EQ(object->QueryVersion(), 0x1234u);
}

TEST_F(PersistentFormat, ClassRecordIsRegisteredUnderTheRootClass) {
    EXPECT_EQ(classCQZObject.dwStatus, QZRTC_REGISTERED);
    EXPECT_EQ(classCQZObject.pBaseClass, &classCQZRTObject);
    EXPECT_EQ(classCQZObject.dwHashID, 0x3437008Du);
    EXPECT_EQ(classCQZObject.dwObjSize, sizeof(CQZObject));
    EXPECT_EQ(classCQZObject.uNameID, 40001u);
    EXPECT_EQ(classCQZObject.dwFlags & QZRTC_DECLAREDFLAGS, 0x81u);
    EXPECT_EQ(classCQZObject.dwVTblVersion, 9u);
    EXPECT_EQ(CQZObject::GetClassRegisterPtr(), &classCQZObject);
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&classCQZObject.guid, 0x3437008D), &classCQZObject);
    EXPECT_TRUE(classCQZObject.IsKindOf(&classCQZRTObject));
    ObjectRef object(NewLooseObject());
    EXPECT_EQ(object->GetRuntimeClass(), &classCQZObject);
    EXPECT_TRUE(object->IsKindOf(&classCQZRTObject));
    EXPECT_TRUE(object->Assert());
}

TEST_F(PersistentFormat, HeritageRecordMarksIdentifierAndGuid) {
    tagOBJHERITAGE record;
    std::memset(&record, 0xEE, sizeof record);
    record.Set(&classCQZObject);
    EXPECT_EQ(record.cbSize, 548u);
    EXPECT_EQ(record.dwHashID, 0x3437FC8Du);
    EXPECT_EQ(record.guid.Data1, 0x6B1FB200u);
    EXPECT_EQ(record.guid.Data2, 0x2C7A);
    EXPECT_EQ(record.guid.Data3, 0x11CF);
    const unsigned char tail[8] = {0x8E, 0x3D, 0x00, 0x00, 0xC4, 0xA5, 0x1B, 0x77};
    EXPECT_EQ(std::memcmp(record.guid.Data4, tail, 8), 0);
    EXPECT_EQ(record.dwFlags & QZRTC_DECLAREDFLAGS, 0x81u);
    const GUID unmarked = record.GetClassGUID();
    EXPECT_EQ(unmarked.Data1, 0x6B1F4E00u);
    EXPECT_EQ(record.GetClassHashID(), 0x3437008Du);
}

}  // namespace
}  // namespace qzo::test::persistent
