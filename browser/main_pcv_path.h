#pragma once
#include <string>

// Maps a segment file of a recording ("take_2.pcv" beside "take.pcv") to the recording's main
// file; any other path comes back unchanged.
std::string normalizeMainPcvPath(const std::string& path);
