#include "telnet/telnet_protocol.h"

#include <algorithm>

namespace velmar::telnet {

namespace {

using Kind = ProtocolEvent::Kind;

void send(std::string& answers, unsigned char verb, unsigned char option) {
  answers.push_back(static_cast<char>(code::kIAC));
  answers.push_back(static_cast<char>(verb));
  answers.push_back(static_cast<char>(option));
}

}  // namespace

void TelnetProtocol::feed(std::string_view bytes, std::vector<ProtocolEvent>& events,
                          std::string& answers) {
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    switch (state_) {
      case State::kData:
        if (byte == code::kIAC) {
          state_ = State::kIac;
        } else {
          events.push_back({Kind::kData, byte});
        }
        break;
      case State::kIac:
        if (byte == code::kIAC) {
          events.push_back({Kind::kData, byte});
          state_ = State::kData;
          break;
        }
        if (!negotiating_) startNegotiating(answers);
        command(byte, events, answers);
        break;
      case State::kOption:
        negotiate(verb_, byte, answers);
        state_ = State::kData;
        break;
      case State::kSbOption:
        sbOption_ = byte;
        sb_.clear();
        sbOverflow_ = false;
        state_ = State::kSb;
        break;
      case State::kSb:
        if (byte == code::kIAC) {
          state_ = State::kSbIac;
        } else if (sb_.size() < kMaxSubnegotiation) {
          sb_.push_back(static_cast<char>(byte));
        } else {
          sbOverflow_ = true;
        }
        break;
      case State::kSbIac:
        if (byte == code::kIAC) {
          if (sb_.size() < kMaxSubnegotiation) {
            sb_.push_back(static_cast<char>(byte));
          } else {
            sbOverflow_ = true;
          }
          state_ = State::kSb;
        } else if (byte == code::kSE) {
          if (!sbOverflow_) subnegotiation();
          sb_.clear();
          state_ = State::kData;
        } else {
          // A command inside a subnegotiation: the client broke it off. Drop what was read
          // and take the byte as the command it is.
          sb_.clear();
          command(byte, events, answers);
        }
        break;
    }
  }
}

void TelnetProtocol::startNegotiating(std::string& answers) {
  negotiating_ = true;
  usBinary_ = Q::kWantYes;
  send(answers, code::kWILL, code::kBinary);
  himBinary_ = Q::kWantYes;
  send(answers, code::kDO, code::kBinary);
}

void TelnetProtocol::command(unsigned char byte, std::vector<ProtocolEvent>& events,
                             std::string& answers) {
  state_ = State::kData;
  switch (byte) {
    case code::kWILL:
    case code::kWONT:
    case code::kDO:
    case code::kDONT:
      verb_ = byte;
      state_ = State::kOption;
      break;
    case code::kSB:
      state_ = State::kSbOption;
      break;
    case code::kIP:
    case code::kBRK:
      events.push_back({Kind::kInterrupt});
      break;
    case code::kEC:
      events.push_back({Kind::kEraseChar});
      break;
    case code::kEL:
      events.push_back({Kind::kEraseLine});
      break;
    case code::kAO:
      events.push_back({Kind::kAbortOutput});
      break;
    case code::kAYT:
      answers += "[Yes]\r\n";
      break;
    default:
      break;  // NOP, DM, GA, a stray SE and unknown commands
  }
}

void TelnetProtocol::negotiate(unsigned char verb, unsigned char option, std::string& answers) {
  // The state of the option on the side the verb is about, or null when unsupported.
  Q* us = option == code::kBinary ? &usBinary_ : option == code::kEcho ? &usEcho_ : nullptr;
  Q* him = option == code::kBinary ? &himBinary_ : option == code::kNaws ? &himNaws_ : nullptr;
  switch (verb) {
    case code::kDO:
      if (us == &usEcho_ && usEcho_ == Q::kNo) {
        send(answers, code::kWONT, option);  // the server echoes only to hide a password
      } else if (us == nullptr) {
        // TIMING-MARK is a one-shot: answered every time, it never becomes "enabled".
        send(answers, option == code::kTimingMark ? code::kWILL : code::kWONT, option);
      } else if (*us == Q::kNo) {
        *us = Q::kYes;
        send(answers, code::kWILL, option);
      } else if (*us != Q::kYes) {
        *us = *us == Q::kWantYes ? Q::kYes : Q::kNo;
      }
      break;
    case code::kDONT:
      if (us == nullptr || *us == Q::kNo) break;
      if (*us == Q::kYes) send(answers, code::kWONT, option);
      *us = Q::kNo;
      break;
    case code::kWILL:
      if (him == nullptr) {
        send(answers, code::kDONT, option);
      } else if (*him == Q::kNo) {
        *him = Q::kYes;
        send(answers, code::kDO, option);
      } else if (*him != Q::kYes) {
        *him = *him == Q::kWantYes ? Q::kYes : Q::kNo;
      }
      break;
    case code::kWONT:
      if (him == nullptr || *him == Q::kNo) break;
      if (*him == Q::kYes) send(answers, code::kDONT, option);
      *him = Q::kNo;
      break;
    default:
      break;
  }
}

void TelnetProtocol::offerEcho(bool on, std::string& answers) {
  if (on && (usEcho_ == Q::kNo || usEcho_ == Q::kWantNo)) {
    usEcho_ = Q::kWantYes;
    send(answers, code::kWILL, code::kEcho);
  } else if (!on && (usEcho_ == Q::kYes || usEcho_ == Q::kWantYes)) {
    usEcho_ = Q::kWantNo;
    send(answers, code::kWONT, code::kEcho);
  }
}

void TelnetProtocol::subnegotiation() {
  // NAWS (RFC 1073): width and height, 16 bits each, high byte first. Zero means unknown.
  if (sbOption_ != code::kNaws || sb_.size() != 4) return;
  const auto b0 = static_cast<unsigned char>(sb_[0]);
  const auto b1 = static_cast<unsigned char>(sb_[1]);
  const std::int32_t width = (b0 << 8) | b1;
  if (width == 0) return;
  windowWidth_ = std::clamp(width, kMinWidth, kMaxWidth);
  const auto b2 = static_cast<unsigned char>(sb_[2]);
  const auto b3 = static_cast<unsigned char>(sb_[3]);
  windowHeight_ = std::min((b2 << 8) | b3, kMaxWidth);
}

}  // namespace velmar::telnet
