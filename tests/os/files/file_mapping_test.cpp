// Mapping files with CQZFile and the platform mapping: the view's rounding to the allocation
// granularity, keep-open, growth of read-write mappings, read-only views cut at the end, remaps
// and the end of a mapped file.
#include <string>

#include "os/files/file_test_support.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/file_mapping.h"

namespace {

namespace platform = qzo::platform;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;
using qzo::test::files::System;

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

class FileMapping : public qzo::test::QzoTest {
  protected:
    std::u16string Make(const std::string& name, size_t size) {
        WriteFileBytes(TempPath(name), Pattern(size));
        return System(TempPath(name));
    }
};

TEST_F(FileMapping, OffsetsRoundDownToTheAllocationGranularity) {
    CQZFile file(Make("big.bin", 200000).c_str());
    auto* address = static_cast<const BYTE*>(file.MapFileR(100, 70000, 0));
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusMapped);
    EXPECT_EQ(file.GetViewOffset(), 65536u);
    EXPECT_EQ(file.GetViewSize(), 4564u);
    EXPECT_EQ(address - static_cast<const BYTE*>(file.GetViewAddress()), 4464);
    const std::string expected = Pattern(200000).substr(70000, 100);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(address), 100), expected);
    // Transfers wait until the view is gone.
    char byte;
    EXPECT_EQ(file.Read(&byte, 1), 0u);
    EXPECT_FALSE(file.SetFilePtr(0, FILE_BEGIN));
    // Opened for the mapping, so unmapping closes it.
    EXPECT_EQ(file.UnmapFile(), 0);
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusClosed);
    EXPECT_EQ(file.GetViewAddress(), nullptr);
}

TEST_F(FileMapping, AnOpenFileStaysOpenAfterUnmapping) {
    CQZFile file;
    ASSERT_EQ(file.Open(Make("open.bin", 1000).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                        OPEN_EXISTING, 0, 4096),
              CQZFile::kOpened);
    ASSERT_EQ(file.Write("cached", 6), 6u);
    // An open file must not be given modes of its own.
    EXPECT_EQ(file.MapFile(GENERIC_READ, 0, OPEN_EXISTING, 0, PAGE_READONLY, 0, 10, nullptr,
                           FILE_MAP_READ, 0),
              nullptr);
    auto* view = static_cast<char*>(file.MapFileRW(FALSE, 100, 0, 0));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string(view, 6), "cached");  // the cache was written before mapping
    view[6] = '!';
    EXPECT_TRUE(file.FlushView(view, 0));
    EXPECT_EQ(file.UnmapFile(), 0);
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusOpen);
    EXPECT_TRUE(file.SetFilePtr(6, FILE_BEGIN));
    char byte = 0;
    EXPECT_EQ(file.Read(&byte, 1), 1u);
    EXPECT_EQ(byte, '!');
    EXPECT_EQ(file.MapFileRW(TRUE, 100, 0, 0), nullptr);  // create only for a closed file
}

TEST_F(FileMapping, ReadWriteMappingsGrowTheFileReadOnlyViewsStopAtItsEnd) {
    const std::u16string path = Make("grow.bin", 10);
    CQZFile file(path.c_str());
    auto* view = static_cast<BYTE*>(file.MapFileRW(FALSE, 100000, 0, 0));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[9], 9);
    view[99999] = 7;
    EXPECT_EQ(file.GetSize(), 100000u);
    file.UnmapFile();
    const std::string bytes = ReadFileBytes(TempPath("grow.bin"));
    ASSERT_EQ(bytes.size(), 100000u);
    EXPECT_EQ(bytes[99999], 7);

    // Read-only: the view is cut at the end, and an offset at or past it fails.
    CQZFile reader(Make("short.bin", 70100).c_str());
    ASSERT_NE(reader.MapFileR(100000, 70000, 0), nullptr);
    EXPECT_EQ(reader.GetViewOffset(), 65536u);
    EXPECT_EQ(reader.GetViewSize(), 70100u - 65536u);
    reader.UnmapFile();
    EXPECT_EQ(reader.MapFileR(10, 70100, 0), nullptr);
    EXPECT_EQ(reader.GetStatus(), CQZFile::kStatusClosed);
    EXPECT_EQ(ReadFileBytes(TempPath("short.bin")).size(), 70100u);
}

TEST_F(FileMapping, SizeZeroWithACreatingDispositionFails) {
    CQZFile file(System(TempPath("new.bin")).c_str());
    EXPECT_EQ(file.MapFileRW(TRUE, 0, 0, 0), nullptr);
    EXPECT_FALSE(qzo::test::FileExists(TempPath("new.bin")));
    auto* view = static_cast<BYTE*>(file.MapFileRW(TRUE, 5, 0, 0));
    ASSERT_NE(view, nullptr);
    view[4] = 'e';
    file.UnmapFile();
    EXPECT_EQ(ReadFileBytes(TempPath("new.bin")), std::string("\0\0\0\0e", 5));
}

TEST_F(FileMapping, RemapMovesTheViewAndKeepsTheFileOnlyAsLongAsNeeded) {
    CQZFile file(Make("remap.bin", 140000).c_str());
    ASSERT_NE(file.MapFileRW(FALSE, 100, 0, 0), nullptr);
    auto* moved = static_cast<const BYTE*>(file.RemapFile(50, 131073, 0));
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(file.GetViewOffset(), 131072u);
    EXPECT_EQ(*moved, static_cast<BYTE>(131073 % 251));
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusMapped);
    file.UnmapFile();
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusClosed);  // it was opened for the mapping
    EXPECT_EQ(file.RemapFile(10, 0, 0), nullptr);         // nothing mapped
}

TEST_F(FileMapping, TheEndOfAMappedFileCannotMove) {
    CQZFile file;
    ASSERT_EQ(
        file.Open(Make("eof.bin", 100).c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0),
        CQZFile::kOpened);
    ASSERT_NE(file.MapFileRW(FALSE, 0, 0, 0), nullptr);
    EXPECT_RESULT_WITH(file.SetEOF(5), 0, ERROR_USER_MAPPED_FILE);
    file.UnmapFile();
    EXPECT_EQ(file.SetEOF(5), 0);
    EXPECT_EQ(file.GetSize(), 5u);
    EXPECT_EQ(file.GetFilePtr(), 5u);
    file.Close();
    EXPECT_EQ(ReadFileBytes(TempPath("eof.bin")).size(), 5u);

    // The platform refuses the same, and a read-only mapping cannot grow the file.
    auto handle = platform::File::Open(System(TempPath("eof.bin")).c_str(),
                                       GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    ASSERT_TRUE(handle);
    {
        auto mapping = platform::FileMapping::Create(*handle, PAGE_READWRITE, 0, nullptr);
        ASSERT_TRUE(mapping);
        EXPECT_FAILS_WITH(handle->SetEndOfFile(), ERROR_USER_MAPPED_FILE);
    }
    EXPECT_FALSE(platform::FileMapping::Create(*handle, PAGE_READONLY, 6, nullptr));
    EXPECT_TRUE(handle->SetEndOfFile());
}

}  // namespace
