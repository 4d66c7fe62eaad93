#pragma once
// A whole lumaprep-cli run: inputs, name decisions, parallel conversion, progress and summary.
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/options.h"

namespace lumaprep::cli {

// Exit status.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // at least one file failed
inline constexpr int kExitUsage = 2;   // bad options, or nothing could be started

struct TConsole {
  std::istream* in = nullptr;   // answers to the clash question
  std::ostream* out = nullptr;  // --dry-run listing, --help, --version
  std::ostream* err = nullptr;  // errors, notices, progress bar, summary
  bool canAsk = false;          // standard input and error are terminals
  bool progressBar = false;     // standard error is a terminal
};

struct TRunCounts {
  int converted = 0;
  int skipped = 0;
  int failed = 0;
};

// Converts as the options say. Returns the exit status; counts (when given) receive the totals.
int RunConversion(const TCliOptions& options, TConsole& console, TRunCounts* counts = nullptr);

// Parses args (without the program name), handles --help and --version, then runs.
int CliMain(const std::vector<std::string>& args, TConsole& console);

}  // namespace lumaprep::cli
