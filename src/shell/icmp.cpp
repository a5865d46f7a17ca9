#include "shell/icmp.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>

#include "core/error.h"
#include "platform/unique_fd.h"

namespace velmar::shell::icmp {
namespace {

constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kDestinationUnreachable = 3;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kTimeExceeded = 11;
constexpr std::uint8_t kParameterProblem = 12;
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kDataSize = 32;

// An open ICMP socket; `datagram` says whether it is the unprivileged kind, which hands over
// ICMP messages without the IP header and answers only to its own echo identifier.
class EchoSocket {
 public:
  EchoSocket(int fd, bool datagram) : fd_(fd), datagram_(datagram) {}
  int fd() const { return fd_.get(); }
  bool datagram() const { return datagram_; }

 private:
  platform::UniqueFd fd_;
  bool datagram_;
};

// Whether net.ipv4.ping_group_range admits one of the process's groups. When the setting
// cannot be read the answer is yes: the socket call itself then decides.
bool PingSocketsAllowed() {
  std::ifstream file("/proc/sys/net/ipv4/ping_group_range");
  long long low = 0;
  long long high = 0;
  if (!(file >> low >> high)) return true;
  std::vector<gid_t> groups(1, getegid());
  const int count = getgroups(0, nullptr);
  if (count > 0) {
    std::vector<gid_t> more(static_cast<std::size_t>(count));
    const int got = getgroups(count, more.data());
    if (got > 0) groups.insert(groups.end(), more.begin(), more.begin() + got);
  }
  for (gid_t g : groups) {
    if (static_cast<long long>(g) >= low && static_cast<long long>(g) <= high) return true;
  }
  return false;
}

std::optional<EchoSocket> OpenEchoSocket() {
  if (PingSocketsAllowed()) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) return std::optional<EchoSocket>(std::in_place, fd, true);
  }
  const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd >= 0) return std::optional<EchoSocket>(std::in_place, fd, false);
  return std::nullopt;
}

std::uint16_t Checksum(const std::uint8_t* data, std::size_t size) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2) sum += (data[i] << 8) | data[i + 1];
  if (size % 2 != 0) sum += data[size - 1] << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

std::uint16_t ReadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

// Identifier and sequence number of the next request; together they tell this request's
// reply from everything else that a raw socket sees.
std::uint16_t NextSequence() {
  static std::atomic<std::uint16_t> sequence{0};
  return ++sequence;
}

std::uint16_t Identifier() {
  return static_cast<std::uint16_t>(::getpid());
}

// Reads one ICMP message from a raw socket (IP header first). An error report counts when it
// quotes our request.
ReplyKind ClassifyRaw(const std::uint8_t* p, std::size_t size, const platform::IPv4Address& target,
                      std::uint16_t id, std::uint16_t seq) {
  if (size < 20) return ReplyKind::Unrelated;
  const std::size_t ipHeader = static_cast<std::size_t>(p[0] & 0x0F) * 4;
  if (ipHeader < 20 || size < ipHeader + kHeaderSize) return ReplyKind::Unrelated;
  const std::uint8_t* icmp = p + ipHeader;
  const std::size_t icmpSize = size - ipHeader;
  if (icmp[0] == kEchoReply) {
    const bool fromTarget = std::memcmp(p + 12, target.data(), 4) == 0;
    return fromTarget && ReadU16(icmp + 4) == id && ReadU16(icmp + 6) == seq ? ReplyKind::Answer
                                                                             : ReplyKind::Unrelated;
  }
  if (icmp[0] != kDestinationUnreachable && icmp[0] != kTimeExceeded &&
      icmp[0] != kParameterProblem) {
    return ReplyKind::Unrelated;
  }
  // The report quotes the IP header of our request and the first 8 bytes after it.
  const std::uint8_t* quoted = icmp + kHeaderSize;
  const std::size_t quotedSize = icmpSize - kHeaderSize;
  if (quotedSize < 20) return ReplyKind::Unrelated;
  const std::size_t quotedHeader = static_cast<std::size_t>(quoted[0] & 0x0F) * 4;
  if (quotedHeader < 20 || quotedSize < quotedHeader + kHeaderSize) return ReplyKind::Unrelated;
  const std::uint8_t* request = quoted + quotedHeader;
  const bool ours = quoted[9] == IPPROTO_ICMP && std::memcmp(quoted + 16, target.data(), 4) == 0 &&
                    request[0] == kEchoRequest && ReadU16(request + 4) == id &&
                    ReadU16(request + 6) == seq;
  return ours ? ReplyKind::ErrorReport : ReplyKind::Unrelated;
}

