// A forked child process that talks to the test through two pipes, one line per message.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace tarn::server::testing {

// A forked child that talks to the parent through two pipes, one line per message.
class Child {
 public:
  template <typename Body>
  explicit Child(Body body) {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) ADD_FAILURE() << "pipe";
    pid_ = fork();
    if (pid_ == 0) {
      ::close(down[1]);
      ::close(up[0]);
      in_ = down[0];
      out_ = up[1];
      body(*this);
      _exit(0);
    }
    ::close(down[0]);
    ::close(up[1]);
    out_ = down[1];
    in_ = up[0];
  }
  ~Child() {
    ::close(in_);
    ::close(out_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  void send(const std::string& line) {
    std::string l = line + "\n";
    if (::write(out_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) _exit(3);
  }
  // The next line, or nothing at end of stream.
  std::optional<std::string> receive() {
    std::string line;
    char c;
    for (;;) {
      ssize_t n = ::read(in_, &c, 1);
      if (n <= 0) return std::nullopt;
      if (c == '\n') return line;
      line.push_back(c);
    }
  }
  void killNow() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
};

}  // namespace tarn::server::testing
