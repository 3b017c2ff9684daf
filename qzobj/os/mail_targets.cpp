// CPMailTargets: the known peers of a mailslot, sorted by computer ID, each with an open write
// handle to its box.
#include <cstring>

#include "qzobj/hashid.h"
#include "qzobj/mailslot.h"
#include "qzobj/os/mailslot_transport.h"
#include "qzobj/platform/text.h"

namespace {
const char kClassIDMailTargets[] = "CPMailTargets";
constexpr DWORD kGrowth = 5;
}  // namespace

const char* CPMailTargets::GetClassID() const {
    return kClassIDMailTargets;
}

CPMailTargets::CPMailTargets() : CPvList(sizeof(tagMAILTARGET), kGrowth) {}

// Shares the source's block once this object is a CPMailTargets: during the base's
// construction the class ID would still be CPvList's, and the block would be refused.
CPMailTargets::CPMailTargets(const CPMailTargets& source)
    : CPvList(sizeof(tagMAILTARGET), kGrowth) {
    *this = source;
}

CPMailTargets& CPMailTargets::operator=(const CPMailTargets& source) {
    if (this != &source) {
        CPvList::operator=(source);
        std::memcpy(szPOBoxName, source.szPOBoxName, sizeof szPOBoxName);
    }
    return *this;
}

CPMailTargets::~CPMailTargets() {
    Free();
}

BOOL CPMailTargets::SetPOBoxName(const WCHAR* name) {
    if (GetNItems() != 0) return FALSE;
    if (!name) {
        szPOBoxName[0] = 0;
        return TRUE;
    }
    if (qzo::text::BoundedLength(name, MAX_PATH) >= MAX_PATH) return FALSE;
    qzo::text::Copy(szPOBoxName, MAX_PATH, name);
    return TRUE;
}

DWORD CPMailTargets::LocateEntry(DWORD id) const {
    const DWORD count = GetNItems();
    const tagMAILTARGET* items = GetCList();
    DWORD low = 0, high = count;
    while (low < high) {
        const DWORD middle = low + (high - low) / 2;
        if (items[middle].dwComputerID < id) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low < count ? low : CPVLIST_NONE;
}

DWORD CPMailTargets::FindComputer(DWORD id) const {
    const DWORD position = LocateEntry(id);
    if (position == CPVLIST_NONE || GetCList()[position].dwComputerID != id) return CPVLIST_NONE;
    return position;
}

BOOL CPMailTargets::Add(const WCHAR* name, DWORD id, DWORD sequence) {
    if (!name || !*name ||
        qzo::text::BoundedLength(name, MAIL_COMPUTERNAME_LEN) >= MAIL_COMPUTERNAME_LEN) {
        return FALSE;
    }
    if (!szPOBoxName[0] || FindComputer(id) != CPVLIST_NONE) return FALSE;
    tagMAILTARGET target{};
    qzo::text::Copy(target.szComputerName, MAIL_COMPUTERNAME_LEN, name);
    target.dwComputerID = id;
    target.dwLastSequence = sequence;
    target.hMailslot = qzo::mail::OpenPeerBox(name, szPOBoxName);
    if (target.hMailslot == MAIL_NO_HANDLE) return FALSE;
    if (Insert(&target, LocateEntry(id)) == CPVLIST_NONE) {
        qzo::mail::ClosePeerBox(target.hMailslot);
        return FALSE;
    }
    return TRUE;
}

BOOL CPMailTargets::Refresh(DWORD id, DWORD sequence) {
    const DWORD position = FindComputer(id);
    if (position == CPVLIST_NONE) return FALSE;
    tagMAILTARGET& target = GetList()[position];
    if (target.hMailslot != MAIL_NO_HANDLE) qzo::mail::ClosePeerBox(target.hMailslot);
    target.hMailslot = qzo::mail::OpenPeerBox(target.szComputerName, szPOBoxName);
    if (target.hMailslot == MAIL_NO_HANDLE) {
        CPvList::Delete(position, TRUE);
        return FALSE;
    }
    target.dwLastSequence = sequence;
    return TRUE;
}

BOOL CPMailTargets::Delete(DWORD id) {
    const DWORD position = FindComputer(id);
    if (position == CPVLIST_NONE) return TRUE;
    return CPvList::Delete(position, TRUE);
}

int CPMailTargets::DeleteItem(void* item, uintptr_t) {
    auto* target = static_cast<tagMAILTARGET*>(item);
    if (target->hMailslot != MAIL_NO_HANDLE) qzo::mail::ClosePeerBox(target->hMailslot);
    target->hMailslot = MAIL_NO_HANDLE;
    return 1;
}
