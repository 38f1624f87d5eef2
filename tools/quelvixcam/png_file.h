// Writing 32-bit BGRA images (the driver's pixel layout) as 8-bit RGB PNG
// files, top row first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quelvixcam {

// Writes width x height pixels of 4 bytes (blue, green, red, unused), row 0 at
// `pixels` and row r at pixels + r * stride; a bottom-up image is passed with
// a pointer to its last row and a negative stride. Returns false and a
// one-line reason in *error when the file cannot be written.
bool WriteBgraAsPng(const std::string& path, const uint8_t* pixels, int width, int height, std::ptrdiff_t stride,
                    std::string* error);

}  // namespace quelvixcam
