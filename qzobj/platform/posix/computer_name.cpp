// The process-wide computer name: an override set at run time, the environment, or the host.
#include "qzobj/platform/computer_name.h"

#include <cstdlib>
#include <mutex>

#include "qzobj/platform/system.h"
#include "qzobj/platform/text.h"

namespace qzo::platform {
namespace {

// Guards the override; read and written from any thread.
std::mutex g_nameLock;
std::u16string g_setName;

}  // namespace

std::u16string ProcessComputerName() {
    {
        std::lock_guard<std::mutex> hold(g_nameLock);
        if (!g_setName.empty()) return g_setName;
    }
    const char* fromEnvironment = std::getenv("QZO_COMPUTERNAME");
    if (fromEnvironment && !*fromEnvironment) return std::u16string();
    return ComputerName();
}

bool SetProcessComputerName(const std::u16string& name) {
    if (name.empty() || name.size() > 15) return false;
    std::lock_guard<std::mutex> hold(g_nameLock);
    g_setName = name;
    return true;
}

}  // namespace qzo::platform
