#include "platform/ByteStream.h"

#include <algorithm>

#include "platform/SafeFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rimo::platform {

MemoryStream::MemoryStream(const void* data, size_t size)
    : bytes_(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + (data ? size : 0)) {}

MemoryStream::MemoryStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

long MemoryStream::Read(void* buffer, size_t size) {
  const size_t left = bytes_.size() - position_;
  const size_t n = size < left ? size : left;
  if (n > 0) std::memcpy(buffer, bytes_.data() + position_, n);
  position_ += n;
  return static_cast<long>(n);
}

long MemoryViewStream::Read(void* buffer, size_t size) {
  const size_t n = std::min(size, size_ - position_);
  if (n > 0) std::memcpy(buffer, data_ + position_, n);
  position_ += n;
  return static_cast<long>(n);
}

FileStream::~FileStream() { close(fd_); }

std::unique_ptr<FileStream> FileStream::Open(const std::string& path) {
  FileDescriptor fd = OpenRegularFile(path);
  if (!fd) return nullptr;
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) return nullptr;
  return std::unique_ptr<FileStream>(new FileStream(fd.Release(), static_cast<uint64_t>(st.st_size)));
}

long FileStream::Read(void* buffer, size_t size) {
  for (;;) {
    ssize_t n = read(fd_, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<long>(n);
  }
}

std::optional<std::vector<uint8_t>> FileStream::ReadAll(size_t maxSize) {
  // One byte more than expected shows a file that grew meanwhile.
  std::vector<uint8_t> bytes(static_cast<size_t>(std::min<uint64_t>(size_, maxSize)) + 1);
  size_t have = 0;
  for (;;) {
    if (have == bytes.size()) {
      if (bytes.size() > maxSize) return std::nullopt;
      bytes.resize(std::min(bytes.size() * 2, maxSize + 1));
    }
    const long n = Read(bytes.data() + have, bytes.size() - have);
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  bytes.resize(have);
  return bytes;
}

}  // namespace rimo::platform
