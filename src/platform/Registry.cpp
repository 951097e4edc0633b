#include "platform/Registry.h"

#include <new>
#include <atomic>
#include <pthread.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/Clock.h"
#include "platform/FileIo.h"
#include "platform/Folders.h"
#include "platform/SafeFiles.h"
#include "platform/Utf8.h"

namespace rimo::platform {
namespace {

// Counts the forks this process came out of as a child.
std::atomic<unsigned> g_forkGeneration{0};
const bool g_forkCounted = (pthread_atfork(nullptr, nullptr, [] { g_forkGeneration.fetch_add(1); }), true);

}  // namespace

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Names compare as the platform's upper-casing of each character makes them
// equal (not only ASCII), independent of the process locale. Character by
// character: a byte that is not part of a proper UTF-8 sequence stays as it
// is, so a path folds the same as its components one by one.
std::string Lower(std::string_view s) {
  const locale_t utf8 = Utf8CType();
  std::string out;
  out.reserve(s.size());
  const auto* b = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    if (b[i] < 0x80) {
      out.push_back(LowerAscii(static_cast<char>(b[i])));
      ++i;
      continue;
    }
    const size_t len = (b[i] & 0xE0) == 0xC0 ? 2 : (b[i] & 0xF0) == 0xE0 ? 3 : (b[i] & 0xF8) == 0xF0 ? 4 : 0;
    char32_t c = len == 2 ? b[i] & 0x1F : len == 3 ? b[i] & 0x0F : b[i] & 0x07;
    bool valid = len != 0 && i + len <= n;
    for (size_t k = 1; valid && k < len; ++k) {
      valid = (b[i + k] & 0xC0) == 0x80;
      c = (c << 6) | (b[i + k] & 0x3F);
    }
    static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    valid = valid && c >= kMin[len] && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
    if (!valid) {
      out.push_back(static_cast<char>(b[i]));
      ++i;
      continue;
    }
    if (utf8 != static_cast<locale_t>(nullptr)) c = static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), utf8));
    out += WideToUtf8(std::wstring(1, static_cast<wchar_t>(c)));
    i += len;
  }
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


std::optional<uint32_t> ParseHexNumber(std::string_view hex) {
  if (hex.empty() || hex.size() > 8) return std::nullopt;
  uint32_t v = 0;
  for (char c : hex) {
    const char l = LowerAscii(c);
    const int digit = (c >= '0' && c <= '9') ? c - '0' : (l >= 'a' && l <= 'f') ? l - 'a' + 10 : -1;
    if (digit < 0) return std::nullopt;
    v = (v << 4) | static_cast<uint32_t>(digit);
  }
  return v;
}

