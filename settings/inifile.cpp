#include "settings/inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

namespace lumaprep {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool isBlankLine(std::string_view line) {
  for (char c : line)
    if (!isBlank(c) && c != '\n') return false;
  return true;
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// Cuts a value to the profile limit without splitting a UTF-8 sequence.
std::string_view cutValue(std::string_view v) {
  if (v.size() <= kMaxIniValueLength) return v;
  std::size_t n = kMaxIniValueLength;
  while (n > 0 && (static_cast<unsigned char>(v[n]) & 0xC0) == 0x80) --n;
  return v.substr(0, n);
}

std::string_view unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

// What one line of an INI file is.
struct LineInfo {
  enum Kind { kOther, kSection, kKey } kind = kOther;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // raw value after "=", trimmed (keys only)
};

LineInfo classify(std::string_view line) {
  LineInfo info;
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  line = trimBlanks(line);
  if (line.empty() || line.front() == ';') return info;
  if (line.front() == '[') {
    std::string_view name = line.substr(1);
    std::size_t close = name.find(']');
    if (close != std::string_view::npos) name = name.substr(0, close);
    info.kind = LineInfo::kSection;
    info.name = trimBlanks(name);
    return info;
  }
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return info;
  info.kind = LineInfo::kKey;
  info.name = trimBlanks(line.substr(0, eq));
  info.value = trimBlanks(line.substr(eq + 1));
  return info;
}

// Splits text into lines, each keeping its line end ("\n" or "\r\n"); the last one may have none.
std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::size_t len = nl == std::string_view::npos ? text.size() : nl + 1;
    lines.push_back(text.substr(0, len));
    text.remove_prefix(len);
  }
  return lines;
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The process's file creation mask, read without changing it (umask() would, for a moment, for
// every thread).
mode_t currentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
  return 022;
}

// Replaces the file through a temporary file in its folder, so that a failed write (a full disk)
// never leaves a cut file behind. When the folder takes no new file but the file itself is
// writable, it is rewritten in place.
bool replaceFileContents(const std::string& fileName, std::string_view data) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path target(fileName);
  if (fs::is_symlink(target, ec)) {
    fs::path resolved = fs::weakly_canonical(target, ec);
    if (!ec) target = resolved;
  }
  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) return false;

  fs::path folder = target.parent_path();
  std::string tmpl =
      (folder.empty() ? fs::path(".") : folder) / ("." + target.filename().string() + ".XXXXXX");
  int fd = ::mkstemp(tmpl.data());
  if (fd >= 0) {
    const mode_t mode = exists ? (st.st_mode & 07777) : (0666 & ~currentUmask());
    // Keep the file's mode and owner; a foreign file system or a user without the right may
    // refuse, and the contents matter more.
    (void)::fchmod(fd, mode);
    if (exists) (void)::fchown(fd, st.st_uid, st.st_gid);
    bool ok = writeAll(fd, data);
    ok = (::fsync(fd) == 0 || errno == EINVAL) && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(tmpl.c_str(), target.c_str()) == 0) return true;
    ::unlink(tmpl.c_str());  // the original stays as it was
    return false;
  }
  if (!exists) return false;
  int out = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (out < 0) return false;
  bool ok = writeAll(out, data);
  ok = ::close(out) == 0 && ok;
  return ok;
}

// The text written after "=" so that reading gives value back.
std::string encodeValue(const std::string& value) {
  if (value.empty()) return value;
  const bool blankEnds = isBlank(value.front()) || isBlank(value.back());
  const bool quoted = unquote(value).size() != value.size();
  if (blankEnds || quoted) return '"' + value + '"';
  return value;
}

bool hasLineBreak(std::string_view s) {
  return s.find('\n') != std::string_view::npos || s.find('\r') != std::string_view::npos;
}

}  // namespace

std::optional<std::string> ReadIniText(const std::string& fileName) {
  // Only regular files: a folder, a pipe or a device of that name reads as missing (a device
  // could be endless, a pipe would block).
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (static_cast<std::uint64_t>(st.st_size) > kMaxIniFileSize) return std::nullopt;
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  text.resize(static_cast<std::size_t>(st.st_size));
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (in.bad()) return std::nullopt;
  return text;
}

bool SameIniName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  return true;
}

bool ParseDecimalInt(std::string_view text, int& value) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return false;
  }
  if (text.empty()) return false;
  int v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, 10);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  value = v;
  return true;
}

