#include "tools/quelvixcam/convert_command.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "driver/camera/camera_settings.h"
#include "driver/pipeline/convert_frame.h"
#include "driver/pipeline/image_pipeline.h"
#include "tools/quelvixcam/options_seen.h"
#include "tools/quelvixcam/png_file.h"
#include "tools/quelvixcam/raw_frame_file.h"
#include "tools/quelvixcam/whole_number.h"

namespace quelvixcam {
namespace {

const char kUsage[] =
    "usage: quelvixcam convert --input RAW --width W --height H [--offset O] [--pitch P] [--packed]\n"
    "                          [--phase N] [--set NAME=VALUE]... --output OUT\n"
    "  RAW is read with line i at byte O + i * P (the camera's layout by default: O 9921, P 1921);\n"
    "  --packed reads it as O 0, P W. Only those lines are read; RAW must be a regular file.\n"
    "  OUT may not be RAW itself. N is the Bayer phase: 0 GRBG, 1 BGGR, 2 RGGB, 3 GBRG.\n"
    "  NAME is a setting the image pipeline holds (below); values are clamped as the camera\n"
    "  clamps them, and a setting not given has the value of a freshly added camera.\n"
    "  WhiteBalance=1 needs W x H of at most 16843009 pixels (its channel sums are 32-bit).\n"
    "  Numbers are decimal (0300 is 300) or hexadecimal after 0x. Each option but --set\n"
    "  may be given once.\n"
    "  OUT ending in .png gets an RGB PNG; any other name gets the BGRA bytes, top row first.\n";

const int kUsageError = 2;
const int kWriteError = 1;
const long long kMaxDimension = 32767;
// White balance sums each channel over the frame in 32 bits, as the driver
// does; at 255 per pixel the sums hold up to this many pixels. The camera's
// frames are far below it, but a frame given here may not be.
const long long kMaxWhiteBalancePixels = 0xFFFFFFFFLL / 255;  // 16843009

// The settings --set takes are the driver's rows that the image pipeline
// holds: their names, clamps and the values of a freshly added camera are the
// driver's own, and a setting added there is taken here too.
const CameraSettingRow* PipelineSettingNamed(const std::string& name) {
    for (const CameraSettingRow& row : CameraSettingRows) {
        if (IsPipelineSetting(row.property) && name == CameraPropertyName(row.property)) return &row;
    }
    return nullptr;
}

// "ColorEnable, WhiteBalance, ...", in the rows' order.
std::string PipelineSettingNames() {
    std::string names;
    for (const CameraSettingRow& row : CameraSettingRows) {
        if (!IsPipelineSetting(row.property)) continue;
        if (!names.empty()) names += ", ";
        names += CameraPropertyName(row.property);
    }
    return names;
}

struct Options {
    std::string input;
    std::string output;
    long long width = -1;
    long long height = -1;
    long long offset = RawDataOffset;
    long long pitch = RawLinePitch;
    bool offsetGiven = false;
    bool pitchGiven = false;
    bool packed = false;
    long long phase = 0;
    CameraSettings settings = {};
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "quelvixcam convert: %s\n", message.c_str());
    return kUsageError;
}

// A whole number within [low, high], read as everywhere in the tool.
bool ParseNumber(const char* text, long long low, long long high, long long* value) {
    return text != nullptr && ParseWholeNumber(text, low, high, value);
}

bool EndsWithPng(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& ch : tail) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return tail == ".png";
}

