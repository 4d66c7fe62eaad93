#include "app/skins.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include <QApplication>
#include <QString>

#include "settings/common.h"

namespace lumaprep {

namespace {

// A skin file is a few kilobytes; anything this large is not one.
constexpr std::size_t kMaxSkinFileSize = 4u << 20;

std::string& currentSkinFile() {
  static std::string file;
  return file;
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string baseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

[[noreturn]] void fail(const std::string& path, const std::string& reason) {
  currentSkinFile().clear();
  throw ESkinFileError("Cannot load skin file \"" + path + "\". " + reason);
}

bool validUtf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    const int len = b < 0x80           ? 1
                    : (b >> 5) == 0x6  ? 2
                    : (b >> 4) == 0xE  ? 3
                    : (b >> 3) == 0x1E ? 4
                                       : 0;
    if (len == 0 || i + len > s.size()) return false;
    for (int k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

}  // namespace

std::string CheckStyleSheet(const std::string& text) {
  if (text.find('\0') != std::string::npos) return "The file holds binary data.";
  if (!validUtf8(text)) return "The file is not UTF-8 text.";
  int depth = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
      const std::size_t end = text.find("*/", i + 2);
      if (end == std::string::npos) return "A comment is not closed.";
      i = end + 2;
      continue;
    }
    if (c == '"' || c == '\'') {
      std::size_t j = i + 1;
      while (j < text.size() && text[j] != c && text[j] != '\n') j += text[j] == '\\' ? 2 : 1;
      if (j >= text.size() || text[j] != c) return "A string is not closed.";
      i = j + 1;
      continue;
    }
    if (c == '{') ++depth;
    if (c == '}' && --depth < 0) return "A \"}\" has no matching \"{\".";
    ++i;
  }
  if (depth != 0) return "A \"{\" is not closed.";
  return {};
}

void LoadSkinFile(const std::string& path, const std::string& programFolder) {
  std::string file = path;
  if (!fileExists(file)) {
    file = programFolder + baseName(path);
    if (!fileExists(file)) return;  // no such skin anywhere: the look stays
  }
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) fail(file, "It is not a file.");
  std::ifstream in(file, std::ios::binary);
  if (!in) fail(file, std::strerror(errno));
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0) fail(file, "The file cannot be read.");
  if (static_cast<std::size_t>(size) > kMaxSkinFileSize) fail(file, "The file is too large.");
  in.seekg(0);
  std::string text(static_cast<std::size_t>(size), '\0');
  if (!in.read(text.data(), size)) fail(file, "The file cannot be read.");
  if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  const std::string problem = CheckStyleSheet(text);
  if (!problem.empty()) fail(file, problem);

  if (qApp) qApp->setStyleSheet(QString::fromStdString(text));
  currentSkinFile() = file;
}

void ApplySkin(const TfrmCommon& common, int number) {
  LoadSkinFile(common.SkinFilePath(number), common.AppPath());
}

const std::string& CurrentSkinFile() { return currentSkinFile(); }

}  // namespace lumaprep
