// COSMailslot: opening and closing the box, starting and stopping the reader, and sending
// messages to single computers and to every target.
#include <string>

#include "qzobj/hashid.h"
#include "qzobj/os/mailslot_internal.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/system.h"
#include "qzobj/platform/text.h"
#include "qzobj/process.h"
#include "qzobj/threads.h"

namespace {

constexpr DWORD kErrorInvalidParameter = 87;

// The name in upper case when it has 1 to 15 characters; else empty.
std::u16string ComputerNameArgument(const WCHAR* name) {
    if (!name) return {};
    const size_t length = qzo::text::BoundedLength(name, MAIL_COMPUTERNAME_LEN);
    if (length == 0 || length >= MAIL_COMPUTERNAME_LEN) return {};
    std::u16string upper(name, length);
    for (char16_t& c : upper) c = qzo::text::FoldUpper(c);
    return upper;
}

std::u16string Widen(const char* name) {
    if (!name) return {};
    std::string narrow(name);
    if (narrow.size() > MAIL_COMPUTERNAME_LEN) narrow.resize(MAIL_COMPUTERNAME_LEN);
    return qzo::text::ToUtf16(narrow);
}

}  // namespace

COSMailslot::COSMailslot() = default;

COSMailslot::~COSMailslot() {
    // A derived class closes in its own destructor, while OnMailItem still exists; this is
    // the last line of defence for one that did not.
    Close();
    ReapEndingReader();
}

void COSMailslot::ReapEndingReader() {
    if (!pEndingReader) return;
    // Called on the ending reader itself (the object deleted from OnMailItem): it cannot wait
    // for itself, and the thread object is left to end with the process.
    if (pEndingReader->GetID() == qzo::platform::GetCurrentThreadId()) {
        pEndingReader = nullptr;
        return;
    }
    // A reader that closed its own box ends as soon as its OnMailItem returned.
    if (pEndingReader->Wait(qzo::mail::kReaderStopWait) != 0) pEndingReader->Terminate(0);
    delete pEndingReader;
    pEndingReader = nullptr;
}

BOOL COSMailslot::IsOpen() const {
    return hMailslot != MAIL_NO_HANDLE;
}

BOOL COSMailslot::Open(const WCHAR* name) {
    if (!name || !*name) {
        qzo::platform::SetLastError(kErrorInvalidParameter);
        return FALSE;
    }
    if (IsOpen()) return FALSE;
    ReapEndingReader();
    {
        COSAutoLock lock(csLock);
        if (!Targets.SetPOBoxName(name)) return FALSE;
    }
    std::unique_ptr<qzo::mail::OwnBox> box = qzo::mail::CreateOwnBox(name);
    if (!box) {
        COSAutoLock lock(csLock);
        Targets.SetPOBoxName(nullptr);
        return FALSE;
    }
    hMailslot = qzo::mail::BoxPort(box->boxHash);
    pLink = std::make_shared<qzo::mail::ReaderLink>(qzo::mail::ReaderLink{this, std::move(box)});
    dwLastRefresh = qzo::platform::GetTickCount();
    bClosing.store(false);
    auto* parameter = new std::shared_ptr<qzo::mail::ReaderLink>(pLink);
    pReader = new CThread(nullptr, 0, &qzo::mail::ReaderLink::Run, parameter, 0);
    if (!pReader || pReader->GetStatus() == CThread::StatusFailed) {
        delete parameter;
        Close();
        return FALSE;
    }
    return TRUE;
}

void COSMailslot::StopReader() {
    if (pLink && pLink->box) pLink->box->socket->Shutdown();
    if (!pReader) return;
    if (pReader->GetID() == qzo::platform::GetCurrentThreadId()) {
        // Close from OnMailItem: the reader ends when OnMailItem returns; never wait for it.
        pEndingReader = pReader;
    } else {
        if (pReader->Wait(qzo::mail::kReaderStopWait) != 0) pReader->Terminate(0);
        delete pReader;
    }
    pReader = nullptr;
}

BOOL COSMailslot::Close() {
    if (IsOpen()) {
        bClosing.store(true);
        tagMAILITEM goodbye{sizeof(tagMAILITEM), 0, 0, MAILITEM_GOODBYE};
        Notify(&goodbye);
        goodbye.dwSize = sizeof(tagMAILITEM);
        MailTo(u".", &goodbye);
    }
    StopReader();
    pLink.reset();
    hMailslot = MAIL_NO_HANDLE;
    {
        COSAutoLock lock(csLock);
        dwSendCounter = 0;
        Targets.Clear();
        Targets.SetPOBoxName(nullptr);
    }
    DetachAllWorkgroups();
    bClosing.store(false);
    return TRUE;
}

