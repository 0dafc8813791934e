// The about window drawn as a box of text, for programs without a display.
#pragma once

#include <iosfwd>
#include <string>

#include "tarn/about/about.h"

namespace tarn {

// Draws the window and its message boxes as text boxes; a beep is the BEL character. When
// interactive it reads a line after each box: "p" clicks the picture, anything else (or the end
// of input) presses OK. Otherwise it draws and closes at once.
class TARN_API TerminalAboutPresenter : public AboutPresenter {
 public:
  // On standard output; interactive when standard input is a terminal.
  TerminalAboutPresenter();
  // On out, reading answers from in when interactive. Both streams must outlive the presenter.
  TerminalAboutPresenter(std::ostream& out, std::istream& in, bool interactive);

  void showModal(frmTarnAbout& form) override;
  void unload(frmTarnAbout& form) override;
  void messageBox(const String& title, const String& text) override;
  void beep() override;

  // The window as the box of UTF-8 text lines showModal draws.
  [[nodiscard]] static std::string drawWindow(const frmTarnAbout& form);
  // A message box as drawn: the title in the top edge, the text's CR LF lines with what follows
  // a zero character and trailing blanks left out, and an OK button.
  [[nodiscard]] static std::string drawMessageBox(const String& title, const String& text);

 private:
  std::ostream& out_;
  std::istream& in_;
  bool interactive_;
  bool unloaded_ = false;
};

}  // namespace tarn
