#include "sample_scene.h"

#include <stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace samples {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kNoHit = std::numeric_limits<double>::infinity();

Vec3 operator+(const Vec3& a, const Vec3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 operator-(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 operator*(const Vec3& a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Vec3 normalized(const Vec3& a) { return a * (1.0 / std::sqrt(dot(a, a))); }
double component(const Vec3& v, int axis) { return axis == 0 ? v.x : axis == 1 ? v.y : v.z; }

Vec3 operator*(const Mat3& r, const Vec3& v) {
  return {r.m[0][0] * v.x + r.m[0][1] * v.y + r.m[0][2] * v.z, r.m[1][0] * v.x + r.m[1][1] * v.y + r.m[1][2] * v.z,
          r.m[2][0] * v.x + r.m[2][1] * v.y + r.m[2][2] * v.z};
}
Vec3 transposedTimes(const Mat3& r, const Vec3& v) {
  return {r.m[0][0] * v.x + r.m[1][0] * v.y + r.m[2][0] * v.z, r.m[0][1] * v.x + r.m[1][1] * v.y + r.m[2][1] * v.z,
          r.m[0][2] * v.x + r.m[1][2] * v.y + r.m[2][2] * v.z};
}
Mat3 operator*(const Mat3& a, const Mat3& b) {
  Mat3 out;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j];
  return out;
}
Mat3 fromColumns(const Vec3& a, const Vec3& b, const Vec3& c) {
  Mat3 out;
  out.m[0][0] = a.x, out.m[0][1] = b.x, out.m[0][2] = c.x;
  out.m[1][0] = a.y, out.m[1][1] = b.y, out.m[1][2] = c.y;
  out.m[2][0] = a.z, out.m[2][1] = b.z, out.m[2][2] = c.z;
  return out;
}
Mat3 rotationY(double angle) {
  const double c = std::cos(angle), s = std::sin(angle);
  return fromColumns({c, 0, -s}, {0, 1, 0}, {s, 0, c});
}
// Turns the box's down axis towards its forward axis by angle (a limb swinging forwards).
Mat3 swingForward(double angle) {
  const double c = std::cos(angle), s = std::sin(angle);
  return fromColumns({1, 0, 0}, {0, c, -s}, {0, s, c});
}

// splitmix64: small, fast and identical on every platform, so samples are byte-for-byte repeatable.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  double gaussian() {
    const double u1 = 1.0 - uniform();  // (0, 1]: the logarithm stays finite
    const double u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
  }

 private:
  uint64_t state_;
};

struct Ray {
  Vec3 origin;
  Vec3 direction;  // not normalised: t is measured in units of its length
};

struct Hit {
  double t = kNoHit;
  Vec3 normal;  // unit length, facing the ray
  Colour albedo;
};

constexpr double kMinT = 1e-6;

void intersect(const Plane& plane, const Ray& ray, Hit& hit) {
  const double denominator = dot(plane.normal, ray.direction);
  if (std::fabs(denominator) < 1e-12) return;
  const double t = (plane.offset - dot(plane.normal, ray.origin)) / denominator;
  if (t <= kMinT || t >= hit.t) return;
  hit.t = t;
  hit.normal = denominator < 0 ? plane.normal : plane.normal * -1.0;
  hit.albedo = plane.albedo;
  if (plane.tileSize > 0) {
    // Checkerboard over world x and z: the floor's tiles.
    const Vec3 p = ray.origin + ray.direction * t;
    const long tile = static_cast<long>(std::floor(p.x / plane.tileSize) + std::floor(p.z / plane.tileSize));
    if (tile % 2 != 0) hit.albedo = plane.tileAlbedo;
  }
}

void intersect(const Sphere& sphere, const Ray& ray, Hit& hit) {
  const Vec3 oc = ray.origin - sphere.centre;
  const double a = dot(ray.direction, ray.direction);
  const double halfB = dot(oc, ray.direction);
  const double c = dot(oc, oc) - sphere.radius * sphere.radius;
  const double discriminant = halfB * halfB - a * c;
  if (discriminant < 0) return;
  const double t = (-halfB - std::sqrt(discriminant)) / a;
  if (t <= kMinT || t >= hit.t) return;
  hit.t = t;
  hit.normal = normalized(ray.origin + ray.direction * t - sphere.centre);
  hit.albedo = sphere.albedo;
}

