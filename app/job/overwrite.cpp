#include "app/job/overwrite.h"

#include <filesystem>

namespace lumaprep {

TOverWriteChoice ChoiceForButton(TOverWriteButton button, bool applyToAll) {
  switch (button) {
    case TOverWriteButton::OverWrite:
      return applyToAll ? owOverWriteAll : owOverWrite;
    case TOverWriteButton::AutoName:
      return applyToAll ? owAutoNameAll : owAutoName;
    case TOverWriteButton::Ignore:
      break;
  }
  return applyToAll ? owIgnoreAll : owIgnore;
}

std::string ExtractFileName(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string IncludeTrailingSlash(const std::string& folder) {
  if (!folder.empty() && folder.back() == '/') return folder;
  return folder + '/';
}

std::string MakeTargetPath(const std::string& outputFolder, const std::string& source) {
  return IncludeTrailingSlash(outputFolder) + ExtractFileName(source);
}

bool TargetFileExists(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  std::filesystem::file_status st = std::filesystem::status(path, ec);
  return !ec && std::filesystem::exists(st) && !std::filesystem::is_directory(st);
}

std::string MakeAutoName(const std::string& path) {
  // Each step makes the name three bytes longer, so the loop ends at the latest when the name
  // grows too long for the file system to find such a file.
  std::string name = path;
  while (TargetFileExists(name)) {
    std::size_t nameStart = name.rfind('/');
    nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot < nameStart) dot = name.size();
    name.insert(dot, "(1)");
  }
  return name;
}

std::string CheckTargetFile(const std::string& target, TOverWriteChoice& overWriteChoice,
                            const TAskOverWrite& ask) {
  if (!TargetFileExists(target)) return target;
  if (overWriteChoice == owIgnore) overWriteChoice = ask ? ask(target) : owIgnore;
  switch (overWriteChoice) {
    case owIgnore:
    case owIgnoreAll:
      return std::string();
    case owOverWrite:
      overWriteChoice = owIgnore;
      return target;
    case owOverWriteAll:
      return target;
    case owAutoName:
      overWriteChoice = owIgnore;
      return MakeAutoName(target);
    case owAutoNameAll:
      return MakeAutoName(target);
  }
  overWriteChoice = owIgnore;  // a code no button produces: skip, and ask again next time
  return std::string();
}

}  // namespace lumaprep