// Parses argv into *o; on a mistake prints one error line and returns false.
bool ParseOptions(int argc, char** argv, Options* o, int* status) {
    SetDefaultSettings(&o->settings);
    *status = kUsageError;
    OptionsSeen seen;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!seen.First("quelvixcam convert", arg)) return false;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::printf("  The settings: %s.\n", PipelineSettingNames().c_str());
            *status = 0;
            return false;
        }
        if (arg == "--packed") {
            o->packed = true;
            continue;
        }
        const bool takesValue = arg == "--input" || arg == "--output" || arg == "--width" || arg == "--height" ||
                                arg == "--offset" || arg == "--pitch" || arg == "--phase" || arg == "--set";
        if (!takesValue) {
            Fail("unknown argument \"" + arg + "\" (see quelvixcam convert --help)");
            return false;
        }
        if (i + 1 >= argc) {
            Fail(arg + " needs a value");
            return false;
        }
        const char* value = argv[++i];
        long long number = 0;
        if (arg == "--input") {
            o->input = value;
        } else if (arg == "--output") {
            o->output = value;
        } else if (arg == "--width" || arg == "--height") {
            if (!ParseNumber(value, 1, kMaxDimension, &number)) {
                Fail(arg + " must be a whole number from 1 to " + std::to_string(kMaxDimension) + ", not \"" + value +
                     "\"");
                return false;
            }
            (arg == "--width" ? o->width : o->height) = number;
        } else if (arg == "--offset" || arg == "--pitch") {
            if (!ParseNumber(value, 0, std::numeric_limits<ULONG>::max(), &number)) {
                Fail(arg + " must be a whole number from 0 to 4294967295, not \"" + value + "\"");
                return false;
            }
            if (arg == "--offset") {
                o->offset = number;
                o->offsetGiven = true;
            } else {
                o->pitch = number;
                o->pitchGiven = true;
            }
        } else if (arg == "--phase") {
            if (!ParseNumber(value, 0, 3, &number)) {
                Fail(std::string("--phase must be 0, 1, 2 or 3, not \"") + value + "\"");
                return false;
            }
            o->phase = number;
        } else {  // --set NAME=VALUE
            const std::string assignment = value;
            const size_t equals = assignment.find('=');
            const std::string name = assignment.substr(0, equals);
            const CameraSettingRow* setting = PipelineSettingNamed(name);
            if (equals == std::string::npos) {
                Fail("--set needs NAME=VALUE, not \"" + assignment + "\"");
                return false;
            }
            if (setting == nullptr) {
                Fail("unknown setting \"" + name + "\" (one of " + PipelineSettingNames() + ")");
                return false;
            }
            const std::string text = assignment.substr(equals + 1);
            if (!ParseNumber(text.c_str(), std::numeric_limits<LONG>::min(), std::numeric_limits<LONG>::max(),
                             &number)) {
                Fail("value of " + name + " must be a 32-bit whole number, not \"" + text + "\"");
                return false;
            }
            o->settings.*setting->field = ClampSetting(static_cast<LONG>(number), setting->clamp);
        }
    }
    if (o->input.empty()) return Fail("--input RAW is required"), false;
    if (o->output.empty()) return Fail("--output OUT is required"), false;
    if (o->width < 0) return Fail("--width W is required"), false;
    if (o->height < 0) return Fail("--height H is required"), false;
    if (o->packed) {
        if (o->offsetGiven || o->pitchGiven) return Fail("--packed cannot be combined with --offset or --pitch"), false;
        o->offset = 0;
        o->pitch = o->width;
    }
    if (o->settings.whiteBalance != 0 && o->width * o->height > kMaxWhiteBalancePixels) {
        return Fail("WhiteBalance needs a frame of at most " + std::to_string(kMaxWhiteBalancePixels) +
                    " pixels, whose 32-bit channel sums cannot wrap; " + std::to_string(o->width) + " x " +
                    std::to_string(o->height) + " has " + std::to_string(o->width * o->height)),
               false;
    }
    if (o->pitch < o->width) {
        return Fail("--pitch " + std::to_string(o->pitch) + " is smaller than the width " + std::to_string(o->width)),
               false;
    }
    return true;
}

bool WriteRaw(const std::string& path, const uint8_t* bytes, size_t size, std::string* error) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(bytes, 1, size, file) == size;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) *error = "cannot write " + path + ": " + std::strerror(errno);
    return written && closed;
}

// A fresh pipeline given the settings as the capture pin gives the camera's
// when it creates one.
void ApplySettings(ImagePipeline* p, const Options& o) {
    SetColorPhase(p, static_cast<LONG>(o.phase));
    ApplyPipelineSettings(p, o.settings);
}

RawGeometry GeometryOf(const Options& o) {
    RawGeometry g;
    g.offset = static_cast<uint64_t>(o.offset);
    g.pitch = static_cast<uint64_t>(o.pitch);
    g.width = static_cast<uint64_t>(o.width);
    g.height = static_cast<uint64_t>(o.height);
    return g;
}

