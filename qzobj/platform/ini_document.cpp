// Line classification, value lookup and in-place editing of INI documents.
#include "qzobj/platform/ini_document.h"

#include <algorithm>
#include <cstring>

namespace qzo::platform::ini {
namespace {

constexpr std::string_view kNewLine = "\r\n";
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

constexpr bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
constexpr char Fold(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 32) : c;
}

size_t SkipBlanks(std::string_view text, size_t from) {
    while (from < text.size() && IsBlank(text[from])) ++from;
    return from;
}

// Fills the kind, name and value of a line whose content is bytes[line.begin, line.contentEnd).
void Classify(std::string_view bytes, Line& line) {
    size_t start = line.begin;
    if (start == 0 && bytes.substr(0, line.contentEnd).starts_with(kUtf8Mark)) {
        start = kUtf8Mark.size();
    }
    const std::string_view text = bytes.substr(0, line.contentEnd);
    const size_t first = SkipBlanks(text, start);
    line.name = {};
    line.value = {};
    line.valueBegin = line.valueEnd = line.contentEnd;
    if (first == text.size()) {
        line.kind = LineKind::Blank;
        return;
    }
    const char lead = text[first];
    if (lead == ';' || lead == '#') {
        line.kind = LineKind::Comment;
        return;
    }
    if (lead == '[') {
        const size_t close = text.find(']', first + 1);
        if (close == std::string_view::npos) {
            line.kind = LineKind::Other;
            return;
        }
        line.kind = LineKind::Section;
        line.name = Trim(text.substr(first + 1, close - first - 1));
        return;
    }
    const size_t equals = text.find('=', first);
    if (equals == std::string_view::npos) {
        line.kind = LineKind::Other;
        return;
    }
    line.name = Trim(text.substr(first, equals - first));
    if (line.name.empty()) {
        line.kind = LineKind::Other;
        return;
    }
    line.kind = LineKind::Entry;
    size_t valueEnd = text.size();
    while (valueEnd > equals + 1 && IsBlank(text[valueEnd - 1])) --valueEnd;
    const size_t valueBegin = std::min(SkipBlanks(text, equals + 1), valueEnd);
    // An empty value sits at the end of the line so that a new value lands after the blanks.
    line.valueBegin = valueBegin == valueEnd ? text.size() : valueBegin;
    line.valueEnd = valueBegin == valueEnd ? text.size() : valueEnd;
    line.value = text.substr(line.valueBegin, line.valueEnd - line.valueBegin);
}

// Byte ranges [first, second) to remove, collected in file order.
using Ranges = std::vector<std::pair<size_t, size_t>>;

void EraseRanges(std::string& bytes, const Ranges& ranges) {
    for (auto it = ranges.rbegin(); it != ranges.rend(); ++it) {
        bytes.erase(it->first, it->second - it->first);
    }
}

}  // namespace

bool LineReader::Next(Line& line) {
    if (position_ >= bytes_.size()) return false;
    line.begin = position_;
    const char* data = bytes_.data();
    const void* newline = std::memchr(data + position_, '\n', bytes_.size() - position_);
    line.end =
        newline ? static_cast<size_t>(static_cast<const char*>(newline) - data) + 1 : bytes_.size();
    line.contentEnd = newline ? line.end - 1 : line.end;
    if (newline && line.contentEnd > line.begin && data[line.contentEnd - 1] == '\r') {
        --line.contentEnd;
    }
    position_ = line.end;
    Classify(bytes_, line);
    return true;
}

std::string_view Trim(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::string_view Unquote(std::string_view text) {
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

std::string QuoteForStorage(std::string_view value) {
    const bool needsQuotes = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) ||
                                                Unquote(value).size() != value.size());
    if (!needsQuotes) return std::string(value);
    std::string quoted;
    quoted.reserve(value.size() + 2);
    quoted.push_back('"');
    quoted.append(value);
    quoted.push_back('"');
    return quoted;
}

bool NamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && Fold(a[i]) != Fold(b[i])) return false;
    }
    return true;
}

bool FindValue(std::string_view document, std::string_view section, std::string_view key,
               std::string_view& value) {
    LineReader reader(document);
    Line line;
    bool inSection = false;
    while (reader.Next(line)) {
        if (line.kind == LineKind::Section) {
            inSection = NamesEqual(line.name, section);
        } else if (inSection && line.kind == LineKind::Entry && NamesEqual(line.name, key)) {
            value = Unquote(line.value);
            return true;
        }
    }
    return false;
}

