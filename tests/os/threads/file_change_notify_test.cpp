// COSFileChangeNotify: only the changes in the filter end a wait (a sibling's rename does not
// with 0x10, a write does), deletion ends it only with 0x1, and bad input gives no handle.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "qzobj/platform/change_notify.h"
#include "qzobj/platform/kernel_objects.h"
#include "qzobj/platform/path.h"
#include "qzobj/threads.h"
#include "support/fixture.h"

namespace {

namespace platform = qzo::platform;
using qzo::test::FileExists;
using qzo::test::WriteFileBytes;

class FileChangeNotify : public qzo::test::QzoTest {
  protected:
    std::u16string Wide(const std::string& native) { return platform::FromNativePath(native); }

    // The file system stamps times with a coarse clock: leave more than one tick between a
    // file's creation and the write a test waits for.
    static void LetTheClockMove() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

    static void Append(const std::string& path, const std::string& bytes) {
        FILE* file = fopen(path.c_str(), "ab");
        ASSERT_NE(file, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), file);
        fclose(file);
    }
};

TEST_F(FileChangeNotify, LastWriteFilterIgnoresSiblingRenameAndSeesWrite) {
    const std::string watched = TempPath("watched.dat");
    const std::string sibling = TempPath("sibling.dat");
    WriteFileBytes(watched, "one");
    WriteFileBytes(sibling, "two");
    COSFileChangeNotify notify(Wide(watched).c_str(), FILE_NOTIFY_CHANGE_LAST_WRITE);
    ASSERT_TRUE(notify.AssertValid());
    EXPECT_EQ(notify.GetFilter(), FILE_NOTIFY_CHANGE_LAST_WRITE);

    ASSERT_EQ(rename(sibling.c_str(), TempPath("renamed.dat").c_str()), 0);
    EXPECT_EQ(notify.Wait(300), WAIT_TIMEOUT);

    LetTheClockMove();
    Append(watched, "more");
    EXPECT_EQ(notify.Wait(10000), WAIT_OBJECT_0);
    // Nothing more happened: the next wait runs out.
    EXPECT_EQ(notify.Wait(100), WAIT_TIMEOUT);
}

TEST_F(FileChangeNotify, WriteFromAnotherThreadEndsARunningWait) {
    const std::string watched = TempPath("watched.dat");
    WriteFileBytes(watched, "one");
    COSFileChangeNotify notify(Wide(watched).c_str(), FILE_NOTIFY_CHANGE_SIZE);
    ASSERT_TRUE(notify.AssertValid());
    std::thread writer([&] {
        // A sibling first, which the size filter must not take for the file.
        WriteFileBytes(TempPath("sibling.dat"), "x");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Append(watched, "grown");
    });
    EXPECT_EQ(notify.Wait(10000), WAIT_OBJECT_0);
    writer.join();
    EXPECT_EQ(qzo::test::ReadFileBytes(watched).size(), 8u);
}

TEST_F(FileChangeNotify, DeletionEndsTheWaitOnlyWithTheNameFilter) {
    const std::string watched = TempPath("watched.dat");
    WriteFileBytes(watched, "one");
    COSFileChangeNotify byName(Wide(watched).c_str(), FILE_NOTIFY_CHANGE_FILE_NAME);
    COSFileChangeNotify byWrite(Wide(watched).c_str(),
                                FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE);
    ASSERT_TRUE(byName.AssertValid());
    ASSERT_TRUE(byWrite.AssertValid());
    ASSERT_EQ(unlink(watched.c_str()), 0);
    EXPECT_EQ(byName.Wait(10000), WAIT_OBJECT_0);
    EXPECT_EQ(byWrite.Wait(300), WAIT_TIMEOUT);
}

TEST_F(FileChangeNotify, NameFilterSeesTheFileAppearAndItsRename) {
    const std::string watched = TempPath("later.dat");
    COSFileChangeNotify notify(Wide(watched).c_str(), FILE_NOTIFY_CHANGE_FILE_NAME);
    ASSERT_TRUE(notify.AssertValid());
    WriteFileBytes(TempPath("other.dat"), "x");
    EXPECT_EQ(notify.Wait(200), WAIT_TIMEOUT);
    WriteFileBytes(watched, "here");
    EXPECT_EQ(notify.Wait(10000), WAIT_OBJECT_0);
    ASSERT_EQ(rename(watched.c_str(), TempPath("gone.dat").c_str()), 0);
    EXPECT_EQ(notify.Wait(10000), WAIT_OBJECT_0);
}

