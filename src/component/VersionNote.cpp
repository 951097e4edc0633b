// The component's file version, as an ELF note that tools and the directory
// library read from the file (major, minor, build, revision).
#include <cstdint>

#include "platform/ElfVersion.h"

namespace {

struct VersionNote {
  uint32_t nameSize;
  uint32_t descSize;
  uint32_t type;
  char name[8];
  uint32_t version[4];
};

[[gnu::section(".note.kelo.version"), gnu::used, gnu::aligned(4)]] const VersionNote kVersionNote = {
    sizeof rimo::platform::kVersionNoteName,
    16,
    rimo::platform::kVersionNoteType,
    {'K', 'e', 'l', 'o', '\0', '\0', '\0', '\0'},
    {RIMO_VERSION_MAJOR, RIMO_VERSION_MINOR, RIMO_VERSION_PATCH, RIMO_VERSION_TWEAK},
};

}  // namespace
