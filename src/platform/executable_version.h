#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace velmar::platform {

// The four-part file version: major, minor, release, build.
using FileVersion = std::array<std::uint16_t, 4>;

// The ELF note that carries the file version in our executables: owner "Velmar", type 1,
// four 16-bit numbers in host byte order, in the section kVersionNoteSection.
inline constexpr const char* kVersionNoteSection = ".note.velmar.version";
inline constexpr const char* kVersionNoteOwner = "Velmar";
inline constexpr std::uint32_t kVersionNoteType = 1;

// The version this build embeds (the project version).
FileVersion OwnFileVersion();

// The file version embedded in the ELF file at `path`; nothing when the file cannot be read,
// is not an ELF file of this machine's byte order, or carries no version note.
std::optional<FileVersion> ReadFileVersion(const std::string& path);

// The version text of a file version: major.minor, then .release when the release (taken
// modulo 256) is not 0, then " #" and the build padded to four digits when `showBuild` is
// set and the build is not 0. 2.0.7.0 gives "2.0.7"; 2.0.7.12 with the build "2.0.7 #0012".
std::u16string FormatVersion(const FileVersion& version, bool showBuild);

// The version text of the executable `datei`; empty when it has no version (or is missing).
std::u16string GetVersion(const std::string& datei, bool showBuild);

}  // namespace velmar::platform
