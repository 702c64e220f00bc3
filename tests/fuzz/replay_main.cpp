// Runs a fuzz entry over its generated seed corpus (named by the first argument) and over every file
// of the folders given after it (saved crash inputs), so ordinary and sanitizer builds replay them
// as a test.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "seed_corpus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::vector<pcvfuzz::Bytes> corpus;
  if (argc < 2 || !pcvfuzz::namedSeedCorpus(argv[1], corpus)) {
    std::fprintf(stderr, "usage: %s pcv_reader|pcp_capture [REGRESSION_FOLDER...]\n", argv[0]);
    return 2;
  }
  size_t inputs = 0;
  for (const pcvfuzz::Bytes& seed : corpus) {
    LLVMFuzzerTestOneInput(seed.data(), seed.size());
    ++inputs;
  }
  for (int i = 2; i < argc; ++i) {
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
