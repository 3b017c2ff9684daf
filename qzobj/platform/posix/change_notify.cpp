// Change notifications on inotify: one instance and one dispatcher thread per process, created
// on first use; each notification handle is a waitable that the dispatcher signals for events
// of its folder that its filter cares about.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "qzobj/platform/change_notify.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/path.h"

namespace qzo::platform {
namespace {

// The events every watch asks for; each handle then keeps those of its filter. One mask for all
// watches of a folder keeps the instance's single watch per folder valid for every handle.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR;
// Events that concern every handle of a folder whatever its filter: the folder itself went, or
// events were lost.
constexpr uint32_t kAlwaysSignal = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_Q_OVERFLOW;

uint32_t EventsForFilter(DWORD filter) {
    uint32_t events = 0;
    if (filter & (kChangeFileName | kChangeDirectoryName))
        events |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    if (filter & kChangeAttributes) events |= IN_ATTRIB;
    if (filter & (kChangeSize | kChangeLastWrite)) events |= IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB;
    return events;
}

// One handle's waitable. It stays signalled, for every wait, until it is re-armed.
//
// Thread safety: `signalled_` is guarded by the wait lock. `events_` and `watch_` are set before
// the object is published and not changed after.
class ChangeObject final : public Waitable {
  public:
    explicit ChangeObject(uint32_t events)
        : Waitable(WaitableKind::ChangeNotification), events_(events) {}
    ~ChangeObject() override;

    bool IsSignalled() const override { return signalled_; }

    bool Wants(uint32_t event) const { return (event & (events_ | kAlwaysSignal)) != 0; }
    void Signal() {
        KernelWaitLock lock;
        signalled_ = true;
        ReleaseWaiters();
    }
    void Rearm() {
        KernelWaitLock lock;
        signalled_ = false;
    }
    void SetWatch(int watch) { watch_ = watch; }

  private:
    const uint32_t events_;
    int watch_ = -1;
    bool signalled_ = false;
};

// The process's inotify instance, its watches and the thread that reads it. Never destroyed:
// the dispatcher thread blocks in read for the rest of the process.
//
// Thread safety: every member may be called from any thread; `mutex_` guards the instance's
// creation and the watch map. Objects are signalled, and references dropped, outside it, so
// an object's destructor (which calls Remove) can never run with it held.
class ChangeWatcher {
  public:
    static ChangeWatcher& Instance() {
        static ChangeWatcher* watcher = new ChangeWatcher;
        return *watcher;
    }

    // Watches `folder` for `object`. The watch descriptor, or -1 with the last error set.
    int Add(const std::string& folder, const std::shared_ptr<ChangeObject>& object) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!StartLocked()) return -1;
        const int watch = inotify_add_watch(fd_, folder.c_str(), kWatchMask);
        if (watch < 0) {
            SetLastError(errno == ENOTDIR ? ERROR_DIRECTORY : ErrorFromErrno(errno, true));
            return -1;
        }
        watches_[watch].push_back(Registration{object.get(), object});
        return watch;
    }

    void Remove(int watch, const ChangeObject* object) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = watches_.find(watch);
        if (found == watches_.end()) return;
        std::vector<Registration>& list = found->second;
        for (size_t i = 0; i < list.size(); ++i) {
            if (list[i].object != object) continue;
            list.erase(list.begin() + long(i));
            break;
        }
        if (!list.empty()) return;
        inotify_rm_watch(fd_, watch);
        watches_.erase(found);
    }

  private:
    struct Registration {
        const ChangeObject* object;  // identifies the entry while the object is destroyed
        std::weak_ptr<ChangeObject> reference;
    };

    bool StartLocked() {
        if (fd_ >= 0) return true;
        const int fd = inotify_init1(IN_CLOEXEC);
        if (fd < 0) {
            SetLastErrorFromErrno(errno);
            return false;
        }
        // The dispatcher takes no signals meant for the process's own threads.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        pthread_t thread;
        const int error = pthread_create(&thread, nullptr, &ChangeWatcher::RunThread, this);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (error != 0) {
            close(fd);
            SetLastErrorFromErrno(error);
            return false;
        }
        pthread_detach(thread);
        fd_ = fd;
        return true;
    }

    static void* RunThread(void* self) {
        static_cast<ChangeWatcher*>(self)->Run();
        return nullptr;
    }

    void Run() {
        // Wait until StartLocked has stored the descriptor (it holds the mutex meanwhile).
        int fd;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fd = fd_;
        }
        alignas(inotify_event) char buffer[16384];
        for (;;) {
            const ssize_t length = read(fd, buffer, sizeof buffer);
            if (length <= 0) {
                if (length < 0 && errno == EINTR) continue;
                if (length < 0 && errno == EINVAL) continue;  // cannot happen with this buffer
                return;
            }
            for (ssize_t offset = 0; offset + ssize_t(sizeof(inotify_event)) <= length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                Dispatch(*event);
                offset += ssize_t(sizeof(inotify_event)) + event->len;
            }
        }
    }

    void Dispatch(const inotify_event& event) {
        std::vector<std::shared_ptr<ChangeObject>> targets;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto& [watch, list] : watches_) {
                if (watch != event.wd && (event.mask & IN_Q_OVERFLOW) == 0) continue;
                for (const Registration& registration : list)
                    if (auto object = registration.reference.lock()) targets.push_back(object);
            }
        }
        for (const auto& object : targets)
            if (object->Wants(event.mask)) object->Signal();
    }  // the references go here, outside the mutex

    std::mutex mutex_;
    int fd_ = -1;
    std::map<int, std::vector<Registration>> watches_;
};

ChangeObject::~ChangeObject() {
    if (watch_ >= 0) ChangeWatcher::Instance().Remove(watch_, this);
}

std::shared_ptr<ChangeObject> ReferenceChange(KernelHandle handle) {
    return std::static_pointer_cast<ChangeObject>(
        ReferenceWaitable(handle, WaitableKind::ChangeNotification));
}

}  // namespace

KernelHandle FindFirstChangeNotification(const WCHAR* folder, DWORD filter) {
    const uint32_t events = EventsForFilter(filter);
    if (folder == nullptr || events == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string native;
    if (!ResolvePath(folder, native)) return 0;
    std::shared_ptr<ChangeObject> object(new (std::nothrow) ChangeObject(events));
    if (!object) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    const int watch = ChangeWatcher::Instance().Add(native, object);
    if (watch < 0) return 0;
    object->SetWatch(watch);
    return InsertWaitable(std::move(object));
}

bool FindNextChangeNotification(KernelHandle handle) {
    const std::shared_ptr<ChangeObject> object = ReferenceChange(handle);
    if (!object) return false;
    object->Rearm();
    return true;
}

bool FindCloseChangeNotification(KernelHandle handle) {
    if (!ReferenceChange(handle)) return false;
    return CloseKernelHandle(handle);
}

}  // namespace qzo::platform
