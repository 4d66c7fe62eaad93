#include "app/job/addfolder.h"

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <utility>
#include <vector>

namespace lumaprep {

namespace {

namespace fs = std::filesystem;

// A pattern after the Windows search has rewritten it: a "*" before a "." becomes kDosStar,
// every "?" kDosQm, a "." before a wildcard or at the end kDosDot.
enum class TokenKind : uint8_t { kLiteral, kStar, kDosStar, kDosQm, kDosDot };

struct Token {
  TokenKind kind;
  char32_t ch;
};

// UTF-8 to code points, so that "?" takes one character and not one byte. A byte that does not
// start a valid sequence stands for itself.
std::u32string decode(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    bool ok = len > 0 && i + len <= s.size();
    for (int k = 1; ok && k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      ok = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!ok) {
      out.push_back(b);
      ++i;
    } else {
      out.push_back(cp);
      i += len;
    }
  }
  return out;
}

// Upper to lower case for the alphabets people name their folders in: Latin, Greek, Cyrillic.
char32_t fold(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 0x20;
  if (c < 0xC0) return c;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
      (c >= 0x410 && c <= 0x42F))
    return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  if (c >= 0x100 && c <= 0x17E && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
      c != 0x178) {
    // Latin Extended-A pairs an upper case letter with the next code point; the two runs
    // 0x139..0x148 and 0x179..0x17E start on an odd one.
    const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    return (c % 2 == 1) == oddUpper ? c + 1 : c;
  }
  return c;
}

std::vector<Token> translate(const std::u32string& p) {
  std::vector<Token> tokens;
  if (p == U"*.*") return {{TokenKind::kStar, 0}};
  for (size_t i = 0; i < p.size(); ++i) {
    const char32_t next = i + 1 < p.size() ? p[i + 1] : 0;
    if (p[i] == '?') {
      tokens.push_back({TokenKind::kDosQm, 0});
    } else if (p[i] == '*') {
      tokens.push_back({next == '.' ? TokenKind::kDosStar : TokenKind::kStar, 0});
    } else if (p[i] == '.' && (next == '?' || next == '*' || next == 0)) {
      tokens.push_back({TokenKind::kDosDot, 0});
    } else {
      tokens.push_back({TokenKind::kLiteral, fold(p[i])});
    }
  }
  return tokens;
}

std::string joinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

class FolderWalker {
 public:
  FolderWalker(std::string pattern, bool includeSubfolders,
               const std::function<void(const std::string&)>& addFile,
               const std::function<void()>& pendingEvents)
      : m_pattern(std::move(pattern)),
        m_includeSubfolders(includeSubfolders),
        m_addFile(addFile),
        m_pendingEvents(pendingEvents) {}

  // Symbolic links are followed like folders, but a folder already on the way down is not
  // entered again, so a link to a parent ends instead of adding the same files over and over.
  void enter(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return;
    const std::pair<dev_t, ino_t> id{st.st_dev, st.st_ino};
    if (!m_onPath.insert(id).second) return;
    walk(path);
    m_onPath.erase(id);
  }

 private:
  void walk(const std::string& folder) {
    std::error_code ec;
    fs::directory_iterator it(fs::path(folder), ec);
    if (ec) return;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name == "." || name == "..") continue;
      if (!WildcardMatch(m_pattern, name)) continue;
      const std::string path = joinPath(folder, name);
      std::error_code dirEc;
      if (it->is_directory(dirEc)) {
        // A folder is never a photo: it is entered or passed over, not listed.
        if (m_includeSubfolders) enter(path);
      } else if (m_addFile) {
        m_addFile(path);
      }
      if (m_pendingEvents) m_pendingEvents();
    }
  }

  std::string m_pattern;
  bool m_includeSubfolders;
  const std::function<void(const std::string&)>& m_addFile;
  const std::function<void()>& m_pendingEvents;
  std::set<std::pair<dev_t, ino_t>> m_onPath;
};

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  const std::vector<Token> p = translate(decode(pattern));
  std::u32string s = decode(name);
  for (char32_t& c : s) c = fold(c);
  const size_t m = p.size();
  const size_t n = s.size();
  size_t lastDot = std::u32string::npos;
  for (size_t i = 0; i < n; ++i)
    if (s[i] == '.') lastDot = i;

  // match[pi * (n + 1) + ni]: does p[pi..] match s[ni..]? Filled from the end of the pattern.
  std::vector<char> match((m + 1) * (n + 1), 0);
  auto at = [&](size_t pi, size_t ni) -> char& { return match[pi * (n + 1) + ni]; };
  at(m, n) = 1;
  for (size_t pi = m; pi-- > 0;) {
    for (size_t ni = n + 1; ni-- > 0;) {
      const bool more = ni < n;
      bool r = false;
      switch (p[pi].kind) {
        case TokenKind::kLiteral:
          r = more && s[ni] == p[pi].ch && at(pi + 1, ni + 1);
          break;
        case TokenKind::kStar:
          r = at(pi + 1, ni) || (more && at(pi, ni + 1));
          break;
        case TokenKind::kDosStar:
          // Anything up to, but not over, the last dot of the name.
          r = at(pi + 1, ni) || (more && ni != lastDot && at(pi, ni + 1));
          break;
        case TokenKind::kDosQm:
          // One character; at a dot or the end of the name it matches nothing.
          r = (more && s[ni] != '.') ? at(pi + 1, ni + 1) : at(pi + 1, ni);
          break;
        case TokenKind::kDosDot:
          r = more ? (s[ni] == '.' && at(pi + 1, ni + 1)) : at(pi + 1, ni);
          break;
      }
      at(pi, ni) = r ? 1 : 0;
    }
  }
  return at(0, 0) != 0;
}

std::string TrimExtension(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return std::string(text.substr(begin, end - begin));
}

void AddFolder(const std::string& folder, bool includeSubfolders, const std::string& extension,
               const std::function<void(const std::string&)>& addFile,
               const std::function<void()>& pendingEvents) {
  const std::string pattern = "*." + (extension.empty() ? std::string("*") : extension);
  FolderWalker walker(pattern, includeSubfolders, addFile, pendingEvents);
  walker.enter(folder);
}

}  // namespace lumaprep