// 0 when `size` bytes of raw input hold the frame the options describe,
// else the usage status after one error line.
int CheckHoldsFrame(const Options& o, uint64_t size) {
    const uint64_t needed = GeometryOf(o).BytesNeeded();
    if (size >= needed) return 0;
    return Fail(o.input + " holds " + std::to_string(size) + " bytes; a " + std::to_string(o.width) + " x " +
                std::to_string(o.height) + " frame at offset " + std::to_string(o.offset) + " with pitch " +
                std::to_string(o.pitch) + " needs " + std::to_string(needed));
}

// Converts the frame whose line i lies at raw + offset + i * pitch, which
// the caller has checked: 0 with the frame in *bgraOut (top row first), or
// the usage status after one error line.
int ConvertLines(const Options& o, const uint8_t* raw, ULONG offset, ULONG pitch, std::vector<uint8_t>* bgraOut) {
    ImagePipeline* p = CreatePipeline();
    if (p == nullptr) return Fail("out of memory for the image pipeline");
    ApplySettings(p, o);
    SetPipelineGeometry(p, static_cast<LONG>(o.width), static_cast<LONG>(o.height));
    AllocateWorkingBuffer(p);
    std::vector<uint8_t>& bgra = *bgraOut;
    bgra.assign(static_cast<size_t>(o.width) * o.height * 4, 0);
    if (p->workBuffer == nullptr) {
        FreePipeline(p);
        return Fail("out of memory for a " + std::to_string(o.width) + " x " + std::to_string(o.height) + " frame");
    }
    p->outputBuffer = bgra.data();
    ConvertFrame(p, raw, offset, pitch);
    if (o.settings.whiteBalance != 0) {
        std::printf("gains red=%d green=%d blue=%d\n", static_cast<int>(GetRedGain(p)),
                    static_cast<int>(GetGreenGain(p)), static_cast<int>(GetBlueGain(p)));
    }
    ReleaseWorkingBuffer(p);
    FreePipeline(p);
    return 0;
}

// Reads the frame's lines from the input file, packed (offset 0, pitch W),
// after checking that the file is one the command may read and the output
// will not destroy: 0, or the usage status after one error line.
int ReadFrame(const Options& o, std::vector<uint8_t>* packed) {
    RawFrameFile file;
    std::string error;
    if (!file.Open(o.input, &error)) return Fail(error);
    // Writing the output would truncate the input before it was read, as
    // cp copying a file onto itself would.
    if (file.IsSameFile(o.output)) return Fail("--output " + o.output + " is the same file as --input " + o.input);
    if (int status = CheckHoldsFrame(o, file.Size())) return status;
    packed->resize(static_cast<size_t>(o.width) * static_cast<size_t>(o.height));
    if (!file.ReadLines(GeometryOf(o), packed->data(), &error)) return Fail(error);
    return 0;
}

}  // namespace
}  // namespace quelvixcam

using namespace quelvixcam;

int ConvertRawBytes(int argc, char** argv, const std::vector<uint8_t>& raw, std::vector<uint8_t>* bgra) {
    Options o;
    int status = 0;
    if (!ParseOptions(argc, argv, &o, &status)) return status;
    if (int refused = CheckHoldsFrame(o, raw.size())) return refused;
    return ConvertLines(o, raw.data(), static_cast<ULONG>(o.offset), static_cast<ULONG>(o.pitch), bgra);
}

int RunConvertCommand(int argc, char** argv) {
    Options o;
    int status = 0;
    if (!ParseOptions(argc, argv, &o, &status)) return status;

    std::vector<uint8_t> packed;
    if (int refused = ReadFrame(o, &packed)) return refused;
    std::vector<uint8_t> bgra;
    status = ConvertLines(o, packed.data(), 0, static_cast<ULONG>(o.width), &bgra);
    if (status != 0) return status;
    std::vector<uint8_t>().swap(packed);

    std::string error;
    const bool ok = EndsWithPng(o.output)
                        ? WriteBgraAsPng(o.output, bgra.data(), static_cast<int>(o.width), static_cast<int>(o.height),
                                         static_cast<std::ptrdiff_t>(o.width) * 4, &error)
                        : WriteRaw(o.output, bgra.data(), bgra.size(), &error);
    if (!ok) {
        std::fprintf(stderr, "quelvixcam convert: %s\n", error.c_str());
        return kWriteError;
    }
    return 0;
}
