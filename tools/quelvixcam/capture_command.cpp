#include "tools/quelvixcam/capture_command.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <vector>

#include "tools/quelvixcam/camera_faults.h"
#include "host/ks/ks_client.h"
#include "tools/quelvixcam/options_seen.h"
#include "tools/quelvixcam/plugged_run.h"
#include "tools/quelvixcam/png_file.h"
#include "tools/quelvixcam/png_writers.h"
#include "tools/quelvixcam/property_command.h"
#include "tools/quelvixcam/registry_option.h"
#include "rig/plugged_camera.h"
#include "tools/quelvixcam/whole_number.h"

namespace {

const char kTool[] = "quelvixcam capture";
const int kUsageError = 2;
const int kFailure = 1;
constexpr auto kFrameWait = std::chrono::seconds(10);

const char kUsage[] =
    "usage: quelvixcam capture [--frames N] [--output DIR | --output -] [--scene SCENE]\n"
    "                          [--keep-repeats] [--camera-fps FPS] [--registry FILE]\n"
    "                          [--set NAME=VALUE]... [--quiet] [--camera-fault NAME[=ARG]]...\n"
    "  Plugs the simulated camera in, opens the capture filter, takes the format the pin\n"
    "  offers, gives the graph a clock, runs the pin until N new pictures (default 30)\n"
    "  have come back, then stops, closes and unplugs. A frame the driver delivers again\n"
    "  because no new one had come is counted as a repeat and not written.\n"
    "  --output DIR  writes DIR/frame-0001.png, ... (top row first) on writer threads,\n"
    "                fed by a queue of at most 256 MiB; a picture the full queue cannot\n"
    "                take is counted as not written\n"
    "  --output -    streams the frames to standard output as raw BGRA, top row first;\n"
    "                ffmpeg reads them with\n"
    "                  -f rawvideo -pixel_format bgra -video_size 1600x1200 -framerate 30 -i -\n"
    "                and GStreamer with\n"
    "                  fdsrc ! rawvideoparse format=bgra width=1600 height=1200 framerate=30/1\n"
    "  --scene       chart (default), bars, gradient, counter (each frame's number in\n"
    "                large digits), flat:N, flat:R,G,B or a PNG file\n"
    "  --keep-repeats  writes every frame the driver delivers, repeats too; N counts them\n"
    "  --camera-fps  frames a second the camera sends (default 30; 0 = as fast as it can)\n"
    "  --registry    the store the camera's settings live in between runs\n"
    "  --set         a camera property (as quelvixcam set) applied before the pin is made\n"
    "  --quiet       no progress line on standard error\n";

struct Options {
    long frames = 30;
    std::string output;  // empty: frames are not kept
    std::string scene;
    double cameraFps = 30;
    std::string registry = DefaultRegistryPath();
    bool quiet = false;
    bool keepRepeats = false;
    std::vector<PropertyAssignment> settings;  // --set, in order
    std::vector<CameraFault> faults;           // --camera-fault, in order
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kTool, message.c_str());
    return kFailure;
}

std::string Status(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

bool ParseNumber(const char* text, double minimum, double maximum, double* value) {
    char* end = nullptr;
    errno = 0;
    double parsed = std::strtod(text, &end);
    if (errno || end == text || *end || parsed < minimum || parsed > maximum) return false;
    *value = parsed;
    return true;
}

// 0 on success, else the exit status (usage already printed).
int ParseOptions(int argc, char** argv, Options* options, bool* help) {
    OptionsSeen seen;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        double number = 0;
        if (!seen.First(kTool, arg)) return kUsageError;
        if (int taken = TakeCameraFaultOption(kTool, argc, argv, &i, &options->faults)) {
            if (taken != 1) return kUsageError;
        } else if (arg == "--help") {
            *help = true;
        } else if (arg == "--quiet") {
            options->quiet = true;
        } else if (arg == "--keep-repeats") {
            options->keepRepeats = true;
        } else if (arg == "--frames" && hasValue) {
            long long frames = 0;
            if (!ParseWholeNumber(argv[++i], 1, 1000000, &frames)) {
                std::fprintf(stderr, "%s: --frames takes a whole number from 1 to 1000000, not '%s'\n", kTool, argv[i]);
                return kUsageError;
            }
            options->frames = static_cast<long>(frames);
        } else if (arg == "--camera-fps" && hasValue) {
            if (!ParseNumber(argv[++i], 0, 1000, &number)) {
                std::fprintf(stderr, "%s: --camera-fps takes a rate from 0 to 1000, not '%s'\n", kTool, argv[i]);
                return kUsageError;
            }
            options->cameraFps = number;
        } else if (arg == "--output" && hasValue) {
            options->output = argv[++i];
        } else if (arg == "--scene" && hasValue) {
            options->scene = argv[++i];
        } else if (arg == "--registry" && hasValue) {
            options->registry = argv[++i];
            if (!CheckRegistryOption(kTool, options->registry)) return kUsageError;
        } else if (arg == "--set" && hasValue) {
            PropertyAssignment assignment;
            std::string error;
            if (!ParsePropertyAssignment(argv[++i], &assignment, &error)) {
                std::fprintf(stderr, "%s: --set: %s\n", kTool, error.c_str());
                return kUsageError;
            }
            options->settings.push_back(assignment);
        } else {
            std::fprintf(stderr, "%s: unknown or incomplete argument '%s'\n%s", kTool, arg.c_str(), kUsage);
            return kUsageError;
        }
    }
    return 0;
}

