// The INI text model behind the private-profile functions: classifying lines, finding values
// without allocating, and editing a document in place so that every line not edited keeps its
// bytes. Pure computation on UTF-8 text; the file side lives in profile.cpp.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qzo::platform::ini {

enum class LineKind : unsigned char {
    Blank,    // nothing but blanks
    Comment,  // first non-blank character is ';' or '#'
    Section,  // "[name]" (anything after the ']' is ignored)
    Entry,    // "key=value" with a non-empty key
    Other,    // anything else: kept, never matched
};

// One line of a document. The views point into the document's bytes.
struct Line {
    size_t begin = 0;       // offset of the line's first byte
    size_t contentEnd = 0;  // offset after its last byte before the line break
    size_t end = 0;         // offset after its line break (== contentEnd without one)
    LineKind kind = LineKind::Blank;
    std::string_view name;   // section name or key, trimmed
    std::string_view value;  // entry value, trimmed, quotes kept
    size_t valueBegin = 0;   // offsets of `value` (an empty value sits at the end of the text)
    size_t valueEnd = 0;
    bool HasBreak() const { return end != contentEnd; }
};

// Walks the lines of a document in order without allocating. A line ends at '\n'; a '\r'
// before it belongs to the line break. A UTF-8 byte-order mark before the first line is skipped
// when classifying, and stays in place.
class LineReader {
  public:
    explicit LineReader(std::string_view bytes) : bytes_(bytes) {}
    bool Next(Line& line);

  private:
    std::string_view bytes_;
    size_t position_ = 0;
};

// Blanks are spaces and tabs.
std::string_view Trim(std::string_view text);
// Removes one pair of matching surrounding double or single quotes.
std::string_view Unquote(std::string_view text);
// Wraps a value in double quotes when reading it back would otherwise change it (leading or
// trailing blanks, or a pair of surrounding quotes). Values stored by the library's own stores
// go through this so that any text without line breaks comes back exactly.
std::string QuoteForStorage(std::string_view value);

bool NamesEqual(std::string_view a, std::string_view b);  // ASCII case folding

// The value of the first matching key in the sections named `section`, trimmed and unquoted.
// False when no section or key matches, or when the key's line has no '='.
bool FindValue(std::string_view document, std::string_view section, std::string_view key,
               std::string_view& value);
// Appends each distinct section name followed by '\0'.
void ListSections(std::string_view document, std::string& out);
// Appends each key of the sections named `section` followed by '\0'.
void ListKeys(std::string_view document, std::string_view section, std::string& out);
bool HasSection(std::string_view document, std::string_view section);

// An editable document. Each edit reports whether the bytes changed; new lines end with CRLF,
// and a last line without a line break gets one before anything is added after it.
// Instances are not shared between threads.
class Document {
  public:
    Document() = default;
    explicit Document(std::string bytes) : bytes_(std::move(bytes)) {}

    const std::string& bytes() const { return bytes_; }

    // Updates the first matching key in place (only its value text changes), or appends the key
    // after the last key line of the first matching section, or appends a new section at the end.
    bool SetValue(std::string_view section, std::string_view key, std::string_view value);
    // Removes every matching key line of every matching section.
    bool DeleteKey(std::string_view section, std::string_view key);
    // Removes every matching section with all its lines.
    bool DeleteSection(std::string_view section);
    // Appends an empty section when none of that name exists.
    bool AddSection(std::string_view section);
    // Section names in file order, each distinct name once (first spelling).
    std::vector<std::string> SectionNames() const;

  private:
    void EnsureFinalBreak();
    void AppendSectionHeader(std::string_view section);

    std::string bytes_;
};

}  // namespace qzo::platform::ini
