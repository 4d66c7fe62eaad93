#include "cli/run.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <istream>
#include <mutex>
#include <ostream>
#include <thread>

#include "app/job/convert.h"
#include "app/job/overwrite.h"
#include "cli/inputs.h"
#include "cli/plan.h"
#include "imaging/imageio.h"
#include "imaging/resample.h"

namespace lumaprep::cli {

namespace {

constexpr const char* kProgram = "lumaprep-cli";

std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onStopSignal(int) { g_stopRequested.store(true); }

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

constexpr int kBarWidth = 30;

// An exception text on one line.
std::string oneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// Files of a format that can be read but has no writer (cursors, metafiles, videos) give no
// output; the window drops them silently after decoding, here they are skipped up front.
bool hasWriter(const std::string& path) {
  const TImageFileFormatInfo* info = GetFileFormatInfoByExt(ExtractFileExtLower(path));
  return info == nullptr || info->WriteFunction != nullptr;
}

// Everything the workers share; every member is used under m_mutex.
class TRunState {
 public:
  explicit TRunState(TConsole& console) : m_console(console) {}

  void Error(const std::string& file, const std::string& message) {
    std::lock_guard lock(m_mutex);
    ++m_counts.failed;
    line(std::string(kProgram) + ": " + file + ": " + message);
  }
  void Skip(const std::string& file, const std::string& message) {
    std::lock_guard lock(m_mutex);
    ++m_counts.skipped;
    line(std::string(kProgram) + ": skipped " + file + ": " + message);
  }
  void Notice(const std::string& message) {
    std::lock_guard lock(m_mutex);
    line(std::string(kProgram) + ": " + message);
  }

  // The next plan index to convert, or -1 when none is left. Waits until the entry it must
  // follow is finished.
  int Take(const std::vector<int>& order, const std::vector<TPlannedFile>& plan) {
    std::unique_lock lock(m_mutex);
    if (g_stopRequested.load()) {
      m_notStarted = static_cast<int>(order.size() - m_next);
      return -1;
    }
    if (m_next >= order.size()) return -1;
    int index = order[m_next++];
    int after = plan[index].after;
    if (after >= 0) m_changed.wait(lock, [&] { return bool(m_done[after]); });
    return index;
  }

  void Finish(int index, bool converted, const std::string& file, const std::string& error) {
    std::lock_guard lock(m_mutex);
    m_done[index] = true;
    ++m_finished;
    if (converted) {
      ++m_counts.converted;
    } else {
      ++m_counts.failed;
      line(std::string(kProgram) + ": " + file + ": " + error);
    }
    drawBar();
    m_changed.notify_all();
  }

  // Before the workers start: planSize entries in the plan, total of them to convert.
  void StartConversion(size_t planSize, int total) {
    std::lock_guard lock(m_mutex);
    m_done.assign(planSize, false);
    m_total = total;
    m_barShown = m_console.progressBar && m_total > 0;
    drawBar();
  }
  void EndBar() {
    std::lock_guard lock(m_mutex);
    clearBar();
    m_barShown = false;
  }

  TRunCounts Counts() {
    std::lock_guard lock(m_mutex);
    return m_counts;
  }
  int NotStarted() {
    std::lock_guard lock(m_mutex);
    return m_notStarted;
  }

 private:
  void clearBar() {
    if (m_barShown) *m_console.err << '\r' << std::string(kBarWidth + 24, ' ') << '\r';
  }
  void drawBar() {
    if (!m_barShown) return;
    int filled = m_total > 0 ? m_finished * kBarWidth / m_total : kBarWidth;
    int percent = m_total > 0 ? m_finished * 100 / m_total : 100;
    *m_console.err << "\r[" << std::string(filled, '#') << std::string(kBarWidth - filled, ' ')
                   << "] " << m_finished << '/' << m_total << ' ' << percent << '%' << std::flush;
  }
  void line(const std::string& text) {
    clearBar();
    *m_console.err << text << '\n';
    drawBar();
    m_console.err->flush();
  }

