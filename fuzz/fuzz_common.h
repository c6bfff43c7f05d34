// Shared by the fuzz targets: a quiet host module sink.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kivhnom/morvek.h"

namespace kivfuzz {
inline void QuietSink(void*, int, const char*) {}
inline void Quiet() { morvek_set_sink(QuietSink, nullptr); }
}  // namespace kivfuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
