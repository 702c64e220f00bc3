#pragma once
// A small synthetic room (floor, back wall with an opening, furniture) with a figure walking across
// it, seen by a depth camera and a colour camera on one rig. Frames of a recording and stills are
// rendered by the same functions, so a photo is just the scene at one moment.
#include <cstdint>
#include <vector>

namespace samples {

struct Vec3 {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

// Rotation matrix, rows first.
struct Mat3 {
  double m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
};

struct Colour {
  float r = 0.0f;
  float g = 0.0f;
  float b = 0.0f;
};

struct Sphere {
  Vec3 centre;
  double radius = 0.0;
  Colour albedo;
};

// An oriented box: orientation maps box axes to world axes.
struct Box {
  Vec3 centre;
  Vec3 halfSize;
  Mat3 orientation;
  Colour albedo;
};

// Points p with dot(normal, p) = offset; a non-zero tile size gives a checkerboard of two colours.
struct Plane {
  Vec3 normal;
  double offset = 0.0;
  Colour albedo;
  Colour tileAlbedo;
  double tileSize = 0.0;
};

struct Aabb {
  Vec3 min;
  Vec3 max;
};

struct Shapes {
  std::vector<Box> boxes;
  std::vector<Sphere> spheres;
};

struct Scene {
  std::vector<Plane> planes;
  Shapes room;
  Shapes figure;
  Aabb figureBounds;  // rays that miss it skip the figure's parts
  Vec3 light;         // a point light, for the colour camera
};

// The figure walks in a straight line from start to end (floor positions, y ignored) in the given
// time and then stands still; gaitOffset shifts the phase of its legs and arms (in metres walked).
struct Walk {
  Vec3 start;
  Vec3 end;
  double durationSeconds = 10.0;
  double gaitOffset = 0.0;
};

Scene sceneAt(const Walk& walk, double seconds);

// Pinhole camera: pixel (u, v) looks along cameraToWorld * ((u - cx) / fx, (v - cy) / fy, 1);
// camera axes are x right, y down, z forward.
struct PinholeCamera {
  uint32_t width = 0;
  uint32_t height = 0;
  double fx = 0.0;
  double fy = 0.0;
  double cx = 0.0;
  double cy = 0.0;
  Vec3 position;
  Mat3 cameraToWorld;
};

struct DepthSensor {
  PinholeCamera camera;
  double minRangeMm = 250.0;
  double maxRangeMm = 5000.0;
};

// The rig's depth camera at a given resolution (intrinsics scale with it from 640 x 576) and its
// colour camera (640 x 360), 32 mm to the right of the depth camera.
DepthSensor depthSensor(uint32_t width, uint32_t height);
PinholeCamera colourCamera();

// Depth along the optical axis in millimetres, row-major; 0 where the sensor would report nothing
// (edges, grazing angles, out of range, random dropouts). noiseSeed fixes the noise and dropouts.
std::vector<uint16_t> renderDepth(const Scene& scene, const DepthSensor& sensor, uint64_t noiseSeed);

// Shaded 8-bit RGB, rows top first.
std::vector<uint8_t> renderColour(const Scene& scene, const PinholeCamera& camera, uint64_t noiseSeed);

// JPEG bytes of an 8-bit RGB image; empty on failure.
std::vector<uint8_t> encodeJpeg(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height, int quality);

}  // namespace samples