  TConsole& m_console;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<bool> m_done;
  size_t m_next = 0;
  int m_finished = 0;
  int m_total = 0;
  int m_notStarted = 0;
  bool m_barShown = false;
  TRunCounts m_counts;
};

// The window's file-exists question on the terminal. Enter picks auto-name, the dialog's
// default button; the end of input skips, like closing the dialog.
TOverWriteChoice askOnTerminal(TConsole& console, const std::string& target, bool all) {
  for (;;) {
    *console.err << kProgram << ": " << target << " exists. [o]verwrite, [s]kip, [a]uto-name"
                 << (all ? " (for this and every later clash)" : "") << "? [a] " << std::flush;
    std::string answer;
    if (!std::getline(*console.in, answer)) {
      *console.err << '\n';
      return ChoiceForButton(TOverWriteButton::Ignore, all);
    }
    size_t first = answer.find_first_not_of(" \t");
    char c = first == std::string::npos ? 'a' : static_cast<char>(answer[first] | 0x20);
    if (c == 'o') return ChoiceForButton(TOverWriteButton::OverWrite, all);
    if (c == 's' || c == 'i') return ChoiceForButton(TOverWriteButton::Ignore, all);
    if (c == 'a') return ChoiceForButton(TOverWriteButton::AutoName, all);
  }
}

void convertWorker(const TCliOptions& options, const std::vector<TPlannedFile>& plan,
                   const std::vector<int>& order, TRunState& state) {
  // Each worker has its own buffer, I/O component and resampler, all in memory.
  TImageBitmap bitmap;
  bitmap.SetLocation(imMemory);
  TImageIO io(&bitmap);
  TImageProc proc(&bitmap);
  for (int index; (index = state.Take(order, plan)) >= 0;) {
    const TPlannedFile& entry = plan[index];
    std::string error;
    bool converted = false;
    try {
      TConvertResult r = ConvertFile(io, proc, entry.source, entry.target, options.quality,
                                     options.width, options.height, {}, options.fast);
      converted = r.Written;
      if (!r.Read)
        error = "cannot read the image (damaged file or unsupported data)";
      else if (!r.Written)
        error = "could not write " + entry.target;
    } catch (const std::exception& e) {
      error = oneLine(e.what());
      if (error.empty()) error = "conversion failed";
    } catch (...) {
      error = "conversion failed";
    }
    state.Finish(index, converted, entry.source, error);
  }
}

std::string formatSeconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", seconds);
  return text;
}

}  // namespace

