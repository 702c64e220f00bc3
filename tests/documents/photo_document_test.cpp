#include "photo_document.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <functional>
#include <stdexcept>

#include "pcp_writer.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using doctest::readText;
using doctest::TempFolder;
using doctest::writeText;
using nlohmann::json;

const char* const kMetadata = R"({"depth_width":2,"depth_height":2,"max_display_distance":8})";

void writePhoto(const fs::path& file, const std::string& metadata = kMetadata) {
  ASSERT_TRUE(pcpwrite::writePcp(file.string(), {metadata, {1000, 2000, 3000, 4000}, {}}));
}

void writeBytes(const fs::path& file, const std::vector<uint8_t>& bytes) {
  writeText(file, std::string(bytes.begin(), bytes.end()));
}

json sliders(std::initializer_list<std::pair<double, double>> nodes) {
  json array = json::array();
  for (const auto& [position, gray] : nodes) array.push_back({{"position", position}, {"grayscale", gray}});
  return array;
}

json entry(json nodes) { return json{{"grayscale_sliders", std::move(nodes)}}; }

media::PhotoParams edited() {
  media::PhotoParams params;
  params.currentPointSize = 4.0f;
  params.renderPointSize = 20.0f;
  params.maxDisplayDistance = 8.0f;
  params.samplingRatio = 0.5f;
  params.nodes = {{0.0f, 0.0f, 1}, {0.25f, 1.0f, 2}, {1.0f, 0.5f, 3}};
  return params;
}

void setModified(const fs::path& file, int secondsAgo) {
  fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::seconds(secondsAgo));
}

