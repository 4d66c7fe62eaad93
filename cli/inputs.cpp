#include "cli/inputs.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "app/job/addfolder.h"
#include "app/job/admission.h"

namespace lumaprep::cli {

namespace fs = std::filesystem;

namespace {

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

bool IsAdmitted(const std::string& path) { return IsSupportedFile(path); }

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
