#include "telnet/session.h"

#include <algorithm>

#include "platform/executable_version.h"
#include "telnet/line_input.h"
#include "text/arguments.h"
#include "text/colors.h"
#include "text/encoding.h"

namespace velmar::telnet {

namespace {

bool contains(const std::vector<std::u16string>& words, const std::u16string& word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

}  // namespace

const std::u16string& ProgramVersionText() {
  // The executable does not change while it runs; read it once.
  static const std::u16string version = platform::GetVersion("/proc/self/exe", false);
  return version;
}

Session::Session(Client& client, std::shared_ptr<const SessionConfig> config)
    : client_(client), config_(std::move(config)) {}

void Session::reset(bool beforeFirstLine) {
  userlevel = 1;
  startup = beforeFirstLine;
  currentDir = 0;
  prompt = kInitialPrompt;
  user.clear();
}

void Session::TelnetConnect() {
  reset(true);
  AccessPolicy* access = config_->access.get();
  if (access && !access->Opened(*this)) {
    client_.Disconnect();
    return;
  }
  WriteLn(u"Welcome to the IPS Terminal Server powered by Velmar v" + ProgramVersionText());
  if (access && !access->Login(*this)) {
    client_.Disconnect();
    return;
  }
  WriteLn(u"You are logged in as " + (user.empty() ? u"guest" : text::Utf8ToUtf16(user)) +
          u". Type \"help\" if you need assistance.");
  offerCompletion();
  if (config_->onConnect) config_->onConnect(*this);
}

bool Session::OpenForCommands() {
  reset(false);
  oneShot_ = true;
  AccessPolicy* access = config_->access.get();
  if (access && !(access->Opened(*this) && access->Login(*this))) return false;
  if (config_->onConnect) config_->onConnect(*this);
  return true;
}

CommandResult Session::RunCommandList(const std::vector<std::u16string>& lines) {
  for (const auto& line : lines) {
    const std::u16string commandline = text::Trim(line);
    const auto space = commandline.find(u' ');
    const std::u16string command = text::UpperCase(text::Trim(commandline.substr(0, space)));
    // There is no connection to end: the list simply stops here.
    if (contains(kExitWords, command)) break;
    dispatch(commandline, command);
    if (lastResult_ != CommandResult::kDone || !client_.Connected()) return lastResult_;
  }
  return CommandResult::kDone;
}

void Session::offerCompletion() {
  client_.SetCompleter([this](std::u16string_view beforeCursor) {
    return config_->complete ? config_->complete(*this, beforeCursor) : text::Completion{};
  });
}

std::vector<std::u16string> Session::CommandWords() const {
  std::vector<std::u16string> words(kExitWords.begin(), kExitWords.end());
  for (const auto& row : config_->commands) {
    if (row.needsLogin && user.empty()) continue;
    if (!user.empty() && userlevel < row.level) continue;
    words.insert(words.end(), row.words.begin(), row.words.end());
  }
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

void Session::Fail(std::u16string_view message) {
  failWith(message, CommandResult::kFailed);
}

void Session::failWith(std::u16string_view message, CommandResult result) {
  lastResult_ = result;
  if (message.empty()) return;
  // A script reads the output of a command list; why it stopped belongs on its error output.
  if (oneShot_) {
    client_.WriteErrorLn(message);
  } else {
    WriteLn(message);
  }
}

void Session::TelnetDisconnect() {
  if (config_->onDisconnect) config_->onDisconnect(*this);
  if (config_->access) config_->access->Closed(*this);
}

std::u16string Session::PromptText() const {
  if (userlevel >= 10) return u"@" + prompt + u">";
  if (userlevel >= 5) return u"+" + prompt + u">";
  return prompt + u">";
}

void Session::TelnetExecute() {
  const std::u16string colored = text::Colorize(PromptText(), text::ConsoleColor::ccCyan);
  Write(startup ? colored : u"\r\n" + colored);

  const InputLine input = client_.ReadLine(config_->idle.duration());
  if (input.status == InputLine::Status::kIdle) {
    closeIdle();
    return;
  }
  const bool firstLine = startup;
  startup = false;
  // An interrupted line is dropped; the next cycle shows a new prompt.
  if (input.status == InputLine::Status::kInterrupted) return;
  if (input.status == InputLine::Status::kTooLong) {
    // Part of the line is lost: running what is left could store a cut value.
    WriteLn(LineTooLongMessage());
    return;
  }
  const std::u16string commandline = text::Trim(cleanup(input.text, firstLine));

  const auto space = commandline.find(u' ');
  const std::u16string command = text::UpperCase(text::Trim(commandline.substr(0, space)));
  dispatch(commandline, command);
}

void Session::dispatch(const std::u16string& commandline, const std::u16string& command) {
  lastResult_ = CommandResult::kDone;
  if (command.empty()) return;
  if (contains(kExitWords, command)) {
    closeOnRequest();
    return;
  }
  for (const auto& row : config_->commands) {
    if (row.needsLogin && user.empty()) continue;
    if (contains(row.words, command)) {
      run(row, commandline);
      return;
    }
  }
  Fail(u"Command unknown");
}

void Session::run(const Command& row, const std::u16string& commandline) {
  AccessPolicy* access = config_->access.get();
  if (!access) {
    row.handler(*this, commandline);
    return;
  }
  if (!access->Permit(*this, row, commandline)) {
    failWith(u"Permission denied.", CommandResult::kDenied);
    return;
  }
  commandOutcome.clear();
  try {
    row.handler(*this, commandline);
  } catch (const std::exception& e) {
    access->Ran(*this, row, commandline, std::string("failed: ") + e.what());
    throw;
  }
  access->Ran(*this, row, commandline, commandOutcome.empty() ? "done" : commandOutcome);
}

void Session::closeOnRequest() {
  WriteLn(u"Disconnecting... Have a nice day!");
  delay(2000);
  client_.Disconnect();
}

void Session::closeIdle() {
  const int minutes = config_->idle.minutes;
  const std::u16string span = text::IntToStr(minutes) + (minutes == 1 ? u" minute" : u" minutes");
  // The prompt is still on the line: the farewell goes on a line of its own.
  WriteLn();
  WriteLn(u"Idle for " + span + u": session closed.");
  client_.setCloseReason("idle for " + text::Utf16ToUtf8(span));
  client_.Disconnect();
}

HandlerFactory MakeSessionFactory(std::shared_ptr<const SessionConfig> config) {
  return [config = std::move(config)](Client& client) {
    return std::make_unique<Session>(client, config);
  };
}

}  // namespace velmar::telnet
