// frmTarnAbout: the about window as a model (its controls and their texts), the presenters that
// show it, and the platform report that a click on its picture gives.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "tarn/frame/export.h"
#include "tarn/frame/object.h"
#include "tarn/frame/string.h"

namespace tarn {

// The record the platform's version query fills, laid out as the query's 148-byte record.
struct PlatformRecord {
  std::uint32_t size = 0;  // the caller sets kPlatformRecordSize before the query
  std::uint32_t majorVersion = 0;
  std::uint32_t minorVersion = 0;
  std::uint32_t buildNumber = 0;
  std::uint32_t platformId = 0;
  std::array<char, 128> servicePack{};  // zero-terminated; the caller fills it with blanks first
};
inline constexpr std::uint32_t kPlatformRecordSize = 148;
static_assert(sizeof(PlatformRecord) == kPlatformRecordSize);

// Answers the version query: fills the record and returns true, or returns false when it cannot.
using PlatformProvider = std::function<bool(PlatformRecord&)>;

// The platform id the running-system provider reports: the kernel is none of the three families
// the naming table knows, so the about box beeps instead of reporting it.
inline constexpr std::uint32_t kPlatformIdLinux = 0x4C;

// The default provider: refuses a record whose size is not 148; otherwise major, minor and build
// are the kernel release's first three numbers and the service-pack field holds the system name,
// release, version and machine (uname), cut to 127 bytes and zero-terminated.
TARN_API bool readRunningPlatform(PlatformRecord& record);
// Replaces the provider the about box asks; an empty one restores readRunningPlatform. Returns
// the provider that was in place.
TARN_API PlatformProvider setPlatformProvider(PlatformProvider provider);

// Names the platform: asks the provider with a fresh record (size 148, service pack all blanks),
// which it leaves in record; sPlatform and sVersion receive the family and version names. Returns
// the version code, 0 when the platform is not recognised; a failed query (a false return or an
// exception from the provider) returns 0 and leaves both names empty.
TARN_API std::int32_t platformName(PlatformRecord& record, String& sPlatform, String& sVersion);
// The message box text for a named platform, ending with the whole 128-character service-pack
// field (its terminating zero and the blanks after it included).
[[nodiscard]] TARN_API String platformReport(const PlatformRecord& record, const String& sPlatform,
                                             const String& sVersion);

// The controls of the window, in the order presenters lay them out.
enum class AboutControl : std::uint8_t {
  imgLogo,
  Image1,
  cmdOK,
  lblVersion,
  lblDesc,
  lblType,
  lblCopyright,
  lblSerial,
  lblVersionText,
  lblDescText,
  lblTypeText,
  lblCopyrightText,
  lblSerialText,
};
inline constexpr std::size_t kAboutControlCount = 13;
// The control's name as the window knows it ("lblVersionText").
[[nodiscard]] TARN_API const char* aboutControlName(AboutControl control) noexcept;

class frmTarnAbout;

// Shows the window. A presenter is used from the client's thread, one window at a time.
class TARN_API AboutPresenter {
 public:
  virtual ~AboutPresenter();
  // Shows form modally and returns once it is unloaded. The presenter calls form.cmdOK_Click()
  // when the user presses OK and form.Image1_Click() when the user clicks the picture.
  virtual void showModal(frmTarnAbout& form) = 0;
  // The form was unloaded (cmdOK): take the window down so that showModal can return.
  virtual void unload(frmTarnAbout& form) = 0;
  // A control's text changed after the form loaded; may throw when the display cannot follow.
  virtual void refresh(frmTarnAbout& form, AboutControl control);
  // A message box with an OK button and no icon; returns when it is dismissed.
  virtual void messageBox(const String& title, const String& text) = 0;
  virtual void beep() = 0;
};

// The presenter the next loaded window uses: the one set here, else a real window when a display
// and the window plug-in are there, else the terminal. Setting nullptr restores that choice.
TARN_API void setAboutPresenter(std::shared_ptr<AboutPresenter> presenter);
[[nodiscard]] TARN_API std::shared_ptr<AboutPresenter> aboutPresenter();
// A presenter that opens a real window, or nullptr when there is no display or the plug-in
// (tarncl/libtarncl-about-window.so beside the library) is missing or cannot open it. The plug-in
// opens the display once per process; one it could not open is not tried again.
[[nodiscard]] TARN_API std::shared_ptr<AboutPresenter> windowAboutPresenter();

// The about window. One instance exists per process at a time: created on first use and let go
// when OK closes it, so that the next use loads a fresh one.
class TARN_API frmTarnAbout : public Object {
 public:
  ~frmTarnAbout() override;

  // The process's window, loading it (and filling its labels) when there is none.
  [[nodiscard]] static Ref<frmTarnAbout> load();
  // Whether a window is loaded and not yet closed with OK.
  [[nodiscard]] static bool isLoaded() noexcept;

  [[nodiscard]] const String& Caption() const noexcept { return caption_; }
  [[nodiscard]] const String& text(AboutControl control) const noexcept {
    return texts_[static_cast<std::size_t>(control)];
  }
  // Sets a control's text and has the presenter redraw it; throws what the presenter throws.
  void setText(AboutControl control, const String& value);

  // Sets lblTypeText to sType; false when that failed (nothing else is reported).
  [[nodiscard]] bool Initialize(const String& sType) noexcept;

  // Shows the window modally through its presenter; returns when it is closed.
  void Show();
  // OK: unloads the window and clears the process's reference to it.
  void cmdOK_Click();
  // The picture: a message box describing the platform, or only a beep when it is not
  // recognised (or the query failed).
  void Image1_Click();

 private:
  frmTarnAbout();

  String caption_;
  std::array<String, kAboutControlCount> texts_;
  // The presenter chosen when the form loaded; it shows this form for its whole life.
  std::shared_ptr<AboutPresenter> presenter_;
  bool shown_ = false;
};

}  // namespace tarn
