// The HTTP reply reader on arbitrary server bytes: it must never crash or hang, never return a
// body beyond its limit, and read the same reply however the bytes are split into receives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "api/http_reply_reader.h"
#include "core/error.h"

namespace {

struct Outcome {
  bool failed = false;
  std::string error, statusLine, body;
  bool operator==(const Outcome&) const = default;
};

Outcome Read(std::string_view bytes, std::size_t step) {
  velmar::api::HttpReplyReader reader;
  Outcome outcome;
  try {
    bool done = false;
    for (std::size_t at = 0; at < bytes.size() && !done; at += step)
      done = reader.Feed(bytes.substr(at, step));
    if (!done) reader.FinishAtEnd();
    outcome.statusLine = reader.reply().statusLine;
    outcome.body = reader.reply().body;
    if (outcome.body.size() > velmar::api::kDefaultMaxReplyBytes) std::abort();
  } catch (const velmar::Error& error) {
    outcome.failed = true;
    outcome.error = error.what();
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the size of the pieces; the rest is what the server sent.
  const std::size_t step = data[0] % 16 + 1;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if (!(Read(bytes, step) == Read(bytes, bytes.size() + 1))) std::abort();
  return 0;
}
