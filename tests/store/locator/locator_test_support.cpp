// Helpers of the locator tests.
#include "store/locator/locator_test_support.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>

#include "qzobj/file_modes.h"
#include "qzobj/pathkit.h"
#include "qzobj/store/objfile/locfile.h"

namespace qzo::test::locator {
namespace {

// Before the library caches the computer's ID: this process is ALPHA (its peers say BETA).
const bool kComputerNamed = [] {
    setenv("QZO_COMPUTERNAME", "ALPHA", 0);
    return true;
}();

std::atomic<unsigned> g_testNumber{0};

}  // namespace

void LocatorTest::SetUp() {
    QzoTest::SetUp();
    ASSERT_TRUE(kComputerNamed);
    // A port base of this test: below the ephemeral range even with the 8,191 a box adds.
    const unsigned base = 1024 + (unsigned(getpid()) * 37u + g_testNumber++ * 211u) % 23000u;
    setenv("QZO_MAILSLOT_PORT", std::to_string(base).c_str(), 1);
    const std::string hosts = TempPath("hosts");
    {
        std::ofstream file(hosts, std::ios::trunc);
        file << "ALPHA " << TestAddress(kAlphaHost) << "\nBETA " << TestAddress(kBetaHost) << "\n";
    }
    setenv("QZO_HOSTS", hosts.c_str(), 1);

    path_ = TempPath("proj/OBJ/5A5A0001/00000ABC.QZO");
    widePath_ = Wide(path_);
    ASSERT_TRUE(FU_CreatePath(Wide(TempPath("proj/OBJ/5A5A0001/")).c_str()));
    LocFile* file =
        LocFile::Open(widePath_.c_str(), kReadWrite, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(file, nullptr);
    std::string content(3000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = char(i * 13 + 5);
    EXPECT_EQ(file->Write(content.data(), DWORD(content.size())), content.size());
    file->Close();
}

qzo::store::AccessRequest LocatorTest::Request(DWORD access, DWORD timeout) const {
    qzo::store::AccessRequest request;
    request.objID = kObjID;
    request.path = widePath_.c_str();
    request.access = access;
    request.timeout = timeout;
    request.inDefaultProject = true;
    request.projectVersion = 0x30000;
    return request;
}

std::map<std::string, std::string> LocatorTest::BetaEnvironment() const {
    return {{"QZO_COMPUTERNAME", "BETA"}};
}

}  // namespace qzo::test::locator
