// The about window on a display: the presenter from the window plug-in.
#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "tarn/about/about.h"

namespace tarn {

namespace {

// The window presenter lives in a plug-in beside the library, so that clients of the library
// need the window toolkit only when they show the window on a display.
constexpr char kPluginName[] = "tarncl/libtarncl-about-window.so";
constexpr char kFactoryName[] = "tarnAboutWindowPresenter";

void* openPlugin() {
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&windowAboutPresenter), &self) == 0 || !self.dli_fname) {
    return nullptr;
  }
  std::string path = self.dli_fname;
  const std::size_t slash = path.rfind('/');
  path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + kPluginName;
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

std::shared_ptr<AboutPresenter> windowAboutPresenter() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return nullptr;
  // Opened once and never closed: a window toolkit does not survive being unloaded.
  static void* const plugin = openPlugin();
  if (plugin == nullptr) return nullptr;
  using Factory = AboutPresenter* (*)();
  auto factory = reinterpret_cast<Factory>(dlsym(plugin, kFactoryName));
  if (factory == nullptr) return nullptr;
  return std::shared_ptr<AboutPresenter>(factory());
}

}  // namespace tarn
