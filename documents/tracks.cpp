#include "tracks.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <climits>
#include <cmath>
#include <iterator>

namespace {

const std::array<const char*, kTrackCount> kTrackNames = {
    "point_size",   "render_point_size", "sampling_ratio", "max_dist",     "fov",
    "cam_z",        "cam_x",             "slider_pos_0",   "slider_pos_1", "slider_pos_2",
    "slider_gray_0", "slider_gray_1",    "slider_gray_2"};

// Tracks in the order of kTrackNames.
template <typename Tracks>
auto& trackAt(Tracks& tracks, size_t index) {
  switch (index) {
    case 0: return tracks.pointSize;
    case 1: return tracks.renderPointSize;
    case 2: return tracks.samplingRatio;
    case 3: return tracks.maxDist;
    case 4: return tracks.fov;
    case 5: return tracks.camZ;
    case 6: return tracks.camX;
    case 7: case 8: case 9: return tracks.sliderPos[index - 7];
    default: return tracks.sliderGray[index - 10];
  }
}

float curve(int32_t mode, float t) {
  switch (mode) {
    case kInterpolationEaseInOut: return t * t * (3.0f - 2.0f * t);
    case kInterpolationEaseOut: return 1.0f - (1.0f - t) * (1.0f - t);
    case kInterpolationEaseIn: return t * t;
    case kInterpolationHold: return 0.0f;
    default: return t;
  }
}

// Saturates instead of the undefined conversion of an out-of-range double.
float toFloat(double value) {
  if (value > FLT_MAX) return INFINITY;
  if (value < -FLT_MAX) return -INFINITY;
  return static_cast<float>(value);
}

// Reads a member name as an integer: leading blanks, an optional sign, then digits; whatever
// follows the digits is ignored. Names outside the int range are rejected.
bool parseLeadingInt(const std::string& text, int& out) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t firstDigit = i;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > int64_t{INT_MAX} + 1) return false;
  }
  if (i == firstDigit) return false;
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > INT_MAX) return false;
  out = static_cast<int>(value);
  return true;
}

bool readMode(const nlohmann::json& value, int32_t& mode) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned()) {
      const auto v = value.get<uint64_t>();
      if (v > uint64_t{INT32_MAX}) return false;
      mode = static_cast<int32_t>(v);
      return true;
    }
    const auto v = value.get<int64_t>();
    if (v < INT32_MIN || v > INT32_MAX) return false;
    mode = static_cast<int32_t>(v);
    return true;
  }
  if (!value.is_number_float()) return false;
  const double v = value.get<double>();
  if (!(v > double{INT32_MIN} - 1.0 && v < double{INT32_MAX} + 1.0)) return false;
  mode = static_cast<int32_t>(v);
  return true;
}

float clampUnit(float value) { return value > 0.0f ? std::min(value, 1.0f) : 0.0f; }

}  // namespace

float ParameterTrack::evaluate(int frame, float fallback) const {
  if (keys.empty()) return fallback;
  const auto after = keys.lower_bound(frame);
  if (after == keys.begin()) return after->second.value;  // at or before the first key
  if (after == keys.end()) return std::prev(after)->second.value;
  if (after->first == frame) return after->second.value;
  const auto before = std::prev(after);
  const float t = static_cast<float>(int64_t{frame} - before->first) /
                  static_cast<float>(int64_t{after->first} - before->first);
  const float from = before->second.value;
  return from + (after->second.value - from) * curve(before->second.mode, t);
}

void ParameterTrack::addKey(int frame, float shownValue) {
  if (keys.count(frame) != 0) return;
  KeyframeNode node{shownValue, kInterpolationLinear};
  const auto after = keys.lower_bound(frame);
  if (after != keys.begin()) node.mode = std::prev(after)->second.mode;
  keys.emplace(frame, node);
}

void ParameterTrack::removeKey(int frame) { keys.erase(frame); }

bool ParameterTrack::setKeyValue(int frame, float value) {
  const auto key = keys.find(frame);
  if (key == keys.end()) return false;
  key->second.value = value;
  return true;
}

bool ParameterTrack::setKeyMode(int frame, int32_t mode) {
  const auto key = keys.find(frame);
  if (key == keys.end()) return false;
  key->second.mode = mode;
  return true;
}

bool ProjectTracks::operator==(const ProjectTracks& other) const {
  for (size_t i = 0; i < kTrackCount; ++i) {
    if (!(trackAt(*this, i) == trackAt(other, i))) return false;
  }
  return true;
}

const std::array<const char*, kTrackCount>& trackNames() { return kTrackNames; }

const ParameterTrack* findTrack(const ProjectTracks& tracks, const std::string& name) {
  for (size_t i = 0; i < kTrackCount; ++i) {
    if (name == kTrackNames[i]) return &trackAt(tracks, i);
  }
  return nullptr;
}

ParameterTrack* findTrack(ProjectTracks& tracks, const std::string& name) {
  return const_cast<ParameterTrack*>(findTrack(static_cast<const ProjectTracks&>(tracks), name));
}

void clearTracks(ProjectTracks& tracks) {
  for (size_t i = 0; i < kTrackCount; ++i) trackAt(tracks, i).keys.clear();
}

nlohmann::json trackToJson(const ParameterTrack& track) {
  nlohmann::json out = nlohmann::json::object();
  for (const auto& [frame, node] : track.keys) {
    out[std::to_string(frame)] = {{"v", static_cast<double>(node.value)}, {"m", node.mode}};
  }
  return out;
}

