// TARN_API marks what the shared library exports: the public classes and free functions a client
// calls. The library is built with hidden visibility, so everything else stays inside it.
#pragma once

#define TARN_API __attribute__((visibility("default")))