TEST(PhotoDocument, SidecarAndExportNames) {
  struct Case {
    const char* capture;
    const char* sidecar;
    const char* exportPrefix;
  };
  const Case cases[] = {
      {"/f/pointcloud_7.bin", "/f/render_params_7.json", "pointcloud_capture_7"},
      {"/f/pointcloud_007.bin", "/f/render_params_007.json", "pointcloud_capture_007"},
      {"/f/take.pcp", "/f/take.json", "take"},
      {"/f/take.v2.pcp", "/f/take.v2.json", "take.v2"},
      {"/f/pointcloud_7.pcp", "/f/pointcloud_7.json", "pointcloud_7"},
      {"/f/pointcloud_x.bin", "/f/pointcloud_x.json", "pointcloud_capture_x"},
      {"/f/pointcloud_.bin", "/f/pointcloud_.json", "pointcloud_capture_"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(media::photoSidecar(c.capture), fs::path(c.sidecar)) << c.capture;
    media::PhotoDocument document;
    document.path = c.capture;
    EXPECT_EQ(document.exportPrefix(), c.exportPrefix) << c.capture;
  }
}

TEST(PhotoParams, ReadAppliesDefaultsAndRules) {
  const json metadata = {{"max_display_distance", 8}, {"D1", 2}, {"D2", 4}, {"D3", 20}};
  for (const json& empty : {json(), json::object(), json::array()}) {
    const media::PhotoParams fromMetadata = media::PhotoParams::read(metadata, empty);
    EXPECT_FLOAT_EQ(fromMetadata.currentPointSize, 3.0f);
    EXPECT_FLOAT_EQ(fromMetadata.renderPointSize, 18.0f);
    EXPECT_FLOAT_EQ(fromMetadata.maxDisplayDistance, 8.0f);
    EXPECT_FLOAT_EQ(fromMetadata.samplingRatio, 1.0f);
    ASSERT_EQ(fromMetadata.nodes.size(), 3u);
    EXPECT_FLOAT_EQ(fromMetadata.nodes[0].position, 0.25f);
    EXPECT_FLOAT_EQ(fromMetadata.nodes[1].position, 0.5f);
    EXPECT_FLOAT_EQ(fromMetadata.nodes[2].position, 1.0f);  // 20 / 8, clamped
    EXPECT_EQ(fromMetadata.nodes[1].gray, 1.0f);
    EXPECT_EQ(fromMetadata.nodes[2].id, 3);
  }
  // Without any metadata: 10 m and nodes at 0, 5 and 10 m.
  const media::PhotoParams bare = media::PhotoParams::read(json::object(), json());
  EXPECT_FLOAT_EQ(bare.maxDisplayDistance, 10.0f);
  EXPECT_FLOAT_EQ(bare.nodes[1].position, 0.5f);

  const json stored = {{"current_point_size", 0.01},     {"render_point_size", 99},
                       {"max_display_distance", 30},     {"sampling_ratio", 0.05},
                       {"grayscale_sliders", json::array({json{{"position", 0.3}}, json{{"grayscale", 0.6}}, 7})}};
  const media::PhotoParams read = media::PhotoParams::read(metadata, stored);
  EXPECT_FLOAT_EQ(read.currentPointSize, 0.1f);
  EXPECT_FLOAT_EQ(read.renderPointSize, 50.0f);
  EXPECT_FLOAT_EQ(read.maxDisplayDistance, 15.0f);
  EXPECT_FLOAT_EQ(read.samplingRatio, 0.2f);
  ASSERT_EQ(read.nodes.size(), 3u);
  EXPECT_FLOAT_EQ(read.nodes[0].position, 0.3f);
  EXPECT_EQ(read.nodes[0].gray, 0.0f);
  EXPECT_EQ(read.nodes[1].position, 0.0f);
  EXPECT_FLOAT_EQ(read.nodes[1].gray, 0.6f);
  EXPECT_EQ(read.nodes[2].position, 0.0f);
  EXPECT_EQ(read.nodes[2].id, 3);

  // The entry's own distance wins over the metadata's; no sliders derives nodes from that distance.
  const media::PhotoParams ownDistance = media::PhotoParams::read(metadata, {{"max_display_distance", 4}});
  EXPECT_FLOAT_EQ(ownDistance.maxDisplayDistance, 4.0f);
  EXPECT_FLOAT_EQ(ownDistance.nodes[0].position, 0.5f);
  EXPECT_FLOAT_EQ(ownDistance.nodes[1].position, 1.0f);

  EXPECT_TRUE(media::PhotoParams::read(metadata, {{"grayscale_sliders", json::array()}}).nodes.empty());
  EXPECT_FLOAT_EQ(media::PhotoParams::read(metadata, {{"sampling_ratio", NAN}}).samplingRatio, 1.0f);
}

TEST(PhotoParams, JsonFormHasExactlyFiveFloatingPointMembers) {
  media::PhotoParams params = edited();
  EXPECT_EQ(params.json().dump(),
            R"({"current_point_size":4.0,"grayscale_sliders":[{"grayscale":0.0,"position":0.0},)"
            R"({"grayscale":1.0,"position":0.25},{"grayscale":0.5,"position":1.0}],)"
            R"("max_display_distance":8.0,"render_point_size":20.0,"sampling_ratio":0.5})");
  params.samplingRatio = 7.0f;
  EXPECT_EQ(params.json()["sampling_ratio"], 1.0);
  params.samplingRatio = NAN;
  EXPECT_EQ(params.json()["sampling_ratio"], 1.0);
  params.samplingRatio = 0.0f;
  EXPECT_DOUBLE_EQ(params.json()["sampling_ratio"].get<double>(), double{0.2f});
}

TEST(PhotoParams, Validity) {
  json thirtyTwo = json::array();
  for (int i = 0; i < 32; ++i) thirtyTwo.push_back({{"position", i / 32.0}, {"grayscale", 0.5}});
  json thirtyThree = thirtyTwo;
  thirtyThree.push_back({{"position", 1}, {"grayscale", 1}});
  json withSize = entry(sliders({{0, 0}, {1, 1}}));
  withSize["render_point_size"] = "18";
  json infinite = entry(sliders({{0, 0}, {1, 1}}));
  infinite["sampling_ratio"] = INFINITY;

  const std::pair<json, bool> cases[] = {
      {entry(sliders({{0, 0}, {1, 1}})), true},
      {entry(thirtyTwo), true},
      {entry(sliders({{0.5, 1}})), false},
      {entry(sliders({{0, 0}, {1.2, 1}})), false},
      {entry(sliders({{0, 0}, {1, -0.1}})), false},
      {entry(thirtyThree), false},
      {entry(json::array({json{{"position", 0}, {"grayscale", 0}}, 1})), false},
      {entry(json::array({json{{"position", 0}, {"grayscale", 0}}, json{{"position", "1"}, {"grayscale", 0}}})), false},
      {entry(json::array({json{{"position", 0}, {"grayscale", 0}}, json{{"position", 1}}})), false},
      {entry(json::array({json{{"position", 0}, {"grayscale", 0}}, json{{"position", NAN}, {"grayscale", 0}}})), false},
      {entry(json::object()), false},
      {json{{"current_point_size", 3}}, false},
      {withSize, false},
      {infinite, false},
      {json::array(), false},
      {json(), false},
  };
  for (const auto& [candidate, valid] : cases) EXPECT_EQ(media::validPhotoParams(candidate), valid) << candidate;
}

TEST(PhotoDocument, ReadText) {
  TempFolder folder;
  writeText(folder / "a.json", "{\"x\": 1}");
  EXPECT_EQ(media::readText(folder / "a.json"), "{\"x\": 1}");
  const auto message = [](const fs::path& file) {
    try {
      media::readText(file);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  EXPECT_EQ(message(folder / "missing.json"), "无法读取 missing.json");
  fs::create_directory(folder / "folder.json");
  EXPECT_EQ(message(folder / "folder.json"), "读取失败");
}

// Every way a photo can fail to load: the message, the document refusing to commit, and the sidecar
// left as it was.
TEST(PhotoDocument, BadInputsFailWithTheirMessages) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  std::vector<uint8_t> wrongMagic = pcpwrite::encodePcp({kMetadata, {1, 2, 3, 4}, {}});
  wrongMagic[15] = 1;
  std::vector<uint8_t> lyingLength = pcpwrite::header(1000, 8, 0);
  const std::string shortMetadata = "{\"a\":1}";
  lyingLength.insert(lyingLength.end(), shortMetadata.begin(), shortMetadata.end());
  std::vector<uint8_t> tooLong = pcpwrite::header((64u << 20) + 1, 8, 0);
  tooLong.resize(tooLong.size() + 100, ' ');
  std::vector<uint8_t> headOnly = pcpwrite::magic();
  headOnly.resize(18, 0);

  struct Case {
    const char* name;
    std::string capture;                 // file name in the folder
    std::vector<uint8_t> captureBytes;   // empty: a valid photo with kMetadata
    std::string pcpMetadata;             // used when captureBytes is empty
    std::optional<std::string> sidecar;  // written beside the capture
    std::string expected;                // the error, or a part of it when partial
    bool partial;
  };
  const std::vector<Case> cases = {
      {"magic", "take.pcp", wrongMagic, "", std::nullopt, "PCP 文件头无效", false},
      {"short head", "take.pcp", {'T', 'O', 'L'}, "", std::nullopt, "PCP 文件头无效", false},
      {"length unreadable", "take.pcp", headOnly, "", std::nullopt, "PCP 元数据长度无效", false},
      {"length zero", "take.pcp", pcpwrite::header(0, 8, 0), "", std::nullopt, "PCP 元数据长度无效", false},
      {"length lies", "take.pcp", lyingLength, "", std::nullopt, "PCP 元数据长度无效", false},
      {"length beyond limit", "take.pcp", tooLong, "", std::nullopt, "PCP 元数据长度无效", false},
      {"metadata unparsable", "take.pcp", {}, "{\"depth_width\":", std::nullopt, "parse error", true},
      {"metadata not an object", "take.pcp", {}, "[1, 2]", std::nullopt, "照片元数据结构无效", false},
      {"metadata not an object, sidecar object", "take.pcp", {}, "3", std::string("{\"a\":1}"), "照片元数据结构无效",
       false},
      {"metadata too deep", "take.pcp", {}, deep, std::nullopt, "nesting deeper than 512 levels", true},
      {"legacy without json", "pointcloud_7.bin", {0, 0, 0, 0}, "", std::nullopt, "旧照片缺少配套 JSON", false},
      {"sidecar unparsable", "take.pcp", {}, kMetadata, std::string("{\"versions\": {"), "parse error", true},
      {"sidecar empty", "take.pcp", {}, kMetadata, std::string(""), "parse error", true},
      {"sidecar array", "take.pcp", {}, kMetadata, std::string("[]"), "照片参数文件结构无效", false},
      {"sidecar string", "take.pcp", {}, kMetadata, std::string("\"x\""), "照片参数文件结构无效", false},
      {"sidecar too deep", "take.pcp", {}, kMetadata, deep, "nesting deeper than 512 levels", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    const fs::path capture = folder / c.capture;
    if (c.captureBytes.empty()) {
      writePhoto(capture, c.pcpMetadata);
    } else {
      writeBytes(capture, c.captureBytes);
    }
    const fs::path sidecar = media::photoSidecar(capture);
    if (c.sidecar) writeText(sidecar, *c.sidecar);

    media::PhotoDocument document;
    EXPECT_FALSE(document.load(capture));
    if (c.partial) {
      EXPECT_NE(document.error.find(c.expected), std::string::npos) << document.error;
    } else {
      EXPECT_EQ(document.error, c.expected);
    }
    EXPECT_EQ(document.sourceFiles, std::vector<std::string>{capture.string()});
    EXPECT_FALSE(document.commitVersion("1", edited(), "", ""));
    EXPECT_FALSE(document.error.empty());
    if (c.sidecar) {
      EXPECT_EQ(readText(sidecar), *c.sidecar);
    } else {
      EXPECT_FALSE(fs::exists(sidecar));
    }
  }
}

// A link to itself cannot be opened, whoever runs the test; a FIFO would wait for a writer forever.
TEST(PhotoDocument, UnreadableSidecar) {
  const std::pair<const char*, std::function<void(const fs::path&)>> sidecars[] = {
      {"link to itself", [](const fs::path& file) { fs::create_symlink(file.filename(), file); }},
      {"fifo", [](const fs::path& file) { ASSERT_EQ(mkfifo(file.c_str(), 0600), 0); }},
  };
  for (const auto& [kind, make] : sidecars) {
    SCOPED_TRACE(kind);
    TempFolder folder;
    writePhoto(folder / "take.pcp");
    make(folder / "take.json");
    media::PhotoDocument document;
    EXPECT_FALSE(document.load(folder / "take.pcp"));
    EXPECT_EQ(document.error, "无法读取 take.json");
    EXPECT_THROW(media::readText(folder / "take.json"), std::runtime_error);

    pcv0930::Directory directory;
    media::appendPhotos(directory, folder.path().string(), nullptr);
    ASSERT_EQ(directory.items.size(), 1u);
    EXPECT_EQ(directory.items[0].error, "无法读取 take.json");
  }
}

TEST(PhotoDocument, FifoCaptureIsNotOpened) {
  TempFolder folder;
  ASSERT_EQ(mkfifo((folder / "take.pcp").c_str(), 0600), 0);
  media::PhotoDocument document;
  EXPECT_FALSE(document.load(folder / "take.pcp"));
  EXPECT_EQ(document.error, "PCP 文件头无效");
}

TEST(PhotoDocument, LoadMergesMetadataAndListsVersions) {
  TempFolder folder;
  writePhoto(folder / "take.pcp", R"({"depth_width":2,"depth_height":2,"color_mode":false,"high_res_texture":"tex.png"})");
  const json valid = entry(sliders({{0, 0}, {1, 1}}));
  const json sidecar = {{"color_mode", true},
                        {"render_count", 12},
                        {"versions",
                         {{"1", valid}, {"2", valid}, {"10", valid}, {"01", valid}, {"abc", valid},
                          {"3", entry(sliders({{0.5, 1}}))}}}};
  writeText(folder / "take.json", sidecar.dump());
  writeText(folder / "tex.png", "picture");
  for (const char* name : {"take_15.jpg", "take_2.png", "take_07.png", "take_20.txt", "other_30.png",
                           "take_16x.svg", "take_9.jpeg", "take_11.svg"}) {
    writeText(folder / name, "x");
  }

  media::PhotoDocument document;
  ASSERT_TRUE(document.load(folder / "take.pcp")) << document.error;
  EXPECT_EQ(document.json["color_mode"], true);  // the sidecar wins
  EXPECT_EQ(document.json["depth_width"], 2);
  EXPECT_EQ(document.sidecar.path, folder / "take.json");
  EXPECT_EQ(document.sidecar.loadedText, sidecar.dump());
  EXPECT_EQ(document.sourceFiles, (std::vector<std::string>{(folder / "take.pcp").string(), (folder / "tex.png").string()}));
  EXPECT_EQ(document.versionNames, (std::vector<std::string>{"10", "2", "1"}));
  EXPECT_TRUE(document.versionsBroken);
  EXPECT_EQ(document.strayExports, (std::vector<std::string>{"take_9.jpeg", "take_11.svg", "take_15.jpg"}));
  EXPECT_EQ(document.nextVersion(), 16);

  // A texture that is not a regular file is not a source file.
  fs::remove(folder / "tex.png");
  fs::create_directory(folder / "tex.png");
  ASSERT_TRUE(document.load(folder / "take.pcp"));
  EXPECT_EQ(document.sourceFiles.size(), 1u);
}

TEST(PhotoDocument, PhotoWithoutSidecarLoadsEmpty) {
  TempFolder folder;
  writePhoto(folder / "take.pcp");
  media::PhotoDocument document;
  ASSERT_TRUE(document.load(folder / "take.pcp")) << document.error;
  EXPECT_EQ(document.json, json::parse(kMetadata));
  EXPECT_TRUE(document.sidecar.loadedText.empty());
  EXPECT_TRUE(document.versionNames.empty());
  EXPECT_FALSE(document.versionsBroken);
  EXPECT_EQ(document.nextVersion(), 1);
  EXPECT_THROW(document.version("1"), std::exception);
  EXPECT_EQ(document.note("1"), "");
}

TEST(PhotoDocument, NumberingLimitsAndMalformedVersions) {
  struct Case {
    const char* name;
    json sidecar;
    std::optional<int> next;    // nullopt: nextVersion throws `failure`
    const char* failure;
    bool broken;
    bool commits;               // commitVersion("1") succeeds
  };
  const Case cases[] = {
      {"versions array", {{"versions", json::array({1})}}, std::nullopt, "照片版本结构无效，请先修复参数文件", true, false},
      {"versions number", {{"versions", 5}}, std::nullopt, "照片版本结构无效，请先修复参数文件", true, false},
      {"versions empty array", {{"versions", json::array()}}, 1, "", true, true},
      {"versions null", {{"versions", nullptr}}, 1, "", true, true},
      {"render_count unreadable", {{"render_count", "12"}}, 1, "", false, true},
      {"render_count negative", {{"render_count", -4}}, 1, "", false, true},
      {"render_count at limit", {{"render_count", INT_MAX}}, std::nullopt, "照片版本编号已达上限", false, true},
      {"render_count beyond limit", {{"render_count", 99999999999LL}}, std::nullopt, "照片版本编号已达上限", false, true},
      {"version name beyond limit",
       {{"versions", {{"99999999999", entry(sliders({{0, 0}, {1, 1}}))}}}},
       std::nullopt,
       "照片版本编号已达上限",
       false,
       true},
      {"leading digits count", {{"versions", {{"41abc", 1}, {"007", 2}}}}, 42, "", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    writePhoto(folder / "take.pcp");
    writeText(folder / "take.json", c.sidecar.dump());
    media::PhotoDocument document;
    ASSERT_TRUE(document.load(folder / "take.pcp")) << document.error;
    EXPECT_EQ(document.versionsBroken, c.broken);
    if (c.next) {
      EXPECT_EQ(document.nextVersion(), *c.next);
    } else {
      try {
        document.nextVersion();
        ADD_FAILURE() << "no exception";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), c.failure);
      }
      std::string name = "unchanged";
      EXPECT_FALSE(document.saveVersion(edited(), "", std::nullopt, "", name));
      EXPECT_EQ(document.error, c.failure);
    }
    EXPECT_EQ(document.commitVersion("1", edited(), "", ""), c.commits);
    if (!c.commits) {
      EXPECT_EQ(document.error, "照片版本结构无效");
      EXPECT_EQ(readText(folder / "take.json"), c.sidecar.dump());
    }
  }
}

// The exact bytes of a first save: the whole merged metadata plus the version, 4-space indented.
TEST(PhotoDocument, CommitWritesTheCompleteSidecar) {
  TempFolder folder;
  writePhoto(folder / "take.pcp");
  writeText(folder / "take.json", R"({"color_mode": true})");
  media::PhotoDocument document;
  ASSERT_TRUE(document.load(folder / "take.pcp"));
  const int64_t before = static_cast<int64_t>(std::time(nullptr));
  ASSERT_TRUE(document.commitVersion("1", edited(), "夜景", "")) << document.error;
  const std::string written = readText(folder / "take.json");
  const int64_t timestamp = json::parse(written)["versions"]["1"]["timestamp"].get<int64_t>();
  EXPECT_GE(timestamp, before);
  EXPECT_LE(timestamp, static_cast<int64_t>(std::time(nullptr)));
  const std::string expected = R"({
    "color_mode": true,
    "depth_height": 2,
    "depth_width": 2,
    "editor_media": {},
    "max_display_distance": 8,
    "render_count": 1,
    "versions": {
        "1": {
            "current_point_size": 4.0,
            "editor_media": {
                "note": "夜景",
                "schema_version": 1
            },
            "grayscale_sliders": [
                {
                    "grayscale": 0.0,
                    "position": 0.0
                },
                {
                    "grayscale": 1.0,
                    "position": 0.25
                },
                {
                    "grayscale": 0.5,
                    "position": 1.0
                }
            ],
            "max_display_distance": 8.0,
            "render_point_size": 20.0,
            "sampling_ratio": 0.5,
            "timestamp": )" + std::to_string(timestamp) +
                               R"(
        }
    }
})";
  EXPECT_EQ(written, expected);
  EXPECT_EQ(document.sidecar.loadedText, written);
  EXPECT_EQ(document.json, json::parse(written));
  EXPECT_EQ(document.versionNames, std::vector<std::string>{"1"});
  for (const std::string& name : doctest::folderEntries(folder.path())) {
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
  }

  // Further commits through the same document need no reload; the export file is recorded.
  ASSERT_TRUE(document.commitVersion("2", edited(), "", "/out/take_2.jpg")) << document.error;
  const json root = json::parse(readText(folder / "take.json"));
  EXPECT_EQ(root["render_count"], 2);
  EXPECT_EQ(root["versions"]["2"]["editor_media"]["export_file"], "/out/take_2.jpg");
  EXPECT_FALSE(root["versions"]["1"]["editor_media"].contains("export_file"));
  EXPECT_EQ(document.versionNames, (std::vector<std::string>{"2", "1"}));
  media::PhotoDocument reloaded;
  ASSERT_TRUE(reloaded.load(folder / "take.pcp"));
  EXPECT_EQ(reloaded.versionNames, document.versionNames);
  EXPECT_FALSE(reloaded.versionsBroken);
  EXPECT_EQ(media::PhotoParams::read(reloaded.json, reloaded.version("2")).json(), edited().json());
}

