// The library's attach and detach steps, in their fixed order, run from the library's static
// initialiser and finaliser. Singletons used by the steps are created on first use and never
// destroyed, so the order of static destruction cannot bite.
#include "qzobj/frame/startup.h"

#include <atomic>
#include <cstddef>

#include "qzobj/diag/crash_record.h"
#include "qzobj/diag/debug_switches.h"
#include "qzobj/frame.h"
#include "qzobj/frame/app_init.h"
#include "qzobj/frame/settings_store.h"
#include "qzobj/objmodel.h"
#include "qzobj/persistent.h"
#include "qzobj/platform/guard.h"
#include "qzobj/platform/module.h"
#include "qzobj/store/locator/locator_core.h"
#include "qzobj/store/objfile/locfile.h"
#include "qzobj/store/project/prjloc_internal.h"

namespace qzo::frame {
namespace {

HMODULE g_instance = nullptr;

bool RecordInstance() {
    g_instance = qzo::platform::ThisModule();
    return true;
}

bool InstallFaultGuard() {
    qzo::platform::InstallGuardHandler();
    return true;
}

bool LoadDebugSwitches() {
    qzo::diag::LoadDebugSettings();
    return true;
}

// The registry, with the two base classes of the object model registered before any driver
// library can register a class derived from them. A refused base class fails the load.
bool InitClassRegistry() {
    if (!CQZRuntimeClass::Init()) return false;
    if (classCQZRTObject.RegisterClass(g_instance, nullptr, 0) != 0) return false;
    return classCQZObject.RegisterClass(g_instance, &classCQZRTObject, sizeof(CQZRTObject)) == 0;
}

// An application that did not balance its initialisation is told so before the classes go.
void ExitClassRegistry() {
    ReportUnbalancedInit();
    CQZRuntimeClass::Exit();
}

// The shell learns the library's three file types; a failed registration does not fail the load.
bool RegisterLibraryFileTypes() {
    RegisterFileType(u".qzo", u"zorb.ObjectFile", u"zorb. object file", nullptr, nullptr);
    RegisterFileType(u".qzs", u"zorb.Shortcut", u"zorb. shortcut", nullptr, u"notepad.exe %1");
    RegisterFileType(u".ids", u"zorb.IDs", u"zorb. ID file", nullptr, nullptr);
    return true;
}

struct AttachStep {
    const char* name;
    bool (*attach)();
    void (*detach)();  // may be null
};

// The order matters: later steps rely on what earlier ones set up, and detaching runs in
// reverse, so the registry goes before the settings store is released.
constexpr AttachStep kSteps[] = {
    {"module instance", &RecordInstance, nullptr},
    {"fault guard", &InstallFaultGuard, nullptr},
    {"debug switches", &LoadDebugSwitches, nullptr},
    {"settings store", nullptr, &ReleaseSettingsStore},
    {"class registry", &InitClassRegistry, &ExitClassRegistry},
    {"file types", &RegisterLibraryFileTypes, nullptr},
    {"crash record", &qzo::diag::AttachCrashRecord, &qzo::diag::DetachCrashRecord},
    {"file counters", &qzo::store::AttachLocFileCounters, &qzo::store::ReportLocFileCounters},
    {"project directory", &qzo::store::prjloc::AttachProjectDirectory,
     &qzo::store::prjloc::DetachProjectDirectory},
    {"locator", &qzo::store::LocatorCore::Attach, &qzo::store::LocatorCore::Detach},
};
constexpr size_t kStepCount = sizeof(kSteps) / sizeof(kSteps[0]);

// Steps attached so far; detach unwinds exactly these.
std::atomic<size_t> g_attached{0};
std::atomic<bool> g_started{false};

void DetachFrom(size_t count) {
    for (size_t i = count; i-- > 0;)
        if (kSteps[i].detach) kSteps[i].detach();
}

}  // namespace

HMODULE LibraryInstance() {
    return g_instance;
}

bool ProcessAttach() {
    if (g_started.exchange(true)) return g_attached.load() == kStepCount;
    for (size_t i = 0; i < kStepCount; ++i) {
        if (kSteps[i].attach && !kSteps[i].attach()) {
            DetachFrom(i);
            g_attached = 0;
            return false;
        }
        g_attached = i + 1;
    }
    return true;
}

void ProcessDetach() {
    size_t attached = g_attached.exchange(0);
    DetachFrom(attached);
}

namespace {

// Loading the library attaches it; unloading (dlclose or process exit) detaches it.
__attribute__((constructor(200))) void LibraryLoaded() {
    ProcessAttach();
}
__attribute__((destructor(200))) void LibraryUnloaded() {
    ProcessDetach();
}

}  // namespace
}  // namespace qzo::frame
