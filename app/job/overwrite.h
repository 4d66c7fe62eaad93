#pragma once
// Output naming and the policy for targets that already exist. Every output file takes the
// input's file name inside the output folder; when that file exists, the remembered choice or the
// user's answer decides: skip, overwrite, or write under a free name made by inserting "(1)"
// before the extension.
#include <cstdint>
#include <functional>
#include <string>

namespace lumaprep {

// The code of the answer; 1 is never produced. As a remembered choice, owIgnore means "none".
enum TOverWriteChoice : uint8_t {
  owIgnore = 0,        // skip this input, ask again next time
  owIgnoreAll = 2,     // skip this and every later existing target
  owOverWrite = 3,     // overwrite this one, ask again next time
  owOverWriteAll = 4,  // overwrite this and every later existing target
  owAutoName = 5,      // auto-name this one, ask again next time
  owAutoNameAll = 6,   // auto-name this and every later existing target
};

// The code a dialog stores for a button: ignore / overwrite / auto-name, with the "apply to all"
// check box ticked or clear.
enum class TOverWriteButton { Ignore, OverWrite, AutoName };
TOverWriteChoice ChoiceForButton(TOverWriteButton button, bool applyToAll);

// The file-name part of a path: everything after its last "/".
std::string ExtractFileName(const std::string& path);

// The output folder with a "/" added when its last character is not one (an empty folder text
// gives "/").
std::string IncludeTrailingSlash(const std::string& folder);

// Output folder + "/" when missing + the input's file name.
std::string MakeTargetPath(const std::string& outputFolder, const std::string& source);

// True when something other than a folder exists under path (a folder of that name is free).
bool TargetFileExists(const std::string& path);

// The first free name of the series path, stem(1).ext, stem(1)(1).ext, ... where the extension
// starts at the last "." of the file-name part (a dot in a folder name does not count) and is
// empty when the file name has no dot.
std::string MakeAutoName(const std::string& path);

// Asks the user what to do with an existing target (the window shows its file-exists dialog, the
// command line asks or answers from its options). Called only when no choice is remembered.
using TAskOverWrite = std::function<TOverWriteChoice(const std::string& target)>;

// Returns the path to write (target itself or an auto-name) or "" when the input is to be
// skipped. overWriteChoice is the remembered choice (FOverWriteChoice of the caller, 0 at start):
// 0 asks through ask and keeps the answer; 3 and 5 are used once and cleared to 0; 2, 4 and 6
// stay. Without an ask function, or for an unknown code, the input is skipped (the unknown code
// is then cleared so the next clash asks again).
std::string CheckTargetFile(const std::string& target, TOverWriteChoice& overWriteChoice,
                            const TAskOverWrite& ask);

}  // namespace lumaprep
