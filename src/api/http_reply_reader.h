#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "api/http_message.h"

namespace velmar::api {

// Reads one HTTP/1.1 response from the bytes of a connection as they arrive: skips interim
// (1xx) responses, takes the body by Content-Length, by chunked transfer coding or up to the
// end of the connection, and stops at the end of the response. Malformed or oversized input
// raises velmar::Error with a message that says what was wrong.
class HttpReplyReader {
 public:
  // Larger heads or bodies are refused: a broken server must not grow a thread's memory
  // without bound.
  static constexpr std::size_t kMaxHeadBytes = 64 * 1024;

  // With a sink, the body goes there as it arrives instead of into reply().body.
  explicit HttpReplyReader(std::size_t maxBodyBytes = kDefaultMaxReplyBytes,
                           HttpBodySink* sink = nullptr)
      : maxBodyBytes_(maxBodyBytes), sink_(sink) {}

  // Takes the next bytes; returns true once the response is complete. Bytes after the end of
  // the response are ignored.
  bool Feed(std::string_view bytes);

  // The connection has ended. Completes a body that runs to the end of the connection; raises
  // when the response is not complete.
  void FinishAtEnd();

  // The response read so far; whole once Feed has returned true or FinishAtEnd has passed.
  HttpReply& reply() { return reply_; }

 private:
  enum class Phase { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailer, UntilEnd, Done };

  std::string_view Unread() const;
  bool TakeLine(std::string_view& line);
  void TakeBody(std::size_t count);
  bool TakeRemaining();
  void StartBody(std::string_view head);
  std::size_t ParseLength(std::string_view text, int base, const char* what) const;

  std::size_t maxBodyBytes_;
  HttpBodySink* sink_;
  std::size_t bodyBytes_ = 0;  // of the final reply, kept or handed to the sink

  Phase phase_ = Phase::Head;
  std::string buffer_;  // bytes received and not consumed yet, from consumed_ on
  std::size_t consumed_ = 0;
  std::size_t headScanned_ = 0;  // how far the search for the end of the head has come
  std::size_t remaining_ = 0;    // bytes of the body or of the chunk still to come
  HttpReply reply_;
};

}  // namespace velmar::api
