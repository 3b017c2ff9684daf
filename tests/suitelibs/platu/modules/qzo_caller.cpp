// A module of its own that calls back: stack walks filtered by module name find its frame
// between the test's frames.
extern "C" __attribute__((visibility("default"), noinline)) void QzoCallerCallBack(
    void (*function)(void*), void* argument) {
    function(argument);
    asm volatile("" ::: "memory");  // keeps the call from becoming a tail call
}
