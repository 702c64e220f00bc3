#pragma once
// Fuzz inputs made with pcvwrite: valid recordings of every frame kind and index style, and
// damaged copies of them (cut short, bytes flipped, absurd lengths).
#include <vector>

#include "fuzz_input.h"

namespace pcvfuzz {

std::vector<Bytes> seedCorpus();

}  // namespace pcvfuzz
