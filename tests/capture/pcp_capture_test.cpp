#include "common_test_support.h"
#include "pcp_capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "pcp_writer.h"
#include "pcv_writer.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using nlohmann::json;

namespace {

constexpr const char* kZeroIntrinsics = "Camera intrinsics fx/fy cannot be zero";
using testsupport::TempFolder;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<uint16_t> flatDepth(size_t count, uint16_t millimetres = 1500) {
  return std::vector<uint16_t>(count, millimetres);
}

// A picture whose every pixel names its own position, so a colour tells where it was taken from.
std::vector<uint8_t> coordinatePicture(uint32_t width, uint32_t height) {
  std::vector<uint8_t> rgb;
  for (uint32_t row = 0; row < height; ++row) {
    for (uint32_t column = 0; column < width; ++column) {
      rgb.push_back(static_cast<uint8_t>(column % 256));
      rgb.push_back(static_cast<uint8_t>(row % 256));
      rgb.push_back(static_cast<uint8_t>(column / 256 * 16 + row / 256));
    }
  }
  return rgb;
}

pcp::Vec3 coordinateColour(uint32_t column, uint32_t row) {
  return {(column % 256) / 255.0f, (row % 256) / 255.0f, (column / 256 * 16 + row / 256) / 255.0f};
}

void expectColour(const pcp::Vec3& actual, const pcp::Vec3& expected) {
  EXPECT_FLOAT_EQ(actual.x, expected.x);
  EXPECT_FLOAT_EQ(actual.y, expected.y);
  EXPECT_FLOAT_EQ(actual.z, expected.z);
}

std::string small(uint32_t width, uint32_t height, const std::string& extra = "") {
  return "{\"depth_width\":" + std::to_string(width) + ",\"depth_height\":" + std::to_string(height) + extra + "}";
}

// A PNG signature, an IHDR of the given size (8-bit RGB) and an IDAT chunk that claims idatLength
// bytes but holds two. CRCs are zero: the decoder does not check them.
Bytes pngHeader(uint32_t width, uint32_t height, uint32_t idatLength) {
  auto bigEndian = [](uint32_t value) {
    return Bytes{uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
  };
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  for (const Bytes& part : {bigEndian(13), text("IHDR"), bigEndian(width), bigEndian(height), Bytes{8, 2, 0, 0, 0},
                            bigEndian(0), bigEndian(idatLength), text("IDAT"), Bytes{0x78, 0x9c}})
    png = concat(png, part);
  return png;
}

class PcpCapture : public ::testing::Test {
 protected:
  std::string writePhoto(const std::string& name, const pcpwrite::Photo& photo) {
    const std::string path = folder_.file(name);
    EXPECT_TRUE(pcpwrite::writePcp(path, photo));
    return path;
  }
  std::string writeBytes(const std::string& name, const Bytes& bytes) {
    const std::string path = folder_.file(name);
    EXPECT_TRUE(pcvwrite::writeFile(path, bytes));
    return path;
  }
  void writePng(const std::string& name, uint32_t width, uint32_t height) {
    writeBytes(name, pcpwrite::encodePng(coordinatePicture(width, height), width, height));
  }

  TempFolder folder_;
};

// Every failure of loadPcp, with damaged files made from a valid one. ${path} stands for the file.
TEST_F(PcpCapture, EveryPcpFailureHasItsMessage) {
  const std::string meta = small(2, 2);
  const Bytes depth = pcvwrite::depthBytes({1000, 1001, 1002, 1003});
  const Bytes picture = pcpwrite::encodePng(coordinatePicture(2, 2), 2, 2);
  auto file = [&](uint32_t m, uint32_t d, uint32_t i, const Bytes& rest) {
    return concat(pcpwrite::header(m, d, i), rest);
  };
  const Bytes valid = concat(concat(file(uint32_t(meta.size()), 8, uint32_t(picture.size()), text(meta)), depth), picture);
  auto withPicture = [&](const Bytes& png) {
    return concat(concat(file(uint32_t(meta.size()), 8, uint32_t(png.size()), text(meta)), depth), png);
  };
  Bytes oddMagic = valid;
  oddMagic[15] = 'X';
  Bytes lowerMagic = valid;
  lowerMagic[0] = 't';
  struct Case {
    const char* label;
    Bytes bytes;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"empty file", {}, "Not a TOLVEX_KPT_V1 PCP file: ${path}"},
      {"short magic", Bytes(valid.begin(), valid.begin() + 10), "Not a TOLVEX_KPT_V1 PCP file: ${path}"},
      {"magic tail not zero", oddMagic, "Not a TOLVEX_KPT_V1 PCP file: ${path}"},
      {"magic letters", lowerMagic, "Not a TOLVEX_KPT_V1 PCP file: ${path}"},
      {"PCV file", concat(pcvwrite::segmentHeader(), Bytes(40, 0)), "Not a TOLVEX_KPT_V1 PCP file: ${path}"},
      {"magic only", pcpwrite::magic(), "Truncated PCP length header: ${path}"},
      {"two lengths", Bytes(valid.begin(), valid.begin() + 24), "Truncated PCP length header: ${path}"},
      {"metadata length 0", file(0, 8, 0, depth), "Invalid PCP payload lengths: ${path}"},
      {"metadata over 64 MiB", file(67108865, 8, 0, text(meta)), "Invalid PCP payload lengths: ${path}"},
      {"depth length 0", file(uint32_t(meta.size()), 0, 0, text(meta)), "Invalid PCP payload lengths: ${path}"},
      {"depth length odd", file(uint32_t(meta.size()), 7, 0, text(meta)), "Invalid PCP payload lengths: ${path}"},
      {"picture over 1 GiB", file(uint32_t(meta.size()), 8, 1073741825, text(meta)),
       "Invalid PCP payload lengths: ${path}"},
      {"metadata of 64 MiB missing", file(67108864, 8, 0, text(meta)), "Truncated PCP metadata: ${path}"},
      {"metadata one byte short", Bytes(valid.begin(), valid.begin() + 28 + long(meta.size()) - 1),
       "Truncated PCP metadata: ${path}"},
      {"metadata not JSON", file(4, 8, 0, concat(text("{bad"), depth)),
       "Invalid embedded PCP metadata: [json.exception.parse_error.101] parse error at line 1, column 2: syntax error "
       "while parsing object key - invalid literal; last read: '{b'; expected string literal"},
      {"metadata an array", file(5, 8, 0, concat(text("[1,2]"), depth)),
       "Invalid embedded PCP metadata: root is not an object"},
      {"metadata nested too deep", file(2000, 8, 0, concat(text(std::string(1000, '[') + std::string(1000, ']')), depth)),
       "Invalid embedded PCP metadata: nesting deeper than 512 levels"},
      {"depth length lies", file(uint32_t(meta.size()), 0xfffffffe, 0, concat(text(meta), depth)),
       "Truncated PCP depth payload: ${path}"},
      {"depth cut", Bytes(valid.begin(), valid.begin() + 28 + long(meta.size()) + 5),
       "Truncated PCP depth payload: ${path}"},
      {"picture length lies", file(uint32_t(meta.size()), 8, 1073741824, concat(text(meta), depth)),
       "Truncated PCP image payload: ${path}"},
      {"picture cut", Bytes(valid.begin(), valid.end() - 1), "Truncated PCP image payload: ${path}"},
      {"default size, 640 x 480 depth",
       file(2, 640 * 480 * 2, 0, concat(text("{}"), Bytes(640 * 480 * 2, 0))),
       "PCP depth size mismatch: expected 368640 pixels, got 307200"},
      {"zero width", file(uint32_t(small(0, 4).size()), 8, 0, concat(text(small(0, 4)), depth)),
       "PCP depth size mismatch: expected 0 pixels, got 4"},
      {"one pixel too few", file(uint32_t(small(2, 3).size()), 8, 0, concat(text(small(2, 3)), depth)),
       "PCP depth size mismatch: expected 6 pixels, got 4"},
      {"picture not decodable", file(uint32_t(meta.size()), 8, 4, concat(concat(text(meta), depth), text("JUNK"))),
       "Unable to decode embedded image: unknown image type"},
      {"PNG chunk longer than the picture", withPicture(pngHeader(3, 1, 0x2c226379)),
       "Unable to decode embedded image: outofdata"},
      {"PNG claiming 65535 x 65535", withPicture(pngHeader(65535, 65535, 2)),
       "Unable to decode embedded image: too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string path = writeBytes("broken.pcp", c.bytes);
    std::string expected = c.error;
    if (const size_t at = expected.find("${path}"); at != std::string::npos) expected.replace(at, 7, path);
    pcp::CaptureData capture;
    EXPECT_FALSE(pcp::loadPcp(path, "", capture));
    EXPECT_EQ(capture.error, expected);
  }
  const std::string missing = folder_.file("missing.pcp");
  pcp::CaptureData capture;
  EXPECT_FALSE(pcp::loadPcp(missing, "", capture));
  EXPECT_EQ(capture.error, "Cannot open PCP file: " + missing);

  // The valid file the cases were cut from, with trailing bytes that are ignored.
  const std::string path = writeBytes("valid.pcp", concat(valid, text("trailing bytes")));
  ASSERT_TRUE(pcp::loadPcp(path, "", capture)) << capture.error;
  EXPECT_EQ(capture.depth, (std::vector<uint16_t>{1000, 1001, 1002, 1003}));
  EXPECT_EQ(capture.colors.size(), 4u);
}

TEST_F(PcpCapture, DefaultSizeAndRecordFields) {
  const std::string path = writePhoto("take.pcp", {"{\"note\":\"default size\"}", flatDepth(640 * 576), {}});
  pcp::CaptureData capture;
  ASSERT_TRUE(pcp::loadPcp(path, "", capture)) << capture.error;
  EXPECT_EQ(capture.path, path);
  EXPECT_EQ(capture.sidecarPath, folder_.file("take.json"));
  EXPECT_TRUE(capture.isPcp);
  EXPECT_FALSE(capture.hasViewFov);
  EXPECT_EQ(capture.depthWidth, 640u);
  EXPECT_EQ(capture.depthHeight, 576u);
  EXPECT_EQ(capture.embeddedMetadata, json::parse("{\"note\":\"default size\"}"));
  EXPECT_EQ(capture.metadata, capture.embeddedMetadata);
  EXPECT_EQ(capture.points.size(), 640u * 576u);
  EXPECT_EQ(capture.pixelIndices.size(), capture.points.size());
  EXPECT_TRUE(capture.colors.empty());
  EXPECT_TRUE(capture.error.empty());

  // Default intrinsics: fx = fy = 0.8 x 640, principal point in the middle.
  const pcp::Vec3& corner = capture.points.front();
  EXPECT_FLOAT_EQ(corner.x, -320.0f * 1.5f / 512.0f);
  EXPECT_FLOAT_EQ(corner.y, -288.0f * 1.5f / 512.0f);
  EXPECT_FLOAT_EQ(corner.z, 1.5f);

  // Negative and wrongly typed sizes count as missing.
  const std::string negative =
      writePhoto("negative.pcp", {"{\"depth_width\":-640,\"depth_height\":\"576\"}", flatDepth(640 * 576), {}});
  ASSERT_TRUE(pcp::loadPcp(negative, "", capture)) << capture.error;
  EXPECT_EQ(capture.depthWidth, 640u);
  EXPECT_EQ(capture.depthHeight, 576u);
}

TEST_F(PcpCapture, PointFilterKeepsDepthsStrictlyBetweenOneMillimetreAndTwentyMetres) {
  const std::vector<uint16_t> depth = {0, 1, 2, 19999, 20000, 25000, 65535, 1000};
  const std::string meta = small(4, 2, ",\"fx\":2,\"fy\":4,\"cx\":1,\"cy\":0.5");
  const std::string path = writePhoto("filter.pcp", {meta, depth, {}});
  pcp::CaptureData capture;
  ASSERT_TRUE(pcp::loadPcp(path, "", capture)) << capture.error;
  EXPECT_EQ(capture.pixelIndices, (std::vector<uint64_t>{2, 3, 7}));
  ASSERT_EQ(capture.points.size(), 3u);
  struct Expected {
    float x, y, z;
  };
  const Expected expected[] = {{(2 - 1) * 0.002f / 2, (0 - 0.5f) * 0.002f / 4, 0.002f},
                               {(3 - 1) * 19.999f / 2, (0 - 0.5f) * 19.999f / 4, 19.999f},
                               {(3 - 1) * 1.0f / 2, (1 - 0.5f) * 1.0f / 4, 1.0f}};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_FLOAT_EQ(capture.points[i].x, expected[i].x);
    EXPECT_FLOAT_EQ(capture.points[i].y, expected[i].y);
    EXPECT_FLOAT_EQ(capture.points[i].z, expected[i].z);
  }
}

// The picture is scaled onto the depth image: picture row H x r / depthHeight, column c x W / depthWidth.
TEST_F(PcpCapture, ColoursComeFromTheScaledPicturePosition) {
  struct Case {
    uint32_t pictureWidth, pictureHeight;
  };
  const uint32_t depthWidth = 640, depthHeight = 576;
  std::vector<uint16_t> depth = flatDepth(size_t{depthWidth} * depthHeight);
  depth[0] = 0;  // a hole takes no colour and shifts nothing
  for (const Case c : {Case{1280, 1152}, Case{640, 576}, Case{320, 180}, Case{1, 1}}) {
    SCOPED_TRACE(std::to_string(c.pictureWidth) + "x" + std::to_string(c.pictureHeight));
    const std::string path =
        writePhoto("colour.pcp", {small(depthWidth, depthHeight),
                                  depth,
                                  pcpwrite::encodePng(coordinatePicture(c.pictureWidth, c.pictureHeight),
                                                      c.pictureWidth, c.pictureHeight)});
    pcp::CaptureData capture;
    ASSERT_TRUE(pcp::loadPcp(path, "", capture)) << capture.error;
    ASSERT_EQ(capture.points.size(), depth.size() - 1);
    ASSERT_EQ(capture.colors.size(), capture.points.size());
    for (size_t i = 0; i < capture.pixelIndices.size(); i += 997) {
      const uint64_t k = capture.pixelIndices[i];
      const uint32_t row = uint32_t(k / depthWidth), column = uint32_t(k % depthWidth);
      expectColour(capture.colors[i],
                   coordinateColour(column * c.pictureWidth / depthWidth, c.pictureHeight * row / depthHeight));
    }
  }
  // The named case: depth column 10, row 20 of 640 x 576 takes picture column 20, row 40 of 1280 x 1152.
  const std::string path = writePhoto(
      "named.pcp", {small(depthWidth, depthHeight), depth, pcpwrite::encodePng(coordinatePicture(1280, 1152), 1280, 1152)});
  pcp::CaptureData capture;
  ASSERT_TRUE(pcp::loadPcp(path, "", capture)) << capture.error;
  const uint64_t k = 20 * depthWidth + 10;
  const size_t i = size_t(k) - 1;  // pixel 0 is the only hole
  ASSERT_EQ(capture.pixelIndices[i], k);
  expectColour(capture.colors[i], coordinateColour(20, 40));
}

TEST_F(PcpCapture, SidecarKeysWinOverEmbeddedOnes) {
  const std::string embedded = small(2, 1, ",\"color_mode\":false,\"fx\":10");
  const std::string path = writePhoto("take.pcp", {embedded, {500, 600}, {}});
  pcvwrite::writeFile(folder_.file("take.json"), text("{\"color_mode\":true,\"view_fov_half_deg\":30}"));
  pcp::CaptureData capture;
  ASSERT_TRUE(pcp::loadPcp(path, "", capture)) << capture.error;
  EXPECT_EQ(capture.embeddedMetadata["color_mode"], false);
  EXPECT_EQ(capture.metadata["color_mode"], true);
  EXPECT_EQ(capture.metadata["fx"], 10);
  EXPECT_TRUE(capture.hasViewFov);

  // An explicit sidecar path replaces the default one; a missing sidecar is no error.
  const std::string other = folder_.file("other.json");
  pcvwrite::writeFile(other, text("{\"depth_width\":1,\"depth_height\":2}"));
  ASSERT_TRUE(pcp::loadPcp(path, other, capture)) << capture.error;
  EXPECT_EQ(capture.sidecarPath, other);
  EXPECT_EQ(capture.depthWidth, 1u);
  EXPECT_EQ(capture.depthHeight, 2u);
  EXPECT_EQ(capture.metadata["color_mode"], false);
  ASSERT_TRUE(pcp::loadPcp(path, folder_.file("absent.json"), capture)) << capture.error;
  EXPECT_EQ(capture.metadata, capture.embeddedMetadata);

  // A sidecar that cannot be used fails the load with readJson's message.
  struct Case {
    const char* content;
    std::string error;
  };
  const std::string sidecar = folder_.file("take.json");
  for (const Case& c : {Case{"{\"color_mode\": tru}", "Invalid JSON in " + sidecar + ": [json.exception.parse_error.101]"},
                        Case{"", "Invalid JSON in " + sidecar + ": [json.exception.parse_error.101]"},
                        Case{"[true]", "JSON root must be an object: " + sidecar}}) {
    SCOPED_TRACE(c.content);
    pcvwrite::writeFile(sidecar, text(c.content));
    EXPECT_FALSE(pcp::loadPcp(path, "", capture));
    EXPECT_EQ(capture.error.substr(0, c.error.size()), c.error);
  }
}

TEST_F(PcpCapture, ViewFovKeysSelectTheNewerCameraModel) {
  struct Case {
    const char* extra;
    bool hasViewFov;
  };
  for (const Case& c : {Case{"", false}, Case{",\"fov\":40", false}, Case{",\"fov_half_deg\":25", true},
                        Case{",\"view_fov_half_deg\":\"wide\"", true}}) {
    SCOPED_TRACE(c.extra);
    pcp::CaptureData capture;
    ASSERT_TRUE(pcp::loadPcp(writePhoto("fov.pcp", {small(1, 1, c.extra), {800}, {}}), "", capture));
    EXPECT_EQ(capture.hasViewFov, c.hasViewFov);
  }
}

// Zero focal lengths load without points and carry the intrinsics error; other bad values too.
TEST_F(PcpCapture, UnusableIntrinsicsLoadWithoutPoints) {
  const Bytes picture = pcpwrite::encodePng(coordinatePicture(2, 2), 2, 2);
  struct Case {
    const char* intrinsics;
    std::string error;
  };
  for (const Case& c : {Case{",\"fx\":0", kZeroIntrinsics}, Case{",\"fy\":0.0", kZeroIntrinsics},
                        Case{",\"fx\":0,\"fy\":0", kZeroIntrinsics},
                        Case{",\"fx\":1e39", "Camera intrinsics must be finite numbers"},
                        Case{",\"cy\":-1e300", "Camera intrinsics must be finite numbers"}}) {
    SCOPED_TRACE(c.intrinsics);
    pcp::CaptureData capture;
    ASSERT_TRUE(pcp::loadPcp(writePhoto("zero.pcp", {small(2, 2, c.intrinsics), flatDepth(4), picture}), "", capture));
    EXPECT_EQ(capture.error, c.error);
    EXPECT_TRUE(capture.points.empty());
    EXPECT_TRUE(capture.pixelIndices.empty());
    EXPECT_TRUE(capture.colors.empty());  // colours only ever belong to points
    EXPECT_EQ(capture.depth.size(), 4u);
  }
  // Negative focal lengths mirror the cloud; they are not an error.
  pcp::CaptureData capture;
  ASSERT_TRUE(pcp::loadPcp(writePhoto("mirror.pcp", {small(2, 1, ",\"fx\":-2,\"cx\":0"), {1000, 1000}, {}}), "",
                           capture));
  EXPECT_TRUE(capture.error.empty());
  ASSERT_EQ(capture.points.size(), 2u);
  EXPECT_FLOAT_EQ(capture.points[1].x, -0.5f);
}

TEST_F(PcpCapture, LoadsResetTheRecord) {
  const std::string good =
      writePhoto("good.pcp", {small(2, 2), flatDepth(4), pcpwrite::encodePng(coordinatePicture(2, 2), 2, 2)});
  const std::string bad = writeBytes("bad.pcp", pcpwrite::header(0, 0, 0));
  pcp::CaptureData capture;
  ASSERT_TRUE(pcp::loadPcp(good, "", capture));
  EXPECT_FALSE(pcp::loadPcp(bad, "", capture));
  EXPECT_TRUE(capture.depth.empty());
  EXPECT_TRUE(capture.points.empty());
  EXPECT_TRUE(capture.colors.empty());
  EXPECT_TRUE(capture.metadata.is_null());
  EXPECT_EQ(capture.depthWidth, 0u);

  // Reloading from the record's own path fields works although the reset clears them.
  ASSERT_TRUE(pcp::loadPcp(good, "", capture));
  ASSERT_TRUE(pcp::loadPcp(capture.path, capture.sidecarPath, capture)) << capture.error;
  EXPECT_EQ(capture.path, good);
  EXPECT_EQ(capture.points.size(), 4u);
}

class LegacyCapture : public PcpCapture {
 protected:
  // pointcloud_7.bin with render_params_7.json, as the camera's older software named them.
  std::string bin() const { return folder_.file("pointcloud_7.bin"); }
  std::string jsonFile() const { return folder_.file("render_params_7.json"); }
  void writePair(const std::string& meta, const std::vector<uint16_t>& depth) {
    ASSERT_TRUE(pcpwrite::writeLegacy(bin(), jsonFile(), meta, depth));
  }
};

TEST_F(LegacyCapture, LoadsWithTextureWhenColourModeIsOn) {
  writePng("texture_7.png", 4, 2);
  writePair(small(2, 1, ",\"color_mode\":true,\"high_res_texture\":\"texture_7.png\",\"fov_half_deg\":30"),
            {1200, 0});
  pcp::CaptureData capture;
  ASSERT_TRUE(pcp::loadLegacy(bin(), jsonFile(), capture)) << capture.error;
  EXPECT_EQ(capture.path, bin());
  EXPECT_EQ(capture.sidecarPath, jsonFile());
  EXPECT_FALSE(capture.isPcp);
  EXPECT_FALSE(capture.hasViewFov);  // a legacy capture always uses the older camera model
  EXPECT_EQ(capture.embeddedMetadata, capture.metadata);
  EXPECT_EQ(capture.depth, (std::vector<uint16_t>{1200, 0}));
  EXPECT_EQ(capture.pixelIndices, (std::vector<uint64_t>{0}));
  ASSERT_EQ(capture.colors.size(), 1u);
  expectColour(capture.colors[0], coordinateColour(0, 0));

  // Without colour mode the texture is not read at all, even when it would not decode.
  writePair(small(2, 1, ",\"color_mode\":false,\"high_res_texture\":\"absent.png\""), {1200, 1300});
  ASSERT_TRUE(pcp::loadLegacy(bin(), jsonFile(), capture)) << capture.error;
  EXPECT_EQ(capture.points.size(), 2u);
  EXPECT_TRUE(capture.colors.empty());
}

TEST_F(LegacyCapture, EveryLegacyFailureHasItsMessage) {
  struct Case {
    const char* label;
    std::function<void()> prepare;
    std::string error;
  };
  const std::string texture = folder_.file("texture_7.png");
  const std::vector<Case> cases = {
      {"no json", [&] { pcvwrite::writeFile(bin(), pcvwrite::depthBytes({1, 2})); },
       "Cannot open JSON file: " + jsonFile()},
      {"json broken", [&] { writePair("{\"depth_width\":", {1, 2}); },
       "Invalid JSON in " + jsonFile() + ": [json.exception.parse_error.101] parse error at line 1, column 16: "
                                         "syntax error while parsing value - unexpected end of input; expected '[', "
                                         "'{', or a literal"},
      {"json an array", [&] { writePair("[2,1]", {1, 2}); }, "JSON root must be an object: " + jsonFile()},
      {"zero height", [&] { writePair(small(2, 0), {}); }, "Invalid legacy depth dimensions"},
      {"no bin", [&] { pcvwrite::writeFile(jsonFile(), text(small(2, 1))); }, "Cannot open depth BIN file: " + bin()},
      {"bin one byte short",
       [&] {
         writePair(small(2, 1), {});
         pcvwrite::writeFile(bin(), Bytes(3, 1));
       },
       "Legacy BIN size does not match metadata dimensions"},
      {"bin empty", [&] { writePair(small(2, 1), {}); }, "Legacy BIN size does not match metadata dimensions"},
      {"bin of the default size", [&] { writePair("{}", flatDepth(640 * 480)); },
       "Legacy BIN size does not match metadata dimensions"},
      {"dimensions overflow 64 bits",
       [&] { writePair(small(4294967295u, 4294967295u), flatDepth(2)); },
       "Legacy BIN size does not match metadata dimensions"},
      {"texture missing",
       [&] { writePair(small(2, 1, ",\"color_mode\":true,\"high_res_texture\":\"texture_7.png\""), {1, 2}); },
       "Unable to decode texture: can't fopen"},
      {"texture not a picture",
       [&] {
         writePair(small(2, 1, ",\"color_mode\":true,\"high_res_texture\":\"texture_7.png\""), {1, 2});
         pcvwrite::writeFile(texture, text("not a picture"));
       },
       "Unable to decode texture: unknown image type"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::error_code ignored;
    for (const std::string& path : {bin(), jsonFile(), texture}) fs::remove(path, ignored);
    c.prepare();
    pcp::CaptureData capture;
    EXPECT_FALSE(pcp::loadLegacy(bin(), jsonFile(), capture));
    EXPECT_EQ(capture.error, c.error);
  }
}

TEST_F(LegacyCapture, ZeroIntrinsicsKeepTheirErrorWithoutColours) {
  writePng("texture_7.png", 2, 2);
  writePair(small(2, 2, ",\"fy\":0,\"color_mode\":true,\"high_res_texture\":\"texture_7.png\""), flatDepth(4));
  pcp::CaptureData capture;
  ASSERT_TRUE(pcp::loadLegacy(bin(), jsonFile(), capture));
  EXPECT_EQ(capture.error, kZeroIntrinsics);
  EXPECT_TRUE(capture.points.empty());
  EXPECT_TRUE(capture.colors.empty());
}

TEST(JsonReaders, TypedReadersFallBackOnUnusableValues) {
  const json object = json::parse(R"({
    "unsigned": 640, "zero": 0, "negative": -5, "float": 2.5, "text": "7", "huge": 4294967936,
    "largest": 4294967295, "null": null, "bool": true,
    "vec": [1, 2.5, -3, "extra"], "short": [1, 2], "mixed": [1, "2", 3], "notArray": {"x": 1}
  })");
  struct U32Case {
    const char* key;
    uint32_t expected;
  };
  for (const U32Case& c : {U32Case{"unsigned", 640}, U32Case{"zero", 0}, U32Case{"negative", 9}, U32Case{"float", 9},
                           U32Case{"text", 9}, U32Case{"huge", 9}, U32Case{"largest", 4294967295u},
                           U32Case{"null", 9}, U32Case{"missing", 9}}) {
    EXPECT_EQ(pcp::jsonU32(object, c.key, 9), c.expected) << c.key;
  }
  // Integers made in code are signed JSON numbers: accepted only from 1 up.
  const json made = {{"one", 1}, {"zero", 0}, {"big", int64_t{4294967295}}, {"bigger", int64_t{4294967296}}};
  EXPECT_EQ(pcp::jsonU32(made, "one", 9), 1u);
  EXPECT_EQ(pcp::jsonU32(made, "zero", 9), 9u);
  EXPECT_EQ(pcp::jsonU32(made, "big", 9), 4294967295u);
  EXPECT_EQ(pcp::jsonU32(made, "bigger", 9), 9u);

  EXPECT_FLOAT_EQ(pcp::jsonFloat(object, "float", 1), 2.5f);
  EXPECT_FLOAT_EQ(pcp::jsonFloat(object, "negative", 1), -5.0f);
  EXPECT_FLOAT_EQ(pcp::jsonFloat(object, "huge", 1), 4294967936.0f);
  for (const char* key : {"text", "bool", "null", "vec", "missing"}) EXPECT_FLOAT_EQ(pcp::jsonFloat(object, key, 1), 1) << key;

  const pcp::Vec3 vec = pcp::jsonVec3(object, "vec", 7, 8, 9);
  EXPECT_FLOAT_EQ(vec.x, 1);
  EXPECT_FLOAT_EQ(vec.y, 2.5f);
  EXPECT_FLOAT_EQ(vec.z, -3);
  for (const char* key : {"short", "mixed", "notArray", "unsigned", "missing"}) {
    const pcp::Vec3 fallback = pcp::jsonVec3(object, key, 7, 8, 9);
    EXPECT_EQ(std::vector<float>({fallback.x, fallback.y, fallback.z}), std::vector<float>({7, 8, 9})) << key;
  }
  // Not an object at all: every reader gives its default.
  EXPECT_EQ(pcp::jsonU32(json::array({1}), "0", 3), 3u);
  EXPECT_FLOAT_EQ(pcp::jsonFloat(json(), "fx", 4), 4);
}

}  // namespace
