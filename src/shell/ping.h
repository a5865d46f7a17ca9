#pragma once

#include <string>
#include <string_view>

#include "telnet/session.h"

namespace velmar::shell {

// Whether `ipAddr` is a dotted-quad IPv4 address: four groups of decimal digits (leading
// zeros allowed, each at most 255) separated by dots, nothing before or after them, and not
// all four groups zero.
bool isValidIP(std::u16string_view ipAddr);

// The first IPv4 address of `hostname` (code-page text) as dotted-quad text, or the empty
// text when the name does not resolve.
std::string NameToIPAddr(const std::string& hostname);

// The ping command: four ICMP echo requests to the host given as the first argument (an
// address or a name), one second apart, one line per attempt:
// "  Answer from <ip> in <n>ms." or "  No answer from <ip>". A host that cannot be
// resolved gives the single line "Exception: " and the reason.
void Ping(telnet::Session& session, const std::u16string& commandline);

}  // namespace velmar::shell
