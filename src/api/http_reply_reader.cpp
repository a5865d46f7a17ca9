#include "api/http_reply_reader.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>

#include "core/error.h"

namespace velmar::api {

namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// Takes the first line off `text` and returns it without its line ending.
std::string_view NextLine(std::string_view& text) {
  std::size_t end = text.find('\n');
  std::string_view line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// "HTTP/1.1 200 OK" gives 200; anything else is not an HTTP status line.
int StatusOf(std::string_view line) {
  int status = 0;
  if (line.size() < 12 || !line.starts_with("HTTP/") || line[8] != ' ' ||
      std::from_chars(line.data() + 9, line.data() + 12, status).ptr != line.data() + 12 ||
      (line.size() > 12 && line[12] != ' '))
    throw Error("The server's reply is not HTTP.");
  return status;
}

}  // namespace

std::size_t HttpReplyReader::ParseLength(std::string_view text, int base, const char* what) const {
  std::size_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size())
    throw Error(std::string("The server's reply has an invalid ") + what + ".");
  if (value > maxBodyBytes_) throw Error(ReplyTooLargeMessage(maxBodyBytes_));
  return value;
}

std::string_view HttpReplyReader::Unread() const {
  return std::string_view(buffer_).substr(consumed_);
}

// Takes one line ending in LF (a CR before it is dropped); false when none is complete yet.
bool HttpReplyReader::TakeLine(std::string_view& line) {
  std::string_view unread = Unread();
  std::size_t end = unread.find('\n');
  if (end == std::string_view::npos) {
    if (unread.size() > kMaxHeadBytes) throw Error("The server's reply has a line too long.");
    return false;
  }
  if (end > kMaxHeadBytes) throw Error("The server's reply has a line too long.");
  line = unread.substr(0, end);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  consumed_ += end + 1;
  return true;
}

void HttpReplyReader::TakeBody(std::size_t count) {
  if (bodyBytes_ + count > maxBodyBytes_) throw Error(ReplyTooLargeMessage(maxBodyBytes_));
  if (sink_ != nullptr) {
    if (count != 0) sink_->Take(reply_.status, std::string_view(buffer_).substr(consumed_, count));
  } else {
    reply_.body.append(buffer_, consumed_, count);
  }
  bodyBytes_ += count;
  consumed_ += count;
}

// Takes what has arrived of the remaining_ body or chunk bytes; true once all of them are in.
bool HttpReplyReader::TakeRemaining() {
  std::size_t count = std::min(remaining_, Unread().size());
  TakeBody(count);
  remaining_ -= count;
  return remaining_ == 0;
}

// Reads the status line and headers of one response and decides how its body is delimited.
void HttpReplyReader::StartBody(std::string_view head) {
  std::string_view statusLine = NextLine(head);
  reply_.statusLine.assign(statusLine);
  reply_.status = StatusOf(statusLine);
  if (reply_.status >= 100 && reply_.status < 200) return;  // interim: the next head follows

  bool chunked = false;
  bool otherCoding = false;
  // HTTP/1.1 keeps the connection unless told otherwise; HTTP/1.0 only when told to.
  const bool http10 = statusLine.starts_with("HTTP/1.0");
  bool keepAlive = !http10;
  std::optional<std::size_t> length;
  while (!head.empty()) {
    std::string_view line = NextLine(head);
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = line.substr(0, colon);
    std::string_view value = TrimSpaces(line.substr(colon + 1));
    if (EqualsNoCase(name, "Content-Length")) {
      std::size_t parsed = ParseLength(value, 10, "Content-Length");
      if (length && *length != parsed)
        throw Error("The server's reply has conflicting Content-Length headers.");
      length = parsed;
    } else if (EqualsNoCase(name, "Transfer-Encoding")) {
      // Only the last coding decides how the body ends.
      std::size_t comma = value.rfind(',');
      std::string_view last =
          TrimSpaces(comma == std::string_view::npos ? value : value.substr(comma + 1));
      chunked = EqualsNoCase(last, "chunked");
      otherCoding = !chunked;
    } else if (EqualsNoCase(name, "Connection")) {
      if (EqualsNoCase(value, "close")) keepAlive = false;
      if (http10 && EqualsNoCase(value, "keep-alive")) keepAlive = true;
    }
  }

  if (reply_.status == 204 || reply_.status == 304) {
    phase_ = Phase::Done;
  } else if (chunked) {
    phase_ = Phase::ChunkSize;
  } else if (otherCoding || !length) {
    phase_ = Phase::UntilEnd;
    keepAlive = false;
  } else {
    remaining_ = *length;
    // The body's size is known (and within the limit): one allocation instead of a string that
    // doubles its way up and briefly holds twice the body while it moves.
    if (sink_ == nullptr) reply_.body.reserve(remaining_);
    phase_ = remaining_ == 0 ? Phase::Done : Phase::Body;
  }
  reply_.connectionEnds = !keepAlive;
}

