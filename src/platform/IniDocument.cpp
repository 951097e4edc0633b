#include "platform/IniDocument.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace rimo::platform {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool HasBreakOrNul(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos; }

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

IniDocument IniDocument::Parse(std::string_view text) {
  IniDocument doc;
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
    doc.byteOrderMark_ = true;
  }
  doc.trailingNewline_ = text.empty() || text.back() == '\n';
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    Line line;
    line.text = std::string(text.substr(pos, end - pos));
    pos = end + 1;
    std::string_view t = Trim(line.text);
    if (!t.empty() && t.front() == '[') {
      size_t close = t.find(']');
      if (close != std::string_view::npos) {
        line.isSection = true;
        line.name = std::string(Trim(t.substr(1, close - 1)));
      }
    } else if (!t.empty() && t.front() != ';' && t.front() != '#') {
      size_t eq = t.find('=');
      if (eq != std::string_view::npos && eq > 0) {
        line.isKey = true;
        line.name = std::string(Trim(t.substr(0, eq)));
      }
    }
    doc.lines_.push_back(std::move(line));
  }
  return doc;
}

std::optional<std::string> IniDocument::Get(std::string_view section, std::string_view key) const {
  bool inSection = false;
  for (const Line& line : lines_) {
    if (line.isSection) {
      inSection = SameName(line.name, section);
    } else if (inSection && line.isKey && SameName(line.name, key)) {
      std::string_view t = Trim(line.text);
      std::string_view value = Trim(t.substr(t.find('=') + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      return std::string(value);
    }
  }
  return std::nullopt;
}

bool IniDocument::Set(std::string_view section, std::string_view key, const char* value) {
  section = Trim(section);
  key = Trim(key);
  if (section.empty() || key.empty() || HasBreakOrNul(section) || HasBreakOrNul(key) ||
      section.find(']') != section.npos || key.find('=') != key.npos || key.front() == '[' ||
      key.front() == ';' || key.front() == '#') {
    return false;
  }
  if (value != nullptr && HasBreakOrNul(value)) return false;

  // Find the section (first one of that name) and the key inside it.
  const size_t none = lines_.size();
  size_t sectionLine = none;
  size_t lastContent = none;  // the section's header or last key line
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].isSection) {
      if (sectionLine != none) break;  // the section ended
      if (SameName(lines_[i].name, section)) sectionLine = lastContent = i;
      continue;
    }
    if (sectionLine == none) continue;
    if (lines_[i].isKey && SameName(lines_[i].name, key)) {
      if (value == nullptr) {
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        lines_[i].text = lines_[i].name + "=" + value;
      }
      return true;
    }
    if (lines_[i].isKey) lastContent = i;
  }
  if (value == nullptr) return true;  // nothing to delete

  Line keyLine;
  keyLine.isKey = true;
  keyLine.name = std::string(key);
  keyLine.text = keyLine.name + "=" + value;
  if (sectionLine == none) {
    trailingNewline_ = true;
    Line header;
    header.isSection = true;
    header.name = std::string(section);
    header.text = "[" + header.name + "]";
    lines_.push_back(std::move(header));
    lines_.push_back(std::move(keyLine));
    return true;
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(lastContent + 1), std::move(keyLine));
  return true;
}

std::string IniDocument::Serialise() const {
  std::string out = byteOrderMark_ ? "\xEF\xBB\xBF" : "";
  for (size_t i = 0; i < lines_.size(); ++i) {
    out += lines_[i].text;
    if (i + 1 < lines_.size() || trailingNewline_) out += '\n';
  }
  return out;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view content) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp = dir + "." + base + ".XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;

  mode_t mode = 0644;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, content) && fsync(fd) == 0;
  int savedErrno = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    savedErrno = errno;
  }
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    savedErrno = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    errno = savedErrno;
    return false;
  }
  // Make the rename itself durable.
  int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return true;
}

std::optional<std::string> ReadWholeFile(const std::string& path, size_t maxSize) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > maxSize) {
    close(fd);
    return std::nullopt;
  }
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > maxSize) {
      close(fd);
      return std::nullopt;
    }
  }
  close(fd);
  return text;
}

}  // namespace rimo::platform
