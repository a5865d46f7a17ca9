// The HTTP reply reader on arbitrary server bytes: it must never crash or hang, never return a
// body beyond its limit, and read the same reply however the bytes are split into receives,
// whether it keeps the body or hands it on as it arrives. The body handed on is read as JSON
// as the API client reads it, and must read as the body kept whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "api/http_reply_reader.h"
#include "core/error.h"
#include "json/reader.h"

namespace {

struct Outcome {
  bool failed = false;
  std::string error, statusLine, body;
  std::u16string json;  // the body read as JSON
  bool operator==(const Outcome&) const = default;
};

// Reads the body as JSON as it arrives, and keeps it for the comparison.
struct JsonSink : velmar::api::HttpBodySink {
  void Take(long, std::string_view bytes) noexcept override {
    reader.Feed(bytes);
    body.append(bytes);
  }
  velmar::json::JsonStreamReader reader;
  std::string body;
};

std::u16string JsonText(const velmar::json::JsonValue& value) {
  return value ? value.AsJson() : u"(no value)";
}

Outcome Read(std::string_view bytes, std::size_t step, bool toSink) {
  JsonSink sink;
  velmar::api::HttpReplyReader reader(velmar::api::kDefaultMaxReplyBytes, toSink ? &sink : nullptr);
  Outcome outcome;
  try {
    bool done = false;
    for (std::size_t at = 0; at < bytes.size() && !done; at += step)
      done = reader.Feed(bytes.substr(at, step));
    if (!done) reader.FinishAtEnd();
    outcome.statusLine = reader.reply().statusLine;
    outcome.body = toSink ? sink.body : reader.reply().body;
    if (outcome.body.size() > velmar::api::kDefaultMaxReplyBytes) std::abort();
    if (toSink && !reader.reply().body.empty()) std::abort();
    outcome.json = toSink ? JsonText(sink.reader.Finish())
                          : JsonText(velmar::json::ParseJsonCodePage(outcome.body));
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
  const Outcome whole = Read(bytes, bytes.size() + 1, false);
  if (!(Read(bytes, step, false) == whole) || !(Read(bytes, step, true) == whole)) std::abort();
  return 0;
}
