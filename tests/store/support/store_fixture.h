// The working-project fixture of the object-store suites: this process poses as computer ALPHA
// on a loopback address of its own (peers pose as BETA and GAMMA), every test gets its own
// mailslot port base and a project "<root>/PROJ" registered and made the working project, and
// the test class is registered. Helpers create, restore and write objects, register further
// projects and start peers that open the project.
#pragma once

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qzobj/locator.h"
#include "qzobj/project_locator.h"
#include "support/fixture.h"
#include "support/peer.h"
#include "store/support/store_image.h"
#include "store/support/store_object.h"
#include "support/text.h"

namespace qzo::test::store {

// Before the library caches the computer's name: this process is ALPHA.
inline const bool kNamedAlpha = [] {
    setenv("QZO_COMPUTERNAME", "ALPHA", 0);
    return true;
}();

inline constexpr DWORD kRead = LOCATOR_ACCESS_READ;
inline constexpr DWORD kReadWrite = LOCATOR_ACCESS_READ | LOCATOR_ACCESS_WRITE;
inline constexpr DWORD kReadWriteEdit = LOCATOR_ACCESS_RWE;
inline constexpr DWORD kWaitMs = 2000;
inline constexpr int kAlphaHost = 2;
inline constexpr int kBetaHost = 3;
inline constexpr int kGammaHost = 4;
// The class of locations made by MakeLocation, and the size of a file WriteObject writes.
inline constexpr DWORD kPlainHashID = 0x5A5A0001;
inline constexpr DWORD kFreshFileSize = 10260;

// A `relative` path below `root` whatever the case of its components: each is found by exact
// name first, then without case (the library spells folders its own way).
std::string ResolveNative(const std::string& root, const std::string& relative);
// The location's 40-letter text.
std::string LocationText(const Location& location);

// What restoring through a fresh locator gave.
struct Restored {
    ObjectRef object;
    DWORD result = 0xFFFFFFFFu;
    CStoreTestObject* test() const { return object.test(); }
};

class StoreTest : public QzoTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    DWORD ProjectID() const { return projectID_; }
    // The working project's folder (native, no trailing '/').
    const std::string& ProjectDir() const { return projectDir_; }
    // Registers a further project "<root>/<name>" (not made working) and returns its ID.
    DWORD OtherProject(const std::string& name);
    // The native path of the object's file (in whichever project the fixture registered).
    std::string ObjectFile(const Location& location) const;

    // A new object of the test class in the working project, holding write access: version 1
    // empty, then version 2 with the content of `tag` and `size` when either is not 0.
    ObjectRef Create(uint32_t tag = 0, uint32_t size = 0);
    // Restores through a locator made for this call.
    Restored Restore(const Location& location, DWORD access, DWORD timeout = kWaitMs);

    // A location of class kPlainHashID in the working project (or `projectID`).
    Location MakeLocation(DWORD objID, DWORD projectID = 0) const;
    // Writes a file of one root-class version for `location` (with a damaged magic when asked)
    // and returns its native path.
    std::string WriteObject(const Location& location, bool damaged = false);

    // A peer posing as computer `name` with a Windows directory of its own and this test's
    // project as its working project.
    std::unique_ptr<Peer> StartPeer(const std::string& name);

  private:
    std::string root_;
    std::string projectDir_;
    DWORD projectID_ = PRJLOC_NO_PROJECT;
    std::vector<DWORD> registered_;
    std::map<DWORD, std::string> folders_;
};

}  // namespace qzo::test::store