bool MakeDirectory(const std::string& path, std::string* error) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return true;
        *error = "'" + path + "' exists and is not a directory";
        return false;
    }
    // Parents first, as mkdir -p.
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectory(path.substr(0, slash), error)) return false;
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        *error = "cannot make directory '" + path + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

// Where the frames go: PNG files in a directory (written by PngWriters on
// threads of their own), raw BGRA on standard output, or nowhere. Frames
// arrive bottom-up (row r of the picture at data + (height - 1 - r) *
// stride) and leave top row first.
enum class Kept { kKept, kNoRoom, kFailed };

class FrameSink {
public:
    FrameSink(const std::string& output, int width, int height, size_t stride)
        : output_(output), width_(width), height_(height), stride_(stride) {
        if (!output.empty() && output != "-")
            writers_.reset(new quelvixcam::PngWriters(output, width, height, quelvixcam::PngWriters::kQueueMiB << 20,
                                                      quelvixcam::PngWriters::ThreadsFor(std::thread::hardware_concurrency())));
    }

    // kNoRoom: the PNG writers' queue was full and the frame is not kept.
    Kept Write(long index, const uint8_t* frame, std::string* error) {
        if (writers_) {
            if (writers_->Failed(error)) return Kept::kFailed;
            return writers_->Offer(index, frame, stride_) ? Kept::kKept : Kept::kNoRoom;
        }
        if (output_.empty()) return Kept::kKept;
        const uint8_t* top = frame + static_cast<size_t>(height_ - 1) * stride_;
        for (int r = 0; r < height_; ++r) {
            if (std::fwrite(top - static_cast<ptrdiff_t>(r) * stride_, 4, width_, stdout) != static_cast<size_t>(width_)) {
                *error = std::string("cannot write to standard output: ") + std::strerror(errno);
                return Kept::kFailed;
            }
        }
        return Kept::kKept;
    }

    // Waits for the files still being written; false with the first failure.
    bool Finish(std::string* error) { return !writers_ || writers_->Finish(error); }

private:
    std::string output_;
    int width_;
    int height_;
    size_t stride_;
    std::unique_ptr<quelvixcam::PngWriters> writers_;
};

// Tells a new picture from one the driver delivers again. With no new raw
// frame, the pin's Process delivers the previous picture once more, byte for
// byte; the camera stamps each frame's number into its first samples (turned
// on by the command), so every new frame differs from the one before, even of
// a still scene. A delivery equal to the previous one is therefore a repeat.
// The camera's own count of frames sent cannot decide it: it may move on
// between the driver's copy and the client's look, which would take a repeat
// for new and the next new picture for a repeat.
// Settings that clip the stamp's pixels to one value hide it; when the camera
// has sent kBlindAfterFrames frames since the last picture that differed, the
// stamp is taken as hidden and from then on a delivery is new when the camera
// has sent a frame since the previous one.
class RepeatDetector {
public:
    static constexpr uint64_t kBlindAfterFrames = 30;

