// Demosaic quality: real photographs are mosaicked to GRBG, converted with
// ConvertFrame (colour correction off, every adjustment neutral, unity gains)
// and with OpenCV's bilinear demosaic, and compared with the originals by
// PSNR over all pixels and the three channels.
//
// The photographs are the colour PNGs Debian's python3-skimage package ships
// under skimage/data/. On first use the package is fetched with
// `apt-get download` and unpacked with `dpkg-deb -x` into the build tree; it
// is not installed. `--photos DIR` reads the PNGs from DIR instead.
#include <png.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "driver/pipeline/convert_frame.h"
#include "driver/pipeline/image_pipeline.h"

namespace {

const char* const kPhotos[] = {"astronaut.png", "chelsea.png", "coffee.png", "motorcycle_left.png", "ihc.png"};

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The directory of the photographs, fetching the package when needed.
std::string PhotoDirectory(const std::string& cache) {
    const std::string data = cache + "/usr/lib/python3/dist-packages/skimage/data";
    if (Exists(data + "/" + kPhotos[0])) return data;
    std::string command = "mkdir -p '" + cache + "' && cd '" + cache +
                          "' && apt-get download python3-skimage >/dev/null 2>&1 && "
                          "dpkg-deb -x python3-skimage_*.deb . && rm -f python3-skimage_*.deb";
    std::printf("fetching photographs: %s\n", command.c_str());
    if (std::system(command.c_str()) != 0 || !Exists(data + "/" + kPhotos[0])) return "";
    return data;
}

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

bool LoadRgb(const std::string& path, Image* image) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return false;
    png.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr)) return false;
    // Even sizes, so that every 2 x 2 cell of the mosaic is whole.
    image->width = static_cast<int>(png.width) & ~1;
    image->height = static_cast<int>(png.height) & ~1;
    image->rgb.resize(static_cast<size_t>(image->width) * image->height * 3);
    for (int r = 0; r < image->height; ++r)
        std::copy_n(&pixels[static_cast<size_t>(r) * png.width * 3], image->width * 3,
                    &image->rgb[static_cast<size_t>(r) * image->width * 3]);
    return true;
}

// GRBG: even rows G R G R ..., odd rows B G B G ...
std::vector<uint8_t> Mosaic(const Image& image) {
    std::vector<uint8_t> raw(static_cast<size_t>(image.width) * image.height);
    for (int r = 0; r < image.height; ++r) {
        for (int c = 0; c < image.width; ++c) {
            int channel = (r % 2 == 0) ? (c % 2 == 0 ? 1 : 0) : (c % 2 == 0 ? 2 : 1);
            raw[static_cast<size_t>(r) * image.width + c] = image.rgb[(static_cast<size_t>(r) * image.width + c) * 3 + channel];
        }
    }
    return raw;
}

// PSNR of a 4-byte-per-pixel B, G, R image (stride `step` bytes between pixels)
// against the RGB original.
double Psnr(const Image& original, const uint8_t* bgr, int step) {
    double squared = 0;
    const size_t pixels = static_cast<size_t>(original.width) * original.height;
    for (size_t i = 0; i < pixels; ++i) {
        for (int ch = 0; ch < 3; ++ch) {
            double d = static_cast<double>(original.rgb[i * 3 + ch]) - bgr[i * step + (2 - ch)];
            squared += d * d;
        }
    }
    double mse = squared / (static_cast<double>(pixels) * 3);
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

double ConvertFramePsnr(const Image& image, const std::vector<uint8_t>& raw) {
    ImagePipeline* p = CreatePipeline();
    UpdateColorCorrection(p, 0);
    SetPipelineGeometry(p, image.width, image.height);
    AllocateWorkingBuffer(p);
    std::vector<uint8_t> bgra(static_cast<size_t>(image.width) * image.height * 4);
    p->outputBuffer = bgra.data();
    ConvertFrame(p, raw.data(), 0, static_cast<ULONG>(image.width));
    FreePipeline(p);
    return Psnr(image, bgra.data(), 4);
}

double OpenCvPsnr(const Image& image, std::vector<uint8_t>& raw, int code) {
    cv::Mat mosaic(image.height, image.width, CV_8UC1, raw.data());
    cv::Mat bgr;
    cv::cvtColor(mosaic, bgr, code);
    return Psnr(image, bgr.data, 3);
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir;
    if (argc == 3 && std::string(argv[1]) == "--photos") {
        dir = argv[2];
    } else {
        dir = PhotoDirectory(QUELVIX_PHOTO_CACHE);
    }
    if (dir.empty()) {
        std::printf("skipped: the photographs of python3-skimage could not be fetched\n");
        return 0;
    }
    std::printf("%-20s %9s %16s %15s %9s\n", "photograph", "size", "ConvertFrame dB", "OpenCV bilinear", "gain dB");
    double sumOurs = 0, sumBilinear = 0;
    int count = 0;
    for (const char* name : kPhotos) {
        Image image;
        if (!LoadRgb(dir + "/" + name, &image)) {
            std::printf("%-20s cannot be read\n", name);
            continue;
        }
        std::vector<uint8_t> raw = Mosaic(image);
        const double ours = ConvertFramePsnr(image, raw);
        const double bilinear = OpenCvPsnr(image, raw, cv::COLOR_BayerGB2BGR);
        char size[32];
        std::snprintf(size, sizeof size, "%dx%d", image.width, image.height);
        std::printf("%-20s %9s %16.2f %15.2f %9.2f\n", name, size, ours, bilinear, ours - bilinear);
        sumOurs += ours;
        sumBilinear += bilinear;
        ++count;
    }
    if (count == 0) return 1;
    std::printf("%-20s %9s %16.2f %15.2f %9.2f\n", "mean", "", sumOurs / count, sumBilinear / count,
                (sumOurs - sumBilinear) / count);
    return 0;
}
