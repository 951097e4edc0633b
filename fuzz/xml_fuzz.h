// Shared pieces of the document fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/ByteStream.h"
#include "xml/KeloUtilities.h"

namespace rimo::fuzz {

inline std::shared_ptr<platform::IByteStream> Stream(const uint8_t* data, size_t size) {
  return std::make_shared<platform::MemoryStream>(data, size);
}

// Tracing stays off: no trace plug-in is loaded by the fuzz programs.
inline xml::KeloUtilities& Utilities() {
  static xml::KeloUtilities utilities;
  return utilities;
}

}  // namespace rimo::fuzz
