// Read-only byte streams (the stand-in for COM streams).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rimo::platform {

// Reads bytes in order. Not thread-safe; one reader at a time.
class IByteStream {
 public:
  virtual ~IByteStream() = default;
  // Copies up to size bytes into buffer; returns the count, 0 at the end,
  // -1 on error.
  virtual long Read(void* buffer, size_t size) = 0;
};

// Reads from its own copy of the bytes.
class MemoryStream final : public IByteStream {
 public:
  MemoryStream(const void* data, size_t size);
  explicit MemoryStream(std::vector<uint8_t> bytes);
  long Read(void* buffer, size_t size) override;

 private:
  std::vector<uint8_t> bytes_;
  size_t position_ = 0;
};

// Reads bytes it does not own: the caller keeps them alive and unchanged
// while the stream lives.
class MemoryViewStream final : public IByteStream {
 public:
  MemoryViewStream(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(data != nullptr ? size : 0) {}
  long Read(void* buffer, size_t size) override;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// Reads an existing regular file.
class FileStream final : public IByteStream {
 public:
  ~FileStream() override;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  // Opens path for reading without ever blocking and never through a link
  // that another user planted (SafeFiles.h); null when it does not exist, is
  // not a regular file (a directory: EISDIR; a FIFO, socket or device:
  // EINVAL) or cannot be opened (errno tells why).
  static std::unique_ptr<FileStream> Open(const std::string& path);
  long Read(void* buffer, size_t size) override;
  // The rest of the file, read in one call when its size is as at opening;
  // nullopt on a read error or past maxSize bytes.
  std::optional<std::vector<uint8_t>> ReadAll(size_t maxSize);
  // The file's size when it was opened.
  uint64_t Size() const { return size_; }

 private:
  FileStream(int fd, uint64_t size) : fd_(fd), size_(size) {}
  int fd_;
  uint64_t size_;
};

}  // namespace rimo::platform
