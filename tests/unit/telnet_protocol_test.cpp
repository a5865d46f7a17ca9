#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "telnet/client_input.h"
#include "telnet/telnet_protocol.h"

namespace velmar::telnet {
namespace {

using Status = InputLine::Status;

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (const int b : list) out.push_back(static_cast<char>(b));
  return out;
}

// What the client's bytes come to: the lines (interrupts as "^C", too-long lines as
// "<too long>") and the bytes answered.
struct Outcome {
  std::vector<std::u16string> lines;
  std::string answers;
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
  *os << "lines {";
  for (const auto& l : o.lines) *os << ::testing::PrintToString(l) << " ";
  *os << "} answers " << ::testing::PrintToString(o.answers);
}

Outcome run(ClientInput& input, const std::string& sent, bool byteByByte) {
  Outcome out;
  const std::size_t step = byteByByte ? 1 : sent.size();
  for (std::size_t at = 0; at < sent.size(); at += step) {
    input.feed(std::string_view(sent).substr(at, step), out.answers);
    while (auto line = input.next()) {
      out.lines.push_back(line->status == Status::kInterrupted ? u"^C"
                          : line->status == Status::kTooLong   ? u"<too long>"
                                                               : line->text);
      input.commandDone();
    }
  }
  return out;
}

Outcome run(const std::string& sent, bool byteByByte = false) {
  ClientInput input;
  return run(input, sent, byteByByte);
}

const std::string kOffer = bytes({255, 251, 0, 255, 253, 0});  // WILL BINARY, DO BINARY

// What real clients send, and what must come of it.
TEST(TelnetProtocolTest, ClientsGetTheirLinesAndTheRightAnswers) {
  const struct {
    const char* client;
    std::string sent;
    std::vector<std::u16string> lines;
    std::string answers;
  } cases[] = {
      {"inetutils telnet, first command",
       bytes({255, 253, 38, 255, 251, 38, 255, 253, 3,  255, 251, 24, 255, 251, 31,
              255, 251, 32, 255, 251, 33, 255, 251, 34, 255, 251, 39, 255, 253, 5}) +
           "ls\r\n",
       {u"ls"},
       kOffer + bytes({255, 252, 38, 255, 254, 38, 255, 252, 3,  255, 254, 24, 255, 253, 31,
                       255, 254, 32, 255, 254, 33, 255, 254, 34, 255, 254, 39, 255, 252, 5})},
      {"inetutils telnet, Ctrl+C while typing, then a command",
       "ab" + bytes({255, 244, 255, 253, 6}) + "ls\r\n",
       {u"^C", u"ls"},
       kOffer + bytes({255, 251, 6})},
      {"inetutils telnet outside binary mode, 0x9C taken for its quit key",
       "cd K\xc3" + bytes({255, 243, 255, 253, 6}) + "\r\n",
       {u"^C", u""},
       kOffer + bytes({255, 251, 6})},
      {"inetutils telnet in binary mode, \xc3\x9c typed",
       "cd K\xc3\x9c"
       "che\r\n",
       {u"cd KÜche"},
       ""},
      {"line mode, Left and Up arrows",
       "ls\x1b[D\r\n\x1b[A\r\ncd K\xc3\xbc"
       "che\x1b[D\r\n",
       {u"ls", u"", u"cd Küche"},
       ""},
      {"inetutils mode character, Enter as CR NUL",
       bytes({255, 253, 3, 255, 253, 1}) + std::string("ls\r\0ls\r\0", 8),
       {u"ls", u"ls"},
       kOffer + bytes({255, 252, 3, 255, 252, 1})},
      {"PuTTY's opening offer",
       bytes({255, 251, 31,  255, 251, 32,  255, 251, 24,  255, 251,
              39,  255, 253, 1,   255, 251, 3,   255, 253, 3}) +
           "ls\r\n",
       {u"ls"},
       kOffer + bytes({255, 253, 31,  255, 254, 32,  255, 254, 24,  255, 254,
                       39,  255, 252, 1,   255, 254, 3,   255, 252, 3})},
      {"nc, socat, scripts", "ls\nhelp\r\n", {u"ls", u"help"}, ""},
  };
  for (const auto& c : cases) {
    const Outcome expected{c.lines, c.answers};
    EXPECT_EQ(run(c.sent), expected) << c.client;
    EXPECT_EQ(run(c.sent, true), expected) << c.client << ", byte by byte";
  }
}

TEST(TelnetProtocolTest, NegotiatesByRfc1143WithoutLoops) {
  ClientInput input;
  // Agreement to the offers is not answered; a refusal of one is acknowledged once.
  EXPECT_EQ(run(input, bytes({255, 253, 0, 255, 251, 0}), false).answers, kOffer);
  EXPECT_EQ(run(input, bytes({255, 253, 0, 255, 251, 0}), false).answers, "");
  EXPECT_EQ(run(input, bytes({255, 252, 0, 255, 252, 0}), false).answers, bytes({255, 254, 0}));
  // Unsupported options: each request refused once, refusals never answered.
  const std::string doEcho = bytes({255, 253, 1});
  EXPECT_EQ(run(input, doEcho + doEcho, false).answers, bytes({255, 252, 1, 255, 252, 1}));
  EXPECT_EQ(run(input, bytes({255, 254, 1, 255, 252, 24, 255, 254, 0}), false).answers,
            bytes({255, 252, 0}));
  // TIMING-MARK is answered every time it is asked for; offered by the client, refused.
  EXPECT_EQ(run(input, bytes({255, 253, 6, 255, 253, 6, 255, 251, 6}), false).answers,
            bytes({255, 251, 6, 255, 251, 6, 255, 254, 6}));
}

TEST(TelnetProtocolTest, EchoIsOfferedOnlyByTheServerAndWithdrawnOnce) {
  ClientInput input;
  run(input, bytes({255, 253, 3}), false);  // the client negotiates
  std::string answers;
  input.offerEcho(true, answers);
  input.offerEcho(true, answers);  // a standing offer is not repeated
  EXPECT_EQ(answers, bytes({255, 251, 1}));
  // The client's agreement is not answered; the withdrawal is sent once.
  EXPECT_EQ(run(input, bytes({255, 253, 1}), false).answers, "");
  answers.clear();
  input.offerEcho(false, answers);
  input.offerEcho(false, answers);
  EXPECT_EQ(answers, bytes({255, 252, 1}));
  EXPECT_EQ(run(input, bytes({255, 254, 1}), false).answers, "");
  // With no offer standing, the client's DO ECHO is refused again.
  EXPECT_EQ(run(input, bytes({255, 253, 1}), false).answers, bytes({255, 252, 1}));
}

TEST(TelnetProtocolTest, CommandsActOnTheLineBeingTyped) {
  const struct {
    const char* name;
    std::string sent;
    std::vector<std::u16string> lines;
    std::string answers;
  } cases[] = {
      {"AYT", "l" + bytes({255, 246}) + "s\r\n", {u"ls"}, kOffer + "[Yes]\r\n"},
      {"EC erases one character", "lsx" + bytes({255, 247}) + "\r\n", {u"ls"}, kOffer},
      {"EL erases the line", "rm" + bytes({255, 248}) + "ls\r\n", {u"ls"}, kOffer},
      {"BRK drops the line", "rm" + bytes({255, 243}) + "ls\n", {u"^C", u"ls"}, kOffer},
      {"NOP, DM, GA, AO ignored",
       "l" + bytes({255, 241, 255, 242, 255, 249, 255, 245}) + "s\n",
       {u"ls"},
       kOffer},
      {"IAC IAC is the data byte 255", "a" + bytes({255, 255}) + "\n", {u"a\uFFFD"}, ""},
      {"subnegotiation consumed",
       "l" + bytes({255, 250, 24, 0, 'x', 't', 255, 240}) + "s\n",
       {u"ls"},
       kOffer},
      {"subnegotiation over 512 bytes dropped whole",
       "l" + bytes({255, 250, 24}) + std::string(600, 'x') + bytes({255, 255, 255, 240}) + "s\n",
       {u"ls"},
       kOffer},
      {"command breaks a subnegotiation off",
       "l" + bytes({255, 250, 24, 'x', 255, 246}) + "s\n",
       {u"ls"},
       kOffer + "[Yes]\r\n"},
  };
  for (const auto& c : cases) {
    const Outcome expected{c.lines, c.answers};
    EXPECT_EQ(run(c.sent), expected) << c.name;
    EXPECT_EQ(run(c.sent, true), expected) << c.name << ", byte by byte";
  }
}

TEST(TelnetProtocolTest, WindowSizeFromNawsKeptWithinBounds) {
  const struct {
    std::string report;
    std::int32_t width;
    std::int32_t height;
  } cases[] = {
      {bytes({0, 132, 0, 40}), 132, 40},
      {bytes({0, 10, 0, 40}), 20, 40},
      {bytes({19, 136, 19, 136}), 1000, 1000},  // 5000 each
      {bytes({0, 255, 255, 0, 40}), 255, 40},   // IAC doubled inside
      {bytes({0, 80, 0, 0}), 80, 0},            // 0 means unknown
      {bytes({0, 0, 0, 40}), 0, 0},
      {bytes({0, 132, 0}), 0, 0},  // malformed
  };
  for (const auto& c : cases) {
    ClientInput input;
    std::string answers;
    input.feed(bytes({255, 251, 31, 255, 250, 31}) + c.report + bytes({255, 240}), answers);
    EXPECT_EQ(input.windowWidth(), c.width) << testing::PrintToString(c.report);
    EXPECT_EQ(input.windowHeight(), c.height) << testing::PrintToString(c.report);
    EXPECT_EQ(answers, kOffer + bytes({255, 253, 31}));
  }
}

TEST(ClientInputTest, AnInterruptDuringACommandStopsItAndKeepsTypedAheadLines) {
  ClientInput input;
  std::string answers;
  input.feed("find x\r\n", answers);
  ASSERT_EQ(input.next()->text, u"find x");  // the command starts
  input.feed("ls\r\nhal", answers);
  EXPECT_FALSE(input.interrupted());
  input.feed(bytes({255, 244}) + "help\r\n", answers);
  EXPECT_TRUE(input.interrupted());
  input.commandDone();
  // The line typed ahead stays; the half-typed one went with the interrupt.
  EXPECT_EQ(input.next()->text, u"ls");
  EXPECT_FALSE(input.interrupted());  // a new command starts clean
  EXPECT_EQ(input.next()->text, u"help");
  EXPECT_FALSE(input.next().has_value());
}

TEST(ClientInputTest, AnOverLongLineIsMarkedAsSuch) {
  const std::string exact(kMaxLineLength, 'a');
  EXPECT_EQ(run(exact + "\r\n").lines,
            std::vector<std::u16string>{std::u16string(exact.begin(), exact.end())});
  EXPECT_EQ(run(exact + "b\r\nls\r\n").lines, (std::vector<std::u16string>{u"<too long>", u"ls"}));
}

}  // namespace
}  // namespace velmar::telnet
