#include "cli/options.h"

#include <charconv>
#include <thread>

namespace lumaprep::cli {

namespace {

constexpr int kMaxSide = 9999;  // the window's custom size fields hold four digits
constexpr int kMaxJobs = 256;

bool parseInt(const std::string& text, int lo, int hi, int& value) {
  if (text.empty()) return false;
  int v = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (ec != std::errc() || ptr != end || v < lo || v > hi) return false;
  value = v;
  return true;
}

bool parseClash(const std::string& text, TClashPolicy& policy) {
  if (text == "ask")
    policy = TClashPolicy::kAsk;
  else if (text == "overwrite")
    policy = TClashPolicy::kOverwrite;
  else if (text == "skip")
    policy = TClashPolicy::kSkip;
  else if (text == "autoname")
    policy = TClashPolicy::kAutoName;
  else
    return false;
  return true;
}

}  // namespace

bool ParseSizeValue(const std::string& text, int& value) {
  if (text == "auto") {
    value = -1;
    return true;
  }
  for (char c : text)
    if (c < '0' || c > '9') return false;  // no sign, no blanks: the window takes digits only
  return parseInt(text, 0, kMaxSide, value);
}

TParseResult ParseArguments(const std::vector<std::string>& args) {
  TParseResult r;
  TCliOptions& o = r.options;
  auto fail = [&r](std::string message) {
    r.ok = false;
    r.error = std::move(message);
    return r;
  };

  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      o.inputs.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    // "--name=value" and "--name value" are both accepted.
    std::string value;
    bool hasInlineValue = false;
    if (arg.rfind("--", 0) == 0) {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg.resize(eq);
        hasInlineValue = true;
      }
    }
    auto takeValue = [&](std::string& out) {
      if (hasInlineValue) {
        out = value;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    auto flag = [&](bool& target) {
      if (hasInlineValue) return false;
      target = true;
      return true;
    };

    std::string v;
    if (arg == "--help" || arg == "-h") {
      if (!flag(o.help)) return fail("option " + arg + " takes no value");
    } else if (arg == "--version" || arg == "-V") {
      if (!flag(o.version)) return fail("option " + arg + " takes no value");
    } else if (arg == "--recursive" || arg == "-r") {
      if (!flag(o.recursive)) return fail("option " + arg + " takes no value");
    } else if (arg == "--all") {
      if (!flag(o.all)) return fail("option " + arg + " takes no value");
    } else if (arg == "--fast") {
      if (!flag(o.fast)) return fail("option " + arg + " takes no value");
    } else if (arg == "--dry-run" || arg == "-n") {
      if (!flag(o.dryRun)) return fail("option " + arg + " takes no value");
    } else if (arg == "--width" || arg == "--height") {
      if (!takeValue(v)) return fail("option " + arg + " needs a value");
      int& side = arg == "--width" ? o.width : o.height;
      if (!ParseSizeValue(v, side))
        return fail("bad value for " + arg + ": \"" + v +
                    "\" (expected auto, 0 or a number of pixels up to 9999)");
    } else if (arg == "--quality" || arg == "-q") {
      if (!takeValue(v)) return fail("option " + arg + " needs a value");
      if (!parseInt(v, 0, 100, o.quality))
        return fail("bad value for " + arg + ": \"" + v + "\" (expected 0..100)");
    } else if (arg == "--output" || arg == "-o") {
      if (!takeValue(v)) return fail("option " + arg + " needs a value");
      if (v.empty()) return fail("option " + arg + " needs a folder");
      o.outputDir = v;
    } else if (arg == "--ext") {
      if (!takeValue(v)) return fail("option " + arg + " needs a value");
      // The window's folder dialog trims blanks and takes an empty box as "*".
      size_t b = v.find_first_not_of(" \t");
      size_t e = v.find_last_not_of(" \t");
      v = b == std::string::npos ? std::string() : v.substr(b, e - b + 1);
      if (!v.empty() && v[0] == '.') v.erase(0, 1);
      o.ext = v.empty() ? "*" : v;
    } else if (arg == "--on-clash") {
      if (!takeValue(v)) return fail("option " + arg + " needs a value");
      if (!parseClash(v, o.onClash))
        return fail("bad value for --on-clash: \"" + v +
                    "\" (expected ask, overwrite, skip or autoname)");
    } else if (arg == "--jobs" || arg == "-j") {
      if (!takeValue(v)) return fail("option " + arg + " needs a value");
      if (!parseInt(v, 1, kMaxJobs, o.jobs))
        return fail("bad value for " + arg + ": \"" + v + "\" (expected 1.." +
                    std::to_string(kMaxJobs) + ")");
    } else {
      return fail("unknown option " + arg + " (see --help)");
    }
  }

  if (o.help || o.version) {
    r.ok = true;
    return r;
  }
  if (o.inputs.empty()) return fail("no input files or folders (see --help)");
  if (o.outputDir.empty()) return fail("no output folder: give --output DIR");
  if (o.all && o.onClash != TClashPolicy::kAsk && o.onClash != TClashPolicy::kUnset)
    return fail("--all applies to --on-clash ask only");
  if (o.jobs == 0) {
    unsigned n = std::thread::hardware_concurrency();
    o.jobs = n == 0 ? 1 : static_cast<int>(n > unsigned(kMaxJobs) ? kMaxJobs : n);
  }
  r.ok = true;
  return r;
}

std::string UsageText() {
  return "Usage: lumaprep-cli [options] --output DIR FILE|FOLDER...\n"
         "Shrinks photos: each file is read, resampled and written into DIR under its own\n"
         "name, in its own format.\n"
         "\n"
         "Inputs:\n"
         "  -r, --recursive        scan folders with their subfolders\n"
         "      --ext EXT          in folders, take only *.EXT (default: *)\n"
         "Settings:\n"
         "      --width W          auto, 0 (own size) or 1..9999 pixels (default: 1024)\n"
         "      --height H         auto, 0 (own size) or 1..9999 pixels (default: auto)\n"
         "  -q, --quality Q        JPEG quality 0..100 (default: 80)\n"
         "  -o, --output DIR       output folder (must exist)\n"
         "When a target file exists:\n"
         "      --on-clash MODE    ask, overwrite, skip or autoname (\"name(1).ext\")\n"
         "                         default: ask on a terminal, otherwise skip\n"
         "      --all              when asking, the first answer stands for later clashes\n"
         "Running:\n"
         "  -j, --jobs N           files converted in parallel (default: one per core)\n"
         "      --fast             decode JPEG at 1/2, 1/4 or 1/8 size when the target is\n"
         "                         that small; faster and smoother, pixels differ\n"
         "  -n, --dry-run          print what would be written, write nothing\n"
         "  -h, --help             this text\n"
         "  -V, --version          the version\n"
         "\n"
         "Exit status: 0 when no file failed, 1 when any file failed, 2 for bad usage,\n"
         "130 when stopped by Ctrl-C (the files in progress are finished first).\n";
}

std::string VersionText() { return "lumaprep-cli 0.1.0\n"; }

}  // namespace lumaprep::cli
