#pragma once
// A whole lumaprep-cli run: inputs, name decisions, parallel conversion, progress and summary.
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/options.h"

namespace lumaprep::cli {

// Exit status.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;     // at least one file failed
inline constexpr int kExitUsage = 2;      // bad options, or nothing could be started
inline constexpr int kExitStopped = 130;  // interrupted (Ctrl-C) or terminated

struct TConsole {
  std::istream* in = nullptr;   // answers to the clash question
  std::ostream* out = nullptr;  // --dry-run listing, --help, --version
  std::ostream* err = nullptr;  // errors, notices, progress bar, summary
  bool canAsk = false;          // standard input and error are terminals
  bool progressBar = false;     // standard error is a terminal
  // Ctrl-C and SIGTERM stop the run once the files in progress are written (a second Ctrl-C
  // ends the process at once). Only while files are converted: during the questions Ctrl-C
  // ends the program before anything is written.
  bool stopOnSignals = false;
};

// Asks a running conversion to stop after the files in progress. Safe in a signal handler.
void RequestStop();

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