// Reads one message from a datagram socket: the kernel has already matched the identifier
// and strips the IP header.
ReplyKind ClassifyDatagram(const std::uint8_t* p, std::size_t size, std::uint16_t seq) {
  if (size < kHeaderSize) return ReplyKind::Unrelated;
  return p[0] == kEchoReply && ReadU16(p + 6) == seq ? ReplyKind::Answer : ReplyKind::Unrelated;
}

bool AwaitReply(const EchoSocket& socket, const platform::IPv4Address& target, std::uint16_t id,
                std::uint16_t seq, std::uint32_t timeOut) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeOut);
  std::uint8_t buffer[1500];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0) return false;
    pollfd pfd{socket.fd(), POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    sockaddr_in from{};
    socklen_t fromSize = sizeof from;
    const ssize_t got = ::recvfrom(socket.fd(), buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;  // an error the kernel reports for this socket, such as unreachable
    }
    const std::size_t size = static_cast<std::size_t>(got);
    const ReplyKind verdict = ClassifyReply(std::span<const std::uint8_t>(buffer, size),
                                            socket.datagram(), target, id, seq);
    if (verdict == ReplyKind::Answer) return true;
    if (verdict == ReplyKind::ErrorReport) return false;
  }
}

}  // namespace

std::vector<std::uint8_t> EchoRequest(std::uint16_t id, std::uint16_t seq) {
  std::vector<std::uint8_t> packet(kHeaderSize + kDataSize, 0);
  packet[0] = kEchoRequest;
  packet[4] = static_cast<std::uint8_t>(id >> 8);
  packet[5] = static_cast<std::uint8_t>(id);
  packet[6] = static_cast<std::uint8_t>(seq >> 8);
  packet[7] = static_cast<std::uint8_t>(seq);
  for (std::size_t i = 0; i < kDataSize; ++i) packet[kHeaderSize + i] = 'a' + i % 23;
  const std::uint16_t sum = Checksum(packet.data(), packet.size());
  packet[2] = static_cast<std::uint8_t>(sum >> 8);
  packet[3] = static_cast<std::uint8_t>(sum);
  return packet;
}

ReplyKind ClassifyReply(std::span<const std::uint8_t> message, bool datagram,
                        const platform::IPv4Address& target, std::uint16_t id, std::uint16_t seq) {
  return datagram ? ClassifyDatagram(message.data(), message.size(), seq)
                  : ClassifyRaw(message.data(), message.size(), target, id, seq);
}

void TranslateStringToTInAddr(const std::string& aip, platform::IPv4Address& inAddr) {
  const platform::IPv4Resolution r = platform::ResolveIPv4(aip);
  switch (r.status) {
    case platform::ResolveStatus::Resolved:
      inAddr = r.address;
      return;
    case platform::ResolveStatus::NoAddress:
      throw Error("Error on resolving IP from host");
    case platform::ResolveStatus::NotFound:
      break;
  }
  throw Error("invalid hostname or not reachable");
}

bool Ping(const std::string& inetAddress, std::uint32_t timeOut) {
  std::optional<EchoSocket> socket = OpenEchoSocket();
  if (!socket) return false;

  platform::IPv4Address target{};
  TranslateStringToTInAddr(inetAddress, target);

  const std::uint16_t id = Identifier();
  const std::uint16_t seq = NextSequence();
  const std::vector<std::uint8_t> packet = EchoRequest(id, seq);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  std::memcpy(&to.sin_addr.s_addr, target.data(), 4);
  const ssize_t sent = ::sendto(socket->fd(), packet.data(), packet.size(), 0,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent != static_cast<ssize_t>(packet.size())) return false;
  return AwaitReply(*socket, target, id, seq, timeOut);
}

}  // namespace velmar::shell::icmp
