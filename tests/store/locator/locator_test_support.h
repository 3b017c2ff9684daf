// The locator tests' fixture: beside the working project, an object file of 3000 bytes
// "proj/OBJ/5A5A0001/00000ABC.QZO" made with LocFile (CREATE_NEW), and access requests for it
// as the project 0x1234 would make them.
#pragma once

#include <map>
#include <string>

#include "qzobj/store/locator_access.h"
#include "support/store_fixture.h"

namespace qzo::test::store {

inline constexpr DWORD kObjID = 0xABC;  // "00000abc" in the messages
inline constexpr DWORD kProjID = 0x1234;

class LocatorTest : public StoreTest {
  protected:
    void SetUp() override;

    qzo::store::AccessRequest Request(DWORD access, DWORD timeout) const;
    std::u16string ProjectPath() const { return Wide(TempPath("proj/")); }
    static std::map<std::string, std::string> BetaEnvironment() {
        return {{"QZO_COMPUTERNAME", "BETA"}};
    }

    std::string path_;
    std::u16string widePath_;
};

}  // namespace qzo::test::store
