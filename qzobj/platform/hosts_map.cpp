// Reading the simulated computers' address map and the mailslot port base from the
// environment.
#include "qzobj/platform/hosts_map.h"

#include <cstdlib>
#include <fstream>

#include "qzobj/platform/datagram.h"
#include "qzobj/platform/text.h"

namespace qzo::platform {
namespace {

constexpr uint16_t kDefaultPortBase = 24576;
constexpr unsigned long kHighestPortBase = 65536 - 8192;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Splits off the next run of non-blank characters.
std::string_view NextWord(std::string_view& line) {
    size_t begin = 0;
    while (begin < line.size() && IsBlank(line[begin])) ++begin;
    size_t end = begin;
    while (end < line.size() && !IsBlank(line[end])) ++end;
    const std::string_view word = line.substr(begin, end - begin);
    line.remove_prefix(end);
    return word;
}

std::u16string UpperName(std::string_view name) {
    std::u16string wide = text::ToUtf16(name);
    for (char16_t& c : wide) c = text::FoldUpper(c);
    return wide;
}

}  // namespace

std::vector<HostEntry> ReadHostsMap() {
    std::vector<HostEntry> entries;
    const char* path = std::getenv("QZO_HOSTS");
    if (!path || !*path) return entries;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        std::string_view rest = line;
        const std::string_view name = NextWord(rest);
        if (name.empty() || name[0] == '#') continue;
        const std::string_view address = NextWord(rest);
        uint32_t value = 0;
        if (!ParseIPv4(address, value)) continue;
        entries.push_back(HostEntry{UpperName(name), value});
    }
    return entries;
}

bool LookupHost(std::u16string_view name, uint32_t& address) {
    if (name.empty()) return false;
    for (const HostEntry& entry : ReadHostsMap()) {
        if (text::CompareNoCase(entry.name, name) == 0) {
            address = entry.address;
            return true;
        }
    }
    return false;
}

uint16_t MailslotPortBase() {
    const char* text = std::getenv("QZO_MAILSLOT_PORT");
    if (!text || !*text) return kDefaultPortBase;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value == 0 || value > kHighestPortBase) return kDefaultPortBase;
    return uint16_t(value);
}

}  // namespace qzo::platform
