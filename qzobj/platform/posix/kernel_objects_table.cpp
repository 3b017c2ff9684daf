// The process-wide handle table of kernel objects and the names that lead to them.
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/posix/kernel_objects_internal.h"

namespace qzo::platform {
namespace {

// A handle is (generation << 20) | (slot index + 1). Generations run from 1 to 0xFFF, so no
// handle is 0, none is a small integer such as a descriptor or a count, and a slot must be
// reused 4095 times before one of its old handles could be mistaken for a live one. Freed slots
// queue up and are reused oldest first, which spreads reuse over the whole table.
constexpr unsigned kIndexBits = 20;
constexpr DWORD kIndexMask = (DWORD{1} << kIndexBits) - 1;
constexpr DWORD kGenerationMask = 0xFFF;
constexpr DWORD kMaximumSlots = kIndexMask - 1;  // keeps 0xFFFFFFFF from being a handle

DWORD NextGeneration(DWORD generation) {
    return generation >= kGenerationMask ? 1 : generation + 1;
}

// The table and the name directory.
//
// Thread safety: every member may be called from any thread; `mutex_` guards the slots, the
// free queue and the names. Objects are released outside the lock, and the lock is never held
// while the wait lock is taken, nor the reverse.
class HandleTable {
  public:
    KernelHandle Insert(std::shared_ptr<Waitable> object) {
        std::lock_guard<std::mutex> lock(mutex_);
        return InsertLocked(std::move(object));
    }

    std::shared_ptr<Waitable> Find(KernelHandle handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        const Slot* slot = SlotOf(handle);
        return slot ? slot->object : nullptr;
    }

    // The closed handle's object, so that the caller drops it outside the lock; null when the
    // handle was not open.
    std::shared_ptr<Waitable> Remove(KernelHandle handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        Slot* slot = SlotOf(handle);
        if (!slot) return nullptr;
        std::shared_ptr<Waitable> object = std::move(slot->object);
        slot->object.reset();
        slot->generation = NextGeneration(slot->generation);
        free_.push_back(handle & kIndexMask);
        --open_;
        return object;
    }

    KernelHandle Duplicate(KernelHandle handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        const Slot* slot = SlotOf(handle);
        if (!slot) {
            SetLastError(ERROR_INVALID_HANDLE);
            return 0;
        }
        return InsertLocked(slot->object);
    }

    KernelHandle CreateNamed(WaitableKind kind, const std::u16string& name,
                             const WaitableFactory& make) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::shared_ptr<Waitable> existing = Named(name)) {
            if (existing->Kind() != kind) {
                SetLastError(ERROR_INVALID_HANDLE);
                return 0;
            }
            const KernelHandle handle = InsertLocked(std::move(existing));
            if (handle) SetLastError(ERROR_ALREADY_EXISTS);
            return handle;
        }
        std::shared_ptr<Waitable> object = make();
        // The name goes in first: should the insertion fail, the name is left pointing at a
        // gone object, which the next lookup forgets.
        if (object && !name.empty()) names_[name] = object;
        const KernelHandle handle = InsertLocked(std::move(object));
        if (!handle) return 0;
        SetLastError(ERROR_SUCCESS);
        return handle;
    }

    KernelHandle OpenNamed(WaitableKind kind, const std::u16string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::shared_ptr<Waitable> existing = Named(name);
        if (!existing) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        if (existing->Kind() != kind) {
            SetLastError(ERROR_INVALID_HANDLE);
            return 0;
        }
        return InsertLocked(std::move(existing));
    }

    DWORD OpenCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_;
    }

  private:
    struct Slot {
        std::shared_ptr<Waitable> object;  // null while the slot is free
        DWORD generation = 1;
    };

    Slot* SlotOf(KernelHandle handle) {
        const DWORD index = (handle & kIndexMask) - 1;  // wraps to a huge index for 0
        if (index >= slots_.size()) return nullptr;
        Slot& slot = slots_[index];
        if (!slot.object || slot.generation != (handle >> kIndexBits)) return nullptr;
        return &slot;
    }

    KernelHandle InsertLocked(std::shared_ptr<Waitable> object) {
        if (!object) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        DWORD index;
        if (!free_.empty()) {
            index = free_.front() - 1;
            free_.pop_front();
        } else if (slots_.size() < kMaximumSlots) {
            slots_.emplace_back();
            index = static_cast<DWORD>(slots_.size() - 1);
        } else {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        Slot& slot = slots_[index];
        slot.object = std::move(object);
        ++open_;
        return (slot.generation << kIndexBits) | (index + 1);
    }

    // The live object of that name; forgets the name of an object that has gone.
    std::shared_ptr<Waitable> Named(const std::u16string& name) {
        if (name.empty()) return nullptr;
        const auto found = names_.find(name);
        if (found == names_.end()) return nullptr;
        std::shared_ptr<Waitable> object = found->second.lock();
        if (!object) names_.erase(found);
        return object;
    }

    std::mutex mutex_;
    std::deque<Slot> slots_;  // a deque keeps slots in place as the table grows
    std::deque<DWORD> free_;  // slot index + 1 of free slots, oldest first
    std::map<std::u16string, std::weak_ptr<Waitable>> names_;
    DWORD open_ = 0;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // never destroyed: see the start-up rules
    return *table;
}

// Checks a name's length; false with last error 206 when it is too long.
bool NameFits(const WCHAR* name, std::u16string& out) {
    size_t length = 0;
    while (name[length] != 0) {
        if (++length > kMaximumObjectName) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
    }
    out.assign(name, length);
    return true;
}

}  // namespace

KernelHandle InsertWaitable(std::shared_ptr<Waitable> object) try {
    return Table().Insert(std::move(object));
} catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

std::shared_ptr<Waitable> ReferenceWaitable(KernelHandle handle, WaitableKind kind) {
    std::shared_ptr<Waitable> object = Table().Find(handle);
    if (object && object->Kind() == kind) return object;
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

std::shared_ptr<Waitable> ReferenceWaitable(KernelHandle handle) {
    std::shared_ptr<Waitable> object = Table().Find(handle);
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

bool CloseKernelHandle(KernelHandle handle) {
    std::shared_ptr<Waitable> object = Table().Remove(handle);
    if (object) return true;  // the object goes here, outside the table's lock
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

KernelHandle DuplicateKernelHandle(KernelHandle handle) try {
    return Table().Duplicate(handle);
} catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

DWORD OpenKernelHandleCount() {
    return Table().OpenCount();
}

KernelHandle CreateNamedWaitable(WaitableKind kind, const WCHAR* name,
                                 const WaitableFactory& make) try {
    std::u16string key;
    if (name && !NameFits(name, key)) return 0;
    return Table().CreateNamed(kind, key, make);
} catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

KernelHandle OpenNamedWaitable(WaitableKind kind, const WCHAR* name) try {
    std::u16string key;
    if (!name || !name[0]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!NameFits(name, key)) return 0;
    return Table().OpenNamed(kind, key);
} catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

}  // namespace qzo::platform
