// Event objects: manual- or auto-reset, set, reset and pulse.
#include <memory>
#include <new>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/posix/kernel_objects_internal.h"

namespace qzo::platform {
namespace {

// Thread safety: the state is read and changed only with the wait lock held.
class EventObject final : public Waitable {
  public:
    EventObject(bool manualReset, bool initiallySet)
        : Waitable(WaitableKind::Event), manualReset_(manualReset), signalled_(initiallySet) {}

    bool IsSignalled() const override { return signalled_; }
    bool TakeSignal() override {
        if (!manualReset_) signalled_ = false;
        return false;
    }

    void Set() {
        signalled_ = true;
        ReleaseWaiters();
    }
    void Reset() { signalled_ = false; }
    // Satisfies the waits in progress, then forgets the signal: a waiter that comes later, or
    // an auto-reset event's second waiter, finds the event not signalled.
    void Pulse() {
        signalled_ = true;
        ReleaseWaiters();
        signalled_ = false;
    }

  private:
    const bool manualReset_;
    bool signalled_;
};

template <typename Change>
bool ChangeEvent(KernelHandle handle, Change change) {
    const std::shared_ptr<Waitable> object = ReferenceWaitable(handle, WaitableKind::Event);
    if (!object) return false;
    KernelWaitLock lock;
    change(static_cast<EventObject&>(*object));
    return true;
}

}  // namespace

KernelHandle CreateEvent(bool manualReset, bool initiallySet, const WCHAR* name) {
    return CreateNamedWaitable(WaitableKind::Event, name, [&]() -> std::shared_ptr<Waitable> {
        return std::make_shared<EventObject>(manualReset, initiallySet);
    });
}

KernelHandle OpenEvent(const WCHAR* name) {
    return OpenNamedWaitable(WaitableKind::Event, name);
}

bool SetEvent(KernelHandle event) {
    return ChangeEvent(event, [](EventObject& object) { object.Set(); });
}

bool ResetEvent(KernelHandle event) {
    return ChangeEvent(event, [](EventObject& object) { object.Reset(); });
}

bool PulseEvent(KernelHandle event) {
    return ChangeEvent(event, [](EventObject& object) { object.Pulse(); });
}

}  // namespace qzo::platform