// Slab test in the box's own frame; rays starting inside a box never hit it.
void intersect(const Box& box, const Ray& ray, Hit& hit) {
  const Vec3 origin = transposedTimes(box.orientation, ray.origin - box.centre);
  const Vec3 direction = transposedTimes(box.orientation, ray.direction);
  double tNear = -kNoHit, tFar = kNoHit;
  int nearAxis = -1;
  double nearSign = 0;
  for (int axis = 0; axis < 3; ++axis) {
    const double o = component(origin, axis), d = component(direction, axis), h = component(box.halfSize, axis);
    if (std::fabs(d) < 1e-12) {
      if (std::fabs(o) > h) return;
      continue;
    }
    double t1 = (-h - o) / d, t2 = (h - o) / d;
    double sign = -1;
    if (t1 > t2) std::swap(t1, t2), sign = 1;
    if (t1 > tNear) tNear = t1, nearAxis = axis, nearSign = sign;
    tFar = std::min(tFar, t2);
    if (tNear > tFar) return;
  }
  if (nearAxis < 0 || tNear <= kMinT || tNear >= hit.t) return;
  Vec3 local;
  (nearAxis == 0 ? local.x : nearAxis == 1 ? local.y : local.z) = nearSign;
  hit.t = tNear;
  hit.normal = box.orientation * local;
  hit.albedo = box.albedo;
}

bool crosses(const Aabb& bounds, const Ray& ray, double tMax) {
  double tNear = 0, tFar = tMax;
  for (int axis = 0; axis < 3; ++axis) {
    const double o = component(ray.origin, axis), d = component(ray.direction, axis);
    const double lo = component(bounds.min, axis), hi = component(bounds.max, axis);
    if (std::fabs(d) < 1e-12) {
      if (o < lo || o > hi) return false;
      continue;
    }
    double t1 = (lo - o) / d, t2 = (hi - o) / d;
    if (t1 > t2) std::swap(t1, t2);
    tNear = std::max(tNear, t1);
    tFar = std::min(tFar, t2);
    if (tNear > tFar) return false;
  }
  return true;
}

void intersect(const Shapes& shapes, const Ray& ray, Hit& hit) {
  for (const Box& box : shapes.boxes) intersect(box, ray, hit);
  for (const Sphere& sphere : shapes.spheres) intersect(sphere, ray, hit);
}

Hit trace(const Scene& scene, const Ray& ray) {
  Hit hit;
  for (const Plane& plane : scene.planes) intersect(plane, ray, hit);
  intersect(scene.room, ray, hit);
  if (crosses(scene.figureBounds, ray, hit.t)) intersect(scene.figure, ray, hit);
  return hit;
}

Aabb boundsOf(const Shapes& shapes) {
  Aabb bounds{{kNoHit, kNoHit, kNoHit}, {-kNoHit, -kNoHit, -kNoHit}};
  auto include = [&bounds](const Vec3& centre, const Vec3& extent) {
    bounds.min = {std::min(bounds.min.x, centre.x - extent.x), std::min(bounds.min.y, centre.y - extent.y),
                  std::min(bounds.min.z, centre.z - extent.z)};
    bounds.max = {std::max(bounds.max.x, centre.x + extent.x), std::max(bounds.max.y, centre.y + extent.y),
                  std::max(bounds.max.z, centre.z + extent.z)};
  };
  for (const Box& box : shapes.boxes) {
    const Mat3& r = box.orientation;
    const Vec3& h = box.halfSize;
    include(box.centre, {std::fabs(r.m[0][0]) * h.x + std::fabs(r.m[0][1]) * h.y + std::fabs(r.m[0][2]) * h.z,
                         std::fabs(r.m[1][0]) * h.x + std::fabs(r.m[1][1]) * h.y + std::fabs(r.m[1][2]) * h.z,
                         std::fabs(r.m[2][0]) * h.x + std::fabs(r.m[2][1]) * h.y + std::fabs(r.m[2][2]) * h.z});
  }
  for (const Sphere& sphere : shapes.spheres) include(sphere.centre, {sphere.radius, sphere.radius, sphere.radius});
  return bounds;
}