bool HttpReplyReader::Feed(std::string_view bytes) {
  if (phase_ == Phase::Done) return true;
  buffer_.erase(0, consumed_);
  consumed_ = 0;
  buffer_.append(bytes);

  for (;;) {
    std::string_view unread = Unread();
    std::string_view line;
    switch (phase_) {
      case Phase::Head: {
        // The head ends at the first empty line; blank lines before a status line are skipped.
        while (unread.starts_with("\r\n") || unread.starts_with("\n")) {
          consumed_ += unread[0] == '\r' ? 2 : 1;
          unread = Unread();
        }
        std::size_t end = std::string_view::npos;
        for (std::size_t i = unread.find('\n', headScanned_); i != std::string_view::npos;
             i = unread.find('\n', i + 1)) {
          if (i + 1 >= unread.size()) break;  // what follows has not arrived yet
          if (unread[i + 1] == '\n') {
            end = i + 2;
            break;
          }
          if (unread[i + 1] == '\r') {
            if (i + 2 >= unread.size()) break;
            if (unread[i + 2] == '\n') {
              end = i + 3;
              break;
            }
          }
        }
        if (end == std::string_view::npos) {
          if (unread.size() > kMaxHeadBytes) throw Error("The server's reply head is too long.");
          headScanned_ = unread.size() < 2 ? 0 : unread.size() - 2;
          return false;
        }
        if (end > kMaxHeadBytes) throw Error("The server's reply head is too long.");
        headScanned_ = 0;
        consumed_ += end;
        StartBody(unread.substr(0, end));
        break;
      }
      case Phase::Body:
        if (!TakeRemaining()) return false;
        phase_ = Phase::Done;
        break;
      case Phase::ChunkSize: {
        if (!TakeLine(line)) return false;
        std::string_view size = TrimSpaces(line.substr(0, line.find(';')));
        remaining_ = ParseLength(size, 16, "chunk size");
        phase_ = remaining_ == 0 ? Phase::Trailer : Phase::ChunkData;
        break;
      }
      case Phase::ChunkData:
        if (!TakeRemaining()) return false;
        phase_ = Phase::ChunkEnd;
        break;
      case Phase::ChunkEnd:
        if (!TakeLine(line)) return false;
        if (!line.empty()) throw Error("The server's reply has a malformed chunk.");
        phase_ = Phase::ChunkSize;
        break;
      case Phase::Trailer:
        if (!TakeLine(line)) return false;
        if (line.empty()) phase_ = Phase::Done;
        break;
      case Phase::UntilEnd:
        TakeBody(unread.size());
        return false;
      case Phase::Done:
        return true;
    }
  }
}

void HttpReplyReader::FinishAtEnd() {
  if (phase_ == Phase::UntilEnd) phase_ = Phase::Done;
  if (phase_ == Phase::Done) return;
  if (phase_ == Phase::Head && Unread().empty() && reply_.statusLine.empty())
    throw Error("The server closed the connection without a reply.");
  throw Error("The server closed the connection before the reply was complete.");
}

}  // namespace velmar::api
