// The shell's side of the terminal: the interrupt key, colours and the pager.
#pragma once

#include <functional>
#include <string>

namespace tarnsh {

// Ctrl-C. While a command runs, onInterrupt is called (from a thread of its own, never from the
// signal handler) so that the command can be cancelled; at the prompt the line being typed is
// dropped. The shell itself is never ended by it.
void installInterruptHandler(std::function<void()> onInterrupt);
void removeInterruptHandler();
// True once Ctrl-C was pressed since the last call; clears the flag.
bool takeInterrupt();
// The same without clearing it.
bool interruptPending();
// Brackets a command, so that Ctrl-C in between cancels it rather than the line.
void setRunning(bool running);

// Colours only for a terminal, and never when NO_COLOR is set to anything but "".
bool coloursWanted(int fd);
std::string coloured(const std::string& text, const char* sgr, bool on);

// Writes text to standard output, through the pager when it is on, standard output is a
// terminal, and the text has more lines than the terminal: $PAGER, else "less -FRX" (or "more"
// without less). An empty $PAGER turns it off.
class Pager {
 public:
  void setEnabled(bool on) { enabled_ = on; }
  [[nodiscard]] bool enabled() const { return enabled_; }
  void show(const std::string& text) const;

 private:
  bool enabled_ = true;
};

}  // namespace tarnsh
