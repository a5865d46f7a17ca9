#pragma once

namespace velmar::platform {

// The host's current offset from UTC in days, with the sign of UTC minus local time: a zone
// one hour east of UTC gives -1/24. Daylight-saving time is included while it is in force.
// When the host cannot tell its zone the result is 0.
double TimeZoneBias();

}  // namespace velmar::platform
