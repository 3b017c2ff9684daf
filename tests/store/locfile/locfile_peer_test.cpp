// Object files across processes: a reader names the other process's live writer, treats a killed
// writer's record as void, and leaves the live writer's marker alone when probing.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>

#include "store/locfile/locfile_test_support.h"
#include "qzobj/hashid.h"
#include "support/peer.h"

namespace {

using namespace qzo::test::locfile;

LocFile*& PeerWriter() {
    static LocFile* writer = nullptr;
    return writer;
}

}  // namespace

// Opens PATH for writing and takes and releases the header lock once, so that the file carries
// this process's record: "OK", or "ERR <step> <error>".
QZO_PEER_COMMAND(locfile_writer) {
    const std::u16string path = System(args.at(0));
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
    EXPECT_EQ(Content(), stale);

    LocFile* writer = OpenWriter();
    ASSERT_NE(writer, nullptr);
    ASSERT_TRUE(writer->Lock(0, kHeaderLock));
    const std::string replaced = Content();
    ASSERT_EQ(replaced.size(), original_.size() + kTrailer);
    EXPECT_NE(replaced.substr(original_.size() + 8, 8), std::string("B\0E\0T\0A\0", 8));
    ASSERT_TRUE(writer->Unlock(0, kHeaderLock));
    writer->Close();
    EXPECT_EQ(Content(), original_);
}

}  // namespace
