// Two processes write distinct keys into one profile file while this process keeps reading it:
// no key is lost and every read sees a whole, well-formed file.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/profile.h"
#include "support/fixture.h"
#include "support/peer.h"

namespace {

constexpr int kKeysPerWriter = 300;

// ini_write_keys <file> <prefix> <count>: writes <prefix><i>=<i> into section "Race".
QZO_PEER_COMMAND(ini_write_keys) {
    if (args.size() != 3) return "BAD ARGS";
    const int count = std::stoi(args[2]);
    for (int i = 0; i < count; ++i) {
        const std::string key = args[1] + std::to_string(i);
        const std::string value = std::to_string(i);
        if (!qzo::platform::WritePrivateProfileStringA("Race", key.c_str(), value.c_str(),
                                                       args[0].c_str())) {
            return "FAIL " + key + " " + std::to_string(qzo::platform::GetLastError());
        }
    }
    return "OK";
}

// Number of keys in a snapshot of the file, or -1 when a line is not one the writers produce.
int CountWellFormedKeys(const std::string& bytes) {
    if (bytes.empty()) return 0;
    if (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0) return -1;
    std::istringstream lines(bytes);
    std::string line;
    int keys = 0;
    bool header = true;
    while (std::getline(lines, line)) {
        if (line.empty() || line.back() != '\r') return -1;
        line.pop_back();
        if (header) {
            if (line != "[Race]") return -1;
            header = false;
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos || equals < 2 || (line[0] != 'a' && line[0] != 'b') ||
            line.substr(1, equals - 1) != line.substr(equals + 1)) {
            return -1;
        }
        ++keys;
    }
    return keys;
}

class IniRace : public qzo::test::QzoTest {};

TEST_F(IniRace, TwoWritersAndAReaderLoseNothing) {
    const std::string path = TempPath("race.ini");
    qzo::test::Peer writerA;
    qzo::test::Peer writerB;
    ASSERT_TRUE(writerA.Start());
    ASSERT_TRUE(writerB.Start());
    std::atomic<int> finished{0};
    std::string answerA;
    std::string answerB;
    const std::string count = std::to_string(kKeysPerWriter);
    std::thread runA([&] {
        answerA = writerA.Call("ini_write_keys " + path + " a " + count);
        ++finished;
    });
    std::thread runB([&] {
        answerB = writerB.Call("ini_write_keys " + path + " b " + count);
        ++finished;
    });

    // Keys are only ever added, so every snapshot must hold at least as many as the last one.
    int reads = 0;
    int malformed = 0;
    int shrank = 0;
    int lastCount = 0;
    std::vector<char> list(16384);
    while (finished.load() < 2) {
        const int keys = CountWellFormedKeys(qzo::test::ReadFileBytes(path));
        if (keys < 0) ++malformed;
        if (keys >= 0 && keys < lastCount) ++shrank;
        if (keys > lastCount) lastCount = keys;
        qzo::platform::GetPrivateProfileStringA("Race", nullptr, "", list.data(),
                                                static_cast<DWORD>(list.size()), path.c_str());
        ++reads;
        std::this_thread::yield();
    }
    runA.join();
    runB.join();
    EXPECT_EQ(answerA, "OK");
    EXPECT_EQ(answerB, "OK");
    EXPECT_EQ(malformed, 0) << "out of " << reads << " reads";
    EXPECT_EQ(shrank, 0);

    const std::string final = qzo::test::ReadFileBytes(path);
    EXPECT_EQ(CountWellFormedKeys(final), 2 * kKeysPerWriter);
    for (const char* prefix : {"a", "b"}) {
        for (int i = 0; i < kKeysPerWriter; ++i) {
            const std::string key = prefix + std::to_string(i);
            char value[16];
            qzo::platform::GetPrivateProfileStringA("Race", key.c_str(), "", value, 16,
                                                    path.c_str());
            ASSERT_EQ(std::string(value), std::to_string(i)) << key;
        }
    }
}

}  // namespace
