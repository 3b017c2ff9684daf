// Evaluation of the CRC generators over caller memory: a null check, then the raw engine inside
// the fault guard. The library's hash functions use these to tell a fault from a CRC of 0.
#pragma once

#include <cstddef>

#include "qzobj/signal.h"

namespace qzo::crc {

enum class Input { Bytes, Narrow, NarrowFolded, Wide, WideFolded };

// The CRC of the input (for Bytes, `length` bytes at `data`; for the text kinds, the
// zero-terminated string at `data`). False when `data` is null or reading it faulted; then *result
// is untouched. A zero length of bytes reads nothing, so it succeeds even with a null pointer. The
// generator must be valid.
bool GuardedEval(const CMonoCRC& generator, Input kind, const void* data, size_t length,
                 DWORD* result);
bool GuardedEval(const CDualCRC& generator, Input kind, const void* data, size_t length,
                 DWORD* result);

// The same without the guard or the null check: for benchmarks that measure the guard's cost.
DWORD RawEval(const CDualCRC& generator, Input kind, const void* data, size_t length);
DWORD RawEval(const CMonoCRC& generator, Input kind, const void* data, size_t length);

}  // namespace qzo::crc
