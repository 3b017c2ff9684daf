// Hash identifiers of names (class names, chunk names, computer names, project paths, cache keys)
// and CQZHashTable, the generic table of 1024 buckets addressed by them.
#pragma once

#include "qzobj/locks.h"
#include "qzobj/types.h"

// A hash identifier is an unsigned 32-bit value, stored in files and therefore fixed bit for bit:
// - bits 16..31, the sort key: a 16-bit CRC of the input bytes (polynomial 0x1021, initial 0,
//   most significant bit first, no reflection, no final XOR);
// - bits 0..9, the bucket: a 10-bit CRC of the same bytes (polynomial 0x083);
// - bits 10..15: 0 in every identifier computed from a name.
// An identifier with any of the bits 0xFC00 set addresses no bucket. QZO_NO_HASHID (0xFC00) stands
// for the absence of an identifier, 0xFFFFFFFF for an input that cannot be read (a null pointer or
// unreadable memory, caught by the fault guard).
//
// Input bytes: a narrow string gives its bytes up to the terminator; a wide (UTF-16) string gives
// each unit's low byte, then its high byte. The folded variants subtract 0x20 from a narrow byte,
// or from the low byte of a wide unit whose high byte is 0, when it lies in 0x61..0x7B: 'a'..'z'
// become 'A'..'Z' and '{' becomes '['.
//
// All functions may be called from any thread: they only read two immutable process-wide engines.
#define QZO_NO_HASHID 0x0000FC00u
#define QZO_HASHID_INVALID_BITS 0x0000FC00u
#define QZO_HASHID_UNREADABLE 0xFFFFFFFFu

QZOBJ_API DWORD GetHashID(const char* text);      // narrow, as is
QZOBJ_API DWORD GetHashIDi(const char* text);     // narrow, folded
QZOBJ_API DWORD GetHashIDW(const WCHAR* text);    // wide, as is
QZOBJ_API DWORD GetHashIDWi(const WCHAR* text);   // wide, NOT folded: equals GetHashIDW; stored
                                                  // identifiers depend on this
QZOBJ_API DWORD GetHashIDT(const WCHAR* text);    // wide (the build's character type), as is
QZOBJ_API DWORD GetHashIDTi(const WCHAR* text);   // wide, folded
QZOBJ_API DWORD GetHashIDTW(const WCHAR* text);   // wide, as is
QZOBJ_API DWORD GetHashIDTWi(const WCHAR* text);  // wide, folded

// The identifier of a path: GetHashIDTW of the path exactly as passed. When the path, normalised
// with FU_FormatPath (separator 0) after copying at most 259 of its units, is shorter than two
// characters, the result is QZO_NO_HASHID.
QZOBJ_API DWORD GetPathHash(const WCHAR* path);

// A separate checksum from the same engine: a 15-bit CRC (polynomial 0x8123, of which the low 15
// bits act) in bits 17..31, 0 in bit 16, and a 16-bit CRC (polynomial 0x1021) in bits 0..15.
// A zero length reads nothing and gives 0; null or unreadable data gives 0xFFFFFFFF.
QZOBJ_API DWORD GetCRC1615(const void* data, DWORD length);

// The header of every entry of a CQZHashTable; derived tables append their own data behind it.
struct tagHASHENTRY {
    DWORD dwHashID;
    tagHASHENTRY* pNext;
};

// Called for each entry with the caller's parameter; returns non-zero to go on.
typedef BOOL (*HASHENUMPROC)(tagHASHENTRY* entry, uintptr_t parameter);

// A table of 1024 buckets addressed by the low bits of an entry's hash identifier. Each bucket's
// chain is sorted ascending by the sort key (the unsigned high 16 bits of dwHashID), and entries
// with equal identifiers by Compare. Derived classes give entries their data, their order among
// equal identifiers (Compare), and their storage (AllocEntry, DeleteEntry). The table does not
// allocate: Add links the caller's entry, and Delete and ClearTable hand entries to DeleteEntry.
//
// Derived tables must call ClearTable() in their own destructor: the base destructor's ClearTable
// reaches only the base DeleteEntry, which does nothing.
//
// Threads: every public member may be called from any thread. Each takes the table lock (a
// re-entrant COSCriticalSection) for its own steps; EnumTable holds it while the callback runs.
// Callers make a sequence of calls atomic with LockTable()/UnlockTable() around it. Entries that
// a caller holds stay valid only while it holds the lock or knows no other thread deletes them.
class QZOBJ_API CQZHashTable {
  public:
    static constexpr DWORD kBuckets = 1024;

    CQZHashTable();
    virtual ~CQZHashTable();

    // Negative, 0 or positive as a sorts before, with or after b among equal identifiers.
    // The base class answers 0.
    virtual LONG Compare(const tagHASHENTRY* a, const tagHASHENTRY* b);
    // A new entry for the identifier; the base class answers null.
    virtual tagHASHENTRY* AllocEntry(DWORD hashID);
    // Releases an entry that left the table; the base class does nothing.
    virtual void DeleteEntry(tagHASHENTRY* entry);

    // Hands every entry to DeleteEntry and empties all buckets.
    void ClearTable();
    // The entry with this identifier (and, with a probe, for which Compare(probe, entry) is 0),
    // or null. An identifier with any of the bits 0xFC00 finds nothing.
    tagHASHENTRY* FindEntry(DWORD hashID, const tagHASHENTRY* probe);
    // Links the entry in its place and returns it; when an equal entry (same identifier, Compare
    // 0) is present, returns that one and leaves the new entry out. Null for a null entry or an
    // identifier with any of the bits 0xFC00.
    tagHASHENTRY* Add(tagHASHENTRY* entry);
    // Unlinks the matching entry and hands it to DeleteEntry. TRUE also when nothing matched.
    BOOL Delete(DWORD hashID, const tagHASHENTRY* probe);
    // Visits buckets 0..1023, each chain in order, with the lock held. FALSE when the callback is
    // null, returns 0 or throws; TRUE after the last entry.
    BOOL EnumTable(HASHENUMPROC callback, uintptr_t parameter);
    BOOL LockTable();
    BOOL UnlockTable();

  private:
    // The exact match or the last entry that sorts before the probe (null when none); *previous
    // receives the entry before the result's position in the chain.
    tagHASHENTRY* FindClosestMatch(DWORD hashID, const tagHASHENTRY* probe,
                                   tagHASHENTRY** previous);
    tagHASHENTRY* FindEntry(DWORD hashID, const tagHASHENTRY* probe, tagHASHENTRY** previous);

    tagHASHENTRY* m_pBuckets[kBuckets];
    COSCriticalSection m_Lock;
};