BOOL COSMailslot::StampAndWrite(DWORD handle, tagMAILITEM* item) {
    COSAutoLock lock(csLock);
    item->dwSenderID = GetComputerID();
    item->dwSequence = dwSendCounter++;
    return qzo::mail::WritePeerBox(handle, item, item->dwSize) ? TRUE : FALSE;
}

BOOL COSMailslot::Transmit(DWORD handle, tagMAILITEM* item) {
    if (!item) return FALSE;
    if (item->dwSize < sizeof(tagMAILITEM)) item->dwSize = sizeof(tagMAILITEM);
    return StampAndWrite(handle, item);
}

BOOL COSMailslot::MailTo(const WCHAR* computer, tagMAILITEM* item) {
    const std::u16string name = ComputerNameArgument(computer);
    if (name.empty() || !item) return FALSE;
    const bool self = name == u".";
    const DWORD id = GetHashIDW(name.c_str());
    if (!self && id == GetComputerID()) return FALSE;
    COSAutoLock lock(csLock);
    const DWORD position = self ? CPVLIST_NONE : Targets.FindComputer(id);
    if (position != CPVLIST_NONE) return Transmit(Targets.GetCList()[position].hMailslot, item);
    const DWORD handle = qzo::mail::OpenPeerBox(name.c_str(), Targets.GetPOBoxName());
    if (handle == MAIL_NO_HANDLE) return FALSE;
    const BOOL sent = Transmit(handle, item);
    qzo::mail::ClosePeerBox(handle);
    return sent;
}

BOOL COSMailslot::MailTo(const char* computer, tagMAILITEM* item) {
    const std::u16string name = Widen(computer);
    return MailTo(name.c_str(), item);
}

BOOL COSMailslot::MailTo(DWORD computerID, tagMAILITEM* item) {
    if (!item || (computerID & QZO_HASHID_INVALID_BITS)) return FALSE;
    COSAutoLock lock(csLock);
    const DWORD position = Targets.FindComputer(computerID);
    if (position == CPVLIST_NONE) return FALSE;
    return Transmit(Targets.GetCList()[position].hMailslot, item);
}

BOOL COSMailslot::Notify(tagMAILITEM* item) {
    if (!item) return FALSE;
    if (item->dwSize < sizeof(tagMAILITEM)) item->dwSize = sizeof(tagMAILITEM);
    COSAutoLock lock(csLock);
    item->dwSenderID = GetComputerID();
    item->dwSequence = dwSendCounter++;
    const DWORD count = Targets.GetNItems();
    const tagMAILTARGET* targets = Targets.GetCList();
    for (DWORD i = 0; i < count; ++i) {
        qzo::mail::WritePeerBox(targets[i].hMailslot, item, item->dwSize);
    }
    return TRUE;
}

BOOL COSMailslot::SendNameMessage(const WCHAR* computer, DWORD code) {
    tagMAILITEM_COMPUTERNAME message{};
    message.Item.dwSize = sizeof message;
    message.Item.dwCode = code;
    GetCreateComputerName(message.szComputerName, MAIL_COMPUTERNAME_LEN);
    return MailTo(computer, &message.Item);
}

BOOL COSMailslot::AttachComputer(const WCHAR* name) {
    const std::u16string upper = ComputerNameArgument(name);
    if (upper.empty() || upper == u".") return FALSE;
    const DWORD id = GetHashIDW(upper.c_str());
    if (id & QZO_HASHID_INVALID_BITS) return FALSE;
    {
        COSAutoLock lock(csLock);
        if (Targets.FindComputer(id) != CPVLIST_NONE) return TRUE;
    }
    return SendNameMessage(upper.c_str(), MAILITEM_HELLO);
}

BOOL COSMailslot::AttachComputer(const char* name) {
    const std::u16string wide = Widen(name);
    return AttachComputer(wide.c_str());
}

CPMailTargets COSMailslot::GetTargetList() {
    CPMailTargets copy;
    {
        COSAutoLock lock(csLock);
        copy = Targets;
        // Unshared, or the handles below would be cleared in the object's own list.
        if (!copy.Realloc()) return CPMailTargets();
    }
    const DWORD count = copy.GetNItems();
    tagMAILTARGET* items = copy.GetList();
    for (DWORD i = 0; i < count; ++i) items[i].hMailslot = MAIL_NO_HANDLE;
    return copy;
}