Mat3 lookAt(const Vec3& from, const Vec3& target) {
  const Vec3 forward = normalized(target - from);
  const Vec3 right = normalized(cross(forward, {0, 1, 0}));
  return fromColumns(right, cross(forward, right), forward);
}

const Colour kShirt{0.72f, 0.18f, 0.16f};
const Colour kTrousers{0.18f, 0.24f, 0.45f};
const Colour kSkin{0.86f, 0.66f, 0.52f};
const Colour kShoes{0.14f, 0.11f, 0.09f};

void addRoom(Scene& scene) {
  scene.planes.push_back({{0, 1, 0}, 0.0, {0.56f, 0.43f, 0.30f}, {0.47f, 0.35f, 0.24f}, 0.6});  // floor
  scene.planes.push_back({{0, 0, 1}, 9.0, {0.58f, 0.63f, 0.68f}, {}, 0.0});  // end of the corridor, out of range
  // Back wall, open on one side: the opening looks down a corridor beyond the sensor's range.
  scene.room.boxes.push_back({{0.9, 1.5, 4.6}, {2.6, 1.5, 0.05}, Mat3{}, {0.78f, 0.76f, 0.72f}});
  scene.room.boxes.push_back({{-1.3, 0.45, 3.4}, {0.35, 0.45, 0.25}, rotationY(0.35), {0.34f, 0.45f, 0.60f}});
  scene.room.boxes.push_back({{1.2, 0.25, 2.7}, {0.30, 0.25, 0.30}, rotationY(-0.26), {0.62f, 0.48f, 0.30f}});
  scene.room.spheres.push_back({{0.55, 0.15, 3.6}, 0.15, {0.86f, 0.70f, 0.16f}});
  scene.light = {0.8, 2.9, 1.2};
}

struct Limb {
  double length;
  double halfWidth;
};
constexpr Limb kThigh{0.44, 0.07};
constexpr Limb kShin{0.42, 0.055};
constexpr Limb kUpperArm{0.29, 0.045};
constexpr Limb kForearm{0.26, 0.04};

// Adds one limb hanging from joint, swung forwards by swing radians; returns the far joint.
Vec3 addLimb(Shapes& figure, const Vec3& joint, const Mat3& heading, double swing, const Limb& limb, Colour colour) {
  const Mat3 axes = heading * swingForward(swing);
  const Vec3 down = axes * Vec3{0, -1, 0};
  figure.boxes.push_back({joint + down * (limb.length / 2), {limb.halfWidth, limb.length / 2, limb.halfWidth}, axes, colour});
  return joint + down * limb.length;
}