void jsonToTrack(const nlohmann::json& json, ParameterTrack& track) {
  track.keys.clear();
  if (!json.is_object()) return;
  for (const auto& [name, member] : json.items()) {
    int frame = 0;
    if (!parseLeadingInt(name, frame) || !member.is_object()) continue;
    KeyframeNode node;
    const auto v = member.find("v");
    if (v != member.end()) {
      if (!v->is_number()) continue;
      node.value = toFloat(v->get<double>());
    }
    const auto m = member.find("m");
    if (m != member.end() && !readMode(*m, node.mode)) continue;
    track.keys[frame] = node;
  }
}

nlohmann::json tracksToJson(const ProjectTracks& tracks) {
  nlohmann::json out = nlohmann::json::object();
  for (size_t i = 0; i < kTrackCount; ++i) out[kTrackNames[i]] = trackToJson(trackAt(tracks, i));
  return out;
}

void jsonToTracks(const nlohmann::json& json, ProjectTracks& tracks) {
  if (!json.is_object()) return;
  for (size_t i = 0; i < kTrackCount; ++i) {
    const auto member = json.find(kTrackNames[i]);
    jsonToTrack(member != json.end() ? *member : nlohmann::json(), trackAt(tracks, i));
  }
}

void applyMetadataText(const std::string& metadataText, RenderParams& params) {
  if (metadataText.empty()) return;
  const nlohmann::json metadata = nlohmann::json::parse(metadataText, nullptr, false);
  if (!metadata.is_object()) return;

  // Each returns false when processing has to stop at this key.
  auto number = [&](const char* key, float& field) {
    const auto value = metadata.find(key);
    if (value == metadata.end()) return true;
    if (!value->is_number()) return false;
    field = toFloat(value->get<double>());
    return true;
  };
  auto vector3 = [&](const char* key, float& x, float& y, float& z) {
    const auto value = metadata.find(key);
    if (value == metadata.end() || !value->is_array() || value->size() < 3) return true;
    float* fields[3] = {&x, &y, &z};
    for (size_t i = 0; i < 3; ++i) {
      if (!(*value)[i].is_number()) return false;
      *fields[i] = toFloat((*value)[i].get<double>());
    }
    return true;
  };
  auto nodePosition = [&](const char* key, float& position) {
    float distance = 0.0f;
    const auto value = metadata.find(key);
    if (value == metadata.end()) return true;
    if (!number(key, distance)) return false;
    position = clampUnit(distance / std::max(params.max_dist, 0.0001f));
    return true;
  };

  number("max_display_distance", params.max_dist) && number("view_fov_half_deg", params.fov) &&
      number("scale_x", params.scale_x) && number("scale_y", params.scale_y) &&
      vector3("camera_pos", params.camera_pos[0], params.camera_pos[1], params.camera_pos[2]) &&
      vector3("camera_target", params.camera_target[0], params.camera_target[1], params.camera_target[2]) &&
      vector3("camera_up", params.camera_up[0], params.camera_up[1], params.camera_up[2]) &&
      nodePosition("D1", params.slider_pos_0) && nodePosition("D2", params.slider_pos_1) &&
      nodePosition("D3", params.slider_pos_2);
}

RenderParams buildFrameDrivenParams(const FrameData& frame, const std::string& baseMetadata,
                                    const RenderParams& defaults) {
  RenderParams params = defaults;
  applyMetadataText(baseMetadata, params);
  applyMetadataText(frame.metaJson, params);
  return params;
}

void applyTracks(int frameIndex, const ProjectTracks& tracks, RenderParams& params) {
  params.point_size = tracks.pointSize.evaluate(frameIndex, params.point_size);
  params.render_point_size =
      std::clamp(tracks.renderPointSize.evaluate(frameIndex, params.render_point_size), 0.1f, 50.0f);
  float samplingRatio = tracks.samplingRatio.evaluate(frameIndex, 1.0f);
  if (!std::isfinite(samplingRatio)) samplingRatio = 1.0f;
  params.sampling_ratio = std::clamp(samplingRatio, 0.2f, 1.0f);
  params.max_dist = std::clamp(tracks.maxDist.evaluate(frameIndex, params.max_dist), 0.1f, 15.0f);
  params.fov = tracks.fov.evaluate(frameIndex, params.fov);
  params.camera_pos[2] = tracks.camZ.evaluate(frameIndex, params.camera_pos[2]);
  params.camera_pos[0] = tracks.camX.evaluate(frameIndex, params.camera_pos[0]);
  float* positions[3] = {&params.slider_pos_0, &params.slider_pos_1, &params.slider_pos_2};
  float* grays[3] = {&params.slider_gray_0, &params.slider_gray_1, &params.slider_gray_2};
  for (size_t i = 0; i < 3; ++i) {
    *positions[i] = tracks.sliderPos[i].evaluate(frameIndex, *positions[i]);
    *grays[i] = tracks.sliderGray[i].evaluate(frameIndex, *grays[i]);
  }
}

RenderParams paramsForFrameIndex(int frameIndex, const FrameData& frame, const std::string& baseMetadata,
                                 const ProjectTracks& tracks) {
  RenderParams params = buildFrameDrivenParams(frame, baseMetadata, RenderParams{});
  params.max_dist = std::clamp(params.max_dist, 0.1f, 15.0f);
  params.fov = std::clamp(params.fov, 5.0f, 80.0f);
  applyTracks(frameIndex, tracks, params);
  return params;
}
