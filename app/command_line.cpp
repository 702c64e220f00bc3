#include "command_line.h"

namespace tessaline {

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine result;
  if (arguments.size() == 2 && arguments[0] == "--inspect-media") {
    result.mode = RunMode::InspectMedia;
    result.modeArgument = arguments[1];
  } else if (arguments.size() == 2 && arguments[0] == "--media-export-job") {
    result.mode = RunMode::ExportJob;
    result.modeArgument = arguments[1];
  } else if (!arguments.empty() && arguments[0].rfind("-psn_", 0) != 0) {
    // "-psn_..." is the process serial number some launchers add, not a file.
    result.pendingOpenPath = arguments[0];
  }
  return result;
}

}  // namespace tessaline