    bool IsNew(const uint8_t* picture, size_t bytes, uint64_t framesSent) {
        const bool differs = previous_.size() != bytes || std::memcmp(previous_.data(), picture, bytes) != 0;
        if (differs) previous_.assign(picture, picture + bytes);
        bool fresh = differs;
        if (!differs && !stampHidden_ && framesSent >= sentAtLastNew_ + kBlindAfterFrames) stampHidden_ = true;
        if (!differs && stampHidden_) fresh = framesSent != sentAtLastDelivery_;
        sentAtLastDelivery_ = framesSent;
        if (fresh) sentAtLastNew_ = framesSent;
        return fresh;
    }
    bool StampHidden() const { return stampHidden_; }

private:
    std::vector<uint8_t> previous_;
    uint64_t sentAtLastNew_ = 0;
    uint64_t sentAtLastDelivery_ = 0;
    bool stampHidden_ = false;
};

struct Tally {
    long delivered = 0;  // every frame the driver completed
    long fresh = 0;      // deliveries with a new picture
    long written = 0;    // what --frames counts
    long repeated = 0;   // delivered again: no new camera frame had come
    long dropped = 0;    // camera frames that never reached the client
    long notWritten = 0; // new pictures the PNG writers had no room for
    LONGLONG firstTime = 0;
    LONGLONG lastTime = 0;
    uint64_t sentAtFirstNew = 0;

    // The camera frames sent between the first new picture and this one
    // that are not among the new pictures; the camera's count may already
    // include the frame after this one, so the figure can be one high until
    // the next picture.
    void CountNew(uint64_t framesSent) {
        if (fresh++ == 0) sentAtFirstNew = framesSent;
        const long missing = static_cast<long>(framesSent - sentAtFirstNew) - (fresh - 1);
        dropped = missing > 0 ? missing : 0;
    }
};

