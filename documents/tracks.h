#pragma once
// Keyframe tracks of the thirteen animatable rendering parameters and the per-frame parameters
// assembled from defaults, capture metadata and tracks.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "frame_data.h"
#include "video_renderer.h"

enum InterpolationMode : int32_t {
  kInterpolationLinear = 0,
  kInterpolationEaseInOut = 1,
  kInterpolationEaseOut = 2,
  kInterpolationEaseIn = 3,
  kInterpolationHold = 4,
};
constexpr int32_t kInterpolationModeCount = 5;

struct KeyframeNode {
  float value = 0.0f;
  int32_t mode = kInterpolationLinear;  // curve of the segment from this key to the next one

  bool operator==(const KeyframeNode& other) const { return value == other.value && mode == other.mode; }
};

struct ParameterTrack {
  std::map<int, KeyframeNode> keys;  // frame index -> key

  // Value at a frame; values hold beyond the first and last key. Never allocates.
  float evaluate(int frame, float fallback) const;

  // Editor operations. A new key takes the value shown and the mode of the nearest key before it.
  void addKey(int frame, float shownValue);
  void removeKey(int frame);
  // Both return false when there is no key at that frame.
  bool setKeyValue(int frame, float value);
  bool setKeyMode(int frame, int32_t mode);

  bool operator==(const ParameterTrack& other) const { return keys == other.keys; }
};

constexpr size_t kTrackCount = 13;

struct ProjectTracks {
  ParameterTrack pointSize;
  ParameterTrack renderPointSize;
  ParameterTrack samplingRatio;
  ParameterTrack maxDist;
  ParameterTrack fov;
  ParameterTrack camZ;
  ParameterTrack camX;
  std::array<ParameterTrack, 3> sliderPos;
  std::array<ParameterTrack, 3> sliderGray;

  bool operator==(const ProjectTracks& other) const;
};

// The thirteen track names in their fixed order ("point_size" ... "slider_gray_2").
const std::array<const char*, kTrackCount>& trackNames();

// nullptr when no track has that name.
ParameterTrack* findTrack(ProjectTracks& tracks, const std::string& name);
const ParameterTrack* findTrack(const ProjectTracks& tracks, const std::string& name);

void clearTracks(ProjectTracks& tracks);

nlohmann::json trackToJson(const ParameterTrack& track);
// Empties track, then fills it from a track object; malformed members are skipped.
void jsonToTrack(const nlohmann::json& json, ParameterTrack& track);
nlohmann::json tracksToJson(const ProjectTracks& tracks);
// Leaves tracks alone when json is not an object.
void jsonToTracks(const nlohmann::json& json, ProjectTracks& tracks);

// Overrides fields from a metadata text; stops at the first present key that is not a number.
void applyMetadataText(const std::string& metadataText, RenderParams& params);
RenderParams buildFrameDrivenParams(const FrameData& frame, const std::string& baseMetadata,
                                    const RenderParams& defaults);
// Evaluates every track at frameIndex over params and applies the post-evaluation clamps.
void applyTracks(int frameIndex, const ProjectTracks& tracks, RenderParams& params);
RenderParams paramsForFrameIndex(int frameIndex, const FrameData& frame, const std::string& baseMetadata,
                                 const ProjectTracks& tracks);
