#include "video_program.h"

#include "gl_program.h"

GLuint global_pc_program = 0;

namespace {

constexpr const char* kVertexSource = R"(#version 120
attribute vec4 a_pos_depth;
uniform mat4 u_mvp;
uniform float u_point_size;
varying float v_depth;
void main() {
  gl_Position = u_mvp * vec4(a_pos_depth.xyz, 1.0);
  gl_PointSize = u_point_size;
  v_depth = a_pos_depth.w;
}
)";

// Nodes are taken in the order given; a pair whose positions decrease never matches.
constexpr const char* kFragmentSource = R"(#version 120
uniform float near_plane;
uniform float far_plane;
uniform int num_sliders;
uniform float slider_positions[32];
uniform float slider_grayscales[32];
varying float v_depth;
void main() {
  if (v_depth < near_plane || v_depth > far_plane) discard;
  float normalized = (v_depth - near_plane) / max(far_plane - near_plane, 0.000001);
  float gray = 0.0;
  if (num_sliders == 0) {
    gray = normalized;
  } else {
    for (int i = 0; i < 31; ++i) {
      if (i + 1 >= num_sliders) break;
      float lower = slider_positions[i];
      float upper = slider_positions[i + 1];
      if (lower <= normalized && normalized <= upper) {
        float t = (normalized - lower) / max(upper - lower, 0.000001);
        gray = slider_grayscales[i] + (slider_grayscales[i + 1] - slider_grayscales[i]) * t;
        break;
      }
    }
  }
  gray = clamp(gray, 0.0, 1.0);
  gl_FragColor = vec4(gray, gray, gray, 1.0);
}
)";

}  // namespace

const VideoProgramSources& videoPointSources() {
  static const VideoProgramSources sources{kVertexSource, kFragmentSource};
  return sources;
}

GLuint buildVideoPointProgram(std::string& error, const VideoProgramSources& sources) {
  return gl_program::build(sources.vertex, sources.fragment, {{0, "a_pos_depth"}}, error);
}

bool initVideoPointProgram(std::string& status, const VideoProgramSources& sources) {
  std::string error;
  global_pc_program = buildVideoPointProgram(error, sources);
  if (global_pc_program == 0) status = kVideoProgramFailedStatus;
  return global_pc_program != 0;
}

void deleteVideoPointProgram() {
  if (global_pc_program != 0) glDeleteProgram(global_pc_program);
  global_pc_program = 0;
}
