#pragma once
// INI files as the program keeps them: config.ini and the language files.
//
// Reading follows the Windows profile rules: section and key names are compared without regard
// to letter case, blanks around a value and one pair of enclosing quotes (" or ') are removed,
// a value is at most kMaxIniValueLength bytes, a UTF-8 byte-order mark is skipped, lines that
// begin with ';' are comments. Each read and each write opens the file by name and closes it
// again; nothing is cached, so the file on disk is the only store.
//
// Writing one key rewrites only the line of that key (or adds one line, and the section header
// when the section is missing) and keeps every other byte of the file, its comments and its line
// ends. A write that fails throws EIniFileException("Unable to write to <file>").
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lumaprep {

inline constexpr std::size_t kMaxIniValueLength = 2047;
// Settings and language files are a few kilobytes; anything larger than this is not one.
inline constexpr std::size_t kMaxIniFileSize = 16u << 20;

class EIniFileException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One key of a parsed file, in file order.
struct TIniEntry {
  std::string Section;
  std::string Key;
  std::string Value;  // already trimmed, unquoted and cut to kMaxIniValueLength
};

// Parses INI text (the whole content of a file). Used by TIniFile and by the language table,
// which reads a file once and looks many keys up.
std::vector<TIniEntry> ParseIniText(std::string_view text);

// The whole content of an INI file, or nothing when it is missing, not a regular file, larger
// than kMaxIniFileSize or unreadable.
std::optional<std::string> ReadIniText(const std::string& fileName);

// Case-insensitive comparison of section and key names (ASCII letters only, as on Windows with
// plain names).
bool SameIniName(std::string_view a, std::string_view b);

class TIniFile {
 public:
  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return m_fileName; }

  // The value, or def when the file, the section or the key is missing. A key that is present
  // with an empty value gives "".
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  // Decimal integer with an optional sign that fits into 32 bits; anything else gives def.
  int ReadInteger(const std::string& section, const std::string& key, int def) const;
  bool ValueExists(const std::string& section, const std::string& key) const;

  // Replaces or adds one key. A value that would not read back unchanged (blanks at its ends, or
  // enclosed in quotes) is written inside a pair of double quotes. A value with a line break
  // cannot be stored and is refused with the same error as a failed write.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int value);

 private:
  std::string m_fileName;
};

// Parses a whole decimal integer (optional sign, digits only, fits into int). False otherwise.
bool ParseDecimalInt(std::string_view text, int& value);

}  // namespace lumaprep