TEST(PhotoDocument, LegacyCaptureCommitsToItsRenderParams) {
  TempFolder folder;
  ASSERT_TRUE(pcpwrite::writeLegacy(folder.file("pointcloud_7.bin"), folder.file("render_params_7.json"),
                                    R"({"depth_width":2,"depth_height":2})", {1000, 1000, 1000, 1000}));
  writeText(folder / "pointcloud_capture_7_4.png", "x");
  media::PhotoDocument document;
  ASSERT_TRUE(document.load(folder / "pointcloud_7.bin")) << document.error;
  EXPECT_EQ(document.strayExports, std::vector<std::string>{"pointcloud_capture_7_4.png"});
  std::string name;
  ASSERT_TRUE(document.saveVersion(edited(), kOriginalVersionName, std::nullopt, "", name)) << document.error;
  EXPECT_EQ(name, "5");  // past the stray export
  const json root = json::parse(readText(folder / "render_params_7.json"));
  EXPECT_EQ(root["depth_width"], 2);
  EXPECT_EQ(root["render_count"], 5);
  EXPECT_FALSE(fs::exists(folder / "pointcloud_7.json"));

  pcp::CaptureData capture;
  ASSERT_TRUE(document.capture(capture)) << capture.error;
  EXPECT_FALSE(capture.isPcp);
  EXPECT_EQ(capture.sidecarPath, folder.file("render_params_7.json"));
  EXPECT_EQ(capture.points.size(), 4u);
}

