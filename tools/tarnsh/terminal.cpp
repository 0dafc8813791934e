#include "tools/tarnsh/terminal.h"

#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <thread>

namespace tarnsh {
namespace {

volatile sig_atomic_t interrupted = 0;
std::atomic<bool> running{false};
std::atomic<bool> stopping{false};
sem_t wake;
std::thread canceller;
std::function<void()> cancel;

// Only async-signal-safe work here: a flag, and a post that wakes the canceller thread.
void onSigint(int) {
  interrupted = 1;
  sem_post(&wake);
}

}  // namespace

void installInterruptHandler(std::function<void()> onInterrupt) {
  cancel = std::move(onInterrupt);
  sem_init(&wake, 0, 0);
  canceller = std::thread([] {
    while (true) {
      while (sem_wait(&wake) != 0) {
      }
      if (stopping.load()) return;
      // The cancel call may block in the driver manager; the shell's own thread never does.
      if (running.load() && cancel) cancel();
    }
  });
  struct sigaction sa {};
  sa.sa_handler = onSigint;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a read at the prompt returns, and the line is dropped
  sigaction(SIGINT, &sa, nullptr);
}

void removeInterruptHandler() {
  if (!canceller.joinable()) return;
  signal(SIGINT, SIG_DFL);
  stopping.store(true);
  sem_post(&wake);
  canceller.join();
  sem_destroy(&wake);
  cancel = nullptr;  // lets the connection go
}

bool takeInterrupt() {
  const bool was = interrupted != 0;
  interrupted = 0;
  return was;
}

bool interruptPending() {
  return interrupted != 0;
}

void setRunning(bool on) {
  running.store(on);
}

bool coloursWanted(int fd) {
  const char* none = std::getenv("NO_COLOR");
  if (none != nullptr && *none != '\0') return false;
  const char* term = std::getenv("TERM");
  if (term != nullptr && std::string(term) == "dumb") return false;
  return isatty(fd) != 0;
}

std::string coloured(const std::string& text, const char* sgr, bool on) {
  if (!on) return text;
  return std::string("\x1b[") + sgr + "m" + text + "\x1b[0m";
}

void Pager::show(const std::string& text) const {
  winsize size{};
  const bool terminal = isatty(STDOUT_FILENO) != 0 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0;
  const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  std::string command;
  if (const char* pager = std::getenv("PAGER")) {
    command = pager;
  } else {
    command = access("/usr/bin/less", X_OK) == 0 ? "less -FRX" : "more";
  }
  // One row stays for the prompt that follows.
  if (!enabled_ || !terminal || command.empty() || size.ws_row == 0 || lines < size.ws_row) {
    std::cout << text << std::flush;
    return;
  }
  std::cout << std::flush;
  FILE* pipe = popen(command.c_str(), "w");
  if (pipe == nullptr) {
    std::cout << text << std::flush;
    return;
  }
  // A pager that quits early closes the pipe: the rest is dropped, not an error (SIGPIPE is
  // ignored by the shell).
  (void)fwrite(text.data(), 1, text.size(), pipe);
  pclose(pipe);
}

}  // namespace tarnsh
