// Shows the about window through brAbout on the display in $DISPLAY and reports on standard
// output, each time the set of windows changes, every window and widget with its label, tooltip
// and place on the screen, then "end". The test drives it with real clicks; with a second
// argument it also saves the first picture of the window as a PNG.
// The library's headers come first: the X headers behind FLTK define macros such as Bool.
#include "tarn/about/about.h"
#include "tarn/frame/environment.h"

#include <FL/Fl.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <png.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string lastReport;  // the last report written
std::string lastSeen;    // the screen at the last tick
int stillTicks = 0;      // ticks it has not changed since
const char* shotPath = nullptr;

// A label on one line: its line breaks as the two characters \n.
std::string oneLine(const char* label) {
  std::string out;
  for (const char* c = label ? label : ""; *c; ++c)
    out += *c == '\n' ? std::string("\\n") : std::string(1, *c);
  return out;
}

void describe(Fl_Widget* w, int wx, int wy, std::string& out) {
  char line[512];
  std::snprintf(line, sizeof line, "widget|%s|%s|%d|%d|%d|%d\n", oneLine(w->label()).c_str(),
                w->tooltip() ? w->tooltip() : "", wx + w->x(), wy + w->y(), w->w(), w->h());
  out += line;
  if (Fl_Group* g = w->as_group()) {
    for (int i = 0; i < g->children(); ++i) describe(g->child(i), wx, wy, out);
  }
}

void saveShot(Fl_Window* win) {
  win->make_current();
  std::vector<unsigned char> pixels(static_cast<std::size_t>(win->w()) * win->h() * 3);
  fl_read_image(pixels.data(), 0, 0, win->w(), win->h());
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(win->w());
  image.height = static_cast<png_uint_32>(win->h());
  image.format = PNG_FORMAT_RGB;
  png_image_write_to_file(&image, shotPath, 0, pixels.data(), 0, nullptr);
  shotPath = nullptr;
}

void watch(void*) {
  std::string report;
  for (Fl_Window* win = Fl::first_window(); win; win = Fl::next_window(win)) {
    char line[512];
    std::snprintf(line, sizeof line, "window|%s||%d|%d|%d|%d\n", oneLine(win->label()).c_str(),
                  win->x_root(), win->y_root(), win->w(), win->h());
    report += line;
    Fl_Group* g = win->as_group();
    for (int i = 0; i < g->children(); ++i)
      describe(g->child(i), win->x_root(), win->y_root(), report);
  }
  // A report goes out once the screen has stood still for three ticks: a window just shown may
  // still move to its place, and a click where it first stood would miss it.
  stillTicks = report == lastSeen ? stillTicks + 1 : 0;
  lastSeen = report;
  if (!report.empty() && stillTicks == 3 && report != lastReport) {
    Fl::flush();
    if (shotPath) saveShot(Fl::first_window());
    std::fputs(report.c_str(), stdout);
    std::fputs("end\n", stdout);
    std::fflush(stdout);
    lastReport = report;
  }
  Fl::repeat_timeout(0.1, watch);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarn;
  if (argc > 1) shotPath = argv[1];
  // Windows 2000 Service Pack 4, so that the picture's message box has something to say.
  setPlatformProvider([](PlatformRecord& r) {
    r.platformId = 2;
    r.majorVersion = 5;
    r.minorVersion = 0;
    r.buildNumber = 2195;
    std::memcpy(r.servicePack.data(), "Service Pack 4", 15);
    return true;
  });
  if (!windowAboutPresenter()) {
    std::puts("no window");
    return 3;
  }
  Fl::add_timeout(0.1, watch);
  clsTarnEnvironment::create()->brAbout();
  int windows = 0;
  for (Fl_Window* w = Fl::first_window(); w; w = Fl::next_window(w)) ++windows;
  std::printf("closed loaded=%d windows=%d\n", frmTarnAbout::isLoaded() ? 1 : 0, windows);
  return 0;
}
