// The ANSI code page of the library's narrow text: Windows-1252, both ways, without best-fit
// mapping. The five bytes the code page leaves undefined map to the C1 controls of the same
// value (U+0081, U+008D, U+008F, U+0090, U+009D) and back.
#pragma once

#include "qzobj/types.h"

namespace qzo::cp1252 {

// The UTF-16 unit of a narrow byte (every byte has one).
WCHAR ToWide(unsigned char byte);
// The narrow byte of a UTF-16 unit; false when the code page has none.
bool ToNarrow(WCHAR unit, unsigned char* byte);

// Units of one character at `text` (2 for a surrogate pair, else 1), reading at most `limit`.
inline size_t CharacterUnits(const WCHAR* text, size_t limit) {
    return limit >= 2 && text[0] >= 0xD800 && text[0] <= 0xDBFF && text[1] >= 0xDC00 &&
                   text[1] <= 0xDFFF
               ? 2
               : 1;
}

}  // namespace qzo::cp1252
