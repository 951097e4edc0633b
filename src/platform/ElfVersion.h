// The file version of a module, carried in an ELF note (the stand-in for a
// version resource).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace rimo::platform {

// Owner name and type of the note that carries the four version numbers
// (major, minor, build, revision) as 32-bit words in the file's byte order.
inline constexpr char kVersionNoteName[] = "Kelo";
inline constexpr uint32_t kVersionNoteType = 1;

enum class VersionNoteError { None, NotFound, NotElf, NoNote };

struct FileVersion {
  std::array<uint32_t, 4> parts{};
};

// Reads the version note of the ELF file at path. Every offset and size in
// the file is checked against its length; a malformed file gives NotElf.
std::optional<FileVersion> ReadFileVersion(const std::string& path, VersionNoteError* error = nullptr);

}  // namespace rimo::platform
