#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "api/http_reply_reader.h"
#include "api/plain_http.h"
#include "core/error.h"

namespace velmar::api {
namespace {

struct Outcome {
  std::string statusLine;
  std::string body;
  std::string error;  // empty: read whole
};

// Takes a body as it arrives, with the status it came with.
struct CollectingSink : HttpBodySink {
  void Take(long status, std::string_view bytes) noexcept override {
    statuses += std::to_string(status) + " ";
    body.append(bytes);
  }
  std::string statuses, body;
};

// Reads `bytes` fed in pieces of `step` bytes, then the end of the connection; the body into
// the reply, or with `sink` into a sink as it arrives.
Outcome Read(const std::string& bytes, std::size_t step,
             std::size_t maxBody = kDefaultMaxReplyBytes, bool sink = false) {
  CollectingSink collected;
  HttpReplyReader reader(maxBody, sink ? &collected : nullptr);
  Outcome outcome;
  try {
    bool done = false;
    for (std::size_t at = 0; at < bytes.size() && !done; at += step)
      done = reader.Feed(std::string_view(bytes).substr(at, step));
    if (!done) reader.FinishAtEnd();
    outcome.statusLine = reader.reply().statusLine;
    outcome.body = reader.reply().body;
  } catch (const Error& error) {
    outcome.error = error.what();
  }
  if (sink) {
    // Only the body of the final reply reaches the sink, all with the final status.
    EXPECT_EQ(outcome.body, "");
    if (outcome.error.empty() && !collected.body.empty()) {
      const std::string status = std::to_string(reader.reply().status) + " ";
      EXPECT_EQ(collected.statuses.find_first_not_of(status), std::string::npos);
      EXPECT_EQ(collected.statuses.size() % status.size(), 0u);
    }
    outcome.body = collected.body;
  }
  return outcome;
}

TEST(HttpReplyReader, ReadsEveryWayABodyCanBeDelimited) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string statusLine, body;
  };
  const Case cases[] = {
      {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 200 OK", "hello"},
      {"bytes after the reply are not its body",
       "HTTP/1.1 200 OK\r\ncontent-length:  2 \r\n\r\nokEXTRA", "HTTP/1.1 200 OK", "ok"},
      {"zero length", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 200 OK", ""},
      {"chunked with extension and trailer",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
       "5;x=y\r\nhello\r\nA\r\n, world!!!\r\n0\r\nX-Trailer: 1\r\n\r\n",
       "HTTP/1.1 200 OK", "hello, world!!!"},
      {"chunked wins over a length",
       "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n"
       "2\r\nab\r\n0\r\n\r\n",
       "HTTP/1.1 200 OK", "ab"},
      {"until the end", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nall of it", "HTTP/1.1 200 OK",
       "all of it"},
      {"bare LF line endings", "HTTP/1.1 200 OK\nContent-Length: 3\n\nabc", "HTTP/1.1 200 OK",
       "abc"},
      {"interim replies are skipped",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nX: y\r\n\r\n"
       "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\noops",
       "HTTP/1.1 500 Internal Server Error", "oops"},
      {"no body after 204", "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n",
       "HTTP/1.1 204 No Content", ""},
      {"status line without reason", "HTTP/1.0 200\r\nContent-Length: 1\r\n\r\nx", "HTTP/1.0 200",
       "x"},
  };
  for (const Case& c : cases)
    for (std::size_t step : {std::size_t{1}, std::size_t{7}, c.bytes.size()})
      for (bool sink : {false, true}) {
        Outcome outcome = Read(c.bytes, step, kDefaultMaxReplyBytes, sink);
        EXPECT_EQ(outcome.error, "") << c.name << ", step " << step << ", sink " << sink;
        EXPECT_EQ(outcome.statusLine, c.statusLine) << c.name << ", step " << step;
        EXPECT_EQ(outcome.body, c.body) << c.name << ", step " << step << ", sink " << sink;
      }
}

TEST(HttpReplyReader, RefusesWhatIsBrokenOrTooLarge) {
  const std::string big = std::to_string(kDefaultMaxReplyBytes + 1);
  struct Case {
    std::string bytes;
    std::string error;
  };
  const Case cases[] = {
      {"", "The server closed the connection without a reply."},
      {"<html>not http</html>\r\n\r\n", "The server's reply is not HTTP."},
      {"HTTP/1.1 2x0 OK\r\n\r\n", "The server's reply is not HTTP."},
      {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort",
       "The server closed the connection before the reply was complete."},
      {"HTTP/1.1 200 OK\r\nContent-Le",
       "The server closed the connection before the reply was complete."},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n",
       "The server's reply has an invalid Content-Length."},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
       "The server's reply has conflicting Content-Length headers."},
      {"HTTP/1.1 200 OK\r\nContent-Length: " + big + "\r\n\r\n",
       "The server's reply is larger than 32 MiB."},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
       "The server's reply has an invalid chunk size."},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n",
       "The server's reply has a malformed chunk."},
      {"HTTP/1.1 200 OK\r\n" + std::string(HttpReplyReader::kMaxHeadBytes + 10, 'x'),
       "The server's reply head is too long."},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Read(c.bytes, 4096).error, c.error) << c.bytes.substr(0, 60);
}

