// Fuzz entry: one input is written as a PCP file (maybe with a JSON sidecar) and loaded, then read
// again as a legacy pair with the sidecar as its ".json". A load that breaks the record's
// invariants aborts, so libFuzzer reports it like a crash.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "pcp_capture.h"

namespace {

void checkInvariants(const pcp::CaptureData& capture) {
  if (capture.points.size() != capture.pixelIndices.size()) std::abort();
  if (!capture.colors.empty() && capture.colors.size() != capture.points.size()) std::abort();
  for (uint64_t k : capture.pixelIndices)
    if (k >= capture.depth.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const pcvfuzz::ProcessFolder folder;
  const std::string path = folder.file("input.pcp");
  const std::string sidecarPath = folder.file("input.json");
  if (!pcvfuzz::writeInputFiles(pcvfuzz::splitInput(data, size), path, sidecarPath)) return 0;

  pcp::CaptureData capture;
  if (pcp::loadPcp(path, "", capture)) {
    checkInvariants(capture);
    pcp::buildPointCloud(capture);
    checkInvariants(capture);
  }
  if (pcp::loadLegacy(path, sidecarPath, capture)) checkInvariants(capture);
  return 0;
}
