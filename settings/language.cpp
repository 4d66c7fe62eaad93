#include "settings/language.h"

#include <optional>

#include "settings/inifile.h"

namespace lumaprep {
namespace {

std::string lowered(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

}  // namespace

bool TLanguage::LoadFromFile(const std::string& fileName) {
  m_texts.clear();
  std::optional<std::string> text = ReadIniText(fileName);
  if (!text) return false;
  for (TIniEntry& e : ParseIniText(*text))
    m_texts.emplace(std::make_pair(lowered(e.Section), lowered(e.Key)), std::move(e.Value));
  return true;
}

std::string TLanguage::Text(const std::string& section, const std::string& key) const {
  auto it = m_texts.find({lowered(section), lowered(key)});
  return it == m_texts.end() ? std::string() : it->second;
}

std::string FormatStatusRun(const std::string& pattern, const std::string& argument) {
  std::string out;
  bool used = false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      out += pattern[i];
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // A placeholder: only the first one has an argument, and it must take text.
    if (used) throw EConvertError("No argument for format '" + pattern + "'");
    if (i + 1 >= pattern.size() || (pattern[i + 1] != 's' && pattern[i + 1] != 'S'))
      throw EConvertError("Format '" + pattern + "' invalid or incompatible with argument");
    out += argument;
    used = true;
    ++i;
  }
  return out;
}

std::string StatusPosition(int index, int count) {
  return std::to_string(index) + "/" + std::to_string(count);
}

}  // namespace lumaprep
