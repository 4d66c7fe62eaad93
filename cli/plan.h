#pragma once
// Name decisions of a run: every input's target in the output folder, taken in list order
// before any file is converted, with the window's overwrite rules.
#include <functional>
#include <string>
#include <vector>

#include "app/job/overwrite.h"

namespace lumaprep::cli {

// True when a file (not a folder) exists under path.
using TExistsFunction = std::function<bool(const std::string& path)>;

// The window's CheckTargetFile and MakeAutoName with an existence test handed in, so that the
// outputs already planned for earlier inputs count as existing: with parallel workers those
// files may not be written yet when later inputs are decided, but the window would meet them.
std::string MakeAutoNameWith(const std::string& path, const TExistsFunction& exists);
std::string CheckTargetFileWith(const std::string& target, TOverWriteChoice& choice,
                                const TAskOverWrite& ask, const TExistsFunction& exists);

struct TPlannedFile {
  std::string source;
  std::string target;    // empty: skipped because the target exists
  bool clashed = false;  // the target name (before auto-naming) already existed
  // Index of the latest earlier entry whose source or target is this entry's source or target:
  // this entry is converted only after that one is finished, as in the window's sequential job.
  int after = -1;
};

// Decides the target of every source in order. choice is the remembered answer (kept across
// calls like the window's FOverWriteChoice); ask is called only when no answer is remembered.
std::vector<TPlannedFile> PlanTargets(const std::vector<std::string>& sources,
                                      const std::string& outputFolder, TOverWriteChoice& choice,
                                      const TAskOverWrite& ask);

}  // namespace lumaprep::cli
