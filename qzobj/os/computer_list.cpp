// CPComputerList, the computer names sorted without case, and the network neighbourhood: the
// computers of the simulated hosts map.
#include "qzobj/mailslot.h"
#include "qzobj/platform/hosts_map.h"
#include "qzobj/platform/text.h"

namespace {

constexpr DWORD kGrowth = 5;

std::u16string_view NameOf(const tagCOMPUTERENTRY& entry) {
    size_t length = 0;
    while (length < MAIL_COMPUTERNAME_LEN && entry.szName[length]) ++length;
    return std::u16string_view(entry.szName, length);
}

}  // namespace

CPComputerList::CPComputerList() : CPvList(sizeof(tagCOMPUTERENTRY), kGrowth) {}

DWORD CPComputerList::Add(const WCHAR* name) {
    if (!name) return CPVLIST_NONE;
    const size_t length = qzo::text::BoundedLength(name, MAIL_COMPUTERNAME_LEN);
    if (length >= MAIL_COMPUTERNAME_LEN) return CPVLIST_NONE;
    tagCOMPUTERENTRY entry{};
    qzo::text::Copy(entry.szName, MAIL_COMPUTERNAME_LEN, name);
    const std::u16string_view key(name, length);
    const DWORD count = GetNItems();
    const tagCOMPUTERENTRY* items = GetCList();
    DWORD position = 0;
    while (position < count && qzo::text::CompareNoCase(NameOf(items[position]), key) <= 0) {
        ++position;
    }
    return Insert(&entry, position);
}

DWORD CPComputerList::Find(const WCHAR* name) const {
    if (!name) return CPVLIST_NONE;
    const std::u16string_view key(name, qzo::text::BoundedLength(name, MAIL_COMPUTERNAME_LEN));
    const DWORD count = GetNItems();
    const tagCOMPUTERENTRY* items = GetCList();
    for (DWORD i = 0; i < count; ++i) {
        if (qzo::text::CompareNoCase(NameOf(items[i]), key) == 0) return i;
    }
    return CPVLIST_NONE;
}

BOOL CPComputerList::Delete(DWORD position) {
    CPvList::Delete(position, TRUE);
    return TRUE;
}

CPComputerList QZNET_GetNetworkNeighbourhood() {
    CPComputerList list;
    for (const qzo::platform::HostEntry& host : qzo::platform::ReadHostsMap()) {
        if (host.name.size() < MAIL_COMPUTERNAME_LEN) list.Add(host.name.c_str());
    }
    return list;
}
