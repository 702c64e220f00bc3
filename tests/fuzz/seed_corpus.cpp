#include "seed_corpus.h"

#include <string>

#include "pcv_writer.h"

namespace pcvfuzz {

namespace {

pcvwrite::Frame frameOf(pcvwrite::FrameKind kind, size_t number) {
  pcvwrite::Frame frame;
  frame.kind = kind;
  frame.metaJson = "{\"depth_width\":4,\"depth_height\":3,\"fx\":" + std::to_string(400 + number) +
                   ",\"timecode\":\"00:00:0" + std::to_string(number) + ":00\"}";
  for (uint16_t i = 0; i < 12; ++i) frame.depth.push_back(static_cast<uint16_t>(500 + 7 * i + number));
  if (kind == pcvwrite::FrameKind::Frm3 && number % 2 == 0) frame.rgbJpeg = {0xff, 0xd8, 0x01, 0x02, 0xff, 0xd9};
  return frame;
}

RecordingFiles recording(pcvwrite::FrameKind kind, pcvwrite::IndexStyle style, size_t frames) {
  pcvwrite::Segment segment;
  for (size_t i = 0; i < frames; ++i) segment.add(frameOf(kind, i));
  RecordingFiles files;
  files.sidecar = segment.finish(style);
  files.hasSidecar = style == pcvwrite::IndexStyle::Sidecar;
  files.segment = segment.bytes;
  return files;
}

Bytes legacyRecord(const char* magic, uint32_t third, size_t rgbBytes) {
  const std::string meta = "{\"depth_width\":2,\"depth_height\":2}";
  Bytes record(magic, magic + 4);
  pcvwrite::appendU32(record, static_cast<uint32_t>(meta.size()));
  pcvwrite::appendU32(record, 8);
  pcvwrite::appendU32(record, third);
  record.insert(record.end(), meta.begin(), meta.end());
  for (uint8_t i = 0; i < 8; ++i) record.push_back(i);
  record.insert(record.end(), rgbBytes, 0xab);
  return record;
}

void patchU32(Bytes& bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4 && at + i < bytes.size(); ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void addMutations(const RecordingFiles& valid, std::vector<Bytes>& corpus) {
  const size_t size = valid.segment.size();
  for (size_t cut : {size_t{1}, size_t{2}, size_t{9}, size_t{24}, size / 2}) {
    if (cut >= size) continue;
    RecordingFiles cutShort = valid;
    cutShort.segment.resize(size - cut);
    corpus.push_back(joinInput(cutShort));
  }
  for (size_t at : {size_t{0}, size_t{13}, size_t{16}, size_t{19}, size_t{24}, size_t{28}, size - 20, size - 9}) {
    if (at >= size) continue;
    RecordingFiles flipped = valid;
    flipped.segment[at] ^= 0x5a;
    corpus.push_back(joinInput(flipped));
  }
  for (uint32_t absurd : {0u, 1u, 0x1000001u, 0x4000001u, 0x8000001u, 0xffffffffu}) {
    for (size_t field : {size_t{20}, size_t{24}, size_t{28}}) {
      RecordingFiles patched = valid;
      patchU32(patched.segment, field, absurd);
      corpus.push_back(joinInput(patched));
    }
    RecordingFiles trailer = valid;
    if (size >= 8) patchU32(trailer.segment, size - 8, absurd);
    corpus.push_back(joinInput(trailer));
    if (valid.hasSidecar && valid.sidecar.size() >= 12) {
      RecordingFiles sidecar = valid;
      patchU32(sidecar.sidecar, 8, absurd);
      corpus.push_back(joinInput(sidecar));
    }
  }
}

}  // namespace

std::vector<Bytes> seedCorpus() {
  using pcvwrite::FrameKind;
  using pcvwrite::IndexStyle;
  std::vector<Bytes> corpus;
  for (FrameKind kind : {FrameKind::Frm1, FrameKind::Frm2, FrameKind::Frm3}) {
    for (IndexStyle style : {IndexStyle::None, IndexStyle::Embedded, IndexStyle::Sidecar}) {
      const RecordingFiles valid = recording(kind, style, 3);
      corpus.push_back(joinInput(valid));
      addMutations(valid, corpus);
    }
  }
  for (const Bytes& legacy : {legacyRecord("FRM1", 4, 4), legacyRecord("FRM2", 0, 0), legacyRecord("FRM2", 4, 4)}) {
    for (IndexStyle style : {IndexStyle::None, IndexStyle::Embedded}) {
      pcvwrite::Segment segment;
      segment.addRaw(legacy);
      segment.add(frameOf(FrameKind::Frm1, 1));
      segment.finish(style);
      RecordingFiles files;
      files.segment = segment.bytes;
      corpus.push_back(joinInput(files));
      addMutations(files, corpus);
    }
  }
  return corpus;
}

bool namedSeedCorpus(const std::string& name, std::vector<Bytes>& corpus) {
  if (name == "pcv_reader") {
    corpus = seedCorpus();
  } else if (name == "pcp_capture") {
    corpus = pcpSeedCorpus();
  } else {
    return false;
  }
  return true;
}

}  // namespace pcvfuzz
