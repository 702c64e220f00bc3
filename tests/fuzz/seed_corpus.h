#pragma once
// Fuzz inputs made with the fixture writers: valid recordings of every frame kind and index style,
// valid photos and legacy pairs, and damaged copies of them (cut short, bytes flipped, absurd
// lengths).
#include <string>
#include <vector>

#include "fuzz_input.h"

namespace pcvfuzz {

std::vector<Bytes> seedCorpus();      // for PcvReader
std::vector<Bytes> pcpSeedCorpus();   // for the photo loaders

// The corpus of a fuzz target by name ("pcv_reader" or "pcp_capture"); false for other names.
bool namedSeedCorpus(const std::string& name, std::vector<Bytes>& corpus);

}  // namespace pcvfuzz
