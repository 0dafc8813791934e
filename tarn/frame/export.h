// TARN_API marks what the shared library exports: the public classes and free functions a client
// calls. Everything else stays inside libtarncl.
#pragma once

#if defined(TARN_BUILDING_LIBRARY) || defined(TARN_STATIC)
#define TARN_API __attribute__((visibility("default")))
#else
#define TARN_API
#endif
