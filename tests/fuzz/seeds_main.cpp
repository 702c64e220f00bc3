// Writes the seed corpus of one fuzz target into a folder for a libFuzzer run.
#include <cstdio>
#include <filesystem>
#include <string>

#include "pcv_writer.h"
#include "seed_corpus.h"

int main(int argc, char** argv) {
  std::vector<pcvfuzz::Bytes> corpus;
  if (argc != 3 || !pcvfuzz::namedSeedCorpus(argv[1], corpus)) {
    std::fprintf(stderr, "usage: %s pcv_reader|pcp_capture CORPUS_FOLDER\n", argv[0]);
    return 2;
  }
  std::error_code ec;
  std::filesystem::create_directories(argv[2], ec);
  for (size_t i = 0; i < corpus.size(); ++i) {
    const std::string path = std::string(argv[2]) + "/seed-" + std::to_string(i);
    if (!pcvwrite::writeFile(path, corpus[i])) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
