// The map of simulated computers: $QZO_HOSTS names a file of "NAME ADDRESS" lines that give
// each computer name an IPv4 address, and $QZO_MAILSLOT_PORT moves the mailslot ports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qzobj/types.h"

namespace qzo::platform {

struct HostEntry {
    std::u16string name;  // upper case
    uint32_t address;     // host byte order
};

// The entries of the file $QZO_HOSTS names, in file order. Blank lines, lines starting with '#'
// and lines that do not hold a name and a dotted IPv4 address are skipped. Empty when the
// variable is unset or the file cannot be read. The file is read on every call, so a test may
// rewrite it.
std::vector<HostEntry> ReadHostsMap();

// The address the map gives a name (compared without case); false when it has none.
bool LookupHost(std::u16string_view name, uint32_t& address);

// The first mailslot port: $QZO_MAILSLOT_PORT when it holds a number from 1 to 57344 (so every
// derived port stays below 65536), else 24576.
uint16_t MailslotPortBase();

}  // namespace qzo::platform
