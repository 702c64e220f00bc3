#include "gl_framebuffer.h"

#include <algorithm>

namespace platform {
namespace {

void clearGlErrors() {
  while (glGetError() != GL_NO_ERROR) {
  }
}

GLint glLimit(GLenum name) {
  GLint value = 0;
  glGetIntegerv(name, &value);
  return value;
}

std::string sizeText(int width, int height) { return std::to_string(width) + " x " + std::to_string(height); }

void flipRows(std::vector<uint8_t>& pixels, size_t rowBytes, size_t rows) {
  for (size_t top = 0, bottom = rows - 1; top < bottom; ++top, --bottom) {
    std::swap_ranges(pixels.begin() + static_cast<std::ptrdiff_t>(top * rowBytes),
                     pixels.begin() + static_cast<std::ptrdiff_t>((top + 1) * rowBytes),
                     pixels.begin() + static_cast<std::ptrdiff_t>(bottom * rowBytes));
  }
}

}  // namespace

std::unique_ptr<GlFramebuffer> GlFramebuffer::create(int width, int height, std::string& error) {
  error.clear();
  if (width <= 0 || height <= 0) {
    error = "framebuffer size " + sizeText(width, height) + " is not positive";
    return nullptr;
  }
  if (!epoxy_has_gl_extension("GL_EXT_framebuffer_object")) {
    error = "GL_EXT_framebuffer_object is not available";
    return nullptr;
  }
  clearGlErrors();
  const GLint limit = std::min(glLimit(GL_MAX_TEXTURE_SIZE), glLimit(GL_MAX_RENDERBUFFER_SIZE_EXT));
  if (width > limit || height > limit) {
    error = "framebuffer size " + sizeText(width, height) + " exceeds the GL limit of " + std::to_string(limit);
    return nullptr;
  }

  std::unique_ptr<GlFramebuffer> target(new GlFramebuffer(width, height));
  glGenTextures(1, &target->colorTexture_);
  glBindTexture(GL_TEXTURE_2D, target->colorTexture_);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
  glBindTexture(GL_TEXTURE_2D, 0);

  glGenRenderbuffersEXT(1, &target->depthRenderbuffer_);
  glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, target->depthRenderbuffer_);
  glRenderbufferStorageEXT(GL_RENDERBUFFER_EXT, GL_DEPTH_COMPONENT24, width, height);
  glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, 0);

  glGenFramebuffersEXT(1, &target->framebuffer_);
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, target->framebuffer_);
  glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, target->colorTexture_, 0);
  glFramebufferRenderbufferEXT(GL_FRAMEBUFFER_EXT, GL_DEPTH_ATTACHMENT_EXT, GL_RENDERBUFFER_EXT,
                               target->depthRenderbuffer_);
  if (const GLenum glError = glGetError(); glError != GL_NO_ERROR) {
    error = "cannot allocate a " + sizeText(width, height) + " framebuffer (GL error " + std::to_string(glError) + ")";
    unbind();
    return nullptr;
  }
  if (const GLenum status = glCheckFramebufferStatusEXT(GL_FRAMEBUFFER_EXT); status != GL_FRAMEBUFFER_COMPLETE_EXT) {
    error = "framebuffer incomplete (status " + std::to_string(status) + ")";
    unbind();
    return nullptr;
  }
  target->bind();
  return target;
}

GlFramebuffer::~GlFramebuffer() {
  if (framebuffer_ != 0) glDeleteFramebuffersEXT(1, &framebuffer_);
  if (depthRenderbuffer_ != 0) glDeleteRenderbuffersEXT(1, &depthRenderbuffer_);
  if (colorTexture_ != 0) glDeleteTextures(1, &colorTexture_);
}

void GlFramebuffer::bind() const {
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, framebuffer_);
  glViewport(0, 0, width_, height_);
}

void GlFramebuffer::unbind() { glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0); }

bool GlFramebuffer::readRgb(std::vector<uint8_t>& pixels) const { return read(GL_RGB, 3, pixels); }

bool GlFramebuffer::readRgba(std::vector<uint8_t>& pixels) const { return read(GL_RGBA, 4, pixels); }

bool GlFramebuffer::read(GLenum format, size_t channels, std::vector<uint8_t>& pixels) const {
  const size_t rowBytes = static_cast<size_t>(width_) * channels;
  const size_t rows = static_cast<size_t>(height_);
  pixels.assign(rowBytes * rows, 0);
  clearGlErrors();
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, framebuffer_);
  // A bound pixel-pack buffer would turn the pointer into a buffer offset.
  glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glPixelStorei(GL_PACK_ROW_LENGTH, 0);
  glReadPixels(0, 0, width_, height_, format, GL_UNSIGNED_BYTE, pixels.data());
  if (glGetError() != GL_NO_ERROR) {
    pixels.clear();
    return false;
  }
  flipRows(pixels, rowBytes, rows);
  return true;
}

}  // namespace platform
