#include "platform/Registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/Folders.h"
#include "platform/Utf8.h"

namespace rimo::platform {
namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(s[i]) != LowerAscii(prefix[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Reads a quoted .reg string at the start of s ('"' included); returns the
// unescaped text and advances s past the closing quote.
std::optional<std::string> ReadQuoted(std::string_view& s) {
  if (s.empty() || s.front() != '"') return std::nullopt;
  std::string out;
  for (size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\\' && i + 1 < s.size()) {
      out.push_back(s[++i]);
    } else if (c == '"') {
      s.remove_prefix(i + 1);
      return out;
    } else if (c == '\0') {
      return std::nullopt;
    } else {
      out.push_back(c);
    }
  }
  return std::nullopt;
}

std::string Utf16LeToUtf8(std::string_view bytes) {
  std::wstring wide;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char32_t unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
      char32_t low = static_cast<unsigned char>(bytes[i + 2]) | (static_cast<unsigned char>(bytes[i + 3]) << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        wide.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
        i += 2;
        continue;
      }
    }
    wide.push_back(static_cast<wchar_t>(unit));
  }
  return WideToUtf8(wide);
}

}  // namespace

std::string NormaliseKeyPath(std::string_view key) {
  for (std::string_view root : {"HKEY_LOCAL_MACHINE\\", "HKLM\\"}) {
    if (StartsWithNoCase(key, root)) {
      key.remove_prefix(root.size());
      break;
    }
  }
  if (StartsWithNoCase(key, "HKEY_LOCAL_MACHINE") && key.size() == 18) key = {};
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  return Lower(key);
}

RegistryData RegistryData::Parse(std::string_view text) {
  std::string converted;
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
      static_cast<unsigned char>(text[1]) == 0xFE) {
    converted = Utf16LeToUtf8(text.substr(2));
    text = converted;
  } else if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
  }

  RegistryData data;
  Key* current = nullptr;
  bool continuation = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;

    if (continuation) {  // the rest of a multi-line hex value, skipped
      continuation = !line.empty() && line.back() == '\\';
      continue;
    }
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      current = nullptr;
      if (line.back() != ']' || line.size() < 3 || line[1] == '-') continue;  // deletions skipped
      std::string_view path = Trim(line.substr(1, line.size() - 2));
      std::string normalised = NormaliseKeyPath(path);
      if (normalised.empty() || !StartsWithNoCase(path, "HKEY_LOCAL_MACHINE\\")) continue;
      Key& key = data.keys_[normalised];
      if (key.name.empty()) {
        std::string_view name = path.substr(19);
        while (!name.empty() && name.back() == '\\') name.remove_suffix(1);
        key.name = std::string(name);
      }
      current = &key;
      continue;
    }
    if (current == nullptr) continue;

    std::string name;
    std::string_view rest = line;
    if (rest.front() == '@') {
      rest.remove_prefix(1);
    } else {
      auto quoted = ReadQuoted(rest);
      if (!quoted) continue;
      name = std::move(*quoted);
    }
    rest = Trim(rest);
    if (rest.empty() || rest.front() != '=') continue;
    rest = Trim(rest.substr(1));
    Value value;
    if (!rest.empty() && rest.front() == '"') {
      auto text = ReadQuoted(rest);
      if (!text || !Trim(rest).empty()) continue;
      value.text = std::move(*text);
    } else if (StartsWithNoCase(rest, "dword:")) {
      std::string_view hex = rest.substr(6);
      if (hex.empty() || hex.size() > 8) continue;
      uint32_t v = 0;
      bool ok = true;
      for (char c : hex) {
        int digit = (c >= '0' && c <= '9') ? c - '0'
                    : (LowerAscii(c) >= 'a' && LowerAscii(c) <= 'f') ? LowerAscii(c) - 'a' + 10
                                                                     : -1;
        if (digit < 0) {
          ok = false;
          break;
        }
        v = (v << 4) | static_cast<uint32_t>(digit);
      }
      if (!ok) continue;
      value.isDword = true;
      value.dword = v;
    } else {
      // hex:, hex(n): and deletions are not used here.
      continuation = !rest.empty() && rest.back() == '\\';
      continue;
    }
    current->values[Lower(name)] = std::move(value);
  }
  return data;
}