std::vector<TIniEntry> ParseIniText(std::string_view text) {
  if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) text.remove_prefix(kUtf8Bom.size());
  std::vector<TIniEntry> entries;
  std::string_view section;
  bool inSection = false;  // keys before the first section header belong to none
  for (std::string_view line : splitLines(text)) {
    LineInfo info = classify(line);
    if (info.kind == LineInfo::kSection) {
      section = info.name;
      inSection = true;
    } else if (info.kind == LineInfo::kKey && inSection) {
      entries.push_back({std::string(section), std::string(info.name),
                         std::string(cutValue(unquote(info.value)))});
    }
  }
  return entries;
}

TIniFile::TIniFile(std::string fileName) : m_fileName(std::move(fileName)) {}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  std::optional<std::string> text = ReadIniText(m_fileName);
  if (!text) return def;
  for (const TIniEntry& e : ParseIniText(*text))
    if (SameIniName(e.Section, section) && SameIniName(e.Key, key)) return e.Value;
  return def;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
  int value = def;
  if (!ParseDecimalInt(ReadString(section, key, ""), value)) return def;
  return value;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  std::optional<std::string> text = ReadIniText(m_fileName);
  if (!text) return false;
  for (const TIniEntry& e : ParseIniText(*text))
    if (SameIniName(e.Section, section) && SameIniName(e.Key, key)) return true;
  return false;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  const std::string failure = "Unable to write to " + m_fileName;
  if (hasLineBreak(value) || hasLineBreak(section) || hasLineBreak(key) || key.empty())
    throw EIniFileException(failure);

  std::string old;
  if (std::error_code ec; std::filesystem::exists(m_fileName, ec)) {
    std::optional<std::string> text = ReadIniText(m_fileName);
    if (!text) throw EIniFileException(failure);
    old = std::move(*text);
  }
  std::string_view body(old);
  std::string_view bom;
  if (body.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
    bom = body.substr(0, kUtf8Bom.size());
    body.remove_prefix(kUtf8Bom.size());
  }
  std::vector<std::string_view> lines = splitLines(body);
  const std::string eol = body.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  const std::string keyLine = key + "=" + encodeValue(value);

  // Find the key in a block of the section (the first occurrence, as reading does), or else the
  // place after the last entry of the section's first block.
  std::optional<std::size_t> keyAt;
  std::optional<std::size_t> insertAfter;  // index of the line after which to insert
  int block = 0;                           // headers of the section seen so far
  bool inMatch = false;
  for (std::size_t i = 0; i < lines.size() && !keyAt; ++i) {
    LineInfo info = classify(lines[i]);
    if (info.kind == LineInfo::kSection) {
      inMatch = SameIniName(info.name, section);
      if (inMatch && ++block == 1) insertAfter = i;
    } else if (inMatch) {
      if (info.kind == LineInfo::kKey && SameIniName(info.name, key)) {
        keyAt = i;
      } else if (block == 1 && !isBlankLine(lines[i])) {
        // Entries and comments move the insertion point, blank lines do not: the blank line
        // before the next section stays where it is.
        insertAfter = i;
      }
    }
  }

  std::string out(bom);
  auto terminated = [&](std::string_view line) {
    std::string s(line);
    if (s.empty() || s.back() != '\n') s += eol;
    return s;
  };
  if (keyAt) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i != *keyAt) {
        out += lines[i];
        continue;
      }
      std::string_view line = lines[i];
      std::string_view end = line.ends_with("\r\n") ? "\r\n" : line.ends_with('\n') ? "\n" : "";
      // Keep the key as the file spells it, and any indentation before it.
      std::size_t indent = 0;
      while (indent < line.size() && isBlank(line[indent])) ++indent;
      std::string_view spelled = classify(line).name;
      out += line.substr(0, indent);
      out += std::string(spelled) + "=" + encodeValue(value);
      out += end;
    }
  } else if (insertAfter) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i == *insertAfter) {
        out += terminated(lines[i]);
        out += keyLine + eol;
      } else {
        out += lines[i];
      }
    }
  } else {
    for (std::string_view line : lines) out += line;
    if (!body.empty() && body.back() != '\n') out += eol;
    out += "[" + section + "]" + eol + keyLine + eol;
  }

  if (!replaceFileContents(m_fileName, out)) throw EIniFileException(failure);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  WriteString(section, key, std::to_string(value));
}

}  // namespace lumaprep
