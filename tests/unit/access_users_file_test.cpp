#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>

#include "access/password.h"
#include "access/users_file.h"
#include "core/error.h"

namespace velmar::access {
namespace {

const std::string& Hash() {
  static const std::string hash = HashPassword("pw", HashCost::Minimal);
  return hash;
}

TEST(UsersFileTest, ReadsUsersAndSkipsBlankAndCommentLines) {
  const std::string text = "# Velmar users\n\n  admin:10:" + Hash() + "\r\n" +
                           "\t# the kitchen panel\n" + "kitchen:5:" + Hash() + "  \n" +
                           "viewer:1:" + Hash();  // no line end at the end
  const Users users = ParseUsers(text, "users");
  ASSERT_EQ(users.size(), 3u);
  EXPECT_EQ(users[0].name, "admin");
  EXPECT_EQ(users[0].level, 10);
  EXPECT_EQ(users[0].hash, Hash());
  EXPECT_EQ(users[1].name, "kitchen");
  EXPECT_EQ(users[1].level, 5);
  EXPECT_EQ(users[2].level, 1);
  EXPECT_EQ(FindUser(users, "kitchen"), &users[1]);
  EXPECT_EQ(FindUser(users, "Kitchen"), nullptr);  // names are case-sensitive
  EXPECT_EQ(FormatUserLine(users[1]), "kitchen:5:" + Hash());
  EXPECT_TRUE(ParseUsers("", "users").empty());
}

TEST(UsersFileTest, EveryKindOfBadLineIsNamedWithFileAndLine) {
  const std::string good = "ok:1:" + Hash() + "\n";
  const std::string longName(65, 'a');
  struct Case {
    std::string line;
    std::string message;
  };
  const Case cases[] = {
      {"admin", "expected NAME:LEVEL:HASH, got 'admin'"},
      {"admin:10", "expected NAME:LEVEL:HASH, got 'admin:10'"},
      {"admin:10:" + Hash() + ":x", "expected NAME:LEVEL:HASH"},
      {":10:" + Hash(), "the user name is empty"},
      {longName + ":10:" + Hash(), "is longer than 64 characters"},
      {"ad min:10:" + Hash(), "the user name 'ad min' may hold only printable ASCII"},
      {"k\xc3\xbc"
       "che:1:" +
           Hash(),
       "'k\\xc3\\xbcche' may hold only printable ASCII"},
      {"admin:0:" + Hash(), "the level of 'admin' must be 1, 5 or 10, not '0'"},
      {"admin:7:" + Hash(), "must be 1, 5 or 10, not '7'"},
      {"admin::" + Hash(), "must be 1, 5 or 10, not ''"},
      {"admin:010:" + Hash(), "must be 1, 5 or 10, not '010'"},
      {"admin:10:secret", "the password hash of 'admin' is not an Argon2id hash"},
      {"admin:10:", "is not an Argon2id hash"},
      {"admin:10:$argon2i$v=19$m=4096,t=3,p=1$c29tZXNhbHQ$aGFzaA", "is not an Argon2id hash"},
      {"admin:10:$argon2id$v=19$m=8,t=1,p=1$broken", "is not an Argon2id hash"},
      {"ok:5:" + Hash(), "the user 'ok' is listed twice (first on line 1)"},
  };
  for (const Case& c : cases) {
    try {
      ParseUsers(good + c.line + "\n", "/etc/velmar/users");
      ADD_FAILURE() << "accepted: " << c.line;
    } catch (const Error& e) {
      const std::string message = e.what();
      EXPECT_EQ(message.rfind("/etc/velmar/users:2: ", 0), 0u) << message;
      EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
  }
}

class UsersFileOnDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/velmar-users-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/users";
  }
  void TearDown() override {
    const std::string command = "rm -rf '" + dir_ + "'";
    [[maybe_unused]] const int ignored = std::system(command.c_str());
  }
  void Write(const std::string& text, mode_t mode) {
    std::ofstream(path_) << text;
    ::chmod(path_.c_str(), mode);
  }

  // Why loading `path` is refused; empty when it loads.
  static std::string Refusal(const std::string& path) {
    try {
      LoadUsersFile(path);
      return {};
    } catch (const Error& e) {
      return e.what();
    }
  }

