// Diagnostics of memory blocks: refusals printed while debug output is on, and misuse warnings
// raised through WarningMsg with the place where they were detected.
#pragma once

#include "qzobj/types.h"

namespace qzo::memory {

// Memory-block refusals go to the ordinary diagnostics channel as errors.
inline constexpr int kBlockMessageChannel = 3;
inline constexpr int kBlockMessageLevel = 2;

// Prints a fixed text when debug output is on.
void PrintBlockMessage(const WCHAR* text);

// Raises a warning naming the code that called the function which detected the misuse.
#define QZO_BLOCK_WARNING(text) \
    ::WarningMsg((text), __builtin_return_address(0), __builtin_frame_address(0))

}  // namespace qzo::memory
