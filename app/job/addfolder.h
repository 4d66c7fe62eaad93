#pragma once
// Scanning a folder for photos: the "Add from folder" command of the main window.
// No Qt here; the window hands in its AddFile and its pending-events pump.
#include <functional>
#include <string>
#include <string_view>

namespace lumaprep {

// Matches a file name against a wildcard pattern the way the Windows file search does:
// letters compare without case, "*" matches any run, "?" one character; "*.*" matches every
// name, a "*" right before a "." stops at the last dot of the name, a "?" may match nothing at
// a dot or at the end of the name, and a "." before a wildcard may match the end of the name.
bool WildcardMatch(std::string_view pattern, std::string_view name);

// The extension box's text with blanks and control characters trimmed from both ends.
std::string TrimExtension(std::string_view text);

// Walks folder and hands every entry whose name matches "*." + extension to addFile, in the
// order the file system returns them; an empty extension means "*". With includeSubfolders,
// matching subfolders are walked depth first where they occur (the pattern narrows folders as
// well: "jpg" does not enter a folder named "2019"). Hidden entries are included. pendingEvents
// runs after every entry. A folder that cannot be read adds nothing and reports nothing.
void AddFolder(const std::string& folder, bool includeSubfolders, const std::string& extension,
               const std::function<void(const std::string&)>& addFile,
               const std::function<void()>& pendingEvents);

}  // namespace lumaprep
