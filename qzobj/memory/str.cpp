// CPStrBase: the text-in-a-block mechanics both string classes share: bounded length, composing
// a new text from pieces, appending (private first), copying a block's text and terminating
// loaded text inside its block.
#include <cstring>
#include <string>

#include "qzobj/archive.h"
#include "qzobj/memory/cp1252.h"
#include "qzobj/memory/list_limits.h"
#include "qzobj/strings.h"

namespace {

// Length of a text of at most `limit` units.
size_t BoundedLength(const WCHAR* text, size_t limit) {
    size_t length = 0;
    while (length < limit && text[length] != 0) ++length;
    return length;
}

// Writes a piece's units to `out`.
void WritePiece(WCHAR* out, const WCHAR* wide, const char* narrow, size_t length) {
    if (wide) {
        std::memmove(out, wide, length * sizeof(WCHAR));
        return;
    }
    for (size_t i = 0; i < length; ++i)
        out[i] = qzo::cp1252::ToWide(static_cast<unsigned char>(narrow[i]));
}

// Bytes of a text of `length` units and its terminator, or 0 when a block cannot hold them.
DWORD TextBytes(ULONGLONG length) {
    const ULONGLONG bytes = (length + 1) * sizeof(WCHAR);
    return bytes > qzo::memory::kLargestListBlock ? 0 : DWORD(bytes);
}

}  // namespace

DWORD CPStrBase::GetLen() const {
    const WCHAR* text = static_cast<const WCHAR*>(GetCDataPtr());
    return text ? DWORD(BoundedLength(text, GetSize() / sizeof(WCHAR))) : 0;
}

BOOL CPStrBase::Alloc(DWORD characters) {
    const ULONGLONG bytes = ULONGLONG(characters) * sizeof(WCHAR);
    if (bytes > qzo::memory::kLargestListBlock) {
        Free();
        return 0;
    }
    if (!CPMemory::Alloc(DWORD(bytes))) return 0;
    static_cast<WCHAR*>(Data())[0] = 0;
    return 1;
}

CPStrBase::Piece CPStrBase::Wide(const WCHAR* text) {
    size_t length = 0;
    if (text)
        while (text[length] != 0) ++length;
    return {text ? text : u"", nullptr, length};
}

CPStrBase::Piece CPStrBase::Narrow(const char* text) {
    return {nullptr, text ? text : "", text ? std::strlen(text) : 0};
}

CPStrBase::Piece CPStrBase::Text() const {
    const WCHAR* text = static_cast<const WCHAR*>(GetCDataPtr());
    return {text ? text : u"", nullptr, GetLen()};
}

void CPStrBase::Compose(const Piece* pieces, int count, bool keepEmpty) {
    ULONGLONG length = 0;
    for (int i = 0; i < count; ++i) length += pieces[i].length;
    if (length == 0 && !keepEmpty) {
        Free();
        return;
    }
    const DWORD bytes = TextBytes(length);
    // The new text is built in a block of its own before this handle lets go of the old one,
    // so pieces may come from this very string.
    CPMemory fresh;
    if (bytes == 0 || !fresh.Alloc(bytes)) {
        Free();
        return;
    }
    WCHAR* out = static_cast<WCHAR*>(fresh.GetDataPtr());
    for (int i = 0; i < count; ++i) {
        WritePiece(out, pieces[i].wide, pieces[i].narrow, pieces[i].length);
        out += pieces[i].length;
    }
    *out = 0;
    CPMemory::operator=(fresh);
}

void CPStrBase::Append(const Piece& piece) {
    if (piece.length == 0) return;
    if (!pMH) {
        Compose(&piece, 1, true);
        return;
    }
    // A piece taken from this string's own block would move with it: copy it out first.
    const BYTE* block = static_cast<const BYTE*>(Data());
    const BYTE* at = piece.wide ? reinterpret_cast<const BYTE*>(piece.wide)
                                : reinterpret_cast<const BYTE*>(piece.narrow);
    if (at >= block && at < block + pMH->dwAllocSize) {
        const std::u16string copy =
            piece.wide ? std::u16string(piece.wide, piece.length) : std::u16string();
        const std::string narrowCopy =
            piece.narrow ? std::string(piece.narrow, piece.length) : std::string();
        const Piece held = {piece.wide ? copy.c_str() : nullptr,
                            piece.narrow ? narrowCopy.c_str() : nullptr, piece.length};
        Append(held);
        return;
    }
    // Other holders keep their text: a shared block is made private before it grows in place.
    if (GetRefCnt() > 1 && !CPMemory::Realloc(CPMEM_UNSHARE)) return;
    const DWORD length = GetLen();
    const DWORD bytes = TextBytes(ULONGLONG(length) + piece.length);
    if (bytes == 0 || !CPMemory::Realloc(bytes)) return;
    WCHAR* text = static_cast<WCHAR*>(Data());
    WritePiece(text + length, piece.wide, piece.narrow, piece.length);
    text[length + piece.length] = 0;
}

void CPStrBase::CopyBlockText(const CPMemory& source) {
    if (&source == this) return;
    const WCHAR* text = static_cast<const WCHAR*>(source.GetCDataPtr());
    if (!text) {
        Free();
        return;
    }
    const Piece piece = {text, nullptr, BoundedLength(text, source.GetSize() / sizeof(WCHAR))};
    Compose(&piece, 1, true);
}

void CPStrBase::CheckMemory() {
    if (!HoldsValidBlock() || pMH->dwAllocSize < sizeof(WCHAR)) return;
    WCHAR* text = static_cast<WCHAR*>(Data());
    const size_t units = pMH->dwSize / sizeof(WCHAR);
    size_t length = BoundedLength(text, units);
    if (length == units) {
        // No terminator in the bytes in use: terminate behind them when the block has room,
        // else cut the last character.
        if ((units + 1) * sizeof(WCHAR) > pMH->dwAllocSize) length = units - 1;
        text[length] = 0;
    }
    pMH->dwSize = DWORD((length + 1) * sizeof(WCHAR));
}

BOOL CPStrBase::LoadWide(const char* chunkName, CQZArchive* archive) {
    // Two zero bytes are reserved behind the payload, so the text ends inside the block.
    if (!CPMemory::DynaLoad(chunkName, *archive, -2)) return 0;
    CheckMemory();
    return 1;
}
