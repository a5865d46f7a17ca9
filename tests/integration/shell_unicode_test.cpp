#include <gtest/gtest.h>

#include <string>

#include "shell_fixture.h"

namespace velmar::testing {
namespace {

// Names in Polish, Cyrillic and Greek and with an emoji: characters that no 8-bit code page
// holds together. The strings below are UTF-8, as the Telnet client types and reads them.
const char* kTree = R"({"objects":[
  {"id":10100,"parent":0,"name":"\u0141azienka"},
  {"id":10101,"parent":10100,"name":"Notiz","type":"variable",
   "variable":{"type":"string","value":""}},
  {"id":10200,"parent":0,"name":"\u041a\u0443\u0445\u043d\u044f"},
  {"id":10201,"parent":10200,"name":"\u03a6\u03c9\u03c2","type":"variable",
   "variable":{"type":"boolean"}},
  {"id":10300,"parent":0,"name":"Party \ud83c\udf89"},
  {"id":10301,"parent":10300,"name":"Licht","type":"variable","variable":{"type":"boolean"}}
]})";

const std::string kLazienka =
    "\xC5\x81"
    "azienka";
const std::string kKuchnia = "\xD0\x9A\xD1\x83\xD1\x85\xD0\xBD\xD1\x8F";
const std::string kPhos = "\xCE\xA6\xCF\x89\xCF\x82";
const std::string kParty = "Party \xF0\x9F\x8E\x89";
const std::string kValue =
    "\xC5\x81\xC3\xB3"
    "d\xC5\xBA \xF0\x9F\x98\x80 \xD0\x82";  // Łódź 😀 Ђ

class UnicodeTest : public ShellSocketTest {};

TEST_F(UnicodeTest, NamesAndValuesReachTheServerWhole) {
  for (const bool escaped : {false, true}) {
    SCOPED_TRACE(escaped ? "server sends \\u escapes" : "server sends raw UTF-8");
    Start(kTree);
    server_->setEscapeUnicode(escaped);

    // Lookup by name, from the root and within a category.
    EXPECT_EQ(Run("cd " + kLazienka).prompt, "IP-Symcon\\" + kLazienka);
    EXPECT_EQ(Run("show " + std::string("Notiz")).output.find("Object not found"),
              std::string::npos);
    EXPECT_EQ(Run("cd \\").output, "");
    EXPECT_EQ(Run("cd \"" + kParty + "\"").prompt, "IP-Symcon\\" + kParty);
    EXPECT_EQ(Run("cd \\").output, "");
    EXPECT_EQ(Run("cd " + kKuchnia).prompt, "IP-Symcon\\" + kKuchnia);
    EXPECT_EQ(Run("show " + kPhos).output.find("Object not found"), std::string::npos);
    EXPECT_EQ(Run("cd Kuchnia").output, "Object not found: Kuchnia\r\n");

    // A string value is stored with every character, and reads back so.
    EXPECT_EQ(Run("set 10101 " + kValue).output, "");
    EXPECT_EQ(server_->variableValueJson(10101), "\"" + kValue + "\"");
    EXPECT_EQ(Run("ls 10100").output,
              "-Showing Object: 10100 - " + kLazienka + "\r\n\r\n" +
                  "10101  \x1b[34;1mString\x1b[0m      Notiz              \"" + kValue + "\"\r\n");
    EXPECT_NE(Run("show 10101").output.find("\"" + kValue + "\""), std::string::npos);

    // The listing shows the names whole.
    EXPECT_EQ(Run("ls \\ -c").output,
              "-Showing Object: 0 - IP-Symcon\r\n\r\n"
              "10300 <Category>   " +
                  kParty +
                  "           \r\n"
                  "10100 <Category>   " +
                  kLazienka +
                  "           \r\n"
                  "10200 <Category>   " +
                  kKuchnia + "              \r\n");
    TearDown();
  }
}

}  // namespace
}  // namespace velmar::testing
