#pragma once
// Compiling and linking a GLSL program; needs the thread's current OpenGL context.
#include <epoxy/gl.h>

#include <string>
#include <vector>

namespace gl_program {

struct AttributeLocation {
  GLuint location;
  const char* name;
};

// Compiles both stages (checking GL_COMPILE_STATUS), binds the attribute locations, links and
// checks GL_LINK_STATUS. Returns the program, or 0 with error set ("OpenGL shader compilation
// failed: " or "OpenGL program link failed: " plus the driver's log); nothing created is left
// behind on failure.
GLuint build(const std::string& vertexSource, const std::string& fragmentSource,
             const std::vector<AttributeLocation>& attributes, std::string& error);

}  // namespace gl_program
