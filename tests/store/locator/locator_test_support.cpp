// The locator tests' fixture.
#include "store/locator/locator_test_support.h"

#include "qzobj/file_modes.h"
#include "qzobj/pathkit.h"
#include "qzobj/store/locfile.h"

namespace qzo::test::store {

void LocatorTest::SetUp() {
    StoreTest::SetUp();
    if (HasFatalFailure()) return;
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

}  // namespace qzo::test::store
