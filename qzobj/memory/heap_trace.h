// Watch traces: the compact record of where a watched block was allocated, up to seven code
// locations written into a tagWATCHINFO as printf-style pieces with their slot values.
#pragma once

#include <cstddef>

#include "qzobj/memory.h"
#include "qzobj/qzoplatu.h"

namespace qzo::memory {

// Stack frames walked above the allocating code.
inline constexpr size_t kTraceFrames = 6;

// Fills the record's trace slots and trace text (in the watch heap) for an allocation made by
// code whose frame is `allocatorFrame` (the frame of CHeap's public entry point). `file`/`line`
// name the allocation site; without a file `caller` is resolved instead.
void BuildTrace(tagWATCHINFO* record, const void* allocatorFrame, const char* file, int line,
                const void* caller);

// Trims a function name for a trace: when a blank precedes the first ':', the text after the
// first blank is kept; the text is cut at the first '('. Exposed for tests.
void TrimFunctionName(const char* name, char* out, size_t capacity);

// Test seam: replaces the frame walk and the address resolver (null restores the defaults).
// `walk` stores up to `capacity` return addresses starting above `allocatorFrame`, innermost
// first, and returns how many it stored.
using TraceFrameWalk = size_t (*)(const void* allocatorFrame, void** out, size_t capacity);
using TraceResolver = BOOL (*)(const void* address, tagADDRESSINFO* info);
void SetTraceSourceForTesting(TraceFrameWalk walk, TraceResolver resolve);

}  // namespace qzo::memory
