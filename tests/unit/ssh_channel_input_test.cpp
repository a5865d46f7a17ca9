#include "ssh/channel_input.h"

#include <gtest/gtest.h>

#include <string>

namespace velmar::ssh {
namespace {

using Status = ChannelLine::Status;

TEST(ChannelInput, PtyLinesAreEditedAndEchoed) {
  ChannelInput input(true, 40);
  std::string screen;
  input.begin(u"> ", screen);
  input.feed("lx\x7fs\r", screen);
  EXPECT_NE(screen.find("\r\n"), std::string::npos);
  const auto line = input.next();
  ASSERT_TRUE(line);
  EXPECT_EQ(line->status, Status::kLine);
  EXPECT_EQ(line->text, u"ls");
  EXPECT_FALSE(input.next());  // the command runs until the next begin()
}

TEST(ChannelInput, KeysTypedDuringACommandWaitForTheNextPrompt) {
  ChannelInput input(true, 40);
  std::string screen;
  input.begin(u"> ", screen);
  input.feed("find x\rcd 1\rls", screen);
  ASSERT_EQ(input.next()->text, u"find x");
  screen.clear();
  input.feed("\r", screen);
  EXPECT_EQ(screen, "");  // no echo while the command writes
  input.begin(u"> ", screen);
  EXPECT_EQ(screen, "cd 1\r\n");
  EXPECT_EQ(input.next()->text, u"cd 1");
  screen.clear();
  input.begin(u"> ", screen);
  EXPECT_EQ(input.next()->text, u"ls");
  EXPECT_FALSE(input.interrupted());
}

TEST(ChannelInput, CtrlCInterruptsTheCommandAndDropsWhatWasTypedAhead) {
  ChannelInput input(true, 40);
  std::string screen;
  input.begin(u"> ", screen);
  input.feed("ping x\rls\r\x03", screen);
  ASSERT_EQ(input.next()->text, u"ping x");
  EXPECT_TRUE(input.interrupted());
  input.begin(u"> ", screen);
  EXPECT_FALSE(input.interrupted());
  EXPECT_FALSE(input.next());
  input.feed("ab\x03", screen);
  EXPECT_EQ(input.next()->status, Status::kInterrupted);
  input.begin(u"> ", screen);
  input.feed("\x04", screen);
  EXPECT_EQ(input.next()->status, Status::kEnd);
}

TEST(ChannelInput, WithoutPtyLinesArePlainAndHeldBackWhenMany) {
  ChannelInput input(false, 80);
  std::string screen;
  std::string many;
  for (int i = 0; i < 20; ++i) many += "ls " + std::to_string(i) + "\r\n";
  input.feed(many, screen);
  EXPECT_EQ(screen, "");
  EXPECT_FALSE(input.acceptsMore());
  for (int i = 0; i < 20; ++i) {
    input.begin(u"> ", screen);
    const auto line = input.next();
    ASSERT_TRUE(line);
    EXPECT_EQ(line->text,
              u"ls " + std::u16string(1, u'0' + i % 10).insert(0, i >= 10 ? u"1" : u""));
  }
  EXPECT_TRUE(input.acceptsMore());
  input.begin(u"> ", screen);
  EXPECT_FALSE(input.next());
}

}  // namespace
}  // namespace velmar::ssh
