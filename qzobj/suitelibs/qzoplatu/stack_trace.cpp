// TraceOutException and WalkCallStack: stack traces through the dump output, one line per frame,
// and the module filter that asks whether a stack involves a given module.
#include <cstdint>
#include <cstring>

#include "qzobj/platform/guard.h"
#include "qzobj/platform/stack.h"
#include "qzobj/platform/text.h"
#include "qzobj/qzoplatu.h"
#include "qzobj/suitelibs/qzoplatu/address_info.h"
#include "qzobj/suitelibs/qzoplatu/text_line.h"

namespace qzo::platu {
namespace {

constexpr size_t kDetailedFrames = 64;
constexpr size_t kShortFrames = 10;

size_t FrameLimit(int detail) {
    return detail > 0 ? kDetailedFrames : kShortFrames;
}

size_t FilterLength(const tagTRACEFILTER* filter) {
    return filter ? strnlen(filter->szModule, sizeof filter->szModule) : 0;
}

// A module file name matches the filter when both agree without regard to case up to their
// first '.', so "libqzobju", "libqzobju.so" and "LIBQZOBJU.DLL" all name "libqzobju.so.0".
size_t StemLength(const char* name, size_t length) {
    size_t stem = 0;
    while (stem < length && name[stem] != '\0' && name[stem] != '.') ++stem;
    return stem;
}

bool ModuleMatches(const char* fileName, const tagTRACEFILTER& filter, size_t filterLength) {
    const size_t filterStem = StemLength(filter.szModule, filterLength);
    if (StemLength(fileName, SIZE_MAX) != filterStem) return false;
    for (size_t i = 0; i < filterStem; ++i)
        if (qzo::text::FoldUpper(fileName[i]) != qzo::text::FoldUpper(filter.szModule[i]))
            return false;
    return true;
}

bool InvolvesModule(void* const* frames, size_t count, const tagTRACEFILTER& filter) {
    const size_t filterLength = FilterLength(&filter);
    char name[256];
    for (size_t i = 0; i < count; ++i)
        if (ModuleFileName(frames[i], name, sizeof name) &&
            ModuleMatches(name, filter, filterLength))
            return true;
    return false;
}

// The first address (when given), then the return addresses of the frame-pointer chain. Inside
// the fault handler only the cached stack range is used: asking the system may allocate.
size_t CollectFrames(void* first, const void* framePointer, void** frames, size_t capacity) {
    size_t count = 0;
    if (first && capacity > 0) frames[count++] = first;
    qzo::platform::StackRange range;
    const bool known = qzo::platform::InFaultHandler()
                           ? qzo::platform::CachedThreadStackRange(range)
                           : qzo::platform::ThreadStackRange(range);
    if (known && framePointer)
        count +=
            qzo::platform::WalkFramePointers(framePointer, range, frames + count, capacity - count);
    return count;
}

void WriteFrames(void* const* frames, size_t count) {
    dmp_printf(u"\r\nCall stack:\r\n");
    for (size_t i = 0; i < count; ++i) {
        char text[sizeof(tagADDRESSINFO) + 64];
        TextLine line(text, sizeof text);
        line.Append("\r").AppendAddress(reinterpret_cast<uintptr_t>(frames[i])).Append("  ");
        AppendFrameName(frames[i], line);
        line.Append("\r\n");
        dmp_printf(u"%hs", line.c_str());
    }
}

// With a module filter: nothing is written, the result says whether the module is involved.
int TraceOrFilter(void* const* frames, size_t count, int detail, const tagTRACEFILTER* filter) {
    if (FilterLength(filter) > 0) return InvolvesModule(frames, count, *filter) ? 1 : 0;
    const size_t limit = FrameLimit(detail);
    WriteFrames(frames, count < limit ? count : limit);
    return 1;
}

}  // namespace
}  // namespace qzo::platu

int TraceOutException(EXCEPTION_POINTERS* pointers, int detail, const tagTRACEFILTER* filter) {
    if (!pointers || !pointers->ExceptionRecord) return 0;
    void* framePointer = nullptr;
    if (pointers->ContextRecord)
        framePointer = reinterpret_cast<void*>(uintptr_t(pointers->ContextRecord->Rbp));
    void* frames[qzo::platu::kDetailedFrames];
    const size_t count =
        qzo::platu::CollectFrames(pointers->ExceptionRecord->ExceptionAddress, framePointer, frames,
                                  qzo::platu::kDetailedFrames);
    return qzo::platu::TraceOrFilter(frames, count, detail, filter);
}

__attribute__((noinline)) int WalkCallStack(void* address, void* frame, int detail,
                                            const tagTRACEFILTER* filter) {
    // Without a frame the walk starts here: the first return address leads into the caller.
    const void* framePointer = frame ? frame : __builtin_frame_address(0);
    void* frames[qzo::platu::kDetailedFrames];
    const size_t count =
        qzo::platu::CollectFrames(address, framePointer, frames, qzo::platu::kDetailedFrames);
    return qzo::platu::TraceOrFilter(frames, count, detail, filter);
}
