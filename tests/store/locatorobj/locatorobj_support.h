// Helpers of the locator object tests: a working project of the test's own with a simulated
// computer, object files written on the test side, a probe into the locator's private members,
// and a recorder of the locator's state notifications.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "qzobj/locator.h"
#include "support/fixture.h"

class LocFile;

namespace qzo::store {

// The test's way into a locator's private and protected members.
struct LocatorProbe {
    static LocFile* File(const Locator& locator) { return locator.m_pFile; }
    static DWORD WaitForAccess(Locator& locator, DWORD access, DWORD timeout) {
        return locator.WaitForAccess(access, timeout);
    }
    static BOOL Unlock(Locator& locator) { return locator.Unlock(); }
    static void SetFlags(Locator& locator, DWORD mask, DWORD values) {
        locator.SetFlags(mask, values);
    }
    static void SetMode(Locator& locator, DWORD mode) { locator.SetMode(mode); }
    static BOOL Destroy(Locator& locator, BOOL really) { return locator.Destroy(nullptr, really); }
    static const Location& RawLocation(const Locator& locator) { return locator.m_Location; }
};

}  // namespace qzo::store

namespace qzo::test::locatorobj {

using Probe = qzo::store::LocatorProbe;

inline constexpr DWORD kRead = LOCATOR_ACCESS_READ;
inline constexpr DWORD kReadWrite = LOCATOR_ACCESS_READ | LOCATOR_ACCESS_WRITE;
// The size of a fresh object file: the version of 20 bytes ends at 10260.
inline constexpr DWORD kFreshFileSize = 10260;

std::u16string Wide(const std::string& text);
std::string Narrow(const std::u16string& text);
std::string Hex8(uint32_t value);

// What the object file written by WriteObjectFile holds.
struct ObjectFileContent {
    Location location;      // recorded in the header (identity flags only)
    bool withClass = true;  // the header names the persistent root class
    bool damagedMagic = false;
};

// The bytes of an object file holding one version: header, an index whose slot 0 is
// {1, 10240, 10260, 0, "Create"} and current, data end 10260, the NT chunk at 7920 and
// version 1 at 10240.
std::string ObjectFileBytes(const ObjectFileContent& content);

// Every test: this process poses as computer ALPHA on a loopback address of its own, and a
// project "<temp>/PRJ" is registered and made the working project.
class LocatorObjTest : public QzoTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    DWORD ProjectID() const { return projectID_; }
    // The project's folder (native, ending in '/').
    const std::string& ProjectDir() const { return projectDir_; }
    // A location of the working project (class 0x5A5A0001) with the given object ID.
    Location MakeLocation(DWORD objID, DWORD projectID = 0) const;
    // The native path of the object's file.
    std::string ObjectFile(const Location& location) const;
    // Writes the object's file (ObjectFileBytes) and returns its native path.
    std::string WriteObject(const Location& location, bool damaged = false);
    // Registers a second project (not made working) and returns its ID.
    DWORD OtherProject(const std::string& name);

  private:
    DWORD projectID_ = 0;
    std::string projectDir_;
    std::vector<DWORD> registered_;
    std::map<DWORD, std::string> folders_;  // native folder of each registered project
};

// The locator's state notifications, as they arrive.
class StateRecorder {
  public:
    struct Event {
        uintptr_t code;
        Location location;  // the location passed with code 12 and with a destroyed location
    };
    StateRecorder();
    ~StateRecorder();
    std::vector<Event> Events() const;
    size_t Count(uintptr_t code) const;

  private:
    static int Callback(void* pointer, uintptr_t code, uintptr_t& value1, uintptr_t& value2,
                        uintptr_t value);
    DWORD handle_ = 0;
    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

}  // namespace qzo::test::locatorobj