TEST(HttpReplyReader, RefusesABodyOverItsLimitHoweverItIsDelimited) {
  const std::string head = "HTTP/1.1 200 OK\r\n";
  const std::string eleven(11, 'x');
  struct Case {
    std::string bytes;
    std::size_t limit;
    std::string error;
  };
  const Case cases[] = {
      {head + "Content-Length: 11\r\n\r\n" + eleven, 10,
       "The server's reply is larger than 10 bytes."},
      {head + "Transfer-Encoding: chunked\r\n\r\n6\r\nxxxxxx\r\n5\r\nxxxxx\r\n0\r\n\r\n", 10,
       "The server's reply is larger than 10 bytes."},
      {head + "Connection: close\r\n\r\n" + eleven, 10,
       "The server's reply is larger than 10 bytes."},
      {head + "Content-Length: " + std::to_string(2 * kMebibyte + 1) + "\r\n\r\n", 2 * kMebibyte,
       "The server's reply is larger than 2 MiB."},
      // Exactly at the limit is still a reply.
      {head + "Content-Length: 10\r\n\r\n" + std::string(10, 'x'), 10, ""},
  };
  for (const Case& c : cases)
    for (std::size_t step : {std::size_t{1}, std::size_t{4096}})
      for (bool sink : {false, true})
        EXPECT_EQ(Read(c.bytes, step, c.limit, sink).error, c.error) << c.bytes.substr(0, 60);
}

TEST(PlainHttp, TakesOnlyPlainUrlsWithNumericHosts) {
  struct Case {
    std::string url;
    std::optional<std::string> hostHeader;
  };
  const Case cases[] = {
      {"http://127.0.0.1:3777/api/", "127.0.0.1:3777"},
      {"http://[::1]:3777/api/", "[::1]:3777"},
      {"http://10.1.2.3:80/api/", "10.1.2.3"},
      {"https://127.0.0.1:3777/api/", std::nullopt},
      {"http://localhost:3777/api/", std::nullopt},
      {"http://127.0.0.1:0/api/", std::nullopt},
      {"http://127.0.0.1:65536/api/", std::nullopt},
      {"http://127.0.0.1:-1/api/", std::nullopt},
      {"http://127.1:3777/api/", std::nullopt},
      {"http://[fe80::1%eth0]:3777/api/", std::nullopt},
  };
  for (const Case& c : cases) {
    std::optional<PlainTarget> target = PlainTargetOf(c.url);
    ASSERT_EQ(target.has_value(), c.hostHeader.has_value()) << c.url;
    if (target) {
      EXPECT_EQ(target->hostHeader, *c.hostHeader);
      EXPECT_EQ(target->path, "/api/");
    }
  }
}

}  // namespace
}  // namespace velmar::api
