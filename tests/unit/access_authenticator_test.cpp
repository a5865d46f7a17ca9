// Login attempts against the users file, as both transports make them: the hash checks they
// cost (counted through the verify seam), the limiter in front of them, the users a check
// sees, and the audit lines they leave.
#include "access/authenticator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "access/password.h"
#include "support/password_hashes.h"

namespace velmar::access {
namespace {

using namespace std::chrono_literals;
using velmar::testing::HashOf;

const std::string kLong(kMaxPasswordBytes, 'P');

// Records every hash check; while held, checks wait until they are let go.
class CountedChecks {
 public:
  Authenticator::Verify verify() {
    return [this](const std::string& hash, std::string_view password) {
      std::unique_lock lock(mutex_);
      hashes_.push_back(hash);
      changed_.notify_all();
      changed_.wait(lock, [&] { return !held_; });
      lock.unlock();
      return VerifyPassword(hash, password);
    };
  }
  void Hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void LetGo() {
    std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }
  bool AwaitChecks(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return hashes_.size() >= count; });
  }
  std::vector<std::string> hashes() {
    std::lock_guard lock(mutex_);
    return hashes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> hashes_;
  bool held_ = false;
};

class AuthenticatorTest : public ::testing::Test {
 protected:
  void Make(LoginLimits limits = {}, PasswordChecks::Limits checks = {2, 128}) {
    audit_.setSink([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
      logged_.notify_all();
    });
    authenticator_ = std::make_unique<Authenticator>(
        Authenticator::Settings{limits, [this] { return now_; }, checks, counted_.verify()},
        audit_);
    authenticator_->SetUsers(std::make_shared<const Users>(Users{
        {"admin", 10, HashOf("admin-pw")},
        {"victim", 5, HashOf("victim-pw")},
        {"long", 1, HashOf(kLong)},
    }));
  }

  LoginOutcome Password(const std::string& name, const std::string& password,
                        const std::string& peer = "192.0.2.1:40000") {
    return authenticator_
        ->CheckPassword(name, password, {peer, "ssh", "password"}, [] { return true; })
        .outcome;
  }
  LoginOutcome Key(const std::string& name, bool authorized, bool proven) {
    return authenticator_
        ->CheckKey(name, {"SHA256:abc", authorized, proven}, {"192.0.2.1:40000", "ssh", "key"})
        .outcome;
  }
  std::size_t LinesWith(const std::string& text) {
    std::lock_guard lock(mutex_);
    return count(text);
  }
  // Waits (bounded) until `number` audit lines hold `text`.
  bool AwaitLines(const std::string& text, std::size_t number) {
    std::unique_lock lock(mutex_);
    return logged_.wait_for(lock, 10s, [&] { return count(text) >= number; });
  }
  std::size_t count(const std::string& text) const {
    std::size_t found = 0;
    for (const auto& line : lines_) found += line.find(text) != std::string::npos ? 1 : 0;
    return found;
  }

  std::chrono::steady_clock::time_point now_{std::chrono::hours(1000)};
  CountedChecks counted_;
  AuditTrail audit_;
  std::mutex mutex_;
  std::condition_variable logged_;
  std::vector<std::string> lines_;
  std::unique_ptr<Authenticator> authenticator_;
};

TEST_F(AuthenticatorTest, EveryPasswordAttemptCostsOneHashCheckExceptAnOverlongOne) {
  Make();
  const struct {
    const char* name;
    std::string password;
    LoginOutcome outcome;
    const char* reason;  // of the audit line; empty when it logs in
  } cases[] = {
      {"admin", "admin-pw", LoginOutcome::LoggedIn, ""},
      {"admin", "wrong", LoginOutcome::Failed, "wrong password"},
      // An unknown name is checked against a real user's hash, as long as a wrong password.
      {"nobody", "admin-pw", LoginOutcome::Failed, "unknown user"},
      {"long", kLong, LoginOutcome::LoggedIn, ""},
      // One byte more is never cut back to the password it begins with.
      {"long", kLong + "EXTRA", LoginOutcome::Failed, "password too long"},
  };
  const Users users = *authenticator_->users();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.password.substr(0, 20));
    const std::size_t before = counted_.hashes().size();
    EXPECT_EQ(Password(c.name, c.password), c.outcome);
    const auto hashes = counted_.hashes();
    const bool tooLong = c.password.size() > kMaxPasswordBytes;
    ASSERT_EQ(hashes.size() - before, tooLong ? 0u : 1u);
    if (!tooLong) {
      const User* user = FindUser(users, c.name);
      EXPECT_EQ(hashes.back(), user ? user->hash : users.front().hash);
    }
    if (*c.reason) {
      EXPECT_EQ(LinesWith(std::string("reason=\"") + c.reason + "\""), 1u);
    }
  }
  EXPECT_EQ(LinesWith("login ok user=\"admin\" peer=192.0.2.1:40000 transport=ssh "
                      "method=password level=10"),
            1u);
}

