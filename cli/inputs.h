#pragma once
// The input list of lumaprep-cli: files given by name and files found in folders.
#include <string>
#include <vector>

namespace lumaprep::cli {

// The window's admission test for its file list: the name's extension (from the last dot of
// the file-name part, dot included, lower-cased) occurs in the supported pattern list as a
// substring. So ".jpg", ".JPG", ".jpeg" and also ".jp" pass; ".tiff" and names without a dot
// do not.
bool IsAdmitted(const std::string& path);

struct TInputList {
  std::vector<std::string> files;    // admitted files, in list order
  std::vector<std::string> refused;  // named files the admission test refused
  std::vector<std::string> missing;  // names that are neither a file nor a folder
};

// Files are taken as given (then tested like the window's list). A folder contributes the
// files whose names match "*." + ext (the window's wildcard rules), sorted by name so that runs
// are repeatable; with recursive, every subfolder is walked after the folder's own files,
// whatever its name. Files found in folders that fail the admission test are left out quietly,
// as in the window.
TInputList CollectInputs(const std::vector<std::string>& inputs, bool recursive,
                         const std::string& ext);

}  // namespace lumaprep::cli
