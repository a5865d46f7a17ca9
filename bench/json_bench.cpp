// Parsing and writing the same JSON bytes with our reader and writer, nlohmann::json and
// RapidJSON. Ours is measured from reply bytes (the code-page mapping included) to a value:
// whole, and in the pieces of 16 KiB that the API client gets from a socket.
// scripts/bench_json.sh prints the ratios.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <string_view>

#include "json/json.h"
#include "rapidjson/document.h"
#include "rapidjson/stringbuffer.h"
#include "rapidjson/writer.h"

namespace {

// (a) An IPS_GetObject reply, members in the order a real server sends them.
std::string GetObjectReply() {
  return "{\"jsonrpc\":\"2.0\",\"result\":{\"ParentID\":10234,\"ObjectID\":12345,\"ObjectType\":2,"
         "\"ObjectIdent\":\"TEMP_ROOM\",\"ObjectName\":\"Temperatur K\xc3\xbc"
         "che\","
         "\"ObjectInfo\":\"Sensor an der Nordwand\",\"ObjectIcon\":\"Temperature\","
         "\"ObjectSummary\":\"\",\"ObjectPosition\":3,\"ObjectIsReadOnly\":false,"
         "\"ObjectIsHidden\":false,\"ObjectIsDisabled\":false,\"ObjectIsLocked\":false,"
         "\"HasChildren\":true,\"ChildrenIDs\":[23456,34567,45678]},\"id\":1}";
}

// (b) An IPS_GetObjectList reply with 50,000 IDs.
std::string ObjectListReply() {
  std::string text = "{\"jsonrpc\":\"2.0\",\"result\":[0";
  std::mt19937 random(7);
  for (int i = 1; i < 50000; ++i) {
    text += ',';
    text += std::to_string(10000 + random() % 50000);
  }
  text += "],\"id\":1}";
  return text;
}

// (c) About 1 MB of mixed JSON: records with strings (escapes and UTF-8 included), integers,
// fixed-point and floating-point numbers, literals and nested arrays.
std::string MixedJson() {
  std::mt19937 random(11);
  const char* words[] = {"Wohnzimmer",
                         "K\xc3\xbc"
                         "che",
                         "Bad/WC",
                         "Licht \\\"Decke\\\"",
                         "Heizung\\tVorlauf",
                         "\xe2\x82\xac Z\xc3\xa4hler",
                         "Fenster",
                         "T\xc3\xbcr"};
  std::string text = "{\"jsonrpc\":\"2.0\",\"result\":[";
  for (int i = 0; text.size() < 1'000'000; ++i) {
    if (i > 0) text += ',';
    text += "{\"VariableID\":" + std::to_string(10000 + i) +
            ",\"VariableType\":" + std::to_string(random() % 4) + ",\"VariableProfile\":\"~" +
            words[random() % 8] + "\",\"VariableValue\":";
    switch (random() % 4) {
      case 0:
        text += (random() % 2) ? "true" : "false";
        break;
      case 1:
        text += std::to_string(static_cast<int>(random() % 200000) - 100000);
        break;
      case 2:
        text += std::to_string(random() % 1000) + "." + std::to_string(random() % 100);
        break;
      default:
        text += std::to_string(random() % 100) + ".40000000000000" + std::to_string(random() % 10);
        break;
    }
    text += ",\"VariableUpdated\":" + std::to_string(1700000000 + random() % 10000000) +
            ",\"VariableIsLocked\":null,\"Name\":\"" + words[random() % 8] + " " +
            words[random() % 8] + "\",\"Path\":[[" + std::to_string(random() % 100) + "," +
            std::to_string(random() % 100) + "],[\"a\",\"b\"],{}]}";
  }
  text += "],\"id\":1}";
  return text;
}

const std::string& Input(int which) {
  static const std::string inputs[] = {GetObjectReply(), ObjectListReply(), MixedJson()};
  return inputs[which];
}

void SetBytes(benchmark::State& state, const std::string& text) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}

void ParseOurs(benchmark::State& state) {
  const std::string& text = Input(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    velmar::json::JsonValue value = velmar::json::ParseJsonCodePage(text);
    if (!value) state.SkipWithError("no value");
    benchmark::DoNotOptimize(value);
  }
  SetBytes(state, text);
}

void ParseOursPieces(benchmark::State& state) {
  const std::string& text = Input(static_cast<int>(state.range(0)));
  constexpr std::size_t kPiece = 16 * 1024;
  for (auto _ : state) {
    velmar::json::JsonStreamReader reader;
    for (std::size_t at = 0; at < text.size(); at += kPiece)
      reader.Feed(std::string_view(text).substr(at, kPiece));
    velmar::json::JsonValue value = reader.Finish();
    if (!value) state.SkipWithError("no value");
    benchmark::DoNotOptimize(value);
  }
  SetBytes(state, text);
}

void ParseNlohmann(benchmark::State& state) {
  const std::string& text = Input(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    nlohmann::json value = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(value);
  }
  SetBytes(state, text);
}

void ParseRapid(benchmark::State& state) {
  const std::string& text = Input(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    rapidjson::Document document;
    document.Parse(text.data(), text.size());
    if (document.HasParseError()) state.SkipWithError("parse error");
    benchmark::DoNotOptimize(document);
  }
  SetBytes(state, text);
}

// Writing: compact text of the value read from the same bytes, with the escaping that the
// API client uses for requests (ours: full escaping to UTF-16 text).
void WriteOurs(benchmark::State& state) {
  const std::string& text = Input(static_cast<int>(state.range(0)));
  velmar::json::JsonValue value = velmar::json::ParseJsonCodePage(text);
  for (auto _ : state) {
    std::u16string out = value.AsJson(true);
    benchmark::DoNotOptimize(out);
  }
  SetBytes(state, text);
}

void WriteNlohmann(benchmark::State& state) {
  const std::string& text = Input(static_cast<int>(state.range(0)));
  nlohmann::json value = nlohmann::json::parse(text);
  for (auto _ : state) {
    std::string out = value.dump(-1, ' ', true);
    benchmark::DoNotOptimize(out);
  }
  SetBytes(state, text);
}

void WriteRapid(benchmark::State& state) {
  const std::string& text = Input(static_cast<int>(state.range(0)));
  rapidjson::Document document;
  document.Parse(text.data(), text.size());
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::ASCII<>> writer(
        buffer);
    document.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  SetBytes(state, text);
}

// Argument: 0 = IPS_GetObject reply, 1 = IPS_GetObjectList reply, 2 = 1 MB mixed.
#define VELMAR_JSON_BENCH(fn) BENCHMARK(fn)->Arg(0)->Arg(1)->Arg(2)

VELMAR_JSON_BENCH(ParseOurs);
VELMAR_JSON_BENCH(ParseOursPieces);
VELMAR_JSON_BENCH(ParseNlohmann);
VELMAR_JSON_BENCH(ParseRapid);
VELMAR_JSON_BENCH(WriteOurs);
VELMAR_JSON_BENCH(WriteNlohmann);
VELMAR_JSON_BENCH(WriteRapid);

}  // namespace

BENCHMARK_MAIN();
