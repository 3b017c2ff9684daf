// CPTStr: the UTF-16 string with a kind byte in its chunk (2 for UTF-16; 0 and 1 mark ANSI text
// written by narrow builds, converted on loading).
#include <cstring>

#include "qzobj/archive.h"
#include "qzobj/memory/str_common.h"
#include "qzobj/strings.h"

using qzo::strings::AssignText;
using qzo::strings::Concatenate;
using qzo::strings::ShareFrom;

namespace {

constexpr BYTE kKindUtf16 = 2;
constexpr unsigned kOpenFailed = 0xFFFFFFFFu;
constexpr unsigned kOpenRefused = 0xFFFFFFFEu;

size_t BoundedNarrowLength(const BYTE* text, size_t limit) {
    size_t length = 0;
    while (length < limit && text[length] != 0) ++length;
    return length;
}

}  // namespace

CPTStr::CPTStr(const CPTStr& source) : CPStrBase(source) {
    CheckMemory();
}

CPTStr::CPTStr(const CPMemory& source) {
    CopyBlockText(source);
}

CPTStr::CPTStr(const char* text) {
    *this = text;
}

CPTStr::CPTStr(const WCHAR* text) {
    *this = text;
}

CPTStr& CPTStr::operator=(const CPTStr& source) {
    return ShareFrom(*this, source);
}

CPTStr& CPTStr::operator=(const CPMemory& source) {
    CopyBlockText(source);
    return *this;
}

CPTStr& CPTStr::operator=(const char* text) {
    return AssignText(*this, text);
}

CPTStr& CPTStr::operator=(const WCHAR* text) {
    return AssignText(*this, text);
}

CPTStr CPTStr::operator+(const char* text) const {
    return Concatenate<CPTStr>(Text(), Narrow(text));
}

CPTStr CPTStr::operator+(const WCHAR* text) const {
    return Concatenate<CPTStr>(Text(), Wide(text));
}

CPTStr CPTStr::operator+(const CPTStr& other) const {
    return Concatenate<CPTStr>(Text(), other.Text());
}

CPTStr operator+(const char* text, const CPTStr& string) {
    return Concatenate<CPTStr>(CPTStr::Narrow(text), string.Text());
}

CPTStr operator+(const WCHAR* text, const CPTStr& string) {
    return Concatenate<CPTStr>(CPTStr::Wide(text), string.Text());
}

CPTStr& CPTStr::operator+=(const char* text) {
    Append(Narrow(text));
    return *this;
}

CPTStr& CPTStr::operator+=(const WCHAR* text) {
    Append(Wide(text));
    return *this;
}

BOOL CPTStr::DynaSave(const char* chunkName, CQZArchive& archive) {
    CheckMemory();
    const unsigned layer = archive.Chnk_Open(chunkName, CHNK_WRITE);
    if (layer == kOpenFailed || layer == kOpenRefused) return 0;
    const DWORD size = GetSize();
    const BOOL written = archive.Chnk_Write(&kKindUtf16, 1) == 1 &&
                         (size == 0 || archive.Chnk_Write(GetCDataPtr(), size) == size);
    archive.Chnk_Close(layer);
    return written;
}

BOOL CPTStr::DynaLoad(const char* chunkName, CQZArchive& archive) {
    Free();
    // The whole payload, with two zero bytes reserved behind it, lands in a block of the
    // "MemPool" heap that serves as the scratch buffer of a conversion.
    CPMemory raw;
    if (!raw.DynaLoad(chunkName, archive, -2)) return 0;
    const DWORD length = raw.GetSize() < 2 ? 0 : raw.GetSize() - 2;
    if (length < 2) return 1;  // no text: an empty string
    BYTE* bytes = static_cast<BYTE*>(raw.GetDataPtr());
    const BYTE kind = bytes[0];
    if (kind == 0 || kind == 1) {
        const char* narrow = reinterpret_cast<const char*>(bytes + 1);
        const Piece piece = {nullptr, narrow, BoundedNarrowLength(bytes + 1, length - 1)};
        Compose(&piece, 1, true);
        return pMH != nullptr;
    }
    // Kind 2, and any higher kind, is UTF-16: the text moves down over the kind byte and ends
    // in the reserved zeros at the latest.
    std::memmove(bytes, bytes + 1, length - 1);
    bytes[length - 1] = 0;
    raw.SetSize(length + 1);
    CPMemory::operator=(raw);
    CheckMemory();
    return 1;
}
