// The about window on a real (virtual) display: shown by brAbout, read back, clicked, closed.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string findProgram(const std::string& name) {
  std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin");
  for (std::string dir; std::getline(path, dir, ':');) {
    const std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

pid_t spawn(std::vector<std::string> args, int out = -1, int keep = -1) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (out >= 0) dup2(out, 1);
    for (int fd = 3; fd < 256; ++fd) {
      if (fd != keep) close(fd);
    }
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);  // the X libraries keep what they allocate
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Reads one line; "" when nothing comes for a long while (a hung window fails the test).
std::string readLine(int fd) {
  std::string line;
  char c;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0 || read(fd, &c, 1) != 1) return line;
    if (c == '\n') return line;
    line += c;
  }
}

struct Widget {
  std::string kind, label, tooltip;
  int x = 0, y = 0, w = 0, h = 0;
};

// One report of the probe: every window and widget on the screen.
std::vector<Widget> readReport(int fd) {
  std::vector<Widget> widgets;
  for (std::string line = readLine(fd); line != "end" && !line.empty(); line = readLine(fd)) {
    std::vector<std::string> f;
    std::istringstream in(line);
    for (std::string part; std::getline(in, part, '|');) f.push_back(part);
    if (f.size() != 7) continue;
    widgets.push_back(
        {f[0], f[1], f[2], std::stoi(f[3]), std::stoi(f[4]), std::stoi(f[5]), std::stoi(f[6])});
  }
  return widgets;
}

const Widget* find(const std::vector<Widget>& ws, const std::string& kind,
                   const std::string& text) {
  for (const auto& w : ws) {
    if (w.kind == kind && (w.label.find(text) != std::string::npos || w.tooltip == text)) return &w;
  }
  return nullptr;
}

class AboutWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string xvfb = findProgram("Xvfb");
    xdotool_ = findProgram("xdotool");
    if (xvfb.empty() || xdotool_.empty()) GTEST_SKIP() << "needs Xvfb and xdotool";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    xvfb_ = spawn({xvfb, "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24",
                   "-nolisten", "tcp"},
                  -1, fds[1]);
    close(fds[1]);
    const std::string display = readLine(fds[0]);
    close(fds[0]);
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    setenv("DISPLAY", (":" + display).c_str(), 1);
  }
  void TearDown() override {
    if (xvfb_ > 0) {
      kill(xvfb_, SIGTERM);
      waitpid(xvfb_, nullptr, 0);
    }
    unsetenv("DISPLAY");
  }
  void click(const Widget& w) {
    const pid_t pid = spawn({xdotool_, "mousemove", "--sync", std::to_string(w.x + w.w / 2),
                             std::to_string(w.y + w.h / 2), "click", "1"});
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_EQ(status, 0);
  }

  std::string xdotool_;
  pid_t xvfb_ = -1;
};

TEST_F(AboutWindowTest, ShowsTheIdentityReportsThePlatformAndClosesOnOk) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t probe = spawn({TARN_ABOUT_PROBE}, out[1]);
  close(out[1]);

  const auto window = readReport(out[0]);
  ASSERT_NE(find(window, "window", "About TarnCL"), nullptr) << "no window shown";
  for (const char* text : {"Version:", "2.0.29", "Description:", "Tarn Class Library (ODBC Only)",
                           "Type:", "ODBC32", "Copyright (C) 2026", "Serial No:"}) {
    EXPECT_NE(find(window, "widget", text), nullptr) << text;
  }
  const Widget* picture = find(window, "widget", "Platform information");
  const Widget* ok = find(window, "widget", "OK");
  ASSERT_TRUE(picture && ok);

  click(*picture);
  const auto withBox = readReport(out[0]);
  ASSERT_NE(find(withBox, "window", "Tarn Class Library (ODBC Only)"), nullptr);
  EXPECT_NE(find(withBox, "widget",
                 R"(Windows Platform information: Win 2K\n\nPlatform=2 (Win NT)\nMajorVer=5)"
                 R"(\nMinorVer=0\nBuildRev=2195\nMisc.=Service Pack 4)"),
            nullptr);
  const Widget* boxOk = nullptr;
  for (const auto& w : withBox) {
    if (w.label == "OK" && w.y != ok->y) boxOk = &w;
  }
  ASSERT_NE(boxOk, nullptr);
  click(*boxOk);
  const auto after = readReport(out[0]);
  EXPECT_EQ(find(after, "window", "Tarn Class Library (ODBC Only)"), nullptr);

  click(*ok);
  const std::string closed = readLine(out[0]);
  EXPECT_EQ(closed, "closed loaded=0 windows=0");
  if (closed.empty()) kill(probe, SIGKILL);  // a window that stayed open must not hang the suite
  close(out[0]);
  int status = 0;
  waitpid(probe, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
