// Public enumerations of the frame.
#pragma once

#include <cstdint>

namespace tarn {

// Class codes from which object handles are built (also codes of classes not implemented here).
enum eTarnClassConstants : std::int32_t {
  TarnMagic = 46699,
  TarnClassDA = 272,
  TarnClassRM = 274,
  TarnClassSL = 275,
  TarnClassFV = 512,
  TarnClassVM = 771,
  TarnClassTCL = 771,
  TarnClassDB = 2048,
  TarnClassND = 2304,
  TarnClassDE = 61696,
  TarnClassConn = 61952,
  TarnClassSA = 62208,
  TarnClassTTY = 62464,
  TarnClassTD = 62720,
  TarnClassBT = 62976,
  TarnClassRC = 63232,
  TarnNoHandle = 0,
};

enum eReferenceCounting : std::int32_t {
  eTarnAdd1Ref = 1,
  eTarnInitRef = 1,
  eTarnZeroRef = 0,
  eTarnRelease = -1,
};

enum eTarnGeneralEnum : std::int32_t {
  brTrue = -1,
  brFalse = 0,
  tarnNothing = 0,
};

enum eTarnErrorConstants : std::int32_t {
  TarnErrorConstants = 0,
};

}  // namespace tarn
