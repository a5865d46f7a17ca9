#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace velmar::platform {

// The host's offset from UTC in days, with the sign of UTC minus local time: a zone one hour
// east of UTC gives -1/24. Daylight-saving time counts while it is in force. When the host
// cannot tell its zone the result is 0.

// The offset in force now.
double TimeZoneBias();

// The offset that was (or will be) in force at the given moment, in Unix seconds.
double TimeZoneBiasAt(std::int64_t unixSeconds);

// The moment `unixSeconds` as the host's local time in ISO 8601, with the offset from UTC that
// was in force at that moment: "2026-12-11T14:03:12+01:00" ("+00:00" in UTC). Empty for a
// moment beyond the years the host's calendar holds.
std::string FormatIso8601(std::int64_t unixSeconds);

// The moment at which the host's clock reads the local time `tm` (tm_isdst ignored; months,
// days, hours, minutes and seconds beyond their range count on into the next). In a gap that
// a change to daylight-saving time leaves, the moment the clock reads that time with the
// offset in force before the gap. Safe to call from any thread: unlike mktime it never
// re-reads TZ, which glibc does under a lock that thread checkers cannot see.
std::int64_t LocalToUnix(const std::tm& tm);

}  // namespace velmar::platform
