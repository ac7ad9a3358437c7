#include <cstdio>
#include <string>

#include "options.h"
#include "sim.h"

int main(int argc, char** argv) {
  printersim::CliOptions options;
  std::string error;
  switch (printersim::ParseOptions(argc, argv, options, error)) {
    case printersim::ParseResult::kHelp:
      std::fputs(printersim::HelpText(), stdout);
      return 0;
    case printersim::ParseResult::kError:
      std::fprintf(stderr, "printer-sim: %s\n", error.c_str());
      return 2;
    case printersim::ParseResult::kRun:
      break;
  }
  printersim::Sim sim(options);
  return sim.Run();
}
