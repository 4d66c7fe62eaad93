// lumaprep-cli: the conversion job of Lumaprep without a window.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/run.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  lumaprep::cli::TConsole console;
  console.in = &std::cin;
  console.out = &std::cout;
  console.err = &std::cerr;
  console.canAsk = isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
  console.progressBar = isatty(STDERR_FILENO);
  return lumaprep::cli::CliMain(args, console);
}