int RunConversion(const TCliOptions& options, TConsole& console, TRunCounts* counts) {
  const auto started = std::chrono::steady_clock::now();
  namespace fs = std::filesystem;

  std::error_code ec;
  if (!fs::is_directory(options.outputDir, ec)) {
    *console.err << kProgram << ": output folder " << options.outputDir
                 << " does not exist or is not a folder\n";
    return kExitUsage;
  }

  TInputList inputs = CollectInputs(options.inputs, options.recursive, options.ext);
  TRunState state(console);
  for (const std::string& name : inputs.missing) state.Error(name, "no such file or folder");
  for (const std::string& name : inputs.refused)
    state.Skip(name, "not a supported photo file name");

  std::vector<std::string> sources;
  for (const std::string& file : inputs.files) {
    if (hasWriter(file))
      sources.push_back(file);
    else
      state.Skip(file, "this format can be read but not written");
  }

  // Name decisions, in list order, before anything is converted.
  TOverWriteChoice choice = owIgnore;
  switch (options.onClash) {
    case TClashPolicy::kOverwrite:
      choice = owOverWriteAll;
      break;
    case TClashPolicy::kSkip:
      choice = owIgnoreAll;
      break;
    case TClashPolicy::kAutoName:
      choice = owAutoNameAll;
      break;
    case TClashPolicy::kAsk:
    case TClashPolicy::kUnset:
      break;
  }
  const bool asking =
      options.onClash == TClashPolicy::kAsk || options.onClash == TClashPolicy::kUnset;
  bool notAskedNoTerminal = false;
  TAskOverWrite ask = [&](const std::string& target) {
    if (!console.canAsk) {
      notAskedNoTerminal = true;
      return owIgnore;
    }
    if (options.dryRun) return owIgnore;  // the real run would ask here
    return askOnTerminal(console, target, options.all);
  };
  std::vector<TPlannedFile> plan =
      PlanTargets(sources, options.outputDir, choice, asking ? ask : TAskOverWrite());

  std::vector<int> order;
  for (size_t i = 0; i < plan.size(); ++i) {
    const TPlannedFile& entry = plan[i];
    const std::string plain = MakeTargetPath(options.outputDir, entry.source);
    if (!entry.target.empty()) {
      order.push_back(static_cast<int>(i));
      if (options.dryRun)
        *console.out << entry.source << " -> " << entry.target
                     << (entry.clashed && entry.target == plain ? " (overwrite)" : "") << '\n';
      continue;
    }
    if (options.dryRun && asking && console.canAsk) {
      *console.out << entry.source << " -> " << plain << " (exists: would ask)\n";
      continue;
    }
    if (options.dryRun) *console.out << entry.source << " -> skipped, " << plain << " exists\n";
    state.Skip(entry.source, plain + " exists");
  }
  if (notAskedNoTerminal)
    state.Notice(
        "not a terminal, so existing targets were not asked about; "
        "choose with --on-clash overwrite|skip|autoname");

  // Largest files first, so that no worker is left with a big photo while the others idle at the
  // end. Only when no entry has to wait for another: those must be taken in list order.
  if (std::all_of(plan.begin(), plan.end(), [](const TPlannedFile& e) { return e.after < 0; })) {
    std::vector<std::uintmax_t> bytes(plan.size(), 0);
    for (int i : order) {
      std::error_code sizeError;
      bytes[i] = fs::file_size(plan[i].source, sizeError);
      if (sizeError) bytes[i] = 0;
    }
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return bytes[a] > bytes[b]; });
  }

  if (!options.dryRun && !order.empty()) {
    g_stopRequested.store(false);
    if (console.stopOnSignals) installStopHandlers();
    state.StartConversion(plan.size(), static_cast<int>(order.size()));
    int workers = std::max(1, std::min<int>(options.jobs, static_cast<int>(order.size())));
    std::vector<std::thread> threads;
    for (int w = 1; w < workers; ++w)
      threads.emplace_back(convertWorker, std::cref(options), std::cref(plan), std::cref(order),
                           std::ref(state));
    convertWorker(options, plan, order, state);
    for (std::thread& t : threads) t.join();
    state.EndBar();
  }

  TRunCounts total = state.Counts();
  if (counts) *counts = total;
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const int notStarted = state.NotStarted();
  if (notStarted > 0)
    *console.err << kProgram << ": stopped; " << notStarted << " file"
                 << (notStarted == 1 ? " was" : "s were") << " not converted\n";
  if (options.dryRun)
    *console.err << "dry run: would convert " << order.size() << ", skipped " << total.skipped
                 << ", failed " << total.failed << '\n';
  else
    *console.err << "converted " << total.converted << ", skipped " << total.skipped << ", failed "
                 << total.failed << " in " << formatSeconds(seconds) << " s\n";
  if (notStarted > 0) return kExitStopped;
  return total.failed > 0 ? kExitFailed : kExitOk;
}

void RequestStop() { g_stopRequested.store(true); }

int CliMain(const std::vector<std::string>& args, TConsole& console) {
  TParseResult parsed = ParseArguments(args);
  if (!parsed.ok) {
    *console.err << kProgram << ": " << parsed.error << '\n';
    return kExitUsage;
  }
  if (parsed.options.help) {
    *console.out << UsageText();
    return kExitOk;
  }
  if (parsed.options.version) {
    *console.out << VersionText();
    return kExitOk;
  }
  return RunConversion(parsed.options, console);
}

}  // namespace lumaprep::cli
