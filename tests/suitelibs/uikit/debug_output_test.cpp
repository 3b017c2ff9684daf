// wPrintf's targets: off by default, standard error, and a file that many threads and processes
// append to at once without any message being torn; the sink sees every message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/suitelibs/uikit/debug_output.h"
#include "qzobj/uikit.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/peer.h"

namespace {

constexpr int kMessagesPerWriter = 400;
// Long enough that a torn write would show inside one line.
const char kFiller[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

void PrintNumbered(const char* writer, int count) {
    for (int i = 0; i < count; ++i)
        wPrintf(3, 5, u"\r%hs message %d of %d %hs\r\n", writer, i, count, kFiller);
}

std::string Expected(const std::string& writer, int i, int count) {
    return writer + " message " + std::to_string(i) + " of " + std::to_string(count) + " " +
           kFiller;
}

// The peer side: prints `count` numbered messages as writer `name`.
QZO_PEER_COMMAND(print_messages) {
    PrintNumbered(args.at(0).c_str(), std::atoi(args.at(1).c_str()));
    return "OK";
}

// Standard error redirected to a file for the lifetime of the object.
class StderrRedirect {
  public:
    explicit StderrRedirect(const std::string& path) {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrRedirect() {
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }

  private:
    int saved_;
};

class DebugOutputTest : public qzo::test::QzoTest {
  protected:
    void TearDown() override {
        unsetenv("QZO_DEBUG_OUTPUT");
        qzo::uikit::ResetDebugOutputTarget();
        QzoTest::TearDown();
    }
    void UseTarget(const std::string& target) {
        setenv("QZO_DEBUG_OUTPUT", target.c_str(), 1);
        qzo::uikit::ResetDebugOutputTarget();
    }
};

TEST_F(DebugOutputTest, OffByDefaultWritesNothingAnywhere) {
    const std::string errors = TempPath("stderr.txt");
    {
        StderrRedirect redirect(errors);
        EXPECT_EQ(Is_wPrintf_Active(0), 0);
        wPrintf(3, 5, u"\rnobody sees this %d\r\n", 1);
    }
    EXPECT_EQ(qzo::test::ReadFileBytes(errors), "");

    UseTarget("");
    EXPECT_EQ(Is_wPrintf_Active(0), 0) << "an empty setting means off";
    UseTarget(TempPath("missing-folder/debug.log"));
    EXPECT_EQ(Is_wPrintf_Active(0), 0) << "a file that cannot be opened means off";
    wPrintf(3, 5, u"lost\n");
}

TEST_F(DebugOutputTest, StandardErrorTarget) {
    const std::string errors = TempPath("stderr.txt");
    {
        StderrRedirect redirect(errors);
        UseTarget("stderr");
        EXPECT_NE(Is_wPrintf_Active(0), 0);
        wPrintf(0, 1, u"\rCorrupted block at %p in %s\r\n", nullptr, u"\u00C4rger");
    }
    EXPECT_EQ(qzo::test::ReadFileBytes(errors),
              "\rCorrupted block at 0000000000000000 in \xC3\x84rger\r\n")
        << "standard error gets the text as UTF-8, unchanged";
}

TEST_F(DebugOutputTest, TurningOnSendsToStandardErrorUntilReset) {
    const std::string errors = TempPath("stderr.txt");
    {
        StderrRedirect redirect(errors);
        ASSERT_EQ(Is_wPrintf_Active(0), 0);
        EXPECT_NE(Is_wPrintf_Active(1), 0);
        EXPECT_NE(Is_wPrintf_Active(0), 0);
        wPrintf(3, 2, u"\rnow on\r\n");
        qzo::uikit::ResetDebugOutputTarget();
        EXPECT_EQ(Is_wPrintf_Active(0), 0);
        wPrintf(3, 2, u"\roff again\r\n");
    }
    EXPECT_EQ(qzo::test::ReadFileBytes(errors), "\rnow on\r\n");
}

TEST_F(DebugOutputTest, FileTargetAppendsAndTurningOnKeepsIt) {
    const std::string file = TempPath("debug.log");
    qzo::test::WriteFileBytes(file, "earlier\n");
    UseTarget(file);
    EXPECT_NE(Is_wPrintf_Active(1), 0);
    wPrintf(3, 5, u"\r%hs::%s %d\r\n", "CProjUniID", u"Open", 2);
    EXPECT_EQ(qzo::test::ReadFileBytes(file), "earlier\n\rCProjUniID::Open 2\r\n");
}

TEST_F(DebugOutputTest, TargetIsReadOnceUntilReset) {
    const std::string first = TempPath("first.log");
    const std::string second = TempPath("second.log");
    UseTarget(first);
    wPrintf(3, 5, u"one\n");
    setenv("QZO_DEBUG_OUTPUT", second.c_str(), 1);
    wPrintf(3, 5, u"two\n");
    qzo::uikit::ResetDebugOutputTarget();
    wPrintf(3, 5, u"three\n");
    EXPECT_EQ(qzo::test::ReadFileBytes(first), "one\ntwo\n");
    EXPECT_EQ(qzo::test::ReadFileBytes(second), "three\n");
}

TEST_F(DebugOutputTest, SinkGetsChannelLevelAndText) {
    std::vector<qzo::test::CapturedMessage> messages;
    {
        qzo::test::DebugCapture capture;
        EXPECT_NE(Is_wPrintf_Active(0), 0) << "a sink counts as output";
        wPrintf(0, 3, u"\r\nWarning: %s\r\n", u"CLOSE HISTORY");
        wPrintf(3, 9, u"\r%hs %u%%\r\n", "progress", 50u);
        messages = capture.Messages();
    }
    EXPECT_EQ(Is_wPrintf_Active(0), 0) << "removing the sink turns output off";
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].channel, 0);
    EXPECT_EQ(messages[0].level, 3);
    EXPECT_EQ(messages[0].text, u"\r\nWarning: CLOSE HISTORY\r\n");
    EXPECT_EQ(messages[1].channel, 3);
    EXPECT_EQ(messages[1].level, 9);
    EXPECT_EQ(messages[1].text, u"\rprogress 50%\r\n");
}

TEST_F(DebugOutputTest, SinkAndFileBothGetLongMessagesCut) {
    const std::string file = TempPath("debug.log");
    UseTarget(file);
    qzo::test::DebugCapture capture;
    std::u16string text(5000, u'\u00E9');
    wPrintf(3, 5, u"%s", text.c_str());
    auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, std::u16string(qzo::uikit::kMaxMessageUnits, u'\u00E9'));
    EXPECT_EQ(qzo::test::ReadFileBytes(file).size(), 2 * qzo::uikit::kMaxMessageUnits);
}

