// The library's identity: its version numbers, from the build (the project version in
// CMakeLists.txt), and the texts the environment reports and the about box shows.
#pragma once

namespace tarn::version {

inline constexpr int kMajor = TARN_VERSION_MAJOR;
inline constexpr int kMinor = TARN_VERSION_MINOR;
inline constexpr int kRevision = TARN_VERSION_REVISION;

inline constexpr char16_t kDescription[] = u"Tarn Class Library (ODBC Only)";
inline constexpr char16_t kCopyright[] =
    u"Copyright (C) 2026 the TarnCL developers. All rights reserved.";

}  // namespace tarn::version
