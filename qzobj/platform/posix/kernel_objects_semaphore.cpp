// Semaphore objects: a count between 0 and a maximum; each satisfied wait takes one unit.
#include <memory>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/posix/kernel_objects_internal.h"

namespace qzo::platform {
namespace {

// Thread safety: the count is read and changed only with the wait lock held.
class SemaphoreObject final : public Waitable {
  public:
    SemaphoreObject(LONG initialCount, LONG maximumCount)
        : Waitable(WaitableKind::Semaphore), count_(initialCount), maximum_(maximumCount) {}

    bool IsSignalled() const override { return count_ > 0; }
    bool TakeSignal() override {
        --count_;
        return false;
    }

    // Compared as maximum - count so that no sum can overflow.
    bool Release(LONG count, LONG* previousCount) {
        if (count > maximum_ - count_) {
            SetLastError(kErrorTooManyPosts);
            return false;
        }
        if (previousCount) *previousCount = count_;
        count_ += count;
        ReleaseWaiters();
        return true;
    }

  private:
    LONG count_;
    const LONG maximum_;
};

}  // namespace

KernelHandle CreateSemaphore(LONG initialCount, LONG maximumCount, const WCHAR* name) {
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return CreateNamedWaitable(WaitableKind::Semaphore, name, [&]() -> std::shared_ptr<Waitable> {
        return std::make_shared<SemaphoreObject>(initialCount, maximumCount);
    });
}

KernelHandle OpenSemaphore(const WCHAR* name) {
    return OpenNamedWaitable(WaitableKind::Semaphore, name);
}

bool ReleaseSemaphore(KernelHandle semaphore, LONG count, LONG* previousCount) {
    const std::shared_ptr<Waitable> object = ReferenceWaitable(semaphore, WaitableKind::Semaphore);
    if (!object) return false;
    if (count <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    LONG previous = 0;
    bool released;
    {
        KernelWaitLock lock;
        released = static_cast<SemaphoreObject&>(*object).Release(count, &previous);
    }
    if (released && previousCount) *previousCount = previous;
    return released;
}

}  // namespace qzo::platform