void ListSections(std::string_view document, std::string& out) {
    LineReader reader(document);
    Line line;
    std::vector<std::string_view> seen;
    while (reader.Next(line)) {
        if (line.kind != LineKind::Section) continue;
        const auto same = [&](std::string_view name) { return NamesEqual(name, line.name); };
        if (std::any_of(seen.begin(), seen.end(), same)) continue;
        seen.push_back(line.name);
        out.append(line.name);
        out.push_back('\0');
    }
}

void ListKeys(std::string_view document, std::string_view section, std::string& out) {
    LineReader reader(document);
    Line line;
    bool inSection = false;
    while (reader.Next(line)) {
        if (line.kind == LineKind::Section) {
            inSection = NamesEqual(line.name, section);
        } else if (inSection && line.kind == LineKind::Entry) {
            out.append(line.name);
            out.push_back('\0');
        }
    }
}

bool HasSection(std::string_view document, std::string_view section) {
    LineReader reader(document);
    Line line;
    while (reader.Next(line)) {
        if (line.kind == LineKind::Section && NamesEqual(line.name, section)) return true;
    }
    return false;
}

bool Document::SetValue(std::string_view section, std::string_view key, std::string_view value) {
    LineReader reader(bytes_);
    Line line;
    bool inSection = false;
    bool inFirstSection = false;  // new keys go to the first section of that name
    bool sectionFound = false;
    size_t insertAt = 0;
    bool insertAfterBreak = true;
    while (reader.Next(line)) {
        if (line.kind == LineKind::Section) {
            inSection = NamesEqual(line.name, section);
            inFirstSection = inSection && !sectionFound;
            if (inFirstSection) {
                sectionFound = true;
                insertAt = line.end;
                insertAfterBreak = line.HasBreak();
            }
            continue;
        }
        if (!inSection) continue;
        if (line.kind == LineKind::Entry && NamesEqual(line.name, key)) {
            const size_t length = line.valueEnd - line.valueBegin;
            if (line.value == value) return false;
            bytes_.replace(line.valueBegin, length, value);
            return true;
        }
        if (inFirstSection && (line.kind == LineKind::Entry || line.kind == LineKind::Other)) {
            insertAt = line.end;
            insertAfterBreak = line.HasBreak();
        }
    }
    std::string entry;
    entry.reserve(key.size() + value.size() + 5);
    if (!sectionFound) {
        EnsureFinalBreak();
        AppendSectionHeader(section);
        insertAt = bytes_.size();
    } else if (!insertAfterBreak) {
        entry.append(kNewLine);
    }
    entry.append(key);
    entry.push_back('=');
    entry.append(value);
    entry.append(kNewLine);
    bytes_.insert(insertAt, entry);
    return true;
}

bool Document::DeleteKey(std::string_view section, std::string_view key) {
    LineReader reader(bytes_);
    Line line;
    bool inSection = false;
    Ranges doomed;
    while (reader.Next(line)) {
        if (line.kind == LineKind::Section) {
            inSection = NamesEqual(line.name, section);
        } else if (inSection && line.kind == LineKind::Entry && NamesEqual(line.name, key)) {
            doomed.emplace_back(line.begin, line.end);
        }
    }
    EraseRanges(bytes_, doomed);
    return !doomed.empty();
}

bool Document::DeleteSection(std::string_view section) {
    LineReader reader(bytes_);
    Line line;
    Ranges doomed;
    bool inSection = false;
    while (reader.Next(line)) {
        if (line.kind == LineKind::Section) {
            if (inSection) doomed.back().second = line.begin;
            inSection = NamesEqual(line.name, section);
            if (inSection) doomed.emplace_back(line.begin, bytes_.size());
        }
    }
    EraseRanges(bytes_, doomed);
    return !doomed.empty();
}

bool Document::AddSection(std::string_view section) {
    if (HasSection(bytes_, section)) return false;
    EnsureFinalBreak();
    AppendSectionHeader(section);
    return true;
}

std::vector<std::string> Document::SectionNames() const {
    std::string list;
    ListSections(bytes_, list);
    std::vector<std::string> names;
    for (size_t begin = 0; begin < list.size();) {
        const size_t end = list.find('\0', begin);
        names.emplace_back(list, begin, end - begin);
        begin = end + 1;
    }
    return names;
}

void Document::EnsureFinalBreak() {
    if (!bytes_.empty() && bytes_.back() != '\n' && bytes_ != kUtf8Mark) bytes_.append(kNewLine);
}

void Document::AppendSectionHeader(std::string_view section) {
    bytes_.push_back('[');
    bytes_.append(section);
    bytes_.push_back(']');
    bytes_.append(kNewLine);
}

}  // namespace qzo::platform::ini