const RegistryData::Value* RegistryData::Find(std::string_view key, std::string_view name) const {
  auto it = keys_.find(NormaliseKeyPath(key));
  if (it == keys_.end()) return nullptr;
  auto v = it->second.values.find(Lower(name));
  return v == it->second.values.end() ? nullptr : &v->second;
}

bool RegistryData::KeyExists(std::string_view key) const {
  const std::string normalised = NormaliseKeyPath(key);
  if (keys_.count(normalised) != 0) return true;
  // A key also exists when only its subkeys are written out.
  const std::string prefix = normalised + "\\";
  auto it = keys_.lower_bound(prefix);
  return it != keys_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

std::optional<std::string> RegistryData::ReadString(std::string_view key, std::string_view name) const {
  const Value* v = Find(key, name);
  if (v == nullptr || v->isDword) return std::nullopt;
  return v->text;
}

std::optional<uint32_t> RegistryData::ReadDword(std::string_view key, std::string_view name) const {
  const Value* v = Find(key, name);
  if (v == nullptr || !v->isDword) return std::nullopt;
  return v->dword;
}

std::vector<std::string> RegistryData::SubKeys(std::string_view key) const {
  const std::string prefix = NormaliseKeyPath(key) + "\\";
  std::vector<std::string> names;
  std::string lastLower;
  for (auto it = keys_.lower_bound(prefix); it != keys_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
       ++it) {
    size_t next = it->first.find('\\', prefix.size());
    std::string childLower = it->first.substr(prefix.size(), next - prefix.size());
    if (childLower.empty() || childLower == lastLower) continue;
    lastLower = childLower;
    // The child's name as written, taken from the same position of this key.
    names.push_back(it->second.name.substr(prefix.size(), childLower.size()));
  }
  return names;
}

RegistryFile::RegistryFile(std::string path) : fixedPath_(std::move(path)) {}

std::string RegistryFile::MachinePath() { return KeloRoot() + "/etc/kelo/registry.reg"; }

std::shared_ptr<const RegistryData> RegistryFile::Current() {
  const std::string path = fixedPath_.empty() ? MachinePath() : fixedPath_;
  Stamp stamp;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    stamp = {true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
             static_cast<uint64_t>(st.st_size), st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
  }
  std::lock_guard<std::mutex> guard(mutex_);
  if (data_ != nullptr && path == loadedPath_ && stamp == stamp_) return data_;
  std::string text;
  if (stamp.exists) {
    // The registry is small; a file of absurd size is treated as unreadable.
    constexpr uint64_t kMaxSize = 16 * 1024 * 1024;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && stamp.size <= kMaxSize) {
      text.resize(stamp.size);
      size_t got = 0;
      while (got < text.size()) {
        ssize_t n = read(fd, text.data() + got, text.size() - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      text.resize(got);
    }
    if (fd >= 0) close(fd);
  }
  data_ = std::make_shared<const RegistryData>(RegistryData::Parse(text));
  loadedPath_ = path;
  stamp_ = stamp;
  return data_;
}

bool RegistryFile::KeyExists(std::string_view key) { return Current()->KeyExists(key); }
std::optional<std::string> RegistryFile::ReadString(std::string_view key, std::string_view name) {
  return Current()->ReadString(key, name);
}
std::optional<uint32_t> RegistryFile::ReadDword(std::string_view key, std::string_view name) {
  return Current()->ReadDword(key, name);
}
std::vector<std::string> RegistryFile::SubKeys(std::string_view key) { return Current()->SubKeys(key); }

}  // namespace rimo::platform
