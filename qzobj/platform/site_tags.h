// Allocation-site and diagnostic-site tags: the source file names and lines the library records
// in heap watch traces and diagnostic beeps. They are fixed values of the system, not the
// positions of the code that uses them.
#pragma once

namespace qzo::platform::site {

inline constexpr char kCosobj[] = "qzobj/cosobj";
inline constexpr int kCriticalSectionNew = 136;     // COSCriticalSection::operator new
inline constexpr int kHeapLeak = 507;               // a heap destroyed with live blocks
inline constexpr int kLeaveWriteWithReads = 2487;   // LeaveWrite with recursive reads pending
inline constexpr int kLeaveReadWithoutLock = 2535;  // LeaveRead by the writer without a read

inline constexpr char kCpmem[] = "qzobj/cpmem";
inline constexpr int kMemoryAlloc = 25;
inline constexpr int kMemoryRealloc = 35;

inline constexpr char kCpprop[] = "qzobj/cpprop";
inline constexpr int kPropertyAlloc = 21;
inline constexpr int kPropertyRealloc = 31;

}  // namespace qzo::platform::site
