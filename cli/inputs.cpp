#include "cli/inputs.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "app/job/addfolder.h"

namespace lumaprep::cli {

namespace fs = std::filesystem;

namespace {

// The window's supported-extension list, joined as its open dialog and AddFile see it.
constexpr const char* kSupportedExtensions =
    "*.jpg;*.gif;*.bmp;*.jp2;*.j2k;*.jpc;*.jpeg;*.png;*.psd;*.avi;*.pcx;*.dcx;*.dib;*.rle;"
    "*.tga;*.pbm;*.pgm;*.ppm;*.ico;*.wmf;*.emf;*.cur;*.tif";

std::string fileNamePart(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void scanFolder(const fs::path& folder, bool recursive, const std::string& pattern,
                std::set<fs::path>& visited, std::vector<std::string>& out) {
  std::error_code ec;
  fs::path canonical = fs::canonical(folder, ec);
  if (ec || !visited.insert(canonical).second) return;  // unreadable, or a link loop

  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    entries.push_back(*it);
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });

  for (const fs::directory_entry& entry : entries) {
    std::error_code statError;
    if (entry.is_directory(statError)) {
      if (recursive) scanFolder(entry.path(), recursive, pattern, visited, out);
      continue;
    }
    std::string name = entry.path().filename().string();
    if (!WildcardMatch(pattern, name)) continue;
    std::string path = entry.path().string();
    if (IsAdmitted(path)) out.push_back(path);
  }
}

}  // namespace

bool IsAdmitted(const std::string& path) {
  std::string name = fileNamePart(path);
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) return false;
  std::string ext = name.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return std::string_view(kSupportedExtensions).find(ext) != std::string_view::npos;
}

TInputList CollectInputs(const std::vector<std::string>& inputs, bool recursive,
                         const std::string& ext) {
  TInputList list;
  const std::string pattern = "*." + (ext.empty() ? std::string("*") : ext);
  std::set<fs::path> visited;
  for (const std::string& input : inputs) {
    std::error_code ec;
    fs::file_status status = fs::status(input, ec);
    if (fs::is_directory(status)) {
      visited.clear();
      scanFolder(input, recursive, pattern, visited, list.files);
    } else if (fs::exists(status)) {
      if (IsAdmitted(input))
        list.files.push_back(input);
      else
        list.refused.push_back(input);
    } else {
      list.missing.push_back(input);
    }
  }
  return list;
}

}  // namespace lumaprep::cli
