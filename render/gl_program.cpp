#include "gl_program.h"

#include <algorithm>

namespace gl_program {
namespace {

// Shaders and programs report their logs through entry points of the same shape.
std::string infoLog(GLuint object, PFNGLGETSHADERIVPROC getParameter, PFNGLGETSHADERINFOLOGPROC getLog) {
  GLint length = 0;
  getParameter(object, GL_INFO_LOG_LENGTH, &length);
  if (length <= 0) return {};
  std::string log(static_cast<size_t>(length), '\0');
  GLsizei written = 0;
  getLog(object, length, &written, log.data());
  log.resize(static_cast<size_t>(std::clamp<GLsizei>(written, 0, length)));
  return log;
}

GLuint compile(GLenum stage, const std::string& source, std::string& error) {
  const GLuint shader = glCreateShader(stage);
  const char* text = source.c_str();
  glShaderSource(shader, 1, &text, nullptr);
  glCompileShader(shader);
  GLint compiled = GL_FALSE;
  glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
  if (compiled == GL_TRUE) return shader;
  error = "OpenGL shader compilation failed: " + infoLog(shader, glGetShaderiv, glGetShaderInfoLog);
  glDeleteShader(shader);
  return 0;
}

}  // namespace

GLuint build(const std::string& vertexSource, const std::string& fragmentSource,
             const std::vector<AttributeLocation>& attributes, std::string& error) {
  error.clear();
  const GLuint vertexShader = compile(GL_VERTEX_SHADER, vertexSource, error);
  if (vertexShader == 0) return 0;
  const GLuint fragmentShader = compile(GL_FRAGMENT_SHADER, fragmentSource, error);
  if (fragmentShader == 0) {
    glDeleteShader(vertexShader);
    return 0;
  }
  const GLuint program = glCreateProgram();
  glAttachShader(program, vertexShader);
  glAttachShader(program, fragmentShader);
  for (const AttributeLocation& attribute : attributes) glBindAttribLocation(program, attribute.location, attribute.name);
  glLinkProgram(program);
  glDeleteShader(vertexShader);
  glDeleteShader(fragmentShader);
  GLint linked = GL_FALSE;
  glGetProgramiv(program, GL_LINK_STATUS, &linked);
  if (linked == GL_TRUE) return program;
  error = "OpenGL program link failed: " + infoLog(program, glGetProgramiv, glGetProgramInfoLog);
  glDeleteProgram(program);
  return 0;
}

}  // namespace gl_program
