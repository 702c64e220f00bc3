#pragma once
#include <memory>
#include <string>

namespace platform {

// An OpenGL context with no visible window, for rendering without a display: EGL surfaceless
// (Mesa) first, a hidden GLFW window as the fallback. Rendering goes into framebuffer objects.
class OffscreenGlContext {
 public:
  enum class Kind { EglSurfaceless, HiddenGlfwWindow };

  // Creates the context and makes it current on the calling thread; null with error set on failure.
  static std::unique_ptr<OffscreenGlContext> create(std::string& error);
  ~OffscreenGlContext();
  OffscreenGlContext(const OffscreenGlContext&) = delete;
  OffscreenGlContext& operator=(const OffscreenGlContext&) = delete;

  bool makeCurrent();
  Kind kind() const;

 private:
  struct Impl;
  explicit OffscreenGlContext(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
