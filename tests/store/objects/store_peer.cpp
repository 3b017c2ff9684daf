// The peer's side of the object-store suites (commands run in a second process):
//   store_undo_commit FOLDER LOCATION TAG SIZE
//       makes FOLDER the working project, restores LOCATION (its 40-letter text) for writing,
//       undoes one step, commits the payload PayloadFor(TAG, SIZE) and lets the object go
//       -> "OK <version>" | "ERR ..."
#include <cstdlib>
#include <string>

#include "qzobj/locator.h"
#include "qzobj/persistent.h"
#include "qzobj/project_locator.h"
#include "store/objects/store_test_object.h"
#include "support/peer.h"

namespace {

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

}  // namespace

QZO_PEER_COMMAND(store_undo_commit) {
    using namespace qzo::test::store;
    if (args.size() != 4) return "ERR args";
    if (!RegisterStoreTestClass()) return "ERR class";
    const DWORD project = PrjLocator::RegisterProject(Wide(args[0]).c_str(), FALSE);
    if (project == PRJLOC_NO_PROJECT || !PrjLocator::SetWorkingProject(project))
        return "ERR project";
    const std::u16string text = Wide(args[1]);
    Locator locator(text.c_str());
    DWORD result = 0xFFFFFFFFu;
    CQZObject* object = locator.RestoreObject(LOCATOR_ACCESS_RWE, 5000, 0, &result);
    auto* test = dynamic_cast<CStoreTestObject*>(object);
    if (!test) return "ERR restore " + std::to_string(result);
    std::string answer = "ERR undo";
    if (test->UnwindObject(-1, TRUE)) {
        test->payload = PayloadFor(uint32_t(std::strtoul(args[2].c_str(), nullptr, 10)),
                                   uint32_t(std::strtoul(args[3].c_str(), nullptr, 10)));
        answer = test->Commit(0) ? "OK " + std::to_string(test->QueryVersion()) : "ERR commit";
    }
    object->DelObject();
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    return answer;
}
