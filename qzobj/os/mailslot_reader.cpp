// The mailslot reader thread: waits for datagrams, refreshes workgroup files on time, checks
// every datagram and handles HELLO, HELLO ACKNOWLEDGED, GOODBYE and duplicates before the
// derived class sees a message.
#include <atomic>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/os/mailslot_format.h"
#include "qzobj/os/mailslot_internal.h"
#include "qzobj/platform/system.h"
#include "qzobj/process.h"
#include "qzobj/uikit.h"

namespace qzo::mail {
namespace {

std::atomic<DWORD> g_refreshPeriod{kDefaultRefreshPeriod};

// Consecutive failed reads after which the reader gives up (a socket that keeps failing).
constexpr int kReadFailureLimit = 100;

}  // namespace

void SetWorkgroupRefreshPeriod(DWORD milliseconds) {
    g_refreshPeriod.store(milliseconds ? milliseconds : kDefaultRefreshPeriod);
}

DWORD WorkgroupRefreshPeriod() {
    return g_refreshPeriod.load();
}

DWORD ReaderLink::Run(void* parameter) {
    // The reader's own reference keeps the box bound until the reader is done with it.
    std::shared_ptr<ReaderLink> link;
    {
        auto* reference = static_cast<std::shared_ptr<ReaderLink>*>(parameter);
        link = std::move(*reference);
        delete reference;
    }
    if (IsDebugOn()) wPrintf(3, 4, u"\rReader started\r\n");
    platform::DatagramSocket& socket = *link->box->socket;
    std::vector<BYTE> buffer;
    int failures = 0;
    for (;;) {
        const DWORD wait = link->self->RefreshIfDue();
        const platform::DatagramWait state = socket.WaitReadable(wait);
        if (state == platform::DatagramWait::Closed) break;
        if (state == platform::DatagramWait::TimedOut) continue;
        size_t size = 0, received = 0;
        if (!socket.PeekSize(size)) {
            if (socket.IsShutDown() || ++failures > kReadFailureLimit) break;
            continue;
        }
        buffer.resize(size ? size : 1);
        if (!socket.Receive(buffer.data(), buffer.size(), received, nullptr)) {
            if (socket.IsShutDown() || ++failures > kReadFailureLimit) break;
            continue;
        }
        failures = 0;
        if (!link->Handle(buffer.data(), received)) break;
        // Closed from OnMailItem (the object may even be gone): touch nothing of it again.
        if (socket.IsShutDown()) break;
    }
    if (IsDebugOn()) wPrintf(3, 4, u"\rReader exited\r\n");
    return 0;
}

bool ReaderLink::Handle(const BYTE* data, size_t length) {
    if (const char* reason = CheckDatagram(data, length, box->boxHash)) {
        wPrintf(3, 7, u"\rMailslot dropped a datagram of %u bytes: %hs\r\n", unsigned(length),
                reason);
        return true;
    }
    // Checked: the item fills the rest of the datagram and is at least 16 bytes long. The
    // buffer is a vector, so the item (8 bytes in) is aligned for its words.
    auto* item = reinterpret_cast<tagMAILITEM*>(const_cast<BYTE*>(data) + kEnvelopeSize);
    return HandleItem(item);
}

bool ReaderLink::HandleItem(tagMAILITEM* item) {
    COSMailslot& slot = *self;
    const DWORD sender = item->dwSenderID;
    if (sender == GetComputerID()) {
        // Only the GOODBYE that Close sends to its own box ends the reader; anyone can forge
        // the own ID, so at other times it is ignored like every message from ourselves.
        return !(item->dwCode == MAILITEM_GOODBYE && slot.bClosing.load());
    }
    bool known = false;
    {
        COSAutoLock lock(slot.csLock);
        const DWORD position = slot.Targets.FindComputer(sender);
        if (position != CPVLIST_NONE) {
            known = true;
            tagMAILTARGET& target = slot.Targets.GetList()[position];
            // A peer that restarted counts from 0 again: its HELLO is never a duplicate.
            if (item->dwCode != MAILITEM_HELLO && item->dwSequence <= target.dwLastSequence) {
                return true;
            }
            target.dwLastSequence = item->dwSequence;
        }
    }
    const auto* named = reinterpret_cast<tagMAILITEM_COMPUTERNAME*>(item);
    switch (item->dwCode) {
        case MAILITEM_HELLOACK: {
            if (known) return true;
            wPrintf(3, 7, u"\rComputer %08X (%ls) said HELLO ACHKNOWLEDGED\r\n", sender,
                    named->szComputerName);
            COSAutoLock lock(slot.csLock);
            slot.Targets.Add(named->szComputerName, sender, item->dwSequence);
            break;
        }
        case MAILITEM_HELLO: {
            wPrintf(3, 7, u"\rComputer %08X (%ls) said HELLO\r\n", sender, named->szComputerName);
            BOOL added = FALSE;
            {
                COSAutoLock lock(slot.csLock);
                added = known ? slot.Targets.Refresh(sender, item->dwSequence)
                              : slot.Targets.Add(named->szComputerName, sender, item->dwSequence);
            }
            if (!added) return true;
            slot.SendNameMessage(named->szComputerName, MAILITEM_HELLOACK);
            break;
        }
        case MAILITEM_GOODBYE: {
            if (!known) return true;
            wPrintf(3, 7, u"\rComputer %08X said GOODBYE\r\n", sender);
            COSAutoLock lock(slot.csLock);
            slot.Targets.Delete(sender);
            break;
        }
        default:
            if (!known) return true;
            break;
    }
    return slot.OnMailItem(item) != 0;
}

}  // namespace qzo::mail

DWORD COSMailslot::RefreshIfDue() {
    const DWORD period = qzo::mail::WorkgroupRefreshPeriod();
    const DWORD elapsed = qzo::platform::GetTickCount() - dwLastRefresh;
    if (elapsed < period) return period - elapsed;
    RefreshWorkgroups();
    return period;
}
