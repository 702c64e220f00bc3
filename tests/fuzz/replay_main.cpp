// Runs the fuzz entry over the generated seed corpus and over every file of the folders given on
// the command line (saved crash inputs), so ordinary and sanitizer builds replay them as a test.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "seed_corpus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  size_t inputs = 0;
  for (const pcvfuzz::Bytes& seed : pcvfuzz::seedCorpus()) {
    LLVMFuzzerTestOneInput(seed.data(), seed.size());
    ++inputs;
  }
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    for (fs::directory_iterator it(argv[i], ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
      if (!it->is_regular_file(ec)) continue;
      std::ifstream in(it->path(), std::ios::binary);
      const pcvfuzz::Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      std::printf("replaying %s\n", it->path().c_str());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++inputs;
    }
  }
  std::printf("%zu inputs replayed\n", inputs);
  return 0;
}
