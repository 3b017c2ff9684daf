// Lazy binding of the "QZO.VST" settings store under a mutex.
#include "qzobj/frame/settings_store.h"

#include <mutex>

#include "qzobj/pathkit.h"
#include "qzobj/platform/text.h"
#include "qzobj/platform/windir.h"

namespace qzo::frame {
namespace {

constexpr WCHAR kStoreFileName[] = u"QZO.VST";

// Never destroyed, so that a call during static destruction still finds a valid mutex.
struct StoreBinding {
    std::mutex mutex;  // guards `store`
    std::shared_ptr<CSetFile> store;
};

StoreBinding& Binding() {
    static auto& binding = *new StoreBinding;
    return binding;
}

// The Windows directory, ending with a separator, followed by the store's file name. Fails when
// the directory cannot be named or created (a file standing in its place, say).
std::shared_ptr<CSetFile> CreateStore() {
    WCHAR path[MAX_PATH] = {};
    const UINT length = platform::GetWindowsDirectory(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !FU_FormatPath(path, u'/')) return nullptr;
    const size_t directoryLength = text::Length(path);
    if (directoryLength + text::Length(kStoreFileName) >= MAX_PATH) return nullptr;
    text::Copy(path + directoryLength, MAX_PATH - directoryLength, kStoreFileName);
    if (!platform::EnsureWindowsDirectory()) return nullptr;
    auto store = std::make_shared<CSetFile>(path);
    return store->IsValid() ? store : nullptr;
}

}  // namespace

std::shared_ptr<CSetFile> AcquireSettingsStore() {
    StoreBinding& binding = Binding();
    std::lock_guard<std::mutex> lock(binding.mutex);
    if (!binding.store) binding.store = CreateStore();
    return binding.store;
}

void ReleaseSettingsStore() {
    StoreBinding& binding = Binding();
    std::lock_guard<std::mutex> lock(binding.mutex);
    binding.store.reset();
}

}  // namespace qzo::frame
