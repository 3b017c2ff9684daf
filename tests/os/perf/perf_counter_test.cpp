// Performance counters: lap and total lines of CPerfInfo, the per-event figure of CBasePerfItem
// and its atomic accumulation from many threads.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/perf.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace {

using qzo::test::DebugCapture;

class PerfCounters : public qzo::test::QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        SetDebugMode(TRUE);
    }
    void TearDown() override {
        SetDebugMode(FALSE);
        QzoTest::TearDown();
    }
};

// The counts of `ms` milliseconds.
ULONGLONG Counts(double ms) {
    return static_cast<ULONGLONG>(ms * double(CBasePerfItem::GetFrequency()) / 1000.0);
}

struct LapLine {
    std::string name;
    std::string label;
    double lap = -1;
    double total = -1;
};

// Parses "\r<name>::<label> Lap=<f>ms, Total=<f>ms\r\n".
bool ParseLap(const std::string& text, LapLine& line) {
    const size_t colons = text.find("::");
    const size_t lap = text.find(" Lap=");
    if (text.empty() || text[0] != '\r' || colons == std::string::npos || lap == std::string::npos)
        return false;
    line.name = text.substr(1, colons - 1);
    line.label = text.substr(colons + 2, lap - colons - 2);
    return std::sscanf(text.c_str() + lap, " Lap=%lfms, Total=%lfms", &line.lap, &line.total) ==
               2 &&
           text.size() >= 2 && text.substr(text.size() - 2) == "\r\n";
}

void ExpectAbout(double value, double expected) {
    EXPECT_GE(value, expected * 0.5) << value;
    EXPECT_LE(value, expected * 1.5) << value;
}

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST_F(PerfCounters, PerfInfoDestroyedAfter50msPrintsOneLineOfLapAndTotal) {
    DebugCapture capture;
    double outer = 0;
    {
        CPerfInfo info(u"Loader");
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        outer = MsSince(start);  // what the sleep really took on a busy machine
    }
    const auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].channel, 3);
    EXPECT_EQ(messages[0].level, 6);
    LapLine line;
    ASSERT_TRUE(ParseLap(messages[0].Utf8(), line)) << messages[0].Utf8();
    EXPECT_EQ(line.name, "Loader");
    EXPECT_EQ(line.label, "");
    EXPECT_GE(line.lap, 25.0);
    ExpectAbout(line.lap, outer);
    ExpectAbout(line.total, outer);
}

TEST_F(PerfCounters, LapUnderItsThresholdPrintsNothingButStartsANewLap) {
    DebugCapture capture;
    const auto start = Clock::now();
    CPerfInfoBase info(u"Saver");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const double first = MsSince(start);
    info.Lapse(u"first", 100);
    if (first >= 100) GTEST_SKIP() << "the machine slept " << first << " ms for 30";
    EXPECT_EQ(capture.Count(), 0u);
    const auto secondStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const double second = MsSince(secondStart);
    const double total = MsSince(start);
    info.Lapse(u"second", 0);
    const auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 1u);
    LapLine line;
    ASSERT_TRUE(ParseLap(messages[0].Utf8(), line));
    EXPECT_EQ(line.label, "second");
    EXPECT_GE(line.lap, 15.0);
    ExpectAbout(line.lap, second);
    ExpectAbout(line.total, total);
    EXPECT_LT(line.lap, line.total);
}

TEST_F(PerfCounters, CloseBelowItsThresholdIsSilentAndEndsTheTiming) {
    DebugCapture capture;
    CPerfInfoBase info(u"Quick");
    info.Close(u"end", 10000);
    EXPECT_FALSE(info.IsRunning());
    info.Lapse(u"late", 0);
    info.Close(u"again", 0);
    EXPECT_EQ(capture.Count(), 0u);
}

TEST_F(PerfCounters, NamesAreCutTo63CharactersAndNullNamesAreEmpty) {
    const std::u16string longName(100, u'N');
    CPerfInfoBase named(longName.c_str());
    EXPECT_EQ(std::u16string(named.GetName()), std::u16string(63, u'N'));
    CPerfInfoBase unnamed(nullptr);
    EXPECT_EQ(unnamed.GetName()[0], 0);
}

TEST_F(PerfCounters, LinesNeedDebugOutput) {
    SetDebugMode(FALSE);
    DebugCapture capture;
    { CPerfInfo info(u"Silent"); }
    CBasePerfItem item;
    item.Lapse(CBasePerfItem::GetCount());
    item.Dump("Silent");
    EXPECT_EQ(capture.Count(), 0u);
}

TEST_F(PerfCounters, DumpDividesByTheNumberOfEvents) {
    CBasePerfItem item;
    for (int i = 0; i < 3; ++i) item.Lapse(CBasePerfItem::GetCount() - Counts(10));
    EXPECT_EQ(item.GetEvents(), 3u);
    EXPECT_NEAR(item.GetAverageMs(), 10.0, 1.0);
    DebugCapture capture;
    item.Dump("Write");
    const auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].channel, 0);
    EXPECT_EQ(messages[0].level, 15);
    const std::string text = messages[0].Utf8();
    const std::string head = "\rWrite                    [         3 events]: ";
    ASSERT_EQ(text.substr(0, head.size()), head) << text;
    double ms = 0;
    ASSERT_EQ(std::sscanf(text.c_str() + head.size(), "%lf ms", &ms), 1);
    EXPECT_NEAR(ms, 10.0, 1.0);
    EXPECT_EQ(text.substr(text.size() - 5), " ms\r\n");
}

// Without events the figure is zero; names are padded or cut to 23 characters.
TEST_F(PerfCounters, DumpLinesWithoutEvents) {
    CBasePerfItem item;
    for (const auto& [name, line] : std::vector<std::pair<const char*, const char*>>{
             {"Idle", "\rIdle                     [         0 events]: 0.000000 ms\r\n"},
             {"ABCDEFGHIJKLMNOPQRSTUVWXYZ",
              "\rABCDEFGHIJKLMNOPQRSTUVW  [         0 events]: 0.000000 ms\r\n"},
             {nullptr, "\r                         [         0 events]: 0.000000 ms\r\n"}}) {
        SCOPED_TRACE(name ? name : "null");
        DebugCapture capture;
        item.Dump(name);
        EXPECT_EQ(capture.Text(), line);
    }
}

TEST_F(PerfCounters, EightThreadsOfTenThousandLapsesCountEveryEvent) {
    CBasePerfItem item;
    const ULONGLONG oneMicrosecond = Counts(0.001);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) item.Lapse(CBasePerfItem::GetCount() - oneMicrosecond);
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(item.GetEvents(), 80000u);
    // Every event added at least its microsecond: no addition was lost.
    EXPECT_GE(item.GetCounts(), 80000u * oneMicrosecond);
    item.Clear();
    EXPECT_EQ(item.GetEvents(), 0u);
    EXPECT_EQ(item.GetCounts(), 0u);
}

}  // namespace
