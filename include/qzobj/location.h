// Location: the persistent name of an object (class, object, project, a caller's data word and
// flags), 20 bytes that are copied, compared, stored inside other objects and written as text.
#pragma once

#include <cstddef>
#include <type_traits>

#include "qzobj/export.h"
#include "qzobj/types.h"

// The parts of the flags word.
#define LOCATION_MODE_MASK 0x0000007Fu     // bits 0..6: the access mode, at most one bit set
#define LOCATION_LOCATOR_MASK 0x00FFFF00u  // bits 8..23: the locator flags below
#define LOCATION_CUSTOM_MASK 0xFF000000u   // bits 24..31: eight flags of the caller

// Locator flags.
#define LOCATOR_VIRTUAL 0x00020000u         // made from a GUID: no object file
#define LOCATOR_STATIC 0x00040000u          // may not be destroyed through its locator
#define LOCATOR_BASECLASSONLY 0x00100000u   // rebuilt as a base class of its stored class
#define LOCATOR_TEMPORARY 0x00200000u       // lives in memory only
#define LOCATOR_SELFLOCATOR 0x00400000u     // the locator embedded in its own object
#define LOCATOR_IDENTITY_FLAGS 0x00060000u  // the flags that belong to a location's identity

// The field values of a cleared location.
#define LOCATION_NO_HASHID 0x0000FC00u
#define LOCATION_NO_OBJID 0xFFFFFFFFu
#define LOCATION_NO_PROJID 0x0000FC00u
#define LOCATION_INVALID_BITS 0x0000FC00u  // a hash or project ID with any of them names nothing

// Characters of the text form, including its terminator.
#define LOCATION_TEXT_CHARS 41u

// Five little-endian words in this order, 20 bytes with no padding, so that a location can be
// copied byte for byte into stored records. A new location is cleared. Its members read and write
// only the location itself: one location may be used by one thread at a time, and different
// locations by any threads.
struct QZOBJ_API Location {
    DWORD dwHashID = LOCATION_NO_HASHID;  // the class's hash ID
    DWORD dwObjID = LOCATION_NO_OBJID;    // the object ID within the project
    DWORD dwProjID = LOCATION_NO_PROJID;  // the project ID
    DWORD dwDataID = 0;                   // a caller's data word
    DWORD dwFlags = 0;                    // access mode, locator flags, custom flags

    // Clears every field (see the defaults above).
    void Init();
    // Virtual, or naming a class, an object and a project (none of the three holds its "none"
    // value and the hash ID has none of the bits 0xFC00).
    BOOL IsValid() const;
    // Valid and not virtual: an object with a file.
    BOOL IsDiskObject() const;

    // The custom flags as a byte (bits 24..31 of the flags word shifted down). SetCustomFlags
    // and AddCustomFlags both add the bits of the byte `flags` and never clear any; use
    // RemoveCustomFlags to clear.
    DWORD GetCustomFlags() const { return dwFlags >> 24; }
    void SetCustomFlags(DWORD flags);
    void AddCustomFlags(DWORD flags);
    void RemoveCustomFlags(DWORD flags);

    // The caller's data word; 0 for a virtual location, whose last word is part of its GUID.
    DWORD GetData() const;

    // Writes the 40-letter text form and its terminator: each of the 20 bytes (the flags reduced
    // to LOCATOR_IDENTITY_FLAGS) as 'A' + its low four bits, then 'A' + its high four bits.
    // FALSE, writing nothing, for a null buffer or one of fewer than 41 characters.
    BOOL GetLocationAsString(WCHAR* buffer, unsigned size) const;

    // The same object: equal object IDs, hash IDs, project IDs and identity flags, and for
    // virtual locations equal data words as well. Access mode, other locator flags and custom
    // flags do not count.
    BOOL IsSameObject(const Location& other) const;
    bool operator==(const Location& other) const { return IsSameObject(other) != 0; }
    bool operator!=(const Location& other) const { return !IsSameObject(other); }

    // Reads a text form: 20 pairs of letters 'A'..'P'. A null text, or any other character
    // among the first 40 (a terminator included), clears the location instead; reading stops at
    // the first such character.
    Location& operator=(const WCHAR* text);
    // A virtual location: the GUID's 16 bytes become the first four words, the flags
    // LOCATOR_VIRTUAL.
    Location& operator=(const GUID& guid);
};

static_assert(sizeof(Location) == 20, "a location is five words");
static_assert(std::is_standard_layout_v<Location>, "a location is copied byte for byte");
static_assert(std::is_trivially_copyable_v<Location>, "a location is copied byte for byte");
static_assert(offsetof(Location, dwFlags) == 16, "the flags are the fifth word");