// "[KEY]" of a header line that may carry a comment after it.
std::string_view HeaderWithoutComment(std::string_view line) {
  if (line.back() == ']') return line;
  for (size_t semicolon = line.rfind(';'); semicolon != std::string_view::npos && semicolon > 0;
       semicolon = line.rfind(';', semicolon - 1)) {
    std::string_view head = Trim(line.substr(0, semicolon));
    if (!head.empty() && head.back() == ']') return head;
  }
  return line;
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
  const auto at = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0x100u; };
  const unsigned b0 = at(0), b1 = at(1);
  // Without a mark: the first two characters ASCII in UTF-16.
  const bool bigWithout = b0 == 0 && b1 != 0 && b1 != 0x100u && at(2) == 0 && at(3) != 0 && at(3) != 0x100u;
  const bool littleWithout = b0 != 0 && b0 != 0x100u && b1 == 0 && at(2) != 0 && at(2) != 0x100u && at(3) == 0;
  if (b0 == 0xFF && b1 == 0xFE) {
    converted = Utf16LeToUtf8(text.substr(2));
    text = converted;
  } else if ((b0 == 0xFE && b1 == 0xFF) || bigWithout || littleWithout) {
    // UTF-16 big-endian, or either order without a byte-order mark (told
    // by the zero bytes of ASCII text): read as such.
    std::string little(text.substr(b0 == 0xFE ? 2 : 0));
    if (b0 == 0xFE || b0 == 0) {
      for (size_t i = 0; i + 1 < little.size(); i += 2) std::swap(little[i], little[i + 1]);
    }
    converted = Utf16LeToUtf8(little);
    text = converted;
  } else if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
  }

  RegistryData data;
  size_t lineNumber = 0;
  auto problem = [&](const std::string& what) {
    if (data.problems_.size() < kMaxProblems) data.problems_.push_back("line " + std::to_string(lineNumber) + ": " + what);
  };
  Key* current = nullptr;
  // A hex value continued over several lines ("...,\\" at the end).
  std::string pendingName;
  std::string pendingType;
  std::string pendingHex;
  bool continuation = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++lineNumber;

    if (continuation) {
      // A key header ends a value whose last line still asked for more.
      if (line.empty() || line.front() != '[') {
        std::string_view part = line;
        continuation = !part.empty() && part.back() == '\\';
        if (continuation) part.remove_suffix(1);
        pendingHex += part;
        if (!continuation && current != nullptr) data.SetHexValue(*current, pendingName, pendingType, pendingHex);
        continue;
      }
      continuation = false;
      if (current != nullptr) data.SetHexValue(*current, pendingName, pendingType, pendingHex);
    }
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      current = nullptr;
      std::string_view header = HeaderWithoutComment(line);
      if (header.size() < 3 || header.back() != ']') {
        problem("a key line that does not end with ']'");
        continue;
      }
      const bool deletion = header[1] == '-';
      std::string_view path = Trim(header.substr(deletion ? 2 : 1, header.size() - (deletion ? 3 : 2)));
      std::string normalised = NormaliseKeyPath(path);
      if (normalised.empty() || !StartsWithNoCase(path, "HKEY_LOCAL_MACHINE\\")) {
        problem("the key [" + std::string(path) + "] is not under HKEY_LOCAL_MACHINE\\ and is ignored");
        continue;
      }
      if (deletion) {
        // The key goes, with every key below it.
        data.keys_.erase(normalised);
        const std::string prefix = normalised + "\\";
        for (auto it = data.keys_.lower_bound(prefix);
             it != data.keys_.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
          it = data.keys_.erase(it);
        }
        continue;
      }
      Key& key = data.keys_[normalised];
      if (key.name.empty()) {
        std::string_view name = path.substr(19);
        while (!name.empty() && name.back() == '\\') name.remove_suffix(1);
        key.name = std::string(name);
      }
      current = &key;
      continue;
    }
    if (current == nullptr) {
      // The version line of an exported file ("Windows Registry Editor
      // Version 5.00", "REGEDIT4") comes before any key.
      if (!StartsWithNoCase(line, "Windows Registry Editor") && !StartsWithNoCase(line, "REGEDIT")) {
        problem("a value outside a key (a key line such as [HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact] "
                "must come before it)");
      }
      continue;
    }

    std::string name;
    std::string_view rest = line;
    if (rest.front() == '@') {
      rest.remove_prefix(1);
    } else {
      auto quoted = ReadQuoted(rest);
      if (!quoted) {
        problem(rest.front() == '"' ? "a quoted name that is not closed" : "a name that is not in quotes");
        continue;
      }
      name = std::move(*quoted);
    }
    rest = Trim(rest);
    if (rest.empty() || rest.front() != '=') {
      problem("no '=' after the name");
      continue;
    }
    rest = Trim(rest.substr(1));
    if (rest == "-") {
      current->values.erase(Lower(name));
      continue;
    }
    Value value;
    if (!rest.empty() && rest.front() == '"') {
      auto text = ReadQuoted(rest);
      if (!text || !Trim(rest).empty()) {
        problem(!text ? "a quoted value that is not closed" : "text after a quoted value");
        continue;
      }
      value.text = std::move(*text);
    } else if (StartsWithNoCase(rest, "dword:")) {
      auto v = ParseHexNumber(rest.substr(6));
      if (!v) {
        problem("a dword that is not 1 to 8 hexadecimal digits");
        continue;
      }
      value.kind = ValueKind::Dword;
      value.dword = *v;
    } else if (StartsWithNoCase(rest, "hex")) {
      // hex: bytes, hex(n): a typed value, written as bytes.
      const size_t colon = rest.find(':');
      if (colon == std::string_view::npos) {
        problem("a hex value without ':'");
        continue;
      }
      pendingName = name;
      pendingType = Lower(rest.substr(0, colon));
      std::string_view hex = rest.substr(colon + 1);
      continuation = !hex.empty() && hex.back() == '\\';
      if (continuation) hex.remove_suffix(1);
      pendingHex = std::string(hex);
      if (!continuation) data.SetHexValue(*current, pendingName, pendingType, pendingHex);
      continue;
    } else {
      problem("a value that is neither a quoted string, dword: nor hex:");
      continue;
    }
    current->values[Lower(name)] = std::move(value);
  }
  if (continuation && current != nullptr) data.SetHexValue(*current, pendingName, pendingType, pendingHex);
  return data;
}

