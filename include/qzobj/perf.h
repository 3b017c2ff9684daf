// Performance counters: lap timing of a named activity (CPerfInfoBase, CPerfInfo) and an
// accumulator of many timed events (CBasePerfItem), both on the high-resolution counter.
#pragma once

#include <atomic>

#include "qzobj/types.h"

// Measures laps and a running total of a named activity and prints the laps that reach a
// threshold (channel 3, level 6, debug output on).
//
// Thread safety: one thread at a time uses an object.
class QZOBJ_API CPerfInfoBase {
  public:
    static constexpr DWORD kNameLength = 64;  // characters of the name buffer, 63 used

    // Copies at most 63 characters of the name (null: empty), reads the frequency and resets.
    explicit CPerfInfoBase(const WCHAR* name);
    virtual ~CPerfInfoBase();
    CPerfInfoBase(const CPerfInfoBase&) = delete;
    CPerfInfoBase& operator=(const CPerfInfoBase&) = delete;

    // Starts the total and the lap now.
    void Reset();
    // Ends a lap: prints "\r<name>::<label> Lap=<ms>ms, Total=<ms>ms\r\n" when the lap took at
    // least `thresholdMs`; the next lap starts now either way. Does nothing after Close.
    void Lapse(const WCHAR* label, DWORD thresholdMs);
    // When the total reached `thresholdMs`, ends a lap with threshold 0; then stops.
    void Close(const WCHAR* label, DWORD thresholdMs);

    const WCHAR* GetName() const { return m_szName; }
    // True until Close.
    bool IsRunning() const { return m_llStart != 0; }

  protected:
    double Milliseconds(ULONGLONG counts) const;

    ULONGLONG m_llFrequency;  // counts per second
    ULONGLONG m_llStart;      // 0 after Close
    ULONGLONG m_llLapStart;
    WCHAR m_szName[kNameLength];
};

// A CPerfInfoBase that closes itself (no label, threshold 0) when destroyed.
class QZOBJ_API CPerfInfo : public CPerfInfoBase {
  public:
    explicit CPerfInfo(const WCHAR* name) : CPerfInfoBase(name) {}
    ~CPerfInfo() override;
};

// Accumulates the elapsed counter time of many events and reports their number and the time
// per event.
//
// Thread safety: Lapse may be called from any number of threads at once (atomic additions); the
// readers give a snapshot. An event is counted and its time added as two separate additions, so
// a reader running alongside may see one without the other.
class QZOBJ_API CBasePerfItem {
  public:
    CBasePerfItem() = default;
    CBasePerfItem(const CBasePerfItem&) = delete;
    CBasePerfItem& operator=(const CBasePerfItem&) = delete;

    // The current value of the high-resolution counter: what Lapse takes as its start.
    static ULONGLONG GetCount();
    // Counts per second of that counter, read once when the library loads.
    static ULONGLONG GetFrequency();

    // Adds the counts elapsed since `start` and counts one event.
    void Lapse(ULONGLONG start);
    // With debug output on prints "\r<name> [<events> events]: <ms per event> ms\r\n" (the name
    // cut to 23 characters, padded to 24; channel 0, level 15). The time per event is the total
    // divided by the number of events; 0 without events.
    void Dump(const char* name) const;

    DWORD GetEvents() const { return m_uEvents.load(std::memory_order_relaxed); }
    ULONGLONG GetCounts() const { return m_llCounts.load(std::memory_order_relaxed); }
    // Milliseconds per event; 0 without events.
    double GetAverageMs() const;
    // Forgets every event.
    void Clear();

  private:
    std::atomic<ULONGLONG> m_llCounts{0};  // accumulated counts
    std::atomic<DWORD> m_uEvents{0};       // number of events
};
