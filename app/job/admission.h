#pragma once
// Which files the input list admits: the rule the window's file list and lumaprep-cli share.
#include <string>

namespace lumaprep {

// The 23 patterns of the formats Lumaprep reads, joined by ";".
extern const char* const kSupportedExtensions;

// The extension of path's file name (from its last "." to the end, dot included), or "" when
// the file name has no dot.
std::string FileExtension(const std::string& path);

// The admission test of the file list: the lower-case extension, dot included, occurs
// somewhere in kSupportedExtensions. A substring test, so ".jpe" and ".p" pass as well;
// ".tiff", ".txt" and names without a dot do not.
bool IsSupportedFile(const std::string& path);

}  // namespace lumaprep
