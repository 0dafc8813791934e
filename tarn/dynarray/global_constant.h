// clsTarnGlobalConstant: the structure marks and the index cursor's operation characters as
// one-character strings. An application object: global() is the process's predeclared instance.
#pragma once

#include <cstdint>

#include "tarn/dynarray/dynamic_array.h"
#include "tarn/frame/export.h"
#include "tarn/frame/object.h"
#include "tarn/frame/string.h"

namespace tarn {

// The operation characters of the index cursor, as character codes.
enum eTarnIndexKey : std::int32_t {
  TarnIndexCompKey = 67,
  TarnIndexLastKey = 76,
  TarnIndexNextKey = 78,
  TarnIndexPrevKey = 80,
  TarnIndexRtrnKey = 82,
  TarnIndexVrfyKey = 86,
  TarnIndexXtraKey = 88,
};

class TARN_API clsTarnGlobalConstant : public Object {
 public:
  // A new instance; every instance returns the same strings.
  [[nodiscard]] static Ref<clsTarnGlobalConstant> create();
  // The predeclared instance, made on first use and kept for the life of the process.
  [[nodiscard]] static clsTarnGlobalConstant& global();

  // Index cursor operations "C", "L", "N", "P", "R", "V", "X". None of these members fails.
  [[nodiscard]] const String& brKeyCompChr() const noexcept { return keyComp_; }
  [[nodiscard]] const String& brKeyLastChr() const noexcept { return keyLast_; }
  [[nodiscard]] const String& brKeyNextChr() const noexcept { return keyNext_; }
  [[nodiscard]] const String& brKeyPrevChr() const noexcept { return keyPrev_; }
  [[nodiscard]] const String& brKeyRtrnChr() const noexcept { return keyRtrn_; }
  [[nodiscard]] const String& brKeyVrfyChr() const noexcept { return keyVrfy_; }
  [[nodiscard]] const String& brKeyXtraChr() const noexcept { return keyXtra_; }
  // The marks U+00FE, U+00FB, U+00FF, U+00FC and U+00FD.
  [[nodiscard]] const String& brAMChr() const noexcept { return am_; }
  [[nodiscard]] const String& brSBChr() const noexcept { return sb_; }
  [[nodiscard]] const String& brSMChr() const noexcept { return sm_; }
  [[nodiscard]] const String& brSVMChr() const noexcept { return svm_; }
  [[nodiscard]] const String& brVMChr() const noexcept { return vm_; }
  // The same marks under their second names.
  [[nodiscard]] const String& TarnAMChr() const noexcept { return am_; }
  [[nodiscard]] const String& TarnSBChr() const noexcept { return sb_; }
  [[nodiscard]] const String& TarnSMChr() const noexcept { return sm_; }
  [[nodiscard]] const String& TarnSVMChr() const noexcept { return svm_; }
  [[nodiscard]] const String& TarnVMChr() const noexcept { return vm_; }

 private:
  clsTarnGlobalConstant();

  String keyComp_, keyLast_, keyNext_, keyPrev_, keyRtrn_, keyVrfy_, keyXtra_;
  String am_, sb_, sm_, svm_, vm_;
};

}  // namespace tarn
