#pragma once
// The GPU program that draws video frame points: attribute a_pos_depth (location 0), the
// depth-to-gray curve in the fragment stage. Needs the thread's current OpenGL context.
#include <epoxy/gl.h>

#include <string>

// The process-wide video point program, built once at start-up; 0 while none is available.
extern GLuint global_pc_program;

// Status text when the program could not be built.
inline constexpr const char* kVideoProgramFailedStatus = "GPU渲染初始化失败";

struct VideoProgramSources {
  std::string vertex;
  std::string fragment;
};

// GLSL 120 sources of the video point program.
const VideoProgramSources& videoPointSources();

// Compiles and links `sources` with a_pos_depth bound to location 0. Returns the program, or 0 with
// error set to the driver's log. `sources` exists so that a broken program can be exercised.
GLuint buildVideoPointProgram(std::string& error, const VideoProgramSources& sources = videoPointSources());

// Start-up: builds global_pc_program. On failure it stays 0 and `status` becomes
// kVideoProgramFailedStatus; returns whether a program is available.
bool initVideoPointProgram(std::string& status, const VideoProgramSources& sources = videoPointSources());
// Shutdown: deletes global_pc_program and sets it to 0.
void deleteVideoPointProgram();
