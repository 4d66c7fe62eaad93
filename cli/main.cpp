// lumaprep-cli: the conversion job of Lumaprep without a window.
#include <malloc.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/run.h"

int main(int argc, char** argv) {
  // A batch allocates and frees a photo-sized buffer (tens of megabytes) per file, plus the
  // decoder's own. By default each of those is a fresh mapping whose every page faults in again;
  // kept in the heap instead, the next file reuses the same memory.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  lumaprep::cli::TConsole console;
  console.in = &std::cin;
  console.out = &std::cout;
  console.err = &std::cerr;
  console.canAsk = isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
  console.progressBar = isatty(STDERR_FILENO);
  console.stopOnSignals = true;
  return lumaprep::cli::CliMain(args, console);
}
