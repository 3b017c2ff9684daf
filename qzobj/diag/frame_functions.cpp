// The frame functions that name the place of a warning: the caller's code address, its return
// address and frame pointers, read from the saved frame-pointer chain.
#include "qzobj/diag.h"

namespace {

// The frame of the function that called the frame function: the frame pointer saved at the
// bottom of the frame function's own frame.
__attribute__((always_inline)) inline void** CallerFrame(void* ownFrame) {
    return ownFrame ? static_cast<void**>(*static_cast<void**>(ownFrame)) : nullptr;
}

}  // namespace

__attribute__((noinline)) void* GetAddress() {
    return __builtin_return_address(0);
}

__attribute__((noinline)) void* GetRetAddress() {
    void** caller = CallerFrame(__builtin_frame_address(0));
    return caller ? caller[1] : nullptr;
}

__attribute__((noinline)) void* GetEBP() {
    return CallerFrame(__builtin_frame_address(0));
}

__attribute__((noinline)) void* GetLastEBP() {
    void** caller = CallerFrame(__builtin_frame_address(0));
    return caller ? caller[0] : nullptr;
}
