#include "offscreen_gl.h"

#include <epoxy/egl.h>
#include <GLFW/glfw3.h>

#include <cstdio>
#include <cstring>

namespace platform {
namespace {

std::string eglErrorText(const char* step) {
  char text[96];
  std::snprintf(text, sizeof text, "%s failed (EGL error 0x%04X)", step, static_cast<unsigned>(eglGetError()));
  return text;
}

bool hasExtension(const char* extensions, const char* name) {
  if (extensions == nullptr) return false;
  const size_t length = std::strlen(name);
  for (const char* found = std::strstr(extensions, name); found != nullptr; found = std::strstr(found + 1, name)) {
    const bool startsWord = found == extensions || found[-1] == ' ';
    const bool endsWord = found[length] == ' ' || found[length] == '\0';
    if (startsWord && endsWord) return true;
  }
  return false;
}

// Probing before glfwInit reports GLFW_NOT_INITIALIZED; the caller's error callback is muted for it.
bool glfwAlreadyInitialised() {
  const GLFWerrorfun callback = glfwSetErrorCallback(nullptr);
  glfwGetError(nullptr);
  glfwGetCurrentContext();
  const bool initialised = glfwGetError(nullptr) != GLFW_NOT_INITIALIZED;
  glfwSetErrorCallback(callback);
  return initialised;
}

}  // namespace

struct OffscreenGlContext::Impl {
  Kind kind = Kind::EglSurfaceless;
  EGLDisplay display = EGL_NO_DISPLAY;
  EGLContext context = EGL_NO_CONTEXT;
  GLFWwindow* window = nullptr;
  bool ownsGlfw = false;

  ~Impl() {
    if (context != EGL_NO_CONTEXT) {
      if (eglGetCurrentContext() == context) eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
      eglDestroyContext(display, context);
    }
    if (window != nullptr) {
      if (glfwGetCurrentContext() == window) glfwMakeContextCurrent(nullptr);
      glfwDestroyWindow(window);
    }
    if (ownsGlfw) glfwTerminate();
  }

  // Mesa's surfaceless platform needs no display server at all.
  bool startEglSurfaceless(std::string& error) {
    if (!hasExtension(eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS), "EGL_MESA_platform_surfaceless")) {
      error = "EGL_MESA_platform_surfaceless is not available";
      return false;
    }
    const EGLDisplay platformDisplay = eglGetPlatformDisplayEXT(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (platformDisplay == EGL_NO_DISPLAY) {
      error = eglErrorText("eglGetPlatformDisplayEXT");
      return false;
    }
    // Every caller gets this same display, and eglTerminate would end the contexts of all of them
    // and unload the driver, so it stays initialised for the life of the process.
    if (eglInitialize(platformDisplay, nullptr, nullptr) != EGL_TRUE) {
      error = eglErrorText("eglInitialize");
      return false;
    }
    display = platformDisplay;
    if (eglBindAPI(EGL_OPENGL_API) != EGL_TRUE) {
      error = eglErrorText("eglBindAPI(EGL_OPENGL_API)");
      return false;
    }
    const EGLint configAttributes[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_SURFACE_TYPE, 0, EGL_NONE};
    EGLConfig config = nullptr;
    EGLint configCount = 0;
    if (eglChooseConfig(display, configAttributes, &config, 1, &configCount) != EGL_TRUE || configCount < 1) {
      error = eglErrorText("eglChooseConfig");
      return false;
    }
    // Asking for 2.1 gets the newest compatibility context, which runs the GLSL 120 programs.
    const EGLint contextAttributes[] = {EGL_CONTEXT_MAJOR_VERSION, 2, EGL_CONTEXT_MINOR_VERSION, 1, EGL_NONE};
    context = eglCreateContext(display, config, EGL_NO_CONTEXT, contextAttributes);
    if (context == EGL_NO_CONTEXT) {
      error = eglErrorText("eglCreateContext");
      return false;
    }
    if (!makeCurrent()) {
      error = eglErrorText("eglMakeCurrent");
      return false;
    }
    kind = Kind::EglSurfaceless;
    return true;
  }

  bool startHiddenGlfwWindow(std::string& error) {
    const bool wasInitialised = glfwAlreadyInitialised();
    if (glfwInit() != GLFW_TRUE) {
      error = "glfwInit failed";
      return false;
    }
    ownsGlfw = !wasInitialised;
    glfwDefaultWindowHints();
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    glfwWindowHint(GLFW_FOCUSED, GLFW_FALSE);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 2);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 1);
    window = glfwCreateWindow(64, 64, "Tessaline", nullptr, nullptr);
    glfwDefaultWindowHints();
    if (window == nullptr) {
      error = "glfwCreateWindow failed";
      return false;
    }
    kind = Kind::HiddenGlfwWindow;
    return makeCurrent();
  }

  bool makeCurrent() {
    if (kind == Kind::HiddenGlfwWindow) {
      glfwMakeContextCurrent(window);
      return glfwGetCurrentContext() == window;
    }
    return eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context) == EGL_TRUE;
  }
};

std::unique_ptr<OffscreenGlContext> OffscreenGlContext::create(std::string& error) {
  error.clear();
  std::string eglError;
  auto egl = std::make_unique<Impl>();
  if (egl->startEglSurfaceless(eglError)) return std::unique_ptr<OffscreenGlContext>(new OffscreenGlContext(std::move(egl)));
  egl.reset();

  std::string glfwError;
  auto hidden = std::make_unique<Impl>();
  if (hidden->startHiddenGlfwWindow(glfwError)) {
    return std::unique_ptr<OffscreenGlContext>(new OffscreenGlContext(std::move(hidden)));
  }
  error = "no offscreen OpenGL context: EGL surfaceless: " + eglError + "; hidden GLFW window: " + glfwError;
  return nullptr;
}

OffscreenGlContext::OffscreenGlContext(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
OffscreenGlContext::~OffscreenGlContext() = default;

bool OffscreenGlContext::makeCurrent() { return impl_->makeCurrent(); }

OffscreenGlContext::Kind OffscreenGlContext::kind() const { return impl_->kind; }

}  // namespace platform
