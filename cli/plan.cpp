#include "cli/plan.h"

#include <filesystem>
#include <map>
#include <set>
#include <system_error>

namespace lumaprep::cli {

namespace fs = std::filesystem;

namespace {

// One spelling per file, so that "out/a.jpg" and "out//./a.jpg" are seen as the same target.
std::string samePathKey(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::path(path), ec);
  if (ec) p = fs::absolute(fs::path(path), ec).lexically_normal();
  return p.string();
}

}  // namespace

std::string MakeAutoNameWith(const std::string& path, const TExistsFunction& exists) {
  std::string name = path;
  while (exists(name)) {
    size_t slash = name.find_last_of('/');
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot < nameStart) dot = name.size();
    name = name.substr(0, dot) + "(1)" + name.substr(dot);
  }
  return name;
}

std::string CheckTargetFileWith(const std::string& target, TOverWriteChoice& choice,
                                const TAskOverWrite& ask, const TExistsFunction& exists) {
  if (!exists(target)) return target;
  if (choice == owIgnore) choice = ask ? ask(target) : owIgnore;
  switch (choice) {
    case owIgnore:
    case owIgnoreAll:
      return "";
    case owOverWrite:
      choice = owIgnore;
      return target;
    case owOverWriteAll:
      return target;
    case owAutoName:
      choice = owIgnore;
      return MakeAutoNameWith(target, exists);
    case owAutoNameAll:
      return MakeAutoNameWith(target, exists);
  }
  choice = owIgnore;  // an unknown code: skip this one, ask again next time
  return "";
}

std::vector<TPlannedFile> PlanTargets(const std::vector<std::string>& sources,
                                      const std::string& outputFolder, TOverWriteChoice& choice,
                                      const TAskOverWrite& ask) {
  std::vector<TPlannedFile> plan;
  plan.reserve(sources.size());
  std::set<std::string> planned;           // keys of targets of earlier entries
  std::map<std::string, int> lastTouched;  // key -> latest entry reading or writing it
  TExistsFunction exists = [&planned](const std::string& path) {
    return TargetFileExists(path) || planned.count(samePathKey(path)) != 0;
  };

  for (const std::string& source : sources) {
    TPlannedFile entry;
    entry.source = source;
    std::string target = MakeTargetPath(outputFolder, source);
    entry.clashed = exists(target);
    entry.target = CheckTargetFileWith(target, choice, ask, exists);

    const int index = static_cast<int>(plan.size());
    const std::string sourceKey = samePathKey(source);
    auto follow = [&](const std::string& key) {
      auto it = lastTouched.find(key);
      if (it != lastTouched.end() && it->second > entry.after) entry.after = it->second;
    };
    if (!entry.target.empty()) {
      const std::string targetKey = samePathKey(entry.target);
      follow(sourceKey);  // an earlier entry writes our source, or reads it
      follow(targetKey);  // an earlier entry reads or writes our target
      planned.insert(targetKey);
      lastTouched[sourceKey] = index;
      lastTouched[targetKey] = index;
    }
    plan.push_back(std::move(entry));
  }
  return plan;
}

}  // namespace lumaprep::cli
