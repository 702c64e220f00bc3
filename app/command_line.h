#pragma once
#include <string>
#include <vector>

namespace tessaline {

enum class RunMode { Interactive, InspectMedia, ExportJob };

struct CommandLine {
  RunMode mode = RunMode::Interactive;
  std::string modeArgument;     // the capture to inspect or the job file
  std::string pendingOpenPath;  // interactive mode: what to open at start, may be empty
};

// arguments: the command line without the program name.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

}  // namespace tessaline
