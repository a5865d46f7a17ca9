// Whether the service may trust a file that decides who gets in (the users file): only root
// and the service's own user may have written it, as OpenSSH's StrictModes asks of the files
// it trusts. A file that anyone else could have put in place is refused, not read.
#pragma once

#include <sys/types.h>

#include <string>

namespace velmar::access {

// Why the file open as `fd`, opened by the name `path`, must not be trusted; empty when it
// may be. Refused: a file that its group or others may write, or that belongs to another user
// than root or `owner` (the user the service runs as); a file in a folder that others may
// write without the sticky bit (they could replace it), checked for every folder on the way to
// the file and, where `path` leads through symbolic links, on the way to each link too. The
// reason names the file or folder and the command that mends it.
std::string WhyUntrusted(int fd, const std::string& path, uid_t owner);

}  // namespace velmar::access
