#include "platform/ElfVersion.h"

#include <elf.h>

#include <cstring>
#include <string_view>

#include "platform/FileIo.h"

namespace rimo::platform {
namespace {

template <typename T>
bool ReadAt(std::string_view file, uint64_t offset, T* out) {
  if (offset > file.size() || file.size() - offset < sizeof(T)) return false;
  std::memcpy(out, file.data() + offset, sizeof(T));
  return true;
}

uint64_t Align4(uint64_t v) { return (v + 3) & ~uint64_t{3}; }

std::optional<FileVersion> FindInNotes(std::string_view file, uint64_t offset, uint64_t size) {
  if (offset > file.size() || size > file.size() - offset) return std::nullopt;
  const uint64_t end = offset + size;
  uint64_t pos = offset;
  while (pos + sizeof(Elf64_Nhdr) <= end) {
    Elf64_Nhdr header{};
    if (!ReadAt(file, pos, &header)) return std::nullopt;
    const uint64_t nameAt = pos + sizeof header;
    const uint64_t descAt = nameAt + Align4(header.n_namesz);
    const uint64_t next = descAt + Align4(header.n_descsz);
    if (next > end || next <= pos) return std::nullopt;
    if (header.n_type == kVersionNoteType && header.n_namesz == sizeof kVersionNoteName &&
        std::memcmp(file.data() + nameAt, kVersionNoteName, sizeof kVersionNoteName) == 0 &&
        header.n_descsz == 16) {
      FileVersion version;
      std::memcpy(version.parts.data(), file.data() + descAt, 16);
      return version;
    }
    pos = next;
  }
  return std::nullopt;
}

}  // namespace

std::optional<FileVersion> ReadFileVersion(const std::string& path, VersionNoteError* error) {
  auto fail = [error](VersionNoteError e) -> std::optional<FileVersion> {
    if (error != nullptr) *error = e;
    return std::nullopt;
  };
  auto content = ReadWholeFile(path, 512 * 1024 * 1024);
  if (!content) return fail(VersionNoteError::NotFound);
  std::string_view file = *content;

  Elf64_Ehdr eh{};
  if (!ReadAt(file, 0, &eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
      eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB) {
    return fail(VersionNoteError::NotElf);
  }
  // Program headers first: they survive stripping.
  if (eh.e_phentsize == sizeof(Elf64_Phdr)) {
    for (uint64_t i = 0; i < eh.e_phnum; ++i) {
      Elf64_Phdr ph{};
      if (!ReadAt(file, eh.e_phoff + i * sizeof ph, &ph)) return fail(VersionNoteError::NotElf);
      if (ph.p_type != PT_NOTE) continue;
      if (auto v = FindInNotes(file, ph.p_offset, ph.p_filesz)) return v;
    }
  }
  if (eh.e_shentsize == sizeof(Elf64_Shdr)) {
    for (uint64_t i = 0; i < eh.e_shnum; ++i) {
      Elf64_Shdr sh{};
      if (!ReadAt(file, eh.e_shoff + i * sizeof sh, &sh)) return fail(VersionNoteError::NotElf);
      if (sh.sh_type != SHT_NOTE) continue;
      if (auto v = FindInNotes(file, sh.sh_offset, sh.sh_size)) return v;
    }
  }
  return fail(VersionNoteError::NoNote);
}

}  // namespace rimo::platform
