// Shared helpers of the project locator tests: a fixture that leaves the process-wide project
// directory empty, a recording link table, a notification recorder, and a full tree listing
// (with each entry's attribute word) to prove that refused operations touched nothing.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/project_ids.h"
#include "qzobj/project_locator.h"
#include "qzobj/store/locator/locator_link.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace qzo::test::projects {

std::u16string Wide(const std::string& utf8);
std::string Narrow(const std::u16string& text);
std::string Hex8(uint32_t value);

// Every entry below `root` (not following links): relative path, kind, size, permission bits,
// the stored attribute word, a digest of the content or the link's target, and the write time.
std::string TreeListing(const std::string& root);

// The stored attribute word of a path (0 when none); the link itself is not followed.
uint32_t StoredAttributes(const std::string& path);

// Calls made through the link table, as text ("SetDefProjectID(00000000,0000FC00)", ...).
class LinkRecorder {
  public:
    LinkRecorder();   // installs the recording table
    ~LinkRecorder();  // restores the table found
    std::vector<std::string> Calls() const;
    void Clear();
    // Answers of the recording entries.
    static DWORD crashRebuildAnswer;
    static BOOL setDefAnswer;
    static BOOL withPurge;  // registers the three purge calls
    static BOOL withEnum;   // registers EnumProject
    static void Record(const std::string& call);

  private:
    qzo::store::LocatorLink previous_;
};

// Notifications received, as "code:id" in hexadecimal.
class NotifyRecorder {
  public:
    NotifyRecorder();
    ~NotifyRecorder();
    std::vector<std::string> Events() const;
    void Clear();

  private:
    static int Callback(void* entry, uintptr_t code, uintptr_t& value1, uintptr_t& value2,
                        uintptr_t id);
    DWORD handle_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

using ScopedDebug = qzo::test::ScopedDebugOutput;

class ProjectsTest : public QzoTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The test's own folder for projects. Stored project paths are upper case and resolve
    // without case; a root spelled in upper case resolves by its exact name and spares a scan
    // of a crowded temporary folder on every file call.
    const std::string& Root() const { return root_; }
    // A native path inside the root and its UTF-16 system form.
    std::string Native(const std::string& name) const { return root_ + "/" + name; }
    std::u16string System(const std::string& name) const { return Wide(Native(name)); }
    // Registers "<temp>/<name>" (created) and returns its ID.
    DWORD NewProject(const std::string& name);
    // The normalised path the directory stores for "<temp>/<name>".
    std::u16string StoredPath(const std::string& name) const;
    std::vector<DWORD> RegisteredIDs() const;

  private:
    std::string root_;
};

}  // namespace qzo::test::projects
