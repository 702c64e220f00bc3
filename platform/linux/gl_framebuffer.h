#pragma once
#include <epoxy/gl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// An offscreen render target: RGBA8 colour texture plus depth renderbuffer, through the EXT
// framebuffer entry points. Create, use and destroy it with its GL context current.
class GlFramebuffer {
 public:
  // Null with error set when the size is not positive, exceeds the GL limits, cannot be allocated
  // or the framebuffer is incomplete. Leaves the new framebuffer bound.
  static std::unique_ptr<GlFramebuffer> create(int width, int height, std::string& error);
  ~GlFramebuffer();
  GlFramebuffer(const GlFramebuffer&) = delete;
  GlFramebuffer& operator=(const GlFramebuffer&) = delete;

  // Binds the framebuffer for drawing and reading and sets the viewport to cover it.
  void bind() const;
  // Returns drawing to the window's own framebuffer.
  static void unbind();

  // Tightly packed pixels, top row first; false when GL reports an error.
  bool readRgb(std::vector<uint8_t>& pixels) const;
  bool readRgba(std::vector<uint8_t>& pixels) const;

  int width() const { return width_; }
  int height() const { return height_; }
  GLuint colorTexture() const { return colorTexture_; }

 private:
  GlFramebuffer(int width, int height) : width_(width), height_(height) {}
  bool read(GLenum format, size_t channels, std::vector<uint8_t>& pixels) const;

  int width_;
  int height_;
  GLuint framebuffer_ = 0;
  GLuint colorTexture_ = 0;
  GLuint depthRenderbuffer_ = 0;
};

}  // namespace platform
