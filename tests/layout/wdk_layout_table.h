// The bytes of the probe's layout section, as the build read them from the
// object mingw-w64 compiled (wdk_layout.cmake generates their definition).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace layout {

extern const unsigned char kWdkLayoutBytes[];
extern const size_t kWdkLayoutByteCount;

// The section as the words the probe wrote (x86-64 byte order, as here).
std::vector<uint32_t> WdkLayoutWords();

}  // namespace layout