void addFigure(Scene& scene, const Walk& walk, double seconds) {
  Vec3 path = walk.end - walk.start;
  path.y = 0;
  const double pathLength = std::sqrt(dot(path, path));
  const double progress = std::clamp(seconds / walk.durationSeconds, 0.0, 1.0);
  const Vec3 forward = normalized(path);
  const Vec3 up{0, 1, 0};
  const Mat3 heading = fromColumns(cross(up, forward), up, forward);
  const Vec3 ground{walk.start.x + path.x * progress, 0.0, walk.start.z + path.z * progress};

  constexpr double kStrideLength = 1.1;  // metres per full gait cycle
  const double phase = 2.0 * kPi * (pathLength * progress + walk.gaitOffset) / kStrideLength;
  const double stride = progress < 1.0 ? 1.0 : 0.0;  // arrived: stand still

  // Legs: thighs swing in opposition, each knee bends most while its leg swings forwards.
  const double thighSwing[2] = {0.42 * stride * std::sin(phase), -0.42 * stride * std::sin(phase)};
  double kneeBend[2];
  double reach = 0;
  for (int side = 0; side < 2; ++side) {
    const double swingPhase = std::max(0.0, std::cos(phase + side * kPi));
    kneeBend[side] = 0.08 + 0.65 * stride * swingPhase * swingPhase;
    reach = std::max(reach, kThigh.length * std::cos(thighSwing[side]) +
                                kShin.length * std::cos(thighSwing[side] - kneeBend[side]));
  }
  constexpr double kAnkleHeight = 0.055;
  const double hipHeight = kAnkleHeight + reach;  // the lower foot stands on the floor
  auto at = [&](double sideways, double height, double ahead) {
    return ground + heading * Vec3{sideways, height, ahead};
  };

  Shapes& figure = scene.figure;
  for (int side = 0; side < 2; ++side) {
    const double sideways = side == 0 ? 0.09 : -0.09;
    const Vec3 knee = addLimb(figure, at(sideways, hipHeight, 0), heading, thighSwing[side], kThigh, kTrousers);
    const Vec3 ankle = addLimb(figure, knee, heading, thighSwing[side] - kneeBend[side], kShin, kTrousers);
    figure.boxes.push_back({ankle + heading * Vec3{0, -0.02, 0.05}, {0.045, 0.035, 0.115}, heading, kShoes});
  }
  figure.boxes.push_back({at(0, hipHeight + 0.02, 0), {0.16, 0.09, 0.10}, heading, kTrousers});
  figure.boxes.push_back({at(0, hipHeight + 0.35, 0), {0.17, 0.27, 0.10}, heading, kShirt});
  figure.spheres.push_back({at(0, hipHeight + 0.78, 0.01), 0.11, kSkin});
  // Arms swing against the leg on their side, forearms slightly bent.
  for (int side = 0; side < 2; ++side) {
    const double sideways = side == 0 ? 0.215 : -0.215;
    const double armSwing = -0.35 * stride * std::sin(phase) * (side == 0 ? 1 : -1);
    const Vec3 elbow = addLimb(figure, at(sideways, hipHeight + 0.58, 0), heading, armSwing, kUpperArm, kShirt);
    const Vec3 wrist =
        addLimb(figure, elbow, heading, armSwing + 0.25 + 0.3 * std::max(0.0, armSwing), kForearm, kSkin);
    figure.spheres.push_back({wrist, 0.05, kSkin});
  }
  scene.figureBounds = boundsOf(figure);
}

Vec3 rigPosition() { return {0.0, 1.3, 0.0}; }
Mat3 rigOrientation() { return lookAt(rigPosition(), {0.1, 0.75, 4.0}); }

Vec3 pixelRay(const PinholeCamera& camera, uint32_t u, uint32_t v) {
  return camera.cameraToWorld * Vec3{(u - camera.cx) / camera.fx, (v - camera.cy) / camera.fy, 1.0};
}

}  // namespace

Scene sceneAt(const Walk& walk, double seconds) {
  Scene scene;
  addRoom(scene);
  addFigure(scene, walk, seconds);
  return scene;
}

DepthSensor depthSensor(uint32_t width, uint32_t height) {
  const double sx = width / 640.0, sy = height / 576.0;
  DepthSensor sensor;
  sensor.camera = {width, height, 504.2 * sx, 504.2 * sy, 321.6 * sx, 290.4 * sy, rigPosition(), rigOrientation()};
  return sensor;
}

PinholeCamera colourCamera() {
  const Mat3 orientation = rigOrientation();
  return {640, 360, 365.0, 365.0, 319.2, 181.3, rigPosition() + orientation * Vec3{0.032, 0, 0}, orientation};
}

