#include "tarn/about/terminal_presenter.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <vector>

namespace tarn {

namespace {

// The logo: a peak above its tarn.
constexpr const char* kLogo[] = {"    /\\    ", "   /  \\/\\ ", "  /    \\ \\", "  ~~~~~~~~"};
constexpr std::size_t kLogoWidth = 10;
constexpr char kOkButton[] = "[  OK  ]";

// Columns a UTF-8 text takes: one per character (continuation bytes take none).
std::size_t columns(const std::string& s) {
  return static_cast<std::size_t>(
      std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string padded(const std::string& s, std::size_t width) {
  const std::size_t used = columns(s);
  return used >= width ? s : s + std::string(width - used, ' ');
}

// A box around rows (which fit inside width), the title set into its top edge.
std::string box(const std::string& title, const std::vector<std::string>& rows, std::size_t width) {
  std::string top = "+-- " + title + " ";
  const std::size_t used = columns(top);
  top += std::string(width + 4 > used + 1 ? width + 4 - used - 1 : 0, '-') + "+";
  std::string out = top + "\n";
  for (const auto& row : rows) out += "| " + padded(row, width) + " |\n";
  out += "+" + std::string(width + 2, '-') + "+\n";
  return out;
}

std::size_t widest(const std::vector<std::string>& rows, std::size_t atLeast) {
  for (const auto& r : rows) atLeast = std::max(atLeast, columns(r));
  return atLeast;
}

}  // namespace

TerminalAboutPresenter::TerminalAboutPresenter()
    : TerminalAboutPresenter(std::cout, std::cin, isatty(STDIN_FILENO) == 1) {}

TerminalAboutPresenter::TerminalAboutPresenter(std::ostream& out, std::istream& in,
                                               bool interactive)
    : out_(out), in_(in), interactive_(interactive) {}

std::string TerminalAboutPresenter::drawWindow(const frmTarnAbout& form) {
  using C = AboutControl;
  const std::pair<C, C> rows[] = {{C::lblVersion, C::lblVersionText},
                                  {C::lblDesc, C::lblDescText},
                                  {C::lblType, C::lblTypeText},
                                  {C::lblCopyright, C::lblCopyrightText},
                                  {C::lblSerial, C::lblSerialText}};
  std::size_t labelWidth = 0;
  for (const auto& [label, value] : rows) {
    labelWidth = std::max(labelWidth, columns(toUtf8(form.text(label))));
  }
  std::vector<std::string> lines{""};
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const std::string logo = i < std::size(kLogo) ? kLogo[i] : "";
    lines.push_back(padded(logo, kLogoWidth) + "   " +
                    padded(toUtf8(form.text(rows[i].first)), labelWidth) + "  " +
                    toUtf8(form.text(rows[i].second)));
  }
  lines.push_back("");
  const std::string ok = "[  " + toUtf8(form.text(C::cmdOK)) + "  ]";
  const std::string caption = toUtf8(form.Caption());
  const std::size_t width = widest(lines, std::max(columns(ok) + 2, columns(caption) + 4));
  lines.push_back(std::string(width - columns(ok), ' ') + ok);
  return box(caption, lines, width);
}

std::string TerminalAboutPresenter::drawMessageBox(const String& title, const String& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0;;) {
    const std::size_t crlf = text.find(u"\r\n", start);
    String line = text.substr(start, crlf == String::npos ? String::npos : crlf - start);
    line = line.substr(0, line.find(u'\0'));
    line.erase(line.find_last_not_of(u' ') + 1);
    lines.push_back(toUtf8(line));
    if (crlf == String::npos) break;
    start = crlf + 2;
  }
  lines.push_back("");
  const std::string caption = toUtf8(title);
  const std::size_t width = widest(lines, std::max(sizeof kOkButton + 1, columns(caption) + 4));
  lines.push_back(std::string(width - (sizeof kOkButton - 1), ' ') + kOkButton);
  return box(caption, lines, width);
}

void TerminalAboutPresenter::showModal(frmTarnAbout& form) {
  unloaded_ = false;
  out_ << drawWindow(form);
  if (!interactive_) {
    out_.flush();
    form.cmdOK_Click();
    return;
  }
  std::string answer;
  while (!unloaded_) {
    out_ << "Enter closes the window; p and Enter shows the platform: " << std::flush;
    if (!std::getline(in_, answer)) break;  // the caller closes the window as OK would
    if (answer == "p" || answer == "P") {
      form.Image1_Click();
    } else {
      form.cmdOK_Click();
    }
  }
}

void TerminalAboutPresenter::unload(frmTarnAbout&) {
  unloaded_ = true;
}

void TerminalAboutPresenter::messageBox(const String& title, const String& text) {
  out_ << drawMessageBox(title, text);
  if (interactive_) {
    out_ << "Enter closes the message: " << std::flush;
    std::string answer;
    std::getline(in_, answer);
  }
  out_.flush();
}

void TerminalAboutPresenter::beep() {
  out_ << '\a' << std::flush;
}

}  // namespace tarn
