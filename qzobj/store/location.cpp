// Location: clearing, validity, flags, equality, the 40-letter text form and GUID locations.
#include "qzobj/location.h"

#include <cstring>

namespace {

constexpr unsigned kTextLetters = 40;  // two letters for each of the 20 bytes

// The four-bit halves of a byte are written as the letters 'A' (0) to 'P' (15).
inline WCHAR Letter(unsigned nibble) {
    return static_cast<WCHAR>(u'A' + (nibble & 0xF));
}

// The value of a letter 'A'..'P', or -1 for anything else (the terminator included).
inline int NibbleOf(WCHAR letter) {
    return letter >= u'A' && letter <= u'P' ? static_cast<int>(letter - u'A') : -1;
}

// The five words as they are written: little-endian, each word's low byte first.
void WordsToBytes(const DWORD (&words)[5], unsigned char (&bytes)[20]) {
    for (unsigned i = 0; i < 20; ++i)
        bytes[i] = static_cast<unsigned char>(words[i / 4] >> (8 * (i % 4)));
}

}  // namespace

void Location::Init() {
    *this = Location{};
}

BOOL Location::IsValid() const {
    if (dwFlags & LOCATOR_VIRTUAL) return TRUE;
    return (dwHashID & LOCATION_INVALID_BITS) == 0 && dwObjID != LOCATION_NO_OBJID &&
           dwProjID != LOCATION_NO_PROJID;
}

BOOL Location::IsDiskObject() const {
    return IsValid() && !(dwFlags & LOCATOR_VIRTUAL);
}

void Location::SetCustomFlags(DWORD flags) {
    AddCustomFlags(flags);
}

void Location::AddCustomFlags(DWORD flags) {
    dwFlags |= (flags & 0xFF) << 24;
}

void Location::RemoveCustomFlags(DWORD flags) {
    dwFlags &= ~((flags & 0xFF) << 24);
}

DWORD Location::GetData() const {
    return (dwFlags & LOCATOR_VIRTUAL) ? 0 : dwDataID;
}

BOOL Location::GetLocationAsString(WCHAR* buffer, unsigned size) const {
    if (!buffer || size < LOCATION_TEXT_CHARS) return FALSE;
    const DWORD words[5] = {dwHashID, dwObjID, dwProjID, dwDataID,
                            dwFlags & LOCATOR_IDENTITY_FLAGS};
    unsigned char bytes[20];
    WordsToBytes(words, bytes);
    for (unsigned i = 0; i < 20; ++i) {
        buffer[2 * i] = Letter(bytes[i]);
        buffer[2 * i + 1] = Letter(bytes[i] >> 4);
    }
    buffer[kTextLetters] = 0;
    return TRUE;
}

BOOL Location::IsSameObject(const Location& other) const {
    if (dwObjID != other.dwObjID || dwHashID != other.dwHashID || dwProjID != other.dwProjID)
        return FALSE;
    if ((dwFlags ^ other.dwFlags) & LOCATOR_IDENTITY_FLAGS) return FALSE;
    if ((dwFlags & LOCATOR_VIRTUAL) && dwDataID != other.dwDataID) return FALSE;
    return TRUE;
}

Location& Location::operator=(const WCHAR* text) {
    DWORD words[5] = {};
    // Each character is looked at only after the one before it proved to be a letter, so a
    // short text is never read past its terminator.
    for (unsigned i = 0; text && i < kTextLetters; ++i) {
        const int nibble = NibbleOf(text[i]);
        if (nibble < 0) {
            Init();
            return *this;
        }
        const unsigned byte = i / 2;
        const unsigned shift = 8 * (byte % 4) + ((i % 2) ? 4 : 0);
        words[byte / 4] |= static_cast<DWORD>(nibble) << shift;
    }
    if (!text) {
        Init();
        return *this;
    }
    dwHashID = words[0];
    dwObjID = words[1];
    dwProjID = words[2];
    dwDataID = words[3];
    dwFlags = words[4];
    return *this;
}

Location& Location::operator=(const GUID& guid) {
    // The GUID's in-memory bytes: Data1..Data3 little-endian, then Data4 as it stands.
    unsigned char bytes[16];
    for (unsigned i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(guid.Data1 >> (8 * i));
    for (unsigned i = 0; i < 2; ++i) {
        bytes[4 + i] = static_cast<unsigned char>(guid.Data2 >> (8 * i));
        bytes[6 + i] = static_cast<unsigned char>(guid.Data3 >> (8 * i));
    }
    std::memcpy(bytes + 8, guid.Data4, 8);
    DWORD words[4] = {};
    for (unsigned i = 0; i < 16; ++i) words[i / 4] |= static_cast<DWORD>(bytes[i]) << (8 * (i % 4));
    dwHashID = words[0];
    dwObjID = words[1];
    dwProjID = words[2];
    dwDataID = words[3];
    dwFlags = LOCATOR_VIRTUAL;
    return *this;
}
