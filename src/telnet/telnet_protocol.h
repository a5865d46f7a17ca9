#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmar::telnet {

// Telnet command and option codes (RFC 854, 855, 856, 860, 1073).
namespace code {
inline constexpr unsigned char kSE = 240, kNOP = 241, kDM = 242, kBRK = 243, kIP = 244, kAO = 245,
                               kAYT = 246, kEC = 247, kEL = 248, kGA = 249, kSB = 250, kWILL = 251,
                               kWONT = 252, kDO = 253, kDONT = 254, kIAC = 255;
inline constexpr unsigned char kBinary = 0, kEcho = 1, kSuppressGoAhead = 3, kTimingMark = 6,
                               kNaws = 31;
}  // namespace code

// What the client's byte stream means once the Telnet commands are taken out of it, in the
// order the bytes arrived.
struct ProtocolEvent {
  enum class Kind : std::uint8_t {
    kData,         // one data byte (IAC IAC gives 255)
    kInterrupt,    // IAC IP or IAC BRK
    kEraseChar,    // IAC EC
    kEraseLine,    // IAC EL
    kAbortOutput,  // IAC AO
  };
  Kind kind;
  unsigned char byte = 0;
};

// The server side of the Telnet protocol for one connection: takes the client's bytes apart
// into data and commands, and works out the answers.
//
// - Option negotiation follows RFC 1143 (no answer to a refusal, no loops). Supported: BINARY
//   in both directions and the client's NAWS; every other option is refused, each request
//   once. DO TIMING-MARK is answered with WILL TIMING-MARK every time (RFC 860).
// - Nothing is sent while the client has sent no Telnet command, so a plain socket client
//   never sees an IAC byte. With the client's first command the server offers BINARY both
//   ways, which keeps clients from taking bytes such as 0x9C for their own keys.
// - IAC AYT is answered with "[Yes]" CR LF; NOP, DM, GA and unknown commands are ignored.
// - A subnegotiation is read up to IAC SE; one of more than kMaxSubnegotiation bytes is
//   dropped whole, and nothing of it reaches the data.
class TelnetProtocol {
 public:
  static constexpr std::size_t kMaxSubnegotiation = 512;
  static constexpr std::int32_t kMinWidth = 20;
  static constexpr std::int32_t kMaxWidth = 1000;

  // Parses `bytes`; appends their meaning to `events` and the bytes to send back to
  // `answers`. Input may be split anywhere; state carries over between calls.
  void feed(std::string_view bytes, std::vector<ProtocolEvent>& events, std::string& answers);

  // The window width the client last reported (NAWS), kept within kMinWidth..kMaxWidth;
  // 0 while it has reported none.
  std::int32_t windowWidth() const { return windowWidth_; }
  // The window height the client last reported with its width, at most kMaxWidth rows; 0
  // while it has reported none.
  std::int32_t windowHeight() const { return windowHeight_; }
  // Whether the client has sent any Telnet command.
  bool negotiating() const { return negotiating_; }
  // Offers (true) or withdraws (false) the server's ECHO, the way a server asks a client to
  // stop its local echo while a password is typed; the server itself echoes nothing. A
  // client's own DO ECHO is refused while no offer stands.
  void offerEcho(bool on, std::string& answers);
  // Bytes held of the subnegotiation being read (never more than kMaxSubnegotiation).
  std::size_t pendingSubnegotiation() const { return sb_.size(); }

 private:
  enum class State : std::uint8_t { kData, kIac, kOption, kSbOption, kSb, kSbIac };
  // RFC 1143 option states; the queue states are not kept: the server changes its mind
  // only about ECHO, and then sends the new request at once.
  enum class Q : std::uint8_t { kNo, kYes, kWantNo, kWantYes };

  void command(unsigned char byte, std::vector<ProtocolEvent>& events, std::string& answers);
  void negotiate(unsigned char verb, unsigned char option, std::string& answers);
  void subnegotiation();
  void startNegotiating(std::string& answers);

  State state_ = State::kData;
  unsigned char verb_ = 0;
  unsigned char sbOption_ = 0;
  bool sbOverflow_ = false;
  std::string sb_;
  bool negotiating_ = false;
  Q usBinary_ = Q::kNo;
  Q usEcho_ = Q::kNo;
  Q himBinary_ = Q::kNo;
  Q himNaws_ = Q::kNo;
  std::int32_t windowWidth_ = 0;
  std::int32_t windowHeight_ = 0;
};

}  // namespace velmar::telnet
