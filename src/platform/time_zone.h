#pragma once

#include <cstdint>

namespace velmar::platform {

// The host's offset from UTC in days, with the sign of UTC minus local time: a zone one hour
// east of UTC gives -1/24. Daylight-saving time counts while it is in force. When the host
// cannot tell its zone the result is 0.

// The offset in force now.
double TimeZoneBias();

// The offset that was (or will be) in force at the given moment, in Unix seconds.
double TimeZoneBiasAt(std::int64_t unixSeconds);

}  // namespace velmar::platform
