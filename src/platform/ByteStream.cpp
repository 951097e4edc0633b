#include "platform/ByteStream.h"

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

}  // namespace rimo::platform
