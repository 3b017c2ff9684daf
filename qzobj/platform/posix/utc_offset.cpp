// The local time zone's current offset from UTC, from localtime_r.
#include "qzobj/platform/utc_offset.h"

#include <time.h>

namespace qzo::platform {

long LocalUtcOffsetSeconds() {
    const time_t now = time(nullptr);
    struct tm local {};
    if (!localtime_r(&now, &local)) return 0;
    return local.tm_gmtoff;
}

}  // namespace qzo::platform
