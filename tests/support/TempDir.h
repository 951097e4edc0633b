// A private temporary directory, removed with everything in it.
#pragma once

#include <string>

namespace rimo::testing {

class TempDir {
 public:
  TempDir();
  // A directory below parent (which must exist).
  explicit TempDir(const std::string& parent);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

}  // namespace rimo::testing
