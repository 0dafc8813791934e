// The about window on a display, with FLTK. Built as a plug-in of its own, which the library
// loads only when a display is there: clients of the library never link the toolkit.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <functional>
#include <memory>
#include <string>

#include "tarn/about/about.h"

namespace tarn {
namespace {

// Label text for FLTK: UTF-8, "@" doubled (a single one starts a symbol), CR LF as one break,
// and nothing from a zero character on.
std::string labelText(const String& text) {
  std::string out;
  for (char c : toUtf8(StringView(text).substr(0, text.find(u'\0')))) {
    if (c == '\r') continue;
    if (c == '@') out += '@';
    out += c;
  }
  return out;
}

// A picture drawn from shapes, clickable when it has an action.
class Picture : public Fl_Box {
 public:
  enum class Kind { kLogo, kPlatform };
  Picture(int x, int y, int w, int h, Kind kind, std::function<void()> onClick = nullptr)
      : Fl_Box(x, y, w, h), kind_(kind), onClick_(std::move(onClick)) {}

  int handle(int event) override {
    if (!onClick_) return Fl_Box::handle(event);
    if (event == FL_PUSH) return 1;
    if (event == FL_RELEASE && Fl::event_inside(this)) {
      onClick_();
      return 1;
    }
    return Fl_Box::handle(event);
  }

 protected:
  void draw() override { kind_ == Kind::kLogo ? drawLogo() : drawPlatform(); }

 private:
  // A peak, snow on its top, over the still water of its tarn.
  void drawLogo() {
    const int cx = x() + w() / 2, base = y() + h() * 2 / 3;
    fl_color(fl_rgb_color(70, 86, 110));
    fl_polygon(x() + 4, base, cx, y() + 6, x() + w() - 4, base);
    fl_color(FL_WHITE);
    fl_polygon(cx - w() / 8, y() + 6 + (base - y() - 6) / 4, cx, y() + 6, cx + w() / 8,
               y() + 6 + (base - y() - 6) / 4);
    fl_color(fl_rgb_color(40, 110, 170));
    fl_pie(x() + 2, base - 2, w() - 4, h() / 4, 0, 360);
  }
  // A small screen on a stand: click me for the platform.
  void drawPlatform() {
    fl_color(fl_rgb_color(60, 60, 60));
    fl_rectf(x() + 8, y() + 6, w() - 16, h() - 22);
    fl_color(fl_rgb_color(120, 190, 240));
    fl_rectf(x() + 12, y() + 10, w() - 24, h() - 30);
    fl_color(fl_rgb_color(60, 60, 60));
    fl_rectf(x() + w() / 2 - 4, y() + h() - 16, 8, 8);
    fl_rectf(x() + w() / 2 - 16, y() + h() - 9, 32, 4);
  }

  Kind kind_;
  std::function<void()> onClick_;
};

class WindowPresenter final : public AboutPresenter {
 public:
  void showModal(frmTarnAbout& form) override {
    build(form);
    window_->show();
    while (window_->shown()) Fl::wait();
    window_.reset();
    widgets_.fill(nullptr);
  }

  void unload(frmTarnAbout&) override {
    if (window_) window_->hide();
  }

  void refresh(frmTarnAbout& form, AboutControl control) override {
    if (Fl_Widget* widget = widgets_[static_cast<std::size_t>(control)]) {
      widget->copy_label(labelText(form.text(control)).c_str());
      widget->redraw();
    }
  }

  void messageBox(const String& title, const String& text) override {
    const std::string message = labelText(text);
    fl_font(FL_HELVETICA, 14);
    int w = 0, h = 0;
    fl_measure(message.c_str(), w, h);
    w = std::max(w + 40, 260);
    Fl_Double_Window box(w, h + 80);
    box.copy_label(labelText(title).c_str());
    Fl_Box body(20, 15, w - 40, h, nullptr);
    body.copy_label(message.c_str());
    body.align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT | FL_ALIGN_TOP);
    body.labelsize(14);
    Fl_Button ok(w - 100, h + 35, 80, 28, "OK");
    ok.callback([](Fl_Widget* b, void*) { b->window()->hide(); });
    box.end();
    box.set_modal();
    box.show();
    while (box.shown()) Fl::wait();
  }

  void beep() override { fl_beep(FL_BEEP_DEFAULT); }

 private:
  Fl_Widget*& slot(AboutControl c) { return widgets_[static_cast<std::size_t>(c)]; }

  void build(frmTarnAbout& form) {
    using C = AboutControl;
    window_ = std::make_unique<Fl_Double_Window>(700, 230);
    window_->copy_label(labelText(form.Caption()).c_str());
    window_->user_data(&form);
    // Closing the window by its frame is OK too.
    window_->callback(
        [](Fl_Widget* w, void*) { static_cast<frmTarnAbout*>(w->user_data())->cmdOK_Click(); });
    slot(C::imgLogo) = new Picture(20, 15, 90, 90, Picture::Kind::kLogo);
    slot(C::Image1) =
        new Picture(30, 130, 70, 60, Picture::Kind::kPlatform, [&form] { form.Image1_Click(); });
    slot(C::Image1)->tooltip("Platform information");
    const std::pair<C, C> rows[] = {{C::lblVersion, C::lblVersionText},
                                    {C::lblDesc, C::lblDescText},
                                    {C::lblType, C::lblTypeText},
                                    {C::lblCopyright, C::lblCopyrightText},
                                    {C::lblSerial, C::lblSerialText}};
    int y = 20;
    for (const auto& [caption, value] : rows) {
      slot(caption) = new Fl_Box(125, y, 100, 24);
      slot(caption)->align(FL_ALIGN_INSIDE | FL_ALIGN_RIGHT);
      slot(caption)->labelfont(FL_HELVETICA_BOLD);
      slot(value) = new Fl_Box(235, y, 450, 24);
      slot(value)->align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT);
      y += 30;
    }
    auto* ok = new Fl_Button(590, 185, 90, 30);
    slot(C::cmdOK) = ok;
    ok->user_data(&form);
    ok->callback(
        [](Fl_Widget* b, void*) { static_cast<frmTarnAbout*>(b->user_data())->cmdOK_Click(); });
    window_->end();
    window_->set_modal();
    for (std::size_t i = 0; i < kAboutControlCount; ++i) {
      if (widgets_[i] && i != static_cast<std::size_t>(C::imgLogo) &&
          i != static_cast<std::size_t>(C::Image1)) {
        refresh(form, static_cast<C>(i));
      }
    }
  }

  std::unique_ptr<Fl_Double_Window> window_;
  std::array<Fl_Widget*, kAboutControlCount> widgets_{};
};

}  // namespace
}  // namespace tarn

// The plug-in's one entry: a presenter, or nullptr when the display cannot be opened (the
// toolkit would end the process instead of failing).
extern "C" __attribute__((visibility("default"))) tarn::AboutPresenter* tarnAboutWindowPresenter() {
  static const bool ready = [] {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    fl_open_display(display);
    return true;
  }();
  return ready ? new tarn::WindowPresenter() : nullptr;
}
