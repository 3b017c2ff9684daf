// The mailslot wire format: the 8-byte envelope before every message, the message records'
// sizes, and the checks every received datagram passes before the reader looks at it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>

#include "qzobj/mailslot.h"

namespace qzo::mail {

static_assert(std::endian::native == std::endian::little,
              "mail records are little-endian and are sent as they lie in memory");

// Envelope: "QZM1" and the box's hash identifier (little-endian), then one tagMAILITEM.
inline constexpr char kEnvelopeMagic[4] = {'Q', 'Z', 'M', '1'};
inline constexpr size_t kEnvelopeSize = 8;
inline constexpr size_t kEnvelopeBoxOffset = 4;

inline constexpr DWORD kItemHeaderSize = 16;
inline constexpr DWORD kNameItemSize = 48;
inline constexpr size_t kNameOffset = 16;
static_assert(offsetof(tagMAILITEM, dwSize) == 0 && offsetof(tagMAILITEM, dwSenderID) == 4 &&
              offsetof(tagMAILITEM, dwSequence) == 8 && offsetof(tagMAILITEM, dwCode) == 12);
static_assert(offsetof(tagMAILITEM_COMPUTERNAME, szComputerName) == kNameOffset);

// The largest message that fits one datagram behind the envelope.
inline constexpr size_t kLargestItem = 65507 - kEnvelopeSize;

inline void WriteEnvelope(BYTE* out, DWORD boxHash) {
    std::memcpy(out, kEnvelopeMagic, 4);
    for (int i = 0; i < 4; ++i) out[kEnvelopeBoxOffset + i] = BYTE(boxHash >> (8 * i));
}

// Checks a received datagram for the box with hash `boxHash`. Null when it carries one
// well-formed message (starting at data + kEnvelopeSize); else why it is dropped.
const char* CheckDatagram(const BYTE* data, size_t length, DWORD boxHash);

}  // namespace qzo::mail
