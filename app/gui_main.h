#pragma once

namespace tessaline {

// The program's entry: the two headless modes or the interactive editor. Returns the exit code.
int guiMain(int argc, char** argv);

}  // namespace tessaline
