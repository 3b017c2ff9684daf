// What the mailslot's parts share inside the library: the reader's link to its object and
// box, and the workgroup refresh period (settable so tests need not wait 10 minutes).
#pragma once

#include <memory>

#include "qzobj/mailslot.h"
#include "qzobj/os/mailslot_transport.h"

namespace qzo::mail {

inline constexpr DWORD kDefaultRefreshPeriod = 600000;  // 10 minutes
inline constexpr DWORD kReaderStopWait = 3000;
// Workgroup files older than this (in 100 ns units: 1,200 s) belong to computers that are gone.
inline constexpr uint64_t kWorkgroupFileLifetime = 12000000000ull;

// The refresh period in milliseconds; 0 restores 10 minutes. Affects readers started later and
// the next wait of running ones.
void SetWorkgroupRefreshPeriod(DWORD milliseconds);
DWORD WorkgroupRefreshPeriod();

// The reader thread's view of an open mailslot. The reader holds a reference, so the box stays
// bound until the reader has ended, also when the object closed it from OnMailItem.
struct ReaderLink {
    COSMailslot* self;
    std::shared_ptr<OwnBox> box;

    static DWORD Run(void* parameter);  // takes a heap-allocated std::shared_ptr<ReaderLink>
    // Handles one datagram; false ends the reader.
    bool Handle(const BYTE* data, size_t length);

  private:
    bool HandleItem(tagMAILITEM* item);
};

}  // namespace qzo::mail