TEST(PhotoDocument, CaptureOfPcpUsesTheSidecar) {
  TempFolder folder;
  writePhoto(folder / "take.pcp");
  writeText(folder / "take.json", R"({"color_mode": true})");
  media::PhotoDocument document;
  ASSERT_TRUE(document.load(folder / "take.pcp"));
  pcp::CaptureData capture;
  ASSERT_TRUE(document.capture(capture)) << capture.error;
  EXPECT_TRUE(capture.isPcp);
  EXPECT_EQ(capture.metadata["color_mode"], true);
  EXPECT_EQ(capture.depth.size(), 4u);
}

TEST(PhotoDocument, RecommitKeepsTimestampAndNoteDecidesTheName) {
  TempFolder folder;
  writePhoto(folder / "take.pcp");
  json stored = edited().json();
  stored["timestamp"] = 1000;
  stored["editor_media"] = {{"schema_version", 1}, {"note", "暖色"}};
  writeText(folder / "take.json", json{{"render_count", 3}, {"versions", {{"3", stored}}}}.dump());

  media::PhotoDocument document;
  ASSERT_TRUE(document.load(folder / "take.pcp"));
  std::string name;
  ASSERT_TRUE(document.saveVersion(edited(), "3", std::string("暖色"), "/out/take_3.jpg", name)) << document.error;
  EXPECT_EQ(name, "3");
  json root = json::parse(readText(folder / "take.json"));
  EXPECT_EQ(root["versions"]["3"]["timestamp"], 1000);
  EXPECT_EQ(root["versions"]["3"]["editor_media"]["export_file"], "/out/take_3.jpg");
  EXPECT_EQ(root["render_count"], 3);
  EXPECT_EQ(root["versions"].size(), 1u);

  ASSERT_TRUE(document.saveVersion(edited(), "3", std::string("冷色"), "", name)) << document.error;
  EXPECT_EQ(name, "4");
  root = json::parse(readText(folder / "take.json"));
  EXPECT_EQ(root["versions"]["4"]["editor_media"]["note"], "冷色");
  EXPECT_EQ(root["versions"]["3"]["editor_media"]["note"], "暖色");
  EXPECT_EQ(root["render_count"], 4);

  // Without a note the parameters alone decide, newest first.
  EXPECT_EQ(document.matchingVersion(edited(), "", std::nullopt), "4");
  EXPECT_EQ(document.matchingVersion(edited(), "3", std::nullopt), "3");
  EXPECT_EQ(document.matchingVersion(edited(), "9", std::nullopt), "4");
  media::PhotoParams other = edited();
  other.renderPointSize = 21.0f;
  EXPECT_EQ(document.matchingVersion(other, "3", std::nullopt), "");
  EXPECT_EQ(document.matchingVersion(edited(), "4", std::string("暖色")), "");
}

