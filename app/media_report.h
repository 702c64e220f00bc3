#pragma once
// "--inspect-media PATH": a JSON summary of one capture, seen as the media browser lists it.
#include <ostream>
#include <string>

namespace tessaline {

// Writes the summary to out and returns 0, or writes the failure to err and returns 1.
int inspectMedia(const std::string& path, std::ostream& out, std::ostream& err);

}  // namespace tessaline
