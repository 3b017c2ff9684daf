// The local time zone's offset from UTC, read in ordinary context so that fault handlers can
// turn the clock into local time without calling into the time-zone database.
#pragma once

namespace qzo::platform {

// Seconds to add to UTC for local time at this moment (daylight saving included).
long LocalUtcOffsetSeconds();

}  // namespace qzo::platform
