// Projects.Concurrency: lookups from many threads while another registers and unregisters;
// entries handed out stay readable (run under the sanitizers to see it).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "projects_support.h"

namespace qzo::test::projects {
namespace {

class Concurrency : public ProjectsTest {};

int CountEntry(const PRJLOCENTRY* entry, DWORD, uintptr_t user) {
    if (entry->szPath[0] != u'/') return 0;
    ++*reinterpret_cast<int*>(user);
    return 1;
}

TEST_F(Concurrency, LookupsWhileRegisteringAndUnregistering) {
    const DWORD stable = NewProject("Stable");
    ASSERT_NE(stable, PRJLOC_NO_PROJECT);
    // Registered once so that the churn below needs no file writes.
    const DWORD churn = NewProject("Churn");
    ASSERT_NE(churn, PRJLOC_NO_PROJECT);
    const std::u16string churnPath = System("Churn");
    const std::u16string stablePath = StoredPath("Stable");
    const std::u16string churnStored = StoredPath("Churn");

    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const WCHAR* path = PrjLocator::GetPrjPath(stable);
                if (!path || path != stablePath) ++failures;
                if (const WCHAR* churned = PrjLocator::GetPrjPath(churn)) {
                    if (churned != churnStored) ++failures;
                }
                if (const WCHAR* name = PrjLocator::GetPrjName(churn)) {
                    if (std::u16string(name) != u"CHURN/") ++failures;
                }
                DWORD found = PrjLocator::FindProject(churnPath.c_str());
                if (found != churn && found != PRJLOC_NO_PROJECT) ++failures;
                int count = 0;
                if (!PrjLocator::EnumRegisteredProjects(&CountEntry,
                                                        reinterpret_cast<uintptr_t>(&count)))
                    ++failures;
            }
        });
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(PrjLocator::UnregisterProject(churn));
        EXPECT_EQ(PrjLocator::RegisterProject(churnPath.c_str(), FALSE), churn);
    }
    stop = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace qzo::test::projects