  std::string dir_, path_;
};

TEST_F(UsersFileOnDiskTest, RefusesAFileOthersMayWriteAndWarnsWhenOthersMayRead) {
  const std::string text = "admin:10:" + Hash() + "\n";

  Write(text, 0600);
  std::vector<std::string> warnings;
  EXPECT_EQ(LoadUsersFile(path_, &warnings).size(), 1u);
  EXPECT_TRUE(warnings.empty());

  Write(text, 0644);
  EXPECT_EQ(LoadUsersFile(path_, &warnings).size(), 1u);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("others may read"), std::string::npos) << warnings[0];

  Write(text, 0602);
  try {
    LoadUsersFile(path_);
    ADD_FAILURE() << "a file others may write was loaded";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find(path_ + ": refused: others may write"), std::string::npos)
        << e.what();
  }

  Write("admin:3:" + Hash() + "\n", 0600);
  EXPECT_THROW(LoadUsersFile(path_), Error);
  ::unlink(path_.c_str());
  EXPECT_THROW(LoadUsersFile(path_), Error);
  EXPECT_THROW(LoadUsersFile(dir_), Error);  // not a regular file
}

// Only root and the service's own user may have put the users in place: a file that anyone
// else may write, or that lies where anyone else could replace it, is refused; a link is
// followed only to a file that passes the same checks.
TEST_F(UsersFileOnDiskTest, RefusesAFileThatSomeoneElseCouldHavePutInPlace) {
  const std::string text = "admin:10:" + Hash() + "\n";
  Write(text, 0640);
  ASSERT_EQ(Refusal(path_), "");  // root's file that its group may read, as packaged
  const std::string open = dir_ + "/open", sticky = dir_ + "/sticky", good = dir_ + "/good";
  for (const auto& [folder, mode] : {std::pair{open, 0777}, {sticky, 01777}, {good, 0755}}) {
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder.c_str(), static_cast<mode_t>(mode)), 0);
    std::ofstream(folder + "/users") << text;
    ::chmod((folder + "/users").c_str(), 0600);
  }
  ASSERT_EQ(::symlink((open + "/users").c_str(), (good + "/to-open").c_str()), 0);
  ASSERT_EQ(::symlink(path_.c_str(), (good + "/to-users").c_str()), 0);
  ASSERT_EQ(::symlink((good + "/users").c_str(), (open + "/to-good").c_str()), 0);

  const std::string openWhy = ": refused: others may write the folder " + open +
                              ", so they could put another users file in place (chmod o-w " + open +
                              ")";
  const struct {
    std::string path;
    std::string refusal;  // after the path; empty: loaded
  } cases[] = {
      {open + "/users", openWhy},   {sticky + "/users", ""}, {good + "/users", ""},
      {good + "/to-open", openWhy},  // a link into a folder others may write
      {open + "/to-good", openWhy},  // a link that others could replace
      {good + "/to-users", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Refusal(c.path), c.refusal.empty() ? "" : c.path + c.refusal) << c.path;
  }

  Write(text, 0620);
  EXPECT_EQ(Refusal(path_),
            path_ + ": refused: its group may write the users file (chmod g-w " + path_ + ")");
  EXPECT_EQ(Refusal(good + "/to-users"), good + "/to-users: refused: its group may write the " +
                                             "users file (chmod g-w " + good + "/to-users)");
}

TEST_F(UsersFileOnDiskTest, RefusesAFileOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  Write("admin:10:" + Hash() + "\n", 0600);
  ASSERT_EQ(::chown(path_.c_str(), 65534, 65534), 0);
  const std::string refusal = Refusal(path_);
  EXPECT_EQ(refusal.rfind(path_ + ": refused: the users file belongs to user ", 0), 0u) << refusal;
  EXPECT_NE(refusal.find("65534"), std::string::npos) << refusal;
  EXPECT_NE(refusal.find("(chown root " + path_ + ")"), std::string::npos) << refusal;
}

TEST(PasswordTest, VerifiesOnlyTheRightPassword) {
  const std::string hash = HashPassword(
      "K\xc3\xbc"
      "che 42",
      HashCost::Minimal);
  EXPECT_TRUE(IsArgon2idHash(hash));
  EXPECT_TRUE(VerifyPassword(hash,
                             "K\xc3\xbc"
                             "che 42"));
  EXPECT_FALSE(VerifyPassword(hash,
                              "K\xc3\xbc"
                              "che 4"));
  EXPECT_FALSE(VerifyPassword(hash, ""));
  EXPECT_FALSE(VerifyPassword("not a hash",
                              "K\xc3\xbc"
                              "che 42"));
  EXPECT_NE(HashPassword("same", HashCost::Minimal), HashPassword("same", HashCost::Minimal));
}

}  // namespace
}  // namespace velmar::access
