#include "tarn/about/about.h"

#include <exception>
#include <utility>

#include "tarn/about/terminal_presenter.h"
#include "tarn/channel/code_page_internal.h"
#include "tarn/frame/version_internal.h"

namespace tarn {

namespace {

constexpr char16_t kApplicationTitle[] = u"TarnCL";
constexpr char16_t kSerialText[] = u"TCL-0200-0029-7141";
constexpr char16_t kCrLf[] = u"\r\n";

// The process's one window; cleared by cmdOK so that the next load starts afresh.
Ref<frmTarnAbout> gAboutForm;
PlatformProvider gProvider;
std::shared_ptr<AboutPresenter> gChosenPresenter;

String decimal(std::uint32_t n) {
  return decimalText(static_cast<long long>(n));
}

std::int32_t versionCode(const PlatformRecord& r) {
  switch (r.platformId) {
    case 0:
      return 2;
    case 1:
      switch (r.minorVersion) {
        case 0:
          return 5;
        case 10:
          return 6;
        case 90:
          return 7;
        default:
          return 0;
      }
    case 2:
      switch (r.majorVersion) {
        case 3:
          return 3;
        case 4:
          return 4;
        case 5:
          return r.minorVersion == 0 ? 1 : r.minorVersion == 1 ? 8 : 0;
        case 6:
          return 9;
        default:
          return 0;
      }
    default:
      return 0;
  }
}

const char16_t* versionName(std::int32_t code) {
  static constexpr const char16_t* kNames[] = {u"Win 2K",     u"Win 3.1", u"Win NT 3.5",
                                               u"Win NT 4.0", u"Win '95", u"Win '98",
                                               u"Win ME",     u"Win XP",  u"Win Vista"};
  return code >= 1 && code <= 9 ? kNames[code - 1] : u"Win??";
}

const char16_t* familyName(std::uint32_t platformId) {
  static constexpr const char16_t* kFamilies[] = {u"Win 32", u"Win 9x", u"Win NT"};
  return platformId <= 2 ? kFamilies[platformId] : u"";
}

}  // namespace

PlatformProvider setPlatformProvider(PlatformProvider provider) {
  return std::exchange(gProvider, std::move(provider));
}

std::int32_t platformName(PlatformRecord& record, String& sPlatform, String& sVersion) {
  sPlatform.clear();
  sVersion.clear();
  record = PlatformRecord{};
  record.size = kPlatformRecordSize;
  record.servicePack.fill(' ');
  // A copy, so that a provider replacing itself while it runs stays alive until it returns.
  const PlatformProvider provider = gProvider ? gProvider : PlatformProvider(readRunningPlatform);
  bool answered = false;
  try {
    answered = provider(record);
  } catch (...) {
    answered = false;
  }
  if (!answered) return 0;
  sPlatform = familyName(record.platformId);
  const std::int32_t code = versionCode(record);
  sVersion = versionName(code);
  return code;
}

String platformReport(const PlatformRecord& record, const String& sPlatform,
                      const String& sVersion) {
  String text = u"Windows Platform information: " + sVersion + kCrLf + kCrLf;
  text += u"Platform=" + decimal(record.platformId) + u" (" + sPlatform + u")" + kCrLf;
  text += u"MajorVer=" + decimal(record.majorVersion) + kCrLf;
  text += u"MinorVer=" + decimal(record.minorVersion) + kCrLf;
  text += u"BuildRev=" + decimal(record.buildNumber) + kCrLf;
  text += u"Misc.=";
  text += codepage::decode(std::string_view(record.servicePack.data(), record.servicePack.size()));
  return text;
}

const char* aboutControlName(AboutControl control) noexcept {
  static constexpr const char* kNames[kAboutControlCount] = {
      "imgLogo",     "Image1",           "cmdOK",        "lblVersion",     "lblDesc",
      "lblType",     "lblCopyright",     "lblSerial",    "lblVersionText", "lblDescText",
      "lblTypeText", "lblCopyrightText", "lblSerialText"};
  return kNames[static_cast<std::size_t>(control)];
}

AboutPresenter::~AboutPresenter() = default;

void AboutPresenter::refresh(frmTarnAbout&, AboutControl) {}

void setAboutPresenter(std::shared_ptr<AboutPresenter> presenter) {
  gChosenPresenter = std::move(presenter);
}

std::shared_ptr<AboutPresenter> aboutPresenter() {
  if (gChosenPresenter) return gChosenPresenter;
  if (auto window = windowAboutPresenter()) return window;
  return std::make_shared<TerminalAboutPresenter>();
}

frmTarnAbout::frmTarnAbout() : presenter_(aboutPresenter()) {
  // The controls' fixed texts, then the load order of the value labels.
  texts_[static_cast<std::size_t>(AboutControl::cmdOK)] = u"OK";
  texts_[static_cast<std::size_t>(AboutControl::lblVersion)] = u"Version:";
  texts_[static_cast<std::size_t>(AboutControl::lblDesc)] = u"Description:";
  texts_[static_cast<std::size_t>(AboutControl::lblType)] = u"Type:";
  texts_[static_cast<std::size_t>(AboutControl::lblCopyright)] = u"Copyright:";
  texts_[static_cast<std::size_t>(AboutControl::lblSerial)] = u"Serial No:";
  caption_ = String(u"About ") + kApplicationTitle;
  texts_[static_cast<std::size_t>(AboutControl::lblVersionText)] =
      u"10.2.0.000 (Build " + decimalText(version::kRevision) + u")";
  texts_[static_cast<std::size_t>(AboutControl::lblDescText)] = version::kDescription;
  texts_[static_cast<std::size_t>(AboutControl::lblCopyrightText)] = version::kCopyright;
  texts_[static_cast<std::size_t>(AboutControl::lblSerialText)] = kSerialText;
}

frmTarnAbout::~frmTarnAbout() = default;

Ref<frmTarnAbout> frmTarnAbout::load() {
  if (!gAboutForm) gAboutForm = Ref<frmTarnAbout>(new frmTarnAbout());
  return gAboutForm;
}

bool frmTarnAbout::isLoaded() noexcept {
  return static_cast<bool>(gAboutForm);
}

void frmTarnAbout::setText(AboutControl control, const String& value) {
  texts_[static_cast<std::size_t>(control)] = value;
  presenter_->refresh(*this, control);
}

bool frmTarnAbout::Initialize(const String& sType) noexcept {
  try {
    setText(AboutControl::lblTypeText, sType);
    return true;
  } catch (...) {
    return false;
  }
}

void frmTarnAbout::Show() {
  // OK clears the process's reference while the window is up; this one keeps the form alive
  // until the presenter has returned.
  const Ref<frmTarnAbout> keep(this);
  shown_ = true;
  try {
    presenter_->showModal(*this);
  } catch (...) {
    shown_ = false;
    throw;
  }
  // A presenter that returns without OK (its input ended, the window was closed otherwise)
  // closes the window as OK would, so that the next load starts afresh.
  if (shown_) cmdOK_Click();
}

void frmTarnAbout::cmdOK_Click() {
  shown_ = false;
  presenter_->unload(*this);
  if (gAboutForm.get() == this) gAboutForm.reset();
}

void frmTarnAbout::Image1_Click() {
  PlatformRecord record;
  String family;
  String name;
  if (platformName(record, family, name) == 0) {
    presenter_->beep();
    return;
  }
  presenter_->messageBox(version::kDescription, platformReport(record, family, name));
}

}  // namespace tarn
