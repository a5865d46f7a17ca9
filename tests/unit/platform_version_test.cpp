#include <elf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/executable_version.h"

namespace velmar::platform {
namespace {

// A minimal ELF64 file of this machine's byte order with one note section holding `notes`.
std::string elfWithNotes(const std::string& notes) {
  const std::string names = std::string("\0.note.test\0.shstrtab\0", 22);
  Elf64_Ehdr header{};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = ELFCLASS64;
  header.e_ident[EI_DATA] = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
  header.e_ident[EI_VERSION] = EV_CURRENT;
  header.e_type = ET_EXEC;
  header.e_version = EV_CURRENT;
  header.e_ehsize = sizeof(Elf64_Ehdr);
  header.e_shentsize = sizeof(Elf64_Shdr);
  header.e_shnum = 3;
  header.e_shstrndx = 2;
  const std::uint64_t notesAt = sizeof(Elf64_Ehdr);
  const std::uint64_t namesAt = notesAt + notes.size();
  header.e_shoff = (namesAt + names.size() + 7) & ~std::uint64_t{7};

  Elf64_Shdr sections[3] = {};
  sections[1].sh_name = 1;
  sections[1].sh_type = SHT_NOTE;
  sections[1].sh_offset = notesAt;
  sections[1].sh_size = notes.size();
  sections[2].sh_name = 12;
  sections[2].sh_type = SHT_STRTAB;
  sections[2].sh_offset = namesAt;
  sections[2].sh_size = names.size();

  std::string file(reinterpret_cast<const char*>(&header), sizeof header);
  file += notes + names;
  file.resize(header.e_shoff, '\0');
  file.append(reinterpret_cast<const char*>(sections), sizeof sections);
  return file;
}

std::string note(const std::string& owner, std::uint32_t type, const std::string& desc) {
  auto pad = [](std::string s) {
    s.resize((s.size() + 3) & ~std::size_t{3}, '\0');
    return s;
  };
  const std::uint32_t header[3] = {static_cast<std::uint32_t>(owner.size() + 1),
                                   static_cast<std::uint32_t>(desc.size()), type};
  return std::string(reinterpret_cast<const char*>(header), sizeof header) + pad(owner + '\0') +
         pad(desc);
}

std::string versionDesc(FileVersion v) {
  return std::string(reinterpret_cast<const char*>(v.data()), sizeof v);
}

class VersionFileTest : public ::testing::Test {
 protected:
  std::string write(const std::string& bytes) {
    std::ofstream(path_, std::ios::binary) << bytes;
    return path_;
  }
  void TearDown() override { std::filesystem::remove(path_); }

  std::string path_ =
      (std::filesystem::temp_directory_path() / ("velmar_version_test_" + std::to_string(getpid())))
          .string();
};

TEST(FormatVersionTest, FollowsTheVersionTextRules) {
  struct Case {
    FileVersion version;
    bool showBuild;
    std::u16string expected;
  } const cases[] = {
      {{2, 0, 7, 0}, false, u"2.0.7"},
      {{2, 0, 7, 0}, true, u"2.0.7"},
      {{2, 0, 7, 12}, false, u"2.0.7"},
      {{2, 0, 7, 12}, true, u"2.0.7 #0012"},
      {{2, 0, 0, 5}, false, u"2.0"},
      {{2, 0, 0, 5}, true, u"2.0 #0005"},
      {{1, 2, 256, 0}, false, u"1.2"},
      {{1, 2, 259, 0}, false, u"1.2.3"},
      {{10, 11, 12, 54321}, true, u"10.11.12 #54321"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatVersion(c.version, c.showBuild), c.expected)
        << c.version[0] << "." << c.version[1] << "." << c.version[2] << "." << c.version[3];
  }
}

TEST(GetVersionTest, ReadsTheNoteOfThisProgram) {
  EXPECT_EQ(OwnFileVersion(), (FileVersion{2, 0, 7, 0}));
  EXPECT_EQ(GetVersion("/proc/self/exe", false), u"2.0.7");
  EXPECT_EQ(ReadFileVersion("/proc/self/exe"), OwnFileVersion());
}

TEST_F(VersionFileTest, FindsTheNoteAmongOthers) {
  const std::string notes = note("GNU", 3, std::string(20, '\x11')) + note("Velmar", 2, "other") +
                            note("Velmar", 1, versionDesc({2, 0, 7, 12}));
  const auto path = write(elfWithNotes(notes));
  EXPECT_EQ(GetVersion(path, true), u"2.0.7 #0012");
  EXPECT_EQ(GetVersion(path, false), u"2.0.7");
}

TEST_F(VersionFileTest, GivesTheEmptyTextWithoutAVersion) {
  EXPECT_EQ(GetVersion("/nonexistent/velmar", false), u"");
  EXPECT_EQ(GetVersion(write(elfWithNotes(note("GNU", 1, "abcd"))), false), u"");
  EXPECT_EQ(GetVersion(write("#!/bin/sh\necho not an executable\n"), true), u"");
  EXPECT_EQ(GetVersion(write(""), true), u"");
  // A note whose sizes run past its section.
  std::string broken = note("Velmar", 1, versionDesc({2, 0, 7, 0}));
  broken[4] = '\x7f';
  EXPECT_EQ(GetVersion(write(elfWithNotes(broken)), false), u"");
  // A system program built without our note.
  if (std::filesystem::exists("/bin/true")) {
    EXPECT_EQ(GetVersion("/bin/true", false), u"");
  }
}

}  // namespace
}  // namespace velmar::platform
