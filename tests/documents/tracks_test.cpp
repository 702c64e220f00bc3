#include "tracks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>

namespace {

using nlohmann::json;

ParameterTrack twoKeys(int32_t mode) {
  ParameterTrack track;
  track.keys[0] = {1.0f, mode};
  track.keys[10] = {3.0f, 0};
  return track;
}

TEST(ParameterTrack, EveryModeBetweenTwoKeys) {
  struct Case {
    int32_t mode;
    int frame;
    float expected;
  };
  const Case cases[] = {
      {0, 5, 2.0f},   {1, 5, 2.0f},   {2, 5, 2.5f}, {3, 5, 1.5f}, {4, 5, 1.0f},
      {0, 2, 1.4f},   {1, 2, 1.208f}, {2, 2, 1.72f}, {3, 2, 1.08f}, {4, 9, 1.0f},
      {7, 5, 2.0f},   {-1, 2, 1.4f},  // unknown modes are linear
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(twoKeys(c.mode).evaluate(c.frame, -1.0f), c.expected, 1e-6f) << "mode " << c.mode << " frame " << c.frame;
  }
}

TEST(ParameterTrack, KeysEndsAndFallback) {
  for (int32_t mode = 0; mode < kInterpolationModeCount; ++mode) {
    const ParameterTrack track = twoKeys(mode);
    EXPECT_EQ(track.evaluate(-5, 0.0f), 1.0f);
    EXPECT_EQ(track.evaluate(0, 0.0f), 1.0f);
    EXPECT_EQ(track.evaluate(10, 0.0f), 3.0f);
    EXPECT_EQ(track.evaluate(1000, 0.0f), 3.0f);
  }
  ParameterTrack single;
  single.keys[4] = {7.5f, kInterpolationEaseIn};
  for (int frame : {-2147483647 - 1, 0, 4, 5, 2147483647}) EXPECT_EQ(single.evaluate(frame, 0.0f), 7.5f);
  EXPECT_EQ(ParameterTrack{}.evaluate(3, 42.0f), 42.0f);

  ParameterTrack extremes;  // frame distances beyond the int range
  extremes.keys[-2147483647 - 1] = {0.0f, 0};
  extremes.keys[2147483647] = {1.0f, 0};
  EXPECT_NEAR(extremes.evaluate(0, -1.0f), 0.5f, 1e-6f);
}

TEST(ParameterTrack, EditorOperations) {
  ParameterTrack track;
  track.addKey(10, 2.0f);
  EXPECT_EQ(track.keys.at(10), (KeyframeNode{2.0f, 0}));
  ASSERT_TRUE(track.setKeyMode(10, kInterpolationHold));
  track.addKey(20, 5.0f);  // mode of the nearest key before
  track.addKey(5, 9.0f);   // none before: linear
  EXPECT_EQ(track.keys.at(20), (KeyframeNode{5.0f, kInterpolationHold}));
  EXPECT_EQ(track.keys.at(5), (KeyframeNode{9.0f, 0}));

  track.addKey(20, 1.0f);  // an existing key is kept
  EXPECT_EQ(track.keys.at(20).value, 5.0f);
  ASSERT_TRUE(track.setKeyValue(20, 6.0f));
  EXPECT_EQ(track.keys.at(20), (KeyframeNode{6.0f, kInterpolationHold}));
  EXPECT_FALSE(track.setKeyValue(21, 1.0f));
  EXPECT_FALSE(track.setKeyMode(21, 1));
  track.removeKey(10);
  track.removeKey(11);
  EXPECT_EQ(track.keys.size(), 2u);
  EXPECT_EQ(track.keys.count(10), 0u);
}

TEST(ProjectTracks, LookupByNameAndClear) {
  ProjectTracks tracks;
  std::set<const ParameterTrack*> distinct;
  for (const char* name : trackNames()) {
    ParameterTrack* track = findTrack(tracks, name);
    ASSERT_NE(track, nullptr) << name;
    track->keys[1] = {1.0f, 0};
    distinct.insert(track);
  }
  EXPECT_EQ(distinct.size(), kTrackCount);
  EXPECT_EQ(findTrack(tracks, "max_dist"), &tracks.maxDist);
  EXPECT_EQ(findTrack(tracks, "cam_x"), &tracks.camX);
  EXPECT_EQ(findTrack(tracks, "slider_gray_1"), &tracks.sliderGray[1]);
  EXPECT_EQ(findTrack(tracks, "slider_pos_2"), &tracks.sliderPos[2]);
  EXPECT_EQ(findTrack(tracks, "camera_pos"), nullptr);
  EXPECT_EQ(findTrack(tracks, ""), nullptr);

  const ProjectTracks copy = tracks;
  clearTracks(tracks);
  for (const char* name : trackNames()) EXPECT_TRUE(findTrack(tracks, name)->keys.empty());
  for (const char* name : trackNames()) EXPECT_EQ(findTrack(copy, name)->keys.size(), 1u) << name;
}

TEST(TracksJson, WrittenForm) {
  ProjectTracks tracks;
  tracks.maxDist.keys[9] = {2.5f, kInterpolationEaseOut};
  tracks.maxDist.keys[10] = {3.0f, 0};
  tracks.maxDist.keys[-2] = {0.1f, 0};
  const json written = tracksToJson(tracks);
  ASSERT_EQ(written.size(), kTrackCount);
  for (const char* name : trackNames()) ASSERT_TRUE(written.contains(name)) << name;
  EXPECT_EQ(written["point_size"].dump(), "{}");
  EXPECT_EQ(written["max_dist"].dump(),
            R"({"-2":{"m":0,"v":0.10000000149011612},"10":{"m":0,"v":3.0},"9":{"m":2,"v":2.5}})");
  EXPECT_TRUE(written["max_dist"]["9"]["v"].is_number_float());
  EXPECT_TRUE(written["max_dist"]["9"]["m"].is_number_integer());
}

TEST(TracksJson, LenientReading) {
  const json object = json::parse(R"({
    "7": {"v": 1, "m": 1}, "07": {"v": 2, "m": 3},
    "12abc": {"v": 4}, " -3": {"m": 2}, "+5": {"v": 5.5, "m": 2.0},
    "abc": {"v": 9}, "": {"v": 9}, "99999999999": {"v": 9},
    "20": 5, "21": {"v": "x"}, "22": {"v": 1, "m": "y"}, "23": {"v": 1, "m": 1e30}
  })");
  ParameterTrack track;
  track.keys[100] = {1.0f, 0};  // emptied first
  jsonToTrack(object, track);
  const std::map<int, KeyframeNode> expected = {
      {-3, {0.0f, 2}}, {5, {5.5f, 2}}, {7, {1.0f, 1}}, {12, {4.0f, 0}}};  // "7" is read after "07"
  EXPECT_EQ(track.keys, expected);
}