// Four threads here and two peer processes append to one file at once; every line must arrive
// whole, exactly once.
TEST_F(DebugOutputTest, ThreadsAndProcessesAppendWholeMessages) {
    const std::string file = TempPath("shared.log");
    UseTarget(file);

    qzo::test::Peer peerA({{"QZO_DEBUG_OUTPUT", file}});
    qzo::test::Peer peerB({{"QZO_DEBUG_OUTPUT", file}});
    ASSERT_TRUE(peerA.Start());
    ASSERT_TRUE(peerB.Start());

    const std::string count = std::to_string(kMessagesPerWriter);
    std::string answerA, answerB;
    std::vector<std::thread> writers;
    writers.emplace_back([&] { answerA = peerA.Call("print_messages peerA " + count); });
    writers.emplace_back([&] { answerB = peerB.Call("print_messages peerB " + count); });
    const char* threadNames[] = {"thread0", "thread1", "thread2", "thread3"};
    for (const char* name : threadNames)
        writers.emplace_back([name] { PrintNumbered(name, kMessagesPerWriter); });
    for (auto& writer : writers) writer.join();
    EXPECT_EQ(answerA, "OK");
    EXPECT_EQ(answerB, "OK");

    std::map<std::string, int> expected;
    for (const std::string writer : {"peerA", "peerB", "thread0", "thread1", "thread2", "thread3"})
        for (int i = 0; i < kMessagesPerWriter; ++i)
            ++expected[Expected(writer, i, kMessagesPerWriter)];

    std::map<std::string, int> found;
    std::istringstream lines(qzo::test::ReadFileBytes(file));
    size_t lineCount = 0;
    for (std::string line; std::getline(lines, line); ++lineCount) {
        ASSERT_GE(line.size(), 2u);
        ASSERT_EQ(line.front(), '\r') << "line " << lineCount << " is torn: " << line;
        ASSERT_EQ(line.back(), '\r') << "line " << lineCount << " is torn: " << line;
        ++found[line.substr(1, line.size() - 2)];
    }
    EXPECT_EQ(lineCount, 6u * kMessagesPerWriter);
    EXPECT_EQ(found, expected);
}

}  // namespace