TEST_F(FileChangeNotify, PathsAreFoundWithoutCase) {
    WriteFileBytes(TempPath("Mixed.DAT"), "one");
    COSFileChangeNotify notify(Wide(TempPath("mixed.dat")).c_str(), FILE_NOTIFY_CHANGE_SIZE);
    ASSERT_TRUE(notify.AssertValid());
    LetTheClockMove();
    Append(TempPath("Mixed.DAT"), "two");
    EXPECT_EQ(notify.Wait(10000), WAIT_OBJECT_0);
}

TEST_F(FileChangeNotify, BadInputGivesNoHandle) {
    const std::u16string file = Wide(TempPath("file.dat"));
    COSFileChangeNotify zeroFilter(file.c_str(), 0);
    EXPECT_FALSE(zeroFilter.AssertValid());
    COSFileChangeNotify unknownBitsOnly(file.c_str(), 0x2 | 0x20);
    EXPECT_FALSE(unknownBitsOnly.AssertValid());
    COSFileChangeNotify nullPath(nullptr, FILE_NOTIFY_CHANGE_FILE_NAME);
    EXPECT_FALSE(nullPath.AssertValid());
    COSFileChangeNotify emptyPath(u"", FILE_NOTIFY_CHANGE_FILE_NAME);
    EXPECT_FALSE(emptyPath.AssertValid());
    COSFileChangeNotify folderOnly((Wide(TempDir()) + u"/").c_str(), FILE_NOTIFY_CHANGE_FILE_NAME);
    EXPECT_FALSE(folderOnly.AssertValid());
    COSFileChangeNotify missingFolder(Wide(TempPath("none/file.dat")).c_str(),
                                      FILE_NOTIFY_CHANGE_FILE_NAME);
    EXPECT_FALSE(missingFolder.AssertValid());
    std::u16string tooLong = Wide(TempDir()) + u"/" + std::u16string(300, u'a');
    COSFileChangeNotify overLong(tooLong.c_str(), FILE_NOTIFY_CHANGE_FILE_NAME);
    EXPECT_FALSE(overLong.AssertValid());

    EXPECT_EQ(zeroFilter.Wait(0), WAIT_FAILED);
    EXPECT_EQ(zeroFilter.VerifyWaitSuccessful(WAIT_OBJECT_0), WAIT_FAILED);

    COSFileChangeNotify masked(file.c_str(), 0xFFFFFFFFu);
    EXPECT_TRUE(masked.AssertValid());
    EXPECT_EQ(masked.GetFilter(), 0x1Du);
}

TEST_F(FileChangeNotify, HandlesStayUntilClosedAndFreeTheirWatch) {
    const std::u16string folder = Wide(TempDir());
    const DWORD before = platform::OpenKernelHandleCount();
    for (int i = 0; i < 50; ++i) {
        const platform::KernelHandle handle =
            platform::FindFirstChangeNotification(folder.c_str(), FILE_NOTIFY_CHANGE_SIZE);
        ASSERT_NE(handle, 0u);
        EXPECT_TRUE(platform::FindCloseChangeNotification(handle));
    }
    EXPECT_EQ(platform::OpenKernelHandleCount(), before);
    // The signal stays until it is re-armed, for any number of waits.
    const platform::KernelHandle handle =
        platform::FindFirstChangeNotification(folder.c_str(), FILE_NOTIFY_CHANGE_FILE_NAME);
    ASSERT_NE(handle, 0u);
    WriteFileBytes(TempPath("new.dat"), "x");
    EXPECT_EQ(platform::WaitForSingleObject(handle, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(platform::WaitForSingleObject(handle, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(platform::FindNextChangeNotification(handle));
    EXPECT_EQ(platform::WaitForSingleObject(handle, 50), WAIT_TIMEOUT);
    EXPECT_TRUE(platform::FindCloseChangeNotification(handle));
    EXPECT_FALSE(platform::FindNextChangeNotification(handle));
    EXPECT_EQ(platform::FindFirstChangeNotification(Wide(TempPath("new.dat")).c_str(),
                                                    FILE_NOTIFY_CHANGE_SIZE),
              0u);
}

}  // namespace
