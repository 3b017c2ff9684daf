// Internal interface of the debug output: the formatter, the sink hook tests and tools use to
// receive every message, and re-reading the output target. The sink and the reset are
// exported so that test programs and tools linking the shared library can use them too.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "qzobj/types.h"

namespace qzo::uikit {

// Longest message in UTF-16 units; longer texts are cut.
inline constexpr size_t kMaxMessageUnits = 4096;

// Formats into a caller buffer of `capacity` units (terminated when capacity > 0) and returns
// the units written before the terminator. Never allocates and takes no lock, so fault handlers
// may use it. Format rules as wPrintf's.
size_t FormatV(WCHAR* out, size_t capacity, const WCHAR* format, va_list args);
size_t Format(WCHAR* out, size_t capacity, const WCHAR* format, ...);

// A sink receives every message with its channel and level, besides the configured target. It
// may be called from any thread and from a fault handler: it must not allocate or block.
using DebugOutputSink = void (*)(int channel, int level, const WCHAR* text, size_t length,
                                 void* context);
// Installs the sink (null removes it); returns the previous one. A removed sink may still be
// running on threads that picked it up before; remove it after those threads stopped printing.
QZOBJ_API DebugOutputSink SetDebugOutputSink(DebugOutputSink sink, void* context);

// Closes the current target and has QZO_DEBUG_OUTPUT read again at the next message (it is
// otherwise read once, on first use). Also undoes Is_wPrintf_Active(1).
QZOBJ_API void ResetDebugOutputTarget();

}  // namespace qzo::uikit
