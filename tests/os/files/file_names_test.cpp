// Name operations of CQZFile: naming, renaming within the folder, copying with its sharing and
// existence rules, and deleting; each needs a closed file.
#include <string>

#include "os/files/file_test_support.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"

namespace {

using qzo::test::FileExists;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;
using qzo::test::files::System;

class FileNames : public qzo::test::QzoTest {};

TEST_F(FileNames, RenameStaysInTheFolderAndChangesCase) {
    WriteFileBytes(TempPath("old.qzo"), "content");
    CQZFile file(System(TempPath("old.qzo")).c_str());
    EXPECT_TRUE(file.Rename(u"new.qzo"));
    EXPECT_EQ(std::u16string(file.GetFilename()), System(TempPath("new.qzo")));
    EXPECT_EQ(ReadFileBytes(TempPath("new.qzo")), "content");
    EXPECT_FALSE(FileExists(TempPath("old.qzo")));
    // A rename that only changes case is a rename, not a clash with itself.
    EXPECT_TRUE(file.Rename(u"NEW.QZO"));
    EXPECT_TRUE(FileExists(TempPath("NEW.QZO")));
    EXPECT_FALSE(FileExists(TempPath("new.qzo")));
}

TEST_F(FileNames, NameChangesAndCopiesNeedAClosedFile) {
    WriteFileBytes(TempPath("a.qzo"), "a");
    CQZFile file;
    ASSERT_EQ(file.Open(System(TempPath("a.qzo")).c_str(), GENERIC_READ, FILE_SHARE_READ,
                        OPEN_EXISTING, 0),
              CQZFile::kOpened);
    EXPECT_FALSE(file.Name(u"b.qzo"));
    EXPECT_FALSE(file.Rename(u"b.qzo"));
    EXPECT_FALSE(file.Copy(System(TempPath("b.qzo")).c_str(), TRUE));
    EXPECT_FALSE(file.Move(u""));
    EXPECT_EQ(std::u16string(file.GetFilename()), System(TempPath("a.qzo")));
    file.Close();
    EXPECT_TRUE(file.Name(System(TempPath("b.qzo")).c_str()));
    EXPECT_EQ(std::u16string(file.GetFilename()), System(TempPath("b.qzo")));
}

TEST_F(FileNames, CopyKeepsContentAttributesAndTimesAndHonoursSharing) {
    const std::string source = TempPath("src.qzo");
    WriteFileBytes(source, "copied bytes");
    ASSERT_TRUE(qzo::platform::SetFileAttributes(System(source).c_str(),
                                                 FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    CQZFile file(System(source).c_str());
    FILETIME written{};
    ASSERT_TRUE(file.GetTime(nullptr, nullptr, &written));

    EXPECT_TRUE(file.Copy(System(TempPath("dst.qzo")).c_str(), TRUE));
    EXPECT_EQ(ReadFileBytes(TempPath("dst.qzo")), "copied bytes");
    EXPECT_EQ(qzo::platform::GetFileAttributes(System(TempPath("dst.qzo")).c_str()),
              FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    CQZFile copy(System(TempPath("dst.qzo")).c_str());
    FILETIME copiedTime{};
    ASSERT_TRUE(copy.GetTime(nullptr, nullptr, &copiedTime));
    EXPECT_EQ(qzo::platform::FileTimeValue(copiedTime), qzo::platform::FileTimeValue(written));

    EXPECT_FAILS_WITH(file.Copy(System(TempPath("dst.qzo")).c_str(), TRUE), ERROR_FILE_EXISTS);

    // A target held open elsewhere cannot be replaced; a source that denies reading cannot be
    // read.
    CQZFile holder;
    ASSERT_EQ(holder.Open(System(TempPath("dst.qzo")).c_str(), GENERIC_READ, FILE_SHARE_READ,
                          OPEN_EXISTING, 0),
              CQZFile::kOpened);
    EXPECT_FAILS_WITH(file.Copy(System(TempPath("dst.qzo")).c_str(), FALSE),
                      ERROR_SHARING_VIOLATION);
    holder.Close();
    ASSERT_EQ(holder.Open(System(source).c_str(), GENERIC_WRITE, 0, OPEN_EXISTING, 0),
              CQZFile::kOpened);
    EXPECT_FAILS_WITH(file.Copy(System(TempPath("third.qzo")).c_str(), FALSE),
                      ERROR_SHARING_VIOLATION);
}

TEST_F(FileNames, DeleteClosesTheFileFirst) {
    CQZFile file;
    ASSERT_EQ(file.Open(System(TempPath("gone.qzo")).c_str(), GENERIC_WRITE, 0, CREATE_NEW, 0),
              CQZFile::kOpened);
    EXPECT_TRUE(file.Delete());
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusClosed);
    EXPECT_FALSE(FileExists(TempPath("gone.qzo")));
    EXPECT_FAILS_WITH(file.Delete(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
