#pragma once
// Skins: a skin file is a Qt style sheet that gives every window and dialog its look. The
// eighteen file names and the skin numbers live in settings/skins.h; this file applies them.
#include <stdexcept>
#include <string>

namespace lumaprep {

class TfrmCommon;

// Raised for a skin file that exists but cannot be read or is not a style sheet.
class ESkinFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Applies skin number 1..18 (any other number: 10, "Silver.ssk") from the program folder's
// "skins/" folder.
void ApplySkin(const TfrmCommon& common, int number);

// Loads the style sheet at path and applies it to the whole application at once. When path
// does not exist, a file of the same name in programFolder is tried; when that does not exist
// either, the look stays as it is. A file that exists but cannot be read, or that is not a
// well-formed style sheet, raises ESkinFileError and leaves the look as it is.
void LoadSkinFile(const std::string& path, const std::string& programFolder);

// The file whose style sheet is applied now; empty before the first skin and after a skin
// file failed to load.
const std::string& CurrentSkinFile();

// Checks that text can be a style sheet: UTF-8 without NUL bytes, comments and strings closed,
// braces balanced. Returns an empty text when it can, else the reason.
std::string CheckStyleSheet(const std::string& text);

}  // namespace lumaprep