void RegistryData::SetHexValue(Key& key, const std::string& name, const std::string& type, std::string_view hex) {
  std::string bytes;
  std::string_view rest = hex;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    std::string_view item = Trim(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    if (item.empty()) continue;
    auto byte = ParseHexNumber(item);
    if (!byte || *byte > 0xFF || item.size() > 2) return;  // a malformed value is left out whole
    bytes.push_back(static_cast<char>(*byte));
  }
  Value value;
  if (type == "hex(2)" || type == "hex(1)") {
    // A (expandable) string in UTF-16LE, ending with its NUL.
    value.kind = ValueKind::String;
    value.text = Utf16LeToUtf8(bytes);
    while (!value.text.empty() && value.text.back() == '\0') value.text.pop_back();
  } else if (type == "hex(7)") {
    value.kind = ValueKind::MultiString;
    value.text = Utf16LeToUtf8(bytes);
  } else if (type == "hex(4)" && bytes.size() == 4) {
    value.kind = ValueKind::Dword;
    for (int i = 3; i >= 0; --i) value.dword = (value.dword << 8) | static_cast<unsigned char>(bytes[static_cast<size_t>(i)]);
  } else if (type == "hex(b)" && bytes.size() == 8) {
    value.kind = ValueKind::Qword;
    for (int i = 7; i >= 0; --i) value.qword = (value.qword << 8) | static_cast<unsigned char>(bytes[static_cast<size_t>(i)]);
  } else {
    value.kind = ValueKind::Binary;
    value.text = std::move(bytes);
  }
  key.values[Lower(name)] = std::move(value);
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
  if (v == nullptr || v->kind != ValueKind::String) return std::nullopt;
  return v->text;
}

std::optional<uint32_t> RegistryData::ReadDword(std::string_view key, std::string_view name) const {
  const Value* v = Find(key, name);
  if (v == nullptr || v->kind != ValueKind::Dword) return std::nullopt;
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
    // The child's name as written: the same component of the written path
    // (folding case may change a name's length in bytes, never its '\\').
    const size_t depth = static_cast<size_t>(std::count(prefix.begin(), prefix.end(), '\\'));
    std::string_view written = it->second.name;
    for (size_t i = 0; i < depth && !written.empty(); ++i) {
      const size_t slash = written.find('\\');
      written = slash == std::string_view::npos ? std::string_view() : written.substr(slash + 1);
    }
    names.push_back(std::string(written.substr(0, written.find('\\'))));
  }
  return names;
}

RegistryFile::RegistryFile(std::string path) : fixedPath_(std::move(path)) {}

std::string RegistryFile::MachinePath() { return KeloRoot() + "/etc/kelo/registry.reg"; }

std::shared_ptr<const RegistryData> RegistryFile::Current() {
  const std::string path = fixedPath_.empty() ? MachinePath() : fixedPath_;
  FileStamp stamp;
  if (const std::optional<struct stat> st = StatNoForeignLinks(path)) stamp = FileStamp::Of(*st);
  if (forkGeneration_ != g_forkGeneration.load()) {
    new (&mutex_) std::mutex();
    forkGeneration_ = g_forkGeneration.load();
  }
  std::lock_guard<std::mutex> guard(mutex_);
  // A file changed within the time granularity of its stamp may change
  // again unseen: read anew until it has settled.
  if (data_ != nullptr && path == loadedPath_ && stamp == stamp_ &&
      (!stamp.exists || stamp.SettledSince(RealTimeMs()))) {
    return data_;
  }
  std::string text;
  std::string unreadable;
  if (stamp.exists) {
    // The registry is small; a file of absurd size is treated as unreadable.
    constexpr size_t kMaxSize = 16 * 1024 * 1024;
    if (auto content = ReadWholeFile(path, kMaxSize)) {
      text = std::move(*content);
    } else {
      unreadable = std::string("the file cannot be read: ") + std::strerror(errno);
    }
  } else if (errno != ENOENT) {
    unreadable = std::string("the file cannot be reached: ") + std::strerror(errno);
  }
  RegistryData data = RegistryData::Parse(text);
  if (!unreadable.empty()) data.problems_.insert(data.problems_.begin(), unreadable);
  data_ = std::make_shared<const RegistryData>(std::move(data));
  loadedPath_ = path;
  stamp_ = stamp;
  return data_;
}

std::vector<std::string> RegistryFile::Problems() { return Current()->Problems(); }

std::string RegistryFile::Path() const { return fixedPath_.empty() ? MachinePath() : fixedPath_; }

bool RegistryFile::KeyExists(std::string_view key) { return Current()->KeyExists(key); }
std::optional<std::string> RegistryFile::ReadString(std::string_view key, std::string_view name) {
  return Current()->ReadString(key, name);
}
std::optional<uint32_t> RegistryFile::ReadDword(std::string_view key, std::string_view name) {
  return Current()->ReadDword(key, name);
}
std::vector<std::string> RegistryFile::SubKeys(std::string_view key) { return Current()->SubKeys(key); }

}  // namespace rimo::platform
