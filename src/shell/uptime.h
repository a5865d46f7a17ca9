#pragma once

#include <cstdint>
#include <string>

#include "telnet/session.h"

namespace velmar::shell {

// "2 days, 3 hours, 4 minutes": days and hours only when not 0, minutes always; the words
// are always plural.
std::u16string MakeUptimeString(std::int32_t days, std::int32_t hours, std::int32_t minutes);

// The same for a duration in milliseconds: whole days (toward zero), then the hours and
// minutes of the rest of the day.
std::u16string MakeUptimeString(std::int64_t milliseconds);

// The moment the service was switched on, as Unix milliseconds; process-wide, read by every
// connection. The application sets it when it switches the service on; until then it holds
// the moment the process started.
void SetUptimeStart(std::int64_t unixMilliseconds);
// Sets it to now (the clock in force).
void SetUptimeStart();
std::int64_t UptimeStart();

// The uptime command: three lines, for the server ("IPS: "), the service ("Velmar: ") and
// the host it runs on ("Velmar Server: ", the time since the host started).
// Anything after the command word but -json (the three as one document) is ignored. A failing
// server request leaves the command before anything is written.
void Uptime(telnet::Session& session, const std::u16string& commandline);

}  // namespace velmar::shell
