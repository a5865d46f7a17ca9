#include "platform/executable_version.h"

#include <elf.h>

#include <bit>

#include <cstring>
#include <fstream>
#include <string_view>
#include <vector>

#ifndef VELMAR_VERSION_MAJOR
#error "VELMAR_VERSION_MAJOR and friends come from the build (src/platform/module.cmake)"
#endif

namespace velmar::platform {

namespace {

// The note as it lies in the section: the ELF note header, the owner name padded to four
// bytes, then the four numbers.
struct VersionNote {
  std::uint32_t nameSize;
  std::uint32_t descSize;
  std::uint32_t type;
  char name[8];
  std::uint16_t version[4];
};

// Every program that links this file (everything that shows the greeting) carries the note.
[[gnu::used, gnu::section(".note.velmar.version"),
  gnu::aligned(4)]] const VersionNote kEmbeddedVersion = {
    7,
    8,
    kVersionNoteType,
    "Velmar",
    {VELMAR_VERSION_MAJOR, VELMAR_VERSION_MINOR, VELMAR_VERSION_PATCH, VELMAR_VERSION_TWEAK}};

// Notes larger than this are not ours; it also bounds what a damaged file makes us read.
constexpr std::uint64_t kMaxNoteArea = 1 << 20;

std::uint64_t align4(std::uint64_t n) {
  return (n + 3) & ~std::uint64_t{3};
}

// Looks for our note among the notes of one note section or segment.
std::optional<FileVersion> findNote(std::string_view area) {
  const std::string_view owner = kVersionNoteOwner;
  std::uint64_t pos = 0;
  while (area.size() - pos >= 12) {
    std::uint32_t header[3];
    std::memcpy(header, area.data() + pos, sizeof header);
    const std::uint64_t nameAt = pos + 12;
    const std::uint64_t descAt = nameAt + align4(header[0]);
    const std::uint64_t next = descAt + align4(header[1]);
    if (next > area.size()) return std::nullopt;
    const bool ours = header[2] == kVersionNoteType && header[0] == owner.size() + 1 &&
                      area.substr(nameAt, owner.size()) == owner &&
                      area[nameAt + owner.size()] == 0;
    if (ours && header[1] >= sizeof(FileVersion)) {
      FileVersion version;
      std::memcpy(version.data(), area.data() + descAt, sizeof version);
      return version;
    }
    pos = next;
  }
  return std::nullopt;
}

class ElfFile {
 public:
  explicit ElfFile(const std::string& path) : in_(path, std::ios::binary) {}

  bool read(std::uint64_t offset, void* out, std::size_t size) {
    if (!in_) return false;
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
    const bool ok = in_.gcount() == static_cast<std::streamsize>(size);
    in_.clear();
    return ok;
  }

  std::optional<std::string> area(std::uint64_t offset, std::uint64_t size) {
    if (size > kMaxNoteArea) return std::nullopt;
    std::string data(size, '\0');
    if (!read(offset, data.data(), data.size())) return std::nullopt;
    return data;
  }

 private:
  std::ifstream in_;
};

// Walks the note sections, or the note segments of a file without section headers.
template <typename Ehdr, typename Shdr, typename Phdr>
std::optional<FileVersion> findInElf(ElfFile& file) {
  Ehdr header;
  if (!file.read(0, &header, sizeof header)) return std::nullopt;

  std::uint64_t sectionCount = header.e_shnum;
  if (header.e_shoff != 0 && header.e_shentsize == sizeof(Shdr)) {
    if (sectionCount == 0) {  // more sections than e_shnum can hold: the count is in entry 0
      Shdr first;
      if (!file.read(header.e_shoff, &first, sizeof first)) return std::nullopt;
      sectionCount = first.sh_size;
    }
    for (std::uint64_t i = 0; i < sectionCount && i < 65536; ++i) {
      Shdr section;
      if (!file.read(header.e_shoff + i * sizeof(Shdr), &section, sizeof section)) break;
      if (section.sh_type != SHT_NOTE) continue;
      if (auto data = file.area(section.sh_offset, section.sh_size)) {
        if (auto version = findNote(*data)) return version;
      }
    }
    if (sectionCount != 0) return std::nullopt;
  }

  if (header.e_phoff != 0 && header.e_phentsize == sizeof(Phdr)) {
    for (std::uint64_t i = 0; i < header.e_phnum; ++i) {
      Phdr segment;
      if (!file.read(header.e_phoff + i * sizeof(Phdr), &segment, sizeof segment)) break;
      if (segment.p_type != PT_NOTE) continue;
      if (auto data = file.area(segment.p_offset, segment.p_filesz)) {
        if (auto version = findNote(*data)) return version;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

FileVersion OwnFileVersion() {
  FileVersion version;
  std::memcpy(version.data(), kEmbeddedVersion.version, sizeof version);
  return version;
}

std::optional<FileVersion> ReadFileVersion(const std::string& path) {
  ElfFile file(path);
  unsigned char ident[EI_NIDENT];
  if (!file.read(0, ident, sizeof ident)) return std::nullopt;
  if (std::memcmp(ident, ELFMAG, SELFMAG) != 0) return std::nullopt;
  const unsigned char hostData =
      std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
  if (ident[EI_DATA] != hostData) return std::nullopt;
  if (ident[EI_CLASS] == ELFCLASS64) return findInElf<Elf64_Ehdr, Elf64_Shdr, Elf64_Phdr>(file);
  if (ident[EI_CLASS] == ELFCLASS32) return findInElf<Elf32_Ehdr, Elf32_Shdr, Elf32_Phdr>(file);
  return std::nullopt;
}

std::u16string FormatVersion(const FileVersion& version, bool showBuild) {
  auto number = [](unsigned n) {
    const std::string digits = std::to_string(n);
    return std::u16string(digits.begin(), digits.end());
  };
  std::u16string text = number(version[0]) + u"." + number(version[1]);
  const unsigned release = version[2] % 256;
  if (release != 0) text += u"." + number(release);
  if (showBuild && version[3] != 0) {
    std::u16string build = number(version[3]);
    if (build.size() < 4) build.insert(0, 4 - build.size(), u'0');
    text += u" #" + build;
  }
  return text;
}

std::u16string GetVersion(const std::string& datei, bool showBuild) {
  const auto version = ReadFileVersion(datei);
  if (!version) return {};
  return FormatVersion(*version, showBuild);
}

}  // namespace velmar::platform
