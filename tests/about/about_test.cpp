#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "tarn/about/about.h"
#include "tarn/about/terminal_presenter.h"
#include "tarn/frame/environment.h"

namespace tarn {
namespace {

using C = AboutControl;

// Records what the window showed; onShow plays the user's part while it is up.
struct RecordingPresenter : AboutPresenter {
  void showModal(frmTarnAbout& form) override {
    ++shows;
    shownVersion = form.text(C::lblVersionText);
    shownDesc = form.text(C::lblDescText);
    shownType = form.text(C::lblTypeText);
    shownCopyright = form.text(C::lblCopyrightText);
    shownSerial = form.text(C::lblSerialText);
    if (onShow) onShow(form);
  }
  void unload(frmTarnAbout&) override { ++unloads; }
  void refresh(frmTarnAbout&, AboutControl) override {
    if (failRefresh) throw std::runtime_error("the label is gone");
  }
  void messageBox(const String& title, const String& text) override {
    boxes.push_back(title + u"|" + text);
  }
  void beep() override { ++beeps; }

  std::function<void(frmTarnAbout&)> onShow = [](frmTarnAbout& f) { f.cmdOK_Click(); };
  bool failRefresh = false;
  int shows = 0, unloads = 0, beeps = 0;
  String shownVersion, shownDesc, shownType, shownCopyright, shownSerial;
  std::vector<String> boxes;
};

PlatformProvider recordOf(std::uint32_t id, std::uint32_t major, std::uint32_t minor,
                          std::uint32_t build = 0, const char* servicePack = "") {
  return [=](PlatformRecord& r) {
    r.platformId = id;
    r.majorVersion = major;
    r.minorVersion = minor;
    r.buildNumber = build;
    for (std::size_t i = 0; i <= std::strlen(servicePack); ++i) r.servicePack[i] = servicePack[i];
    return true;
  };
}

class AboutTest : public ::testing::Test {
 protected:
  void SetUp() override { setAboutPresenter(presenter_); }
  void TearDown() override {
    if (frmTarnAbout::isLoaded()) frmTarnAbout::load()->cmdOK_Click();
    setAboutPresenter(nullptr);
    setPlatformProvider({});
  }
  std::shared_ptr<RecordingPresenter> presenter_ = std::make_shared<RecordingPresenter>();
};

TEST_F(AboutTest, LoadingFillsCaptionAndLabels) {
  auto form = frmTarnAbout::load();
  EXPECT_EQ(form->Caption(), u"About TarnCL");
  const std::pair<C, const char16_t*> texts[] = {
      {C::lblVersion, u"Version:"},
      {C::lblDesc, u"Description:"},
      {C::lblType, u"Type:"},
      {C::lblCopyright, u"Copyright:"},
      {C::lblSerial, u"Serial No:"},
      {C::cmdOK, u"OK"},
      {C::lblVersionText, u"10.2.0.000 (Build 29)"},
      {C::lblDescText, u"Tarn Class Library (ODBC Only)"},
      {C::lblTypeText, u""}};
  for (const auto& [control, text] : texts) {
    EXPECT_EQ(form->text(control), text) << aboutControlName(control);
  }
  EXPECT_EQ(form->text(C::lblCopyrightText), clsTarnEnvironment::create()->brCopyright());
  EXPECT_FALSE(form->text(C::lblSerialText).empty());
  EXPECT_EQ(frmTarnAbout::load(), form);  // one window while it is loaded
}

TEST_F(AboutTest, BrAboutShowsTheEnvironmentsIdentityAndLetsGoAfterOk) {
  auto env = clsTarnEnvironment::create();
  env->brAbout();
  EXPECT_EQ(presenter_->shows, 1);
  EXPECT_EQ(presenter_->shownVersion, u"2.0.29");
  EXPECT_EQ(presenter_->shownDesc, env->brDescription());
  EXPECT_EQ(presenter_->shownType, u"ODBC32");
  EXPECT_EQ(presenter_->shownCopyright, env->brCopyright());
  EXPECT_EQ(presenter_->unloads, 1);
  EXPECT_FALSE(frmTarnAbout::isLoaded());
}

TEST_F(AboutTest, EachWindowAfterOkIsFresh) {
  std::vector<Ref<frmTarnAbout>> seen;
  presenter_->onShow = [&](frmTarnAbout& f) {
    seen.emplace_back(&f);
    f.setText(C::lblSerialText, u"scribbled");
    f.cmdOK_Click();
  };
  auto env = clsTarnEnvironment::create();
  env->brAbout();
  env->brAbout();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[0], seen[1]);
  EXPECT_NE(presenter_->shownSerial, u"scribbled");
  // A presenter that returns without OK still closes the window.
  presenter_->onShow = nullptr;
  env->brAbout();
  EXPECT_FALSE(frmTarnAbout::isLoaded());
}

TEST_F(AboutTest, InitializeSetsTheTypeOrReportsFailure) {
  auto form = frmTarnAbout::load();
  EXPECT_TRUE(form->Initialize(u"ODBC32"));
  EXPECT_EQ(form->text(C::lblTypeText), u"ODBC32");
  presenter_->failRefresh = true;
  EXPECT_FALSE(form->Initialize(u"other"));
}

TEST(AboutPresenterTest, WithoutAUsableDisplayTheTerminalShowsTheBox) {
  // No display at all, then one that cannot be opened: neither may end the process.
  for (const char* display : {static_cast<const char*>(nullptr), ":9999"}) {
    display ? setenv("DISPLAY", display, 1) : unsetenv("DISPLAY");
    EXPECT_EQ(windowAboutPresenter(), nullptr);
    EXPECT_NE(dynamic_cast<TerminalAboutPresenter*>(aboutPresenter().get()), nullptr);
  }
  unsetenv("DISPLAY");
}

TEST(PlatformNameTest, EveryBranchOfTheTable) {
  struct Case {
    std::uint32_t id, major, minor;
    std::int32_t code;
    const char16_t* family;
    const char16_t* version;
  } cases[] = {
      {0, 3, 10, 2, u"Win 32", u"Win 3.1"},
      {1, 4, 0, 5, u"Win 9x", u"Win '95"},
      {1, 4, 10, 6, u"Win 9x", u"Win '98"},
      {1, 4, 90, 7, u"Win 9x", u"Win ME"},
      {1, 4, 3, 0, u"Win 9x", u"Win??"},
      {2, 3, 51, 3, u"Win NT", u"Win NT 3.5"},
      {2, 4, 0, 4, u"Win NT", u"Win NT 4.0"},
      {2, 5, 0, 1, u"Win NT", u"Win 2K"},
      {2, 5, 1, 8, u"Win NT", u"Win XP"},
      {2, 5, 2, 0, u"Win NT", u"Win??"},
      {2, 6, 1, 9, u"Win NT", u"Win Vista"},
      {2, 10, 0, 0, u"Win NT", u"Win??"},
      {3, 5, 0, 0, u"", u"Win??"},
  };
  for (const auto& c : cases) {
    setPlatformProvider(recordOf(c.id, c.major, c.minor));
    PlatformRecord r;
    String family = u"x", version = u"x";
    EXPECT_EQ(platformName(r, family, version), c.code) << c.id << " " << c.major << "." << c.minor;
    EXPECT_EQ(family, c.family);
    EXPECT_EQ(version, c.version);
  }
  setPlatformProvider({});
}

TEST(PlatformNameTest, QueriesWithAFreshRecordAndFailsQuietly) {
  setPlatformProvider([](PlatformRecord& r) {
    EXPECT_EQ(r.size, 148u);
    for (char c : r.servicePack) EXPECT_EQ(c, ' ');
    return false;
  });
  PlatformRecord r;
  r.servicePack.fill('z');
  String family = u"x", version = u"x";
  EXPECT_EQ(platformName(r, family, version), 0);
  EXPECT_EQ(family, u"");
  EXPECT_EQ(version, u"");
  setPlatformProvider([](PlatformRecord&) -> bool { throw std::runtime_error("no"); });
  EXPECT_EQ(platformName(r, family, version), 0);
  setPlatformProvider({});
}

TEST_F(AboutTest, PictureClickReportsTheRecognisedPlatformAndBeepsOtherwise) {
  setPlatformProvider(recordOf(2, 5, 0, 2195, "Service Pack 4"));
  auto form = frmTarnAbout::load();
  form->Image1_Click();
  const String expected = String(u"Tarn Class Library (ODBC Only)|") +
                          u"Windows Platform information: Win 2K\r\n\r\n" +
                          u"Platform=2 (Win NT)\r\nMajorVer=5\r\nMinorVer=0\r\nBuildRev=2195\r\n" +
                          u"Misc.=Service Pack 4" + String(1, u'\0') + String(113, u' ');
  ASSERT_EQ(presenter_->boxes.size(), 1u);
  EXPECT_EQ(presenter_->boxes[0], expected);
  EXPECT_EQ(presenter_->beeps, 0);

  for (auto provider :
       {recordOf(2, 10, 0), PlatformProvider([](PlatformRecord&) { return false; })}) {
    setPlatformProvider(provider);
    form->Image1_Click();
  }
  EXPECT_EQ(presenter_->beeps, 2);
  EXPECT_EQ(presenter_->boxes.size(), 1u);
}

TEST(RunningPlatformTest, ReadsTheKernelIntoTheRecord) {
  PlatformRecord r;
  EXPECT_FALSE(readRunningPlatform(r));  // size not set
  r.size = kPlatformRecordSize;
  r.servicePack.fill(' ');
  ASSERT_TRUE(readRunningPlatform(r));
  utsname u{};
  ASSERT_EQ(uname(&u), 0);
  EXPECT_EQ(r.platformId, kPlatformIdLinux);
  EXPECT_EQ(std::to_string(r.majorVersion) + "." + std::to_string(r.minorVersion),
            std::string(u.release).substr(0, std::string(u.release).find('.', 2)));
  const std::string misc(r.servicePack.data());
  EXPECT_EQ(misc.substr(0, std::strlen(u.sysname) + 1), std::string(u.sysname) + " ");
  EXPECT_LT(misc.size(), 128u);
  // Not one of the known families: the window beeps.
  String family, version;
  EXPECT_EQ(platformName(r, family, version), 0);
  EXPECT_EQ(family, u"");
}

TEST_F(AboutTest, TerminalPresenterDrawsTheBoxAndReadsTheUsersAnswers) {
  setPlatformProvider(recordOf(2, 5, 1, 2600, "Service Pack 2"));
  std::ostringstream out;
  std::istringstream in("p\n\n\nx\n");
  setAboutPresenter(std::make_shared<TerminalAboutPresenter>(out, in, true));
  clsTarnEnvironment::create()->brAbout();
  const std::string text = out.str();
  for (const char* expected :
       {"+-- About TarnCL ", "Version:      2.0.29", "Type:         ODBC32",
        "Serial No:", "[  OK  ]", "+-- Tarn Class Library (ODBC Only) ",
        "| Windows Platform information: Win XP", "| Misc.=Service Pack 2     "}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  }
  EXPECT_FALSE(frmTarnAbout::isLoaded());
  std::string rest;
  std::getline(in, rest);
  EXPECT_EQ(rest, "x");  // Enter closed the box, the next Enter the window; nothing more is read

  // Without a terminal: drawn once, closed at once, nothing read; a beep is BEL.
  setPlatformProvider(recordOf(2, 10, 0));
  std::ostringstream quiet;
  std::istringstream none("p\n");
  auto terminal = std::make_shared<TerminalAboutPresenter>(quiet, none, false);
  setAboutPresenter(terminal);
  clsTarnEnvironment::create()->brAbout();
  EXPECT_NE(quiet.str().find("ODBC32"), std::string::npos);
  EXPECT_EQ(none.tellg(), 0);
  frmTarnAbout::load()->Image1_Click();
  EXPECT_EQ(quiet.str().back(), '\a');
}

}  // namespace
}  // namespace tarn
