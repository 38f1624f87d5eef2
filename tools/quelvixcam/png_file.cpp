#include "tools/quelvixcam/png_file.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace quelvixcam {
namespace {

struct PngErrorState {
    char message[256];
};

void OnPngError(png_structp png, png_const_charp message) {
    auto* state = static_cast<PngErrorState*>(png_get_error_ptr(png));
    std::snprintf(state->message, sizeof state->message, "%s", message);
    png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

}  // namespace

bool WriteBgraAsPng(const std::string& path, const uint8_t* pixels, int width, int height, std::ptrdiff_t stride,
                    std::string* error, bool fast) {
    if (width <= 0 || height <= 0) {
        *error = "cannot write an empty image";
        return false;
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    // Everything libpng's longjmp may skip over is set up before setjmp.
    std::vector<png_byte> row(static_cast<size_t>(width) * 3);
    PngErrorState state{};
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, OnPngError, OnPngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        std::fclose(file);
        *error = "out of memory for the PNG encoder";
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        *error = "cannot write " + path + ": " + state.message;
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (fast) {
        png_set_compression_level(png, 1);
        png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    }
    png_write_info(png, info);
    for (int r = 0; r < height; ++r) {
        const uint8_t* src = pixels + r * stride;
        for (int c = 0; c < width; ++c) {
            row[3 * c + 0] = src[4 * c + 2];
            row[3 * c + 1] = src[4 * c + 1];
            row[3 * c + 2] = src[4 * c + 0];
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(file) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace quelvixcam