TEST_F(AuthenticatorTest, AtOnceNoMoreChecksRunThanMayFailAndTheRestAreShutOut) {
  Make();
  counted_.Hold();
  std::vector<std::thread> guessers;
  std::atomic<int> shutOut{0}, failed{0};
  // Whatever fails below, the guessers are let go and joined.
  const std::shared_ptr<void> cleanup(nullptr, [&](void*) {
    counted_.LetGo();
    for (auto& guesser : guessers) {
      if (guesser.joinable()) guesser.join();
    }
  });
  for (int i = 0; i < 63; ++i) {
    guessers.emplace_back([&, i] {
      const LoginOutcome outcome =
          Password("admin", "guess" + std::to_string(i), "192.0.2.1:" + std::to_string(40000 + i));
      ++(outcome == LoginOutcome::ShutOut ? shutOut : failed);
    });
  }
  // Ten attempts are under way (two checking, eight waiting); every other one is refused
  // before any check, and so is the right password now.
  ASSERT_TRUE(counted_.AwaitChecks(2));
  ASSERT_TRUE(AwaitLines("login refused", 53));
  EXPECT_EQ(Password("admin", "admin-pw", "192.0.2.1:50000"), LoginOutcome::ShutOut);
  counted_.LetGo();
  for (auto& guesser : guessers) guesser.join();
  EXPECT_EQ(counted_.hashes().size(), 10u);
  EXPECT_EQ(LinesWith("login failed"), 10u);
  EXPECT_EQ(LinesWith("login shut out"), 1u);
  EXPECT_EQ(LinesWith("login ok"), 0u);
  EXPECT_EQ(shutOut + failed, 63);
  EXPECT_EQ(Password("admin", "admin-pw"), LoginOutcome::ShutOut);
}

TEST_F(AuthenticatorTest, ACheckUsesTheUsersOfTheMomentItRuns) {
  Make({}, {1, 8});
  counted_.Hold();
  std::thread first([&] { Password("admin", "wrong"); });
  ASSERT_TRUE(counted_.AwaitChecks(1));
  std::atomic<int> outcome{-1};
  std::thread victim([&] { outcome = static_cast<int>(Password("victim", "victim-pw")); });
  // The victim's check waits its turn; meanwhile the victim is removed.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (authenticator_->checks().Waiting() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_EQ(authenticator_->checks().Waiting(), 1u);
  authenticator_->SetUsers(std::make_shared<const Users>(Users{{"admin", 10, HashOf("admin-pw")}}));
  counted_.LetGo();
  first.join();
  victim.join();
  EXPECT_EQ(outcome, static_cast<int>(LoginOutcome::Failed));
  EXPECT_EQ(LinesWith("login failed user=\"victim\""), 1u);
}

TEST_F(AuthenticatorTest, EveryRefusedKeyCountsAndAnAcceptableOfferDoesNot) {
  LoginLimits limits;
  limits.maxFailures = 3;
  Make(limits);
  const struct {
    const char* name;
    bool authorized, proven;
    LoginOutcome outcome;
    const char* audit;  // empty: no line
  } cases[] = {
      // Offers of a key the user may use, as a client asks before it signs: not counted,
      // however often.
      {"admin", true, false, LoginOutcome::LoggedIn, ""},
      {"admin", true, false, LoginOutcome::LoggedIn, ""},
      {"admin", true, false, LoginOutcome::LoggedIn, ""},
      {"admin", true, true, LoginOutcome::LoggedIn, "login ok user=\"admin\""},
      {"admin", false, false, LoginOutcome::Failed,
       "login failed user=\"admin\" peer=192.0.2.1:40000 transport=ssh method=key "
       "key=\"SHA256:abc\" reason=\"key not authorized\""},
      {"ghost", true, true, LoginOutcome::Failed, "login failed user=\"ghost\""},
      {"admin", false, true, LoginOutcome::ShutOut, "login shut out"},
      {"admin", true, false, LoginOutcome::ShutOut, "login refused"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.authorized ? " authorized" : "") +
                 (c.proven ? " signed" : " offered"));
    const std::size_t before = LinesWith("");
    EXPECT_EQ(Key(c.name, c.authorized, c.proven), c.outcome);
    if (*c.audit) {
      EXPECT_EQ(LinesWith(c.audit), 1u);
    } else {
      EXPECT_EQ(LinesWith(""), before);
    }
  }
  EXPECT_TRUE(counted_.hashes().empty());
}

}  // namespace
}  // namespace velmar::access
