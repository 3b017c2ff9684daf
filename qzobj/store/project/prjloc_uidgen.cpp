// The project-ID forms of the generator: they find the project's folder in the project
// directory and use the folder forms.
#include "qzobj/project_ids.h"
#include "qzobj/project_locator.h"

unsigned CProjUniID::Open(DWORD projectID) {
    const WCHAR* folder = PrjLocator::GetPrjPath(projectID);
    if (!folder) return 1;  // an unregistered project has no file; whatever was open stays open
    return Open(folder);
}

unsigned CProjUniID::Create(DWORD projectID, DWORD firstID) {
    const WCHAR* folder = PrjLocator::GetPrjPath(projectID);
    if (!folder) return 1;
    return Create(folder, firstID);
}