// Runs the capture on a plugged camera; 0 or the exit status.
int Capture(const Options& options, rig::PluggedCamera& rig) {
    const sim::SimulatedCamera& camera = rig.Camera();
    std::unique_ptr<hostks::KsFilter> filter;
    NTSTATUS status = hostks::KsFilter::Open(rig.Pnp(), &filter);
    if (!NT_SUCCESS(status)) return Fail("cannot open the capture filter (status " + Status(status) + ")");
    // Before the pin exists, so that Roi can still change the format offered.
    for (const PropertyAssignment& assignment : options.settings) {
        std::string error;
        if (!ApplyPropertyAssignment(*filter, assignment, &error)) return Fail(error);
    }
    std::vector<std::vector<uint8_t>> ranges = filter->DataRanges(0);
    if (ranges.empty()) return Fail("the capture pin offers no format");
    std::vector<uint8_t> format;
    status = filter->Intersect(0, ranges[0].data(), &format);
    if (!NT_SUCCESS(status)) return Fail("the pin refused its own format (status " + Status(status) + ")");
    const KS_VIDEOINFOHEADER& info = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader;
    int width = info.bmiHeader.biWidth;
    int height = info.bmiHeader.biHeight < 0 ? -info.bmiHeader.biHeight : info.bmiHeader.biHeight;

    std::unique_ptr<hostks::KsPin> pin;
    status = filter->CreatePin(0, format.data(), &pin);
    if (!NT_SUCCESS(status)) return Fail("cannot create the capture pin (status " + Status(status) + ")");
    hostks::ReferenceClock clock;
    pin->SetClock(&clock);

    // As many buffers as the pin's framing asks for, each one image.
    KSALLOCATOR_FRAMING_EX framing = pin->Framing();
    ULONG frameSize = framing.FramingItem[0].FramingRange.Range.MaxFrameSize;
    ULONG frameCount = framing.FramingItem[0].Frames < 2 ? 2 : framing.FramingItem[0].Frames;
    std::vector<std::vector<uint8_t>> buffers(frameCount, std::vector<uint8_t>(frameSize));
    status = pin->SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(status)) return Fail("the pin cannot run (status " + Status(status) + ")");
    for (auto& buffer : buffers) pin->SubmitFrame(buffer.data(), frameSize);

    FrameSink sink(options.output, width, height, static_cast<size_t>(width) * 4);
    const size_t pictureBytes = static_cast<size_t>(width) * 4 * static_cast<size_t>(height);
    RepeatDetector detector;
    Tally tally;
    auto started = std::chrono::steady_clock::now();
    int result = 0;
    while (tally.written < options.frames) {
        hostks::CompletedFrame frame;
        FrameWait wait = WaitForFrameOrUnplug(*pin, camera, &frame, kFrameWait);
        if (wait == FrameWait::kUnplugged) {
            result = Fail("the camera was unplugged after " + std::to_string(tally.delivered) +
                          (tally.delivered == 1 ? " frame" : " frames"));
            break;
        }
        if (wait == FrameWait::kTimedOut) {
            result = Fail("no frame came from the camera within 10 seconds");
            break;
        }
        if (frame.status != STATUS_SUCCESS || frame.dataUsed == 0) {
            result = Fail("a frame came back empty (status " + Status(frame.status) + ")");
            break;
        }
        ++tally.delivered;
        const uint64_t sent = camera.Counters().framesSent;
        const bool fresh = detector.IsNew(frame.data, std::min<size_t>(pictureBytes, frame.dataUsed), sent);
        if (fresh) {
            tally.CountNew(sent);
        } else {
            ++tally.repeated;
        }
        if (fresh || options.keepRepeats) {
            std::string error;
            const Kept kept = sink.Write(tally.written + 1, frame.data, &error);
            if (kept == Kept::kFailed) {
                result = Fail(error);
                break;
            }
            if (kept == Kept::kNoRoom) {
                ++tally.notWritten;
            } else {
                if (tally.written == 0) tally.firstTime = frame.presentationTime;
                tally.lastTime = frame.presentationTime;
                ++tally.written;
            }
        }
        if (!options.quiet) {
            double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            std::fprintf(stderr, "\rframes %ld/%ld  %.1f fps  dropped %ld  repeated %ld ", tally.written,
                         options.frames, seconds > 0 ? tally.fresh / seconds : 0.0, tally.dropped, tally.repeated);
        }
        if (tally.written < options.frames) pin->SubmitFrame(frame.data, frameSize);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!options.quiet) std::fprintf(stderr, "\n");

    pin->SetState(KSSTATE_STOP);
    pin->Close();
    filter->Close();
    std::string writeError;
    if (!sink.Finish(&writeError) && result == 0) result = Fail(writeError);
    if (result != 0) return result;

    // The summary goes where it cannot mix with frames.
    FILE* report = options.output == "-" ? stderr : stdout;
    double span = static_cast<double>(tally.lastTime - tally.firstTime) / 1e7;
    std::fprintf(report, "frames: %ld (%dx%d BGRA)%s\n", tally.written, width, height,
                 options.keepRepeats ? ", repeats included" : "");
    std::fprintf(report, "delivered: %ld, new: %ld, repeated: %ld, dropped: %ld, not written (queue full): %ld\n",
                 tally.delivered, tally.fresh, tally.repeated, tally.dropped, tally.notWritten);
    if (detector.StampHidden())
        std::fprintf(report, "note: the settings hid the camera's frame stamp; repeats were told by the camera's count\n");
    std::fprintf(report, "timestamps span: %.3f s\n", span);
    std::fprintf(report, "mean rate: %.2f fps (new pictures)\n", seconds > 0 ? tally.fresh / seconds : 0.0);
    if (!options.output.empty() && options.output != "-")
        std::fprintf(report, "written: %s/frame-0001.png .. frame-%04ld.png\n", options.output.c_str(), tally.written);
    return 0;
}

}  // namespace

int RunCaptureCommand(int argc, char** argv) {
    Options options;
    bool help = false;
    if (int status = ParseOptions(argc, argv, &options, &help)) return status;
    if (help) {
        std::fputs(kUsage, stdout);
        std::fputs(kCameraFaultHelp, stdout);
        return 0;
    }
    std::string error;
    if (!options.output.empty() && options.output != "-" && !MakeDirectory(options.output, &error)) return Fail(error);
    // A reader that goes away ends the run with a write error, not a signal.
    signal(SIGPIPE, SIG_IGN);

    rig::Options rigOptions;
    rigOptions.scene = options.scene;
    rigOptions.cameraFps = options.cameraFps;
    // Every frame carries its number in its first samples, so that a new
    // picture differs from the previous one even when the scene is still.
    rigOptions.frameStamp = true;
    rigOptions.faults = options.faults;
    return RunWithPluggedCamera(kTool, rigOptions, options.registry,
                                [&options](rig::PluggedCamera& rig) { return Capture(options, rig); });
}