TEST(TracksJson, ReadingTheTracksObject) {
  ProjectTracks tracks;
  tracks.fov.keys[1] = {30.0f, 0};
  tracks.camX.keys[1] = {1.0f, 0};
  jsonToTracks(json::array(), tracks);  // not an object: left alone
  jsonToTracks(json("tracks"), tracks);
  EXPECT_EQ(tracks.fov.keys.size(), 1u);

  jsonToTracks(json::parse(R"({"cam_z": {"3": {"v": 2}}, "fov": [1], "unknown": {"1": {"v": 1}}})"), tracks);
  EXPECT_TRUE(tracks.fov.keys.empty());
  EXPECT_TRUE(tracks.camX.keys.empty());
  EXPECT_EQ(tracks.camZ.keys, (std::map<int, KeyframeNode>{{3, {2.0f, 0}}}));
}

TEST(TracksJson, RoundTripIsExact) {
  ProjectTracks tracks;
  const float values[] = {0.1f, -7.25e-12f, 3.4028235e38f, 1.0f / 3.0f, 6.8f, -0.0f, 1e-45f};
  int frame = -3;
  for (const char* name : trackNames()) {
    ParameterTrack& track = *findTrack(tracks, name);
    for (const float value : values) {
      track.keys[frame] = {value, frame % 7};
      frame += 5;
    }
  }
  ProjectTracks read;
  jsonToTracks(json::parse(tracksToJson(tracks).dump()), read);
  EXPECT_TRUE(read == tracks);
}

RenderParams withMetadata(const std::string& text, RenderParams params = {}) {
  applyMetadataText(text, params);
  return params;
}

TEST(FrameParams, MetadataApplication) {
  const RenderParams defaults;
  RenderParams p = withMetadata(R"({"max_display_distance": 4, "D2": 2})");
  EXPECT_EQ(p.max_dist, 4.0f);
  EXPECT_EQ(p.slider_pos_1, 0.5f);

  p = withMetadata(R"({"D1": "x", "D3": 1, "view_fov_half_deg": 30})");
  EXPECT_EQ(p.fov, 30.0f);  // read before "D1"
  EXPECT_EQ(p.slider_pos_0, defaults.slider_pos_0);
  EXPECT_EQ(p.slider_pos_2, defaults.slider_pos_2);

  p = withMetadata(R"({"camera_pos": [1, 2], "camera_target": [1, 2, 3, 4], "camera_up": "up", "scale_x": 3})");
  EXPECT_EQ(p.camera_pos, defaults.camera_pos);
  EXPECT_EQ(p.camera_target, (std::array<float, 3>{1, 2, 3}));
  EXPECT_EQ(p.camera_up, defaults.camera_up);
  EXPECT_EQ(p.scale_x, 3.0f);

  p = withMetadata(R"({"max_display_distance": 2, "camera_pos": [1, "b", 3], "D1": 1, "scale_y": 9})");
  EXPECT_EQ(p.max_dist, 2.0f);
  EXPECT_EQ(p.scale_y, 9.0f);
  EXPECT_EQ(p.camera_pos[0], 1.0f);  // the elements before the bad one stay applied
  EXPECT_EQ(p.camera_pos[1], defaults.camera_pos[1]);
  EXPECT_EQ(p.slider_pos_0, defaults.slider_pos_0);

  p = withMetadata(R"({"max_display_distance": 0, "D1": 1, "D2": -1})");
  EXPECT_EQ(p.slider_pos_0, 1.0f);  // divided by the 0.0001 floor, then clamped
  EXPECT_EQ(p.slider_pos_1, 0.0f);

  for (const char* unchanged : {"", "not json", "[1, 2]", "5", R"({"max_display_distance": null})"}) {
    EXPECT_EQ(std::memcmp(&defaults, &(p = withMetadata(unchanged)), sizeof(RenderParams)), 0) << unchanged;
  }
}