// The four steps in their order: a note that differs from the preferred version's ends the search;
// the preferred version wins only when it is listed; then the unedited version; then the newest.
TEST(PhotoDocument, MatchingFollowsPreferenceOriginalThenNewest) {
  TempFolder folder;
  writePhoto(folder / "take.pcp");
  media::PhotoDocument probe;
  ASSERT_TRUE(probe.load(folder / "take.pcp"));
  const media::PhotoParams unedited = media::PhotoParams::read(probe.json, nullptr);
  const auto stored = [](const media::PhotoParams& params, const std::string& note) {
    json version = params.json();
    version["editor_media"] = {{"schema_version", 1}, {"note", note}};
    return version;
  };
  const json versions = {{"1", stored(unedited, "")},
                         {"2", stored(edited(), "")},
                         {"3", stored(edited(), "x")},
                         {"07", stored(edited(), "")}};  // not a version name: never preferred
  writeText(folder / "take.json", json{{"versions", versions}}.dump());
  media::PhotoDocument document;
  ASSERT_TRUE(document.load(folder / "take.pcp"));
  ASSERT_EQ(document.versionNames, (std::vector<std::string>{"3", "2", "1"}));

  struct Case {
    bool uneditedParams;
    const char* preferred;
    std::optional<std::string> note;
    const char* expected;
  };
  const Case cases[] = {
      {true, "1", std::nullopt, "1"},
      {true, "", std::nullopt, kOriginalVersionName},
      {true, "2", std::nullopt, kOriginalVersionName},
      {true, "07", std::string(""), kOriginalVersionName},
      {true, "3", std::string(""), ""},
      {false, "", std::nullopt, "3"},
      {false, "07", std::nullopt, "3"},
      {false, "2", std::nullopt, "2"},
      {false, "2", std::string(""), "2"},
      {false, "3", std::string(""), ""},
      {false, "2", std::string("x"), ""},
      {false, "3", std::string("x"), "3"},
      {false, "", std::string(""), "2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.preferred) + " / " + c.note.value_or("(none)"));
    EXPECT_EQ(document.matchingVersion(c.uneditedParams ? unedited : edited(), c.preferred, c.note), c.expected);
  }
}

TEST(PhotoDocument, UneditedParametersMatchTheOriginal) {
  TempFolder folder;
  writePhoto(folder / "take.pcp");
  media::PhotoDocument document;
  ASSERT_TRUE(document.load(folder / "take.pcp"));
  const media::PhotoParams unedited = media::PhotoParams::read(document.json, nullptr);
  EXPECT_EQ(document.matchingVersion(unedited, "", std::nullopt), kOriginalVersionName);
  EXPECT_EQ(document.matchingVersion(unedited, kOriginalVersionName, std::string("")), kOriginalVersionName);
  // A new note differs from the original's (empty) one, so saving with it takes a number.
  EXPECT_EQ(document.matchingVersion(unedited, kOriginalVersionName, std::string("原片")), "");
  ASSERT_TRUE(document.commitVersion(kOriginalVersionName, unedited, "原片", "/out/take.jpg")) << document.error;
  const json root = json::parse(readText(folder / "take.json"));
  EXPECT_EQ(root["editor_media"]["original"],
            (json{{"schema_version", 1}, {"note", "原片"}, {"export_file", "/out/take.jpg"}}));
  EXPECT_FALSE(root.contains("versions"));
  EXPECT_FALSE(root.contains("render_count"));
  EXPECT_TRUE(document.versionNames.empty());
  EXPECT_EQ(document.note(kOriginalVersionName), "原片");
  EXPECT_EQ(document.version(kOriginalVersionName)["editor_media"]["note"], "原片");
  // The unedited version now has a note, so a save without it takes the first number.
  std::string name;
  ASSERT_TRUE(document.saveVersion(unedited, kOriginalVersionName, std::string(""), "", name));
  EXPECT_EQ(name, "1");
}

TEST(PhotoDocument, CommitRefusesASidecarChangedSinceLoad) {
  for (const bool existedAtLoad : {true, false}) {
    SCOPED_TRACE(existedAtLoad);
    TempFolder folder;
    writePhoto(folder / "take.pcp");
    if (existedAtLoad) writeText(folder / "take.json", "{}");
    media::PhotoDocument document;
    ASSERT_TRUE(document.load(folder / "take.pcp"));
    const std::string otherProgram = R"({"versions": {"1": {"note": "theirs"}}})";
    writeText(folder / "take.json", otherProgram);
    EXPECT_FALSE(document.commitVersion("1", edited(), "mine", ""));
    EXPECT_EQ(document.error, "项目已被其他程序修改，请重新读取后保存");
    EXPECT_EQ(readText(folder / "take.json"), otherProgram);
    EXPECT_TRUE(document.versionNames.empty());
    EXPECT_EQ(document.sidecar.loadedText, existedAtLoad ? "{}" : "");
  }
}

// The photo's fingerprint: the same hash of the files' fingerprint followed by the compact metadata.
std::string expectedPhotoFingerprint(const std::vector<std::string>& files, const std::string& metadata) {
  return doctest::fnvHex(doctest::expectedFingerprint(files) + metadata);
}

TEST(PhotoDocument, FingerprintFollowsFilesAndMetadataNotVersions) {
  TempFolder folder;
  const fs::path capture = folder / "take.pcp";
  writePhoto(capture);
  media::PhotoDocument document;
  ASSERT_TRUE(document.load(capture));
  const std::string original = media::photoFingerprint(document);
  EXPECT_EQ(original, expectedPhotoFingerprint({capture.string()},
                                               R"({"depth_height":2,"depth_width":2,"max_display_distance":8})"));

  std::string name;
  ASSERT_TRUE(document.saveVersion(edited(), "", std::string("a"), "/out/x.jpg", name));
  ASSERT_TRUE(document.commitVersion(kOriginalVersionName, edited(), "b", ""));
  EXPECT_EQ(media::photoFingerprint(document), original);
  media::PhotoDocument reloaded;
  ASSERT_TRUE(reloaded.load(capture));
  EXPECT_EQ(media::photoFingerprint(reloaded), original);

  json root = json::parse(readText(folder / "take.json"));
  root["color_mode"] = true;
  writeText(folder / "take.json", root.dump());
  ASSERT_TRUE(reloaded.load(capture));
  const std::string recoloured = media::photoFingerprint(reloaded);
  EXPECT_EQ(recoloured, expectedPhotoFingerprint(
                            {capture.string()},
                            R"({"color_mode":true,"depth_height":2,"depth_width":2,"max_display_distance":8})"));

  setModified(capture, 100);
  ASSERT_TRUE(reloaded.load(capture));
  EXPECT_NE(media::photoFingerprint(reloaded), recoloured);
}

TEST(AppendPhotos, ListsPhotosWithTheirErrorsInListingOrder) {
  TempFolder folder;
  writePhoto(folder / "take.pcp");
  writeText(folder / "take.json", json{{"versions", {{"1", entry(sliders({{0, 0}, {1, 1}}))}, {"x", 1}}}}.dump());
  ASSERT_TRUE(pcpwrite::writeLegacy(folder.file("pointcloud_3.bin"), folder.file("render_params_3.json"),
                                    R"({"depth_width":2,"depth_height":2})", {1, 2, 3, 4}));
  writeText(folder / "pointcloud_4.bin", "12345678");
  writeBytes(folder / "broken.pcp", pcpwrite::header(5000, 8, 0));
  writeText(folder / "pointcloud_x.bin", "x");
  writeText(folder / "depth.bin", "x");
  writeText(folder / "notes.txt", "x");
  fs::create_directory(folder / "folder.pcp");
  fs::create_symlink(folder / "take.pcp", folder / "link.pcp");
  fs::create_symlink(folder / "missing.pcp", folder / "dangling.pcp");
  setModified(folder / "take.pcp", 40);
  setModified(folder / "pointcloud_3.bin", 30);
  setModified(folder / "pointcloud_4.bin", 20);
  setModified(folder / "broken.pcp", 10);

  pcv0930::Directory directory;
  pcv0930::MediaItem video;
  video.path = folder.file("clip.pcv");
  video.name = "clip.pcv";
  video.modified = fs::last_write_time(folder / "pointcloud_3.bin") - std::chrono::seconds(5);
  directory.items.push_back(video);
  int asked = 0;
  media::appendPhotos(directory, folder.path().string(), [&] {
    ++asked;
    return false;
  });
  EXPECT_EQ(asked, 12);

  std::vector<std::string> names;
  for (const pcv0930::MediaItem& item : directory.items) names.push_back(item.name);
  // link.pcp shares take.pcp's time and comes first in name order.
  EXPECT_EQ(names, (std::vector<std::string>{"broken.pcp", "pointcloud_4.bin", "pointcloud_3.bin", "clip.pcv",
                                             "link.pcp", "take.pcp"}));
  const auto item = [&](const std::string& name) {
    return *std::find_if(directory.items.begin(), directory.items.end(),
                         [&](const pcv0930::MediaItem& i) { return i.name == name; });
  };

  const pcv0930::MediaItem take = item("take.pcp");
  media::PhotoDocument takeDocument;
  ASSERT_TRUE(takeDocument.load(folder / "take.pcp"));
  EXPECT_TRUE(take.photo);
  EXPECT_EQ(take.path, folder.file("take.pcp"));
  EXPECT_EQ(take.error, "");
  EXPECT_EQ(take.size, fs::file_size(folder / "take.pcp"));
  EXPECT_EQ(take.modified, fs::last_write_time(folder / "take.pcp"));
  EXPECT_EQ(take.files, std::vector<std::string>{folder.file("take.pcp")});
  EXPECT_EQ(take.versionCount, 1u);
  EXPECT_TRUE(take.versionsBroken);
  EXPECT_EQ(take.fingerprint, media::photoFingerprint(takeDocument));
  EXPECT_EQ(take.sidecarFingerprint, pcv0930::fingerprint({folder.file("take.json")}));
  EXPECT_EQ(item("link.pcp").sidecarFingerprint, "");  // link.json does not exist

  const pcv0930::MediaItem legacy = item("pointcloud_3.bin");
  EXPECT_EQ(legacy.error, "");
  EXPECT_FALSE(legacy.versionsBroken);
  EXPECT_EQ(legacy.versionCount, 0u);
  EXPECT_EQ(legacy.sidecarFingerprint, pcv0930::fingerprint({folder.file("render_params_3.json")}));

  for (const auto& [name, error] : {std::pair<std::string, std::string>{"pointcloud_4.bin", "旧照片缺少配套 JSON"},
                                    {"broken.pcp", "PCP 元数据长度无效"}}) {
    const pcv0930::MediaItem broken = item(name);
    EXPECT_TRUE(broken.photo);
    EXPECT_EQ(broken.error, error);
    EXPECT_TRUE(broken.versionsBroken);
    EXPECT_EQ(broken.files, std::vector<std::string>{folder.file(name)});
    EXPECT_FALSE(broken.fingerprint.empty());
  }
}

TEST(AppendPhotos, CancelStopsAtOnceAndLeavesTheListUnsorted) {
  TempFolder folder;
  for (const char* name : {"a.pcp", "b.pcp", "c.pcp"}) writePhoto(folder / name);
  pcv0930::MediaItem older;
  older.name = "older.pcv";
  pcv0930::MediaItem newer = older;
  newer.name = "newer.pcv";
  newer.modified = fs::file_time_type::clock::now();

  for (const int cancelAt : {1, 3}) {
    SCOPED_TRACE(cancelAt);
    pcv0930::Directory directory;
    directory.items = {older, newer};
    int asked = 0;
    media::appendPhotos(directory, folder.path().string(), [&] { return ++asked == cancelAt; });
    EXPECT_EQ(asked, cancelAt);
    ASSERT_EQ(directory.items.size(), static_cast<size_t>(2 + cancelAt - 1));
    EXPECT_EQ(directory.items[0].name, "older.pcv");
    EXPECT_EQ(directory.items[1].name, "newer.pcv");
  }
}

TEST(AppendPhotos, MissingFolderThrows) {
  TempFolder folder;
  pcv0930::Directory directory;
  EXPECT_THROW(media::appendPhotos(directory, folder.file("gone"), nullptr), fs::filesystem_error);
  EXPECT_TRUE(directory.items.empty());
}

}  // namespace
