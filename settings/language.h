#pragma once
// Language files (language/en.ini, language/gb.ini, UTF-8 INI files) read into a table of texts.
// A missing file or a missing key gives the empty text, which is applied like any other.
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

namespace lumaprep {

class TLanguage {
 public:
  TLanguage() = default;
  explicit TLanguage(const std::string& fileName) { LoadFromFile(fileName); }

  // Reads the whole file once and closes it. Returns false when it cannot be read (the table is
  // then empty and every text is "").
  bool LoadFromFile(const std::string& fileName);
  void Clear() { m_texts.clear(); }
  bool IsEmpty() const { return m_texts.empty(); }

  // Section and key are found in any letter case; a key that occurs twice gives its first value.
  std::string Text(const std::string& section, const std::string& key) const;

 private:
  std::map<std::pair<std::string, std::string>, std::string> m_texts;  // lower-case names
};

// Raised by FormatStatusRun for a pattern that does not take exactly one text argument.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Formats the status pattern (msgStatusRun) with one text argument: "%s" takes the argument, "%%"
// is a percent sign. A pattern without a placeholder comes back unchanged. Throws
// EConvertError "No argument for format '<pattern>'" for a second placeholder and
// "Format '<pattern>' invalid or incompatible with argument" for any other conversion (or a lone
// "%" at the end).
std::string FormatStatusRun(const std::string& pattern, const std::string& argument);

// The position text of file index (0-based) of count: "0/5".
std::string StatusPosition(int index, int count);

}  // namespace lumaprep