std::vector<uint16_t> renderDepth(const Scene& scene, const DepthSensor& sensor, uint64_t noiseSeed) {
  const PinholeCamera& camera = sensor.camera;
  const size_t width = camera.width, height = camera.height;
  // The noiseless depth (metres, along the optical axis) and the cosine of the incidence angle.
  std::vector<double> depth(width * height, kNoHit);
  std::vector<double> incidence(width * height, 0.0);
  for (uint32_t v = 0; v < height; ++v) {
    for (uint32_t u = 0; u < width; ++u) {
      const Vec3 direction = pixelRay(camera, u, v);
      const Hit hit = trace(scene, {camera.position, direction});
      if (hit.t == kNoHit) continue;
      depth[v * width + u] = hit.t;  // the ray's z in camera space is 1, so t is the depth
      incidence[v * width + u] = std::fabs(dot(hit.normal, direction)) / std::sqrt(dot(direction, direction));
    }
  }
  auto discontinuity = [&](size_t i, size_t neighbour) {
    return std::fabs(depth[i] - depth[neighbour]) > 0.03 + 0.03 * depth[i];
  };

  Random random(noiseSeed);
  std::vector<uint16_t> out(width * height, 0);
  for (size_t v = 0; v < height; ++v) {
    for (size_t u = 0; u < width; ++u) {
      const size_t i = v * width + u;
      // Drawn for every pixel so that the noise of one pixel does not depend on its neighbours.
      const double noise = random.gaussian();
      const bool dropout = random.uniform() < 0.0015;
      const double millimetres = depth[i] * 1000.0;
      if (dropout || !(millimetres >= sensor.minRangeMm && millimetres <= sensor.maxRangeMm)) continue;
      // Mixed pixels at silhouettes are invalidated, as a time-of-flight sensor does.
      if ((u > 0 && discontinuity(i, i - 1)) || (u + 1 < width && discontinuity(i, i + 1)) ||
          (v > 0 && discontinuity(i, i - width)) || (v + 1 < height && discontinuity(i, i + width)))
        continue;
      if (incidence[i] < 0.12) continue;
      const double metres = depth[i];
      const double sigma = (0.8 + 0.9 * metres * metres) / std::max(incidence[i], 0.3);
      out[i] = static_cast<uint16_t>(std::clamp(std::lround(millimetres + sigma * noise), 1L, 65535L));
    }
  }
  // A few blotches of lost signal.
  const int blotches = 2 + static_cast<int>(random.next() % 3);
  for (int b = 0; b < blotches; ++b) {
    const long cu = static_cast<long>(random.next() % width), cv = static_cast<long>(random.next() % height);
    const long radius = 1 + static_cast<long>(random.next() % 3);
    for (long v = std::max(0L, cv - radius); v <= std::min<long>(height - 1, cv + radius); ++v)
      for (long u = std::max(0L, cu - radius); u <= std::min<long>(width - 1, cu + radius); ++u)
        if ((u - cu) * (u - cu) + (v - cv) * (v - cv) <= radius * radius) out[v * width + u] = 0;
  }
  return out;
}

std::vector<uint8_t> renderColour(const Scene& scene, const PinholeCamera& camera, uint64_t noiseSeed) {
  Random random(noiseSeed);
  std::vector<uint8_t> rgb;
  rgb.reserve(size_t{camera.width} * camera.height * 3);
  for (uint32_t v = 0; v < camera.height; ++v) {
    for (uint32_t u = 0; u < camera.width; ++u) {
      const Ray ray{camera.position, pixelRay(camera, u, v)};
      const Hit hit = trace(scene, ray);
      Colour lit{0.05f, 0.05f, 0.06f};
      if (hit.t != kNoHit) {
        const Vec3 point = ray.origin + ray.direction * hit.t;
        const Vec3 toLight = scene.light - point;
        const double distance = std::sqrt(dot(toLight, toLight));
        double diffuse = std::max(0.0, dot(hit.normal, toLight) / distance);
        // A shadow ray's t runs from the surface (0) to the light (1).
        if (diffuse > 0 && trace(scene, {point + hit.normal * 1e-3, toLight}).t < 1.0) diffuse = 0;
        const float light = static_cast<float>(0.28 + 1.1 * diffuse / (1.0 + 0.08 * distance * distance));
        lit = {hit.albedo.r * light, hit.albedo.g * light, hit.albedo.b * light};
      }
      for (float channel : {lit.r, lit.g, lit.b}) {
        // Square root as the display gamma, plus a little sensor grain.
        const double value = 255.0 * std::sqrt(std::max(0.0f, channel)) + (random.uniform() - 0.5) * 3.0;
        rgb.push_back(static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L)));
      }
    }
  }
  return rgb;
}

std::vector<uint8_t> encodeJpeg(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height, int quality) {
  std::vector<uint8_t> jpeg;
  if (rgb.size() != size_t{width} * height * 3) return jpeg;
  auto append = [](void* context, void* data, int size) {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    const auto* bytes = static_cast<const uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
  };
  if (!stbi_write_jpg_to_func(append, &jpeg, static_cast<int>(width), static_cast<int>(height), 3, rgb.data(),
                              quality))
    jpeg.clear();
  return jpeg;
}

}  // namespace samples
