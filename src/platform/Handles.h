// Owners of the operating system's handles: file descriptors, directory
// streams and stdio files. Each closes its handle exactly once, on every
// path out of its scope.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <utility>

namespace rimo::platform {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  explicit operator bool() const { return Valid(); }
  int Release() { return std::exchange(fd_, -1); }
  // Closes the handle held (keeping errno) and takes fd.
  void Reset(int fd = -1) {
    if (fd_ >= 0) {
      const int saved = errno;
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }
  // Closes now and reports the close's own result (a write error may show
  // only there); true for no handle.
  bool Close() {
    const int fd = Release();
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
};

struct DirectoryCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirectoryStream = std::unique_ptr<DIR, DirectoryCloser>;

struct StdioCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using StdioFile = std::unique_ptr<std::FILE, StdioCloser>;

}  // namespace rimo::platform
