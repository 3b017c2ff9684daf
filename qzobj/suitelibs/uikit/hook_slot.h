// A replaceable callback with its context, readable from any thread and from fault handlers
// without a lock.
#pragma once

#include <atomic>
#include <cstddef>

namespace qzo::uikit {

// Holds one hook and the context it is called with. Set publishes a pointer to a filled slot,
// so a reader always sees a hook together with its own context. Slots are reused round-robin:
// a reader still holding a slot sees a consistent pair unless sixteen more hooks were installed
// meanwhile. Set and Get may be called concurrently from any thread; a hook that is removed
// may still be running on other threads for calls that had already picked it up.
template <class Hook>
class HookSlot {
  public:
    struct Entry {
        Hook hook;
        void* context;
    };

    constexpr HookSlot() = default;
    HookSlot(const HookSlot&) = delete;
    HookSlot& operator=(const HookSlot&) = delete;

    // Installs `hook` (null removes it); returns the previous hook.
    Hook Set(Hook hook, void* context) {
        const Entry* entry = nullptr;
        if (hook) {
            Entry& fresh = entries_[next_.fetch_add(1, std::memory_order_relaxed) % kEntries];
            fresh.hook = hook;
            fresh.context = context;
            entry = &fresh;
        }
        const Entry* previous = current_.exchange(entry, std::memory_order_acq_rel);
        return previous ? previous->hook : nullptr;
    }

    // The current hook and context, or null.
    const Entry* Get() const { return current_.load(std::memory_order_acquire); }

  private:
    static constexpr size_t kEntries = 16;
    std::atomic<const Entry*> current_{nullptr};
    Entry entries_[kEntries] = {};
    std::atomic<size_t> next_{0};
};

}  // namespace qzo::uikit