TEST(FrameParams, BaseThenFrameMetadata) {
  FrameData frame;
  frame.metaJson = R"({"D1": 2, "view_fov_half_deg": 25})";
  const RenderParams p = buildFrameDrivenParams(frame, R"({"max_display_distance": 8, "view_fov_half_deg": 40})",
                                                RenderParams{});
  EXPECT_EQ(p.max_dist, 8.0f);
  EXPECT_EQ(p.fov, 25.0f);
  EXPECT_EQ(p.slider_pos_0, 0.25f);  // the frame's D1 over the base's distance
}

TEST(FrameParams, ClampsAndFallbacks) {
  FrameData frame;
  frame.metaJson = R"({"max_display_distance": 40, "view_fov_half_deg": 100})";
  ProjectTracks tracks;
  RenderParams p = paramsForFrameIndex(3, frame, "", tracks);
  EXPECT_EQ(p.max_dist, 15.0f);
  EXPECT_EQ(p.fov, 80.0f);
  EXPECT_EQ(p.sampling_ratio, 1.0f);

  frame.metaJson = R"({"max_display_distance": 0.01, "view_fov_half_deg": 1})";
  p = paramsForFrameIndex(3, frame, "", tracks);
  EXPECT_EQ(p.max_dist, 0.1f);
  EXPECT_EQ(p.fov, 5.0f);

  tracks.samplingRatio.keys[0] = {0.1f, 0};
  tracks.maxDist.keys[0] = {20.0f, 0};
  tracks.renderPointSize.keys[0] = {0.0f, 0};
  tracks.renderPointSize.keys[10] = {100.0f, 0};
  tracks.fov.keys[0] = {200.0f, 0};  // the camera clamps it later
  tracks.pointSize.keys[0] = {-1.0f, 0};
  tracks.camZ.keys[0] = {9.0f, 0};
  tracks.camX.keys[0] = {-2.0f, 0};
  for (int i = 0; i < 3; ++i) {
    tracks.sliderPos[i].keys[0] = {0.1f * i, 0};
    tracks.sliderGray[i].keys[0] = {0.2f * i + 0.05f, 0};
  }
  p = paramsForFrameIndex(0, frame, "", tracks);
  EXPECT_EQ(p.sampling_ratio, 0.2f);
  EXPECT_EQ(p.max_dist, 15.0f);
  EXPECT_EQ(p.render_point_size, 0.1f);
  EXPECT_EQ(paramsForFrameIndex(10, frame, "", tracks).render_point_size, 50.0f);
  EXPECT_EQ(p.fov, 200.0f);
  EXPECT_EQ(p.point_size, -1.0f);
  EXPECT_EQ(p.camera_pos, (std::array<float, 3>{-2.0f, 0.0f, 9.0f}));
  EXPECT_EQ(p.slider_pos_0, 0.0f);
  EXPECT_EQ(p.slider_pos_2, 0.2f);
  EXPECT_EQ(p.slider_gray_1, 0.2f * 1 + 0.05f);
  EXPECT_EQ(p.slider_gray_2, 0.2f * 2 + 0.05f);

  tracks.samplingRatio.keys[0] = {INFINITY, 0};
  EXPECT_EQ(paramsForFrameIndex(0, frame, "", tracks).sampling_ratio, 1.0f);
}

TEST(FrameParams, FallbacksAreTheClampedMetadataValues) {
  FrameData frame;
  frame.metaJson = R"({"max_display_distance": 6, "D2": 3})";
  ProjectTracks tracks;
  tracks.maxDist.keys[5] = {12.0f, 0};  // a single key holds at every frame
  tracks.sliderPos[0].keys[5] = {0.3f, 0};
  const RenderParams p = paramsForFrameIndex(0, frame, R"({"camera_pos": [1, 2, 3]})", tracks);
  EXPECT_EQ(p.max_dist, 12.0f);
  EXPECT_EQ(p.slider_pos_1, 0.5f);  // untracked: metadata value
  EXPECT_EQ(p.slider_pos_0, 0.3f);
  EXPECT_EQ(p.camera_pos, (std::array<float, 3>{1.0f, 2.0f, 3.0f}));
}

}  // namespace
