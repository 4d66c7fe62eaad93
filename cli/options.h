#pragma once
// Command-line options of lumaprep-cli.
#include <string>
#include <vector>

namespace lumaprep::cli {

// What to do when a target file exists. kUnset: ask on a terminal, otherwise skip and say so.
enum class TClashPolicy { kUnset, kAsk, kOverwrite, kSkip, kAutoName };

struct TCliOptions {
  std::vector<std::string> inputs;  // files and folders, in the order given
  bool recursive = false;
  std::string ext = "*";  // folder scan pattern: "*" or an extension without the dot
  int width = 1024;       // the window's start values: 1024 wide, automatic height
  int height = -1;
  int quality = 80;
  std::string outputDir;
  TClashPolicy onClash = TClashPolicy::kUnset;
  bool all = false;  // an answer given when asking stands for every later clash
  int jobs = 0;      // 0: one per core
  bool fast = false;
  bool dryRun = false;
  bool help = false;
  bool version = false;
};

struct TParseResult {
  bool ok = false;
  std::string error;  // one line, without the program name
  TCliOptions options;
};

// args excludes the program name.
TParseResult ParseArguments(const std::vector<std::string>& args);

// A size value as the window means it: "auto" -1, "0" the source's own size, else pixels
// (1..9999, the window's four digits). False when the text is none of these.
bool ParseSizeValue(const std::string& text, int& value);

std::string UsageText();
std::string VersionText();

}  // namespace lumaprep::cli
