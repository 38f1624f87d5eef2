// Speed of the frame conversion against OpenCV on one 1600 x 1200 random
// frame, single thread:
//   ConvertFrame colour (factory settings), grey, with white balance on a
//   steady scene and on one that changes every frame, colour with the gains
//   white balance measures on that steady scene but without measuring (all
//   with the kernel ConvertFrame picks: AVX2 where the processor has it), and
//   colour through the scalar and through the SSE2 kernel;
//   OpenCV's bilinear demosaic to BGRA (cvtColor COLOR_BayerGB2BGRA, the code
//   that matches our GRBG readout), the yardstick;
//   OpenCV's quickest route to BGRA through a colour matrix: bilinear to BGR,
//   cv::transform with a 3x4 matrix, BGR to BGRA.
//
// The machine it runs on is shared, so absolute times swing with the load.
// What holds still is a ratio of two times taken right next to each other:
// each round times every variant once against its own bilinear run, A then B
// in one round and B then A in the next (so a load that grows or fades over a
// round tilts neither side), and the program reports the minimum, median and
// maximum of those per-round ratios. Each timed run repeats the conversion
// for about --round-time seconds of this thread's CPU time, which excludes
// the time other programs hold the core. The process pins itself to one core
// when it may, so that both sides of a ratio see the same caches.
//
// Options: --rounds N (default 15, at least 1), --round-time S (default 0.1).
// --benchmark_min_time=S is taken as --round-time S, so the CI's brief run of
// every benchmark stays brief.
//
// The last line is "colour ConvertFrame / OpenCV bilinear = R", R the median.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "driver/pipeline/convert_frame.h"
#include "driver/pipeline/image_pipeline.h"
#include "driver/pipeline/processor_features.h"

namespace {

const int kWidth = 1600;
const int kHeight = 1200;

// A raw frame in the camera's layout: random samples, each Bayer site's
// scaled by its channel's weight in percent (GRBG: green and red in even
// rows, blue and green in odd ones).
std::vector<uint8_t> MakeRawFrame(unsigned seed, int redPercent, int bluePercent) {
    std::vector<uint8_t> f(RawDataOffset + static_cast<size_t>(kHeight) * RawLinePitch);
    std::mt19937 rng(seed);
    for (auto& b : f) b = static_cast<uint8_t>(rng());
    for (int r = 0; r < kHeight; ++r) {
        uint8_t* line = f.data() + RawDataOffset + static_cast<size_t>(r) * RawLinePitch;
        const int percent = r % 2 == 0 ? redPercent : bluePercent;
        for (int c = r % 2 == 0 ? 1 : 0; c < kWidth; c += 2) line[c] = static_cast<uint8_t>(line[c] * percent / 100);
    }
    return f;
}

// The frame every variant but white balance's converts; its channels are
// balanced, so white balance would measure unity gains on it.
const std::vector<uint8_t>& RawFrame() {
    static const std::vector<uint8_t> frame = MakeRawFrame(1600, 100, 100);
    return frame;
}

// Scenes with a cast, on which white balance measures red and blue gains
// other than 128, as it does on most frames of a camera: a warm one and a
// cool one.
const std::vector<uint8_t>& WarmFrame() {
    static const std::vector<uint8_t> frame = MakeRawFrame(1601, 100, 70);
    return frame;
}

const std::vector<uint8_t>& CoolFrame() {
    static const std::vector<uint8_t> frame = MakeRawFrame(1602, 75, 100);
    return frame;
}

double ThreadCpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Pins the process to the last core it may run on; -1 when it may not.
int PinToOneCore() {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) return -1;
    for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        return sched_setaffinity(0, sizeof(one), &one) == 0 ? cpu : -1;
    }
    return -1;
}

// One thing to time: a frame's work, repeated `frames` times per timed run.
struct Variant {
    const char* label;  // as printed in the ratio lines
    std::function<void()> frame;
    int frames = 1;
};

// A pipeline converting raw frames with fixed settings: the shared frame, or
// the given scenes in turn, one a frame.
class ConvertFrameVariant {
public:
    ConvertFrameVariant(LONG colour, LONG whiteBalance, ConversionKernel kernel,
                        std::vector<const std::vector<uint8_t>*> scenes = {&RawFrame()})
        : kernel_(kernel), scenes_(std::move(scenes)) {
        p_ = CreatePipeline();
        SetColorEnable(p_, colour);
        SetWhiteBalance(p_, whiteBalance);
        SetPipelineGeometry(p_, kWidth, kHeight);
        AllocateWorkingBuffer(p_);
        rgb_.resize(static_cast<size_t>(kWidth) * kHeight * 4);
        p_->outputBuffer = rgb_.data();
    }
    ~ConvertFrameVariant() { FreePipeline(p_); }

    // Fixed gains for every frame (white balance off).
    void SetGains(const LONG gains[3]) {
        SetRedGain(p_, gains[0]);
        SetGreenGain(p_, gains[1]);
        SetBlueGain(p_, gains[2]);
    }
    void GetGains(LONG gains[3]) {
        gains[0] = GetRedGain(p_);
        gains[1] = GetGreenGain(p_);
        gains[2] = GetBlueGain(p_);
    }
    ConvertFrameVariant(const ConvertFrameVariant&) = delete;
    ConvertFrameVariant& operator=(const ConvertFrameVariant&) = delete;

    // White balance's gains carry from one frame to the next, as they do in
    // the stream.
    void operator()() {
        const std::vector<uint8_t>& raw = *scenes_[next_];
        next_ = (next_ + 1) % scenes_.size();
        ConvertFrameWithKernel(p_, raw.data(), RawDataOffset, RawLinePitch, kernel_);
    }

private:
    ImagePipeline* p_ = nullptr;
    ConversionKernel kernel_;
    std::vector<const std::vector<uint8_t>*> scenes_;
    size_t next_ = 0;
    std::vector<uint8_t> rgb_;
};

cv::Mat RawMat() {
    const std::vector<uint8_t>& f = RawFrame();
    return cv::Mat(kHeight, kWidth, CV_8UC1, const_cast<uint8_t*>(f.data()) + RawDataOffset, RawLinePitch);
}

struct OpenCvBilinear {
    cv::Mat raw = RawMat();
    cv::Mat bgra;
    void operator()() { cv::cvtColor(raw, bgra, cv::COLOR_BayerGB2BGRA); }
};

struct OpenCvBilinearMatrix {
    cv::Mat raw = RawMat();
    cv::Mat bgr, corrected, bgra;
    // The factory colour matrix in BGR order with an offset column.
    float m[3][4] = {{1.42f, -0.15f, -0.14f, 0.0f}, {-0.32f, 1.4f, -0.22f, 0.0f}, {-0.1f, -0.25f, 1.36f, 0.0f}};
    void operator()() {
        cv::cvtColor(raw, bgr, cv::COLOR_BayerGB2BGR);
        cv::transform(bgr, corrected, cv::Mat(3, 4, CV_32F, &m[0][0]));
        cv::cvtColor(corrected, bgra, cv::COLOR_BGR2BGRA);
    }
};

// CPU seconds per frame over one timed run.
double TimeRun(const Variant& v) {
    const double start = ThreadCpuSeconds();
    for (int i = 0; i < v.frames; ++i) v.frame();
    return (ThreadCpuSeconds() - start) / v.frames;
}

// Enough frames for a run of about `roundTime` seconds (at least one), from
// a warm frame's time.
void Calibrate(Variant* v, double roundTime) {
    v->frame();
    v->frames = 1;
    const double once = TimeRun(*v);
    v->frames = std::max(1, static_cast<int>(roundTime / std::max(once, 1e-6)));
}

struct Spread {
    double min;
    double median;
    double max;
};

Spread SpreadOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    const double median = n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
    return Spread{values.front(), median, values.back()};
}

struct Options {
    int rounds = 15;
    double roundTime = 0.1;
};

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* kMinTime = "--benchmark_min_time=";
        if (arg.rfind(kMinTime, 0) == 0) {
            o->roundTime = std::atof(arg.c_str() + std::strlen(kMinTime));
        } else if (arg == "--round-time" && i + 1 < argc) {
            o->roundTime = std::atof(argv[++i]);
        } else if (arg == "--rounds" && i + 1 < argc) {
            o->rounds = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: pipeline_speed [--rounds N] [--round-time SECONDS]\n");
            return false;
        }
    }
    if (o->rounds < 1 || !(o->roundTime > 0.0)) {
        std::fprintf(stderr, "pipeline_speed: --rounds must be at least 1 and --round-time positive\n");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) return 2;
    cv::setNumThreads(1);  // OpenCV would otherwise spread its work over every core
    const int cpu = PinToOneCore();

    // ConvertFrame's own choice (AVX2 where the processor has it), and the
    // SSE2 baseline every processor runs.
    ConvertFrameVariant colour(1, 0, ConversionKernelAvx2), grey(0, 0, ConversionKernelAvx2),
        whiteBalance(1, 1, ConversionKernelAvx2, {&WarmFrame()}),
        whiteBalanceChanging(1, 1, ConversionKernelAvx2, {&WarmFrame(), &CoolFrame()}),
        gained(1, 0, ConversionKernelAvx2, {&WarmFrame()}), sse2(1, 0, ConversionKernelSse2),
        scalar(1, 0, ConversionKernelScalar);
    // The gains white balance measures on the warm scene, for the variant
    // that applies them without measuring: what white balance costs beyond
    // its gains.
    whiteBalance();
    LONG warmGains[3];
    whiteBalance.GetGains(warmGains);
    gained.SetGains(warmGains);
    OpenCvBilinear bilinearFrame;
    OpenCvBilinearMatrix matrixFrame;
    Variant base{"OpenCV bilinear", std::ref(bilinearFrame)};
    std::vector<Variant> variants = {
        {"colour ConvertFrame", std::ref(colour)},
        {"grey ConvertFrame", std::ref(grey)},
        {"white-balanced ConvertFrame", std::ref(whiteBalance)},
        {"white-balanced, scene changing", std::ref(whiteBalanceChanging)},
        {"colour, white balance's gains", std::ref(gained)},
        {"colour ConvertFrame, scalar kernel", std::ref(scalar)},
        {"colour ConvertFrame, SSE2 kernel", std::ref(sse2)},
        {"OpenCV bilinear + matrix", std::ref(matrixFrame)},
    };
    const size_t kColourVariant = 0, kWhiteBalanceVariant = 2, kChangingVariant = 3, kGainedVariant = 4,
                 kMatrixVariant = 7;
    Calibrate(&base, options.roundTime);
    for (Variant& v : variants) Calibrate(&v, options.roundTime);

    std::printf("pipeline_speed: %d x %d, %d rounds of about %.3f s a side, ", kWidth, kHeight, options.rounds,
                options.roundTime);
    if (cpu >= 0) {
        std::printf("pinned to CPU %d, ", cpu);
    } else {
        std::printf("not pinned (affinity refused), ");
    }
    std::printf("CPU time of this thread; ConvertFrame runs the %s kernel\n",
                ProcessorHasAvx2() ? "AVX2" : "SSE2");

    // ratios[v][round] = time of variant v / time of bilinear, both of that round.
    std::vector<std::vector<double>> ratios(variants.size());
    std::vector<std::vector<double>> seconds(variants.size() + 1);
    for (int round = 0; round < options.rounds; ++round) {
        for (size_t v = 0; v < variants.size(); ++v) {
            double a, b;
            if (round % 2 == 0) {
                b = TimeRun(base);
                a = TimeRun(variants[v]);
            } else {
                a = TimeRun(variants[v]);
                b = TimeRun(base);
            }
            ratios[v].push_back(a / b);
            seconds[v].push_back(a);
            seconds[variants.size()].push_back(b);
        }
    }

    std::printf("%-36s %10s %8s %8s %8s\n", "per frame (median ms) / ratio to", "ms", "min", "median", "max");
    std::printf("%-36s %10.3f\n", base.label, 1e3 * SpreadOf(seconds[variants.size()]).median);
    for (size_t v = 0; v < variants.size(); ++v) {
        const Spread r = SpreadOf(ratios[v]);
        std::printf("%-36s %10.3f %8.2f %8.2f %8.2f\n", variants[v].label, 1e3 * SpreadOf(seconds[v]).median, r.min,
                    r.median, r.max);
    }

    // Ratios between two ConvertFrame-side variants, each round's two ratios
    // sharing the round.
    auto between = [&ratios](size_t a, size_t b) {
        std::vector<double> r;
        for (size_t i = 0; i < ratios[a].size(); ++i) r.push_back(ratios[a][i] / ratios[b][i]);
        return SpreadOf(r);
    };
    const Spread wb = between(kWhiteBalanceVariant, kColourVariant);
    const Spread changing = between(kChangingVariant, kColourVariant);
    const Spread measuring = between(kWhiteBalanceVariant, kGainedVariant);
    const Spread matrix = between(kColourVariant, kMatrixVariant);
    std::printf("white-balanced / colour ConvertFrame: min %.2f median %.2f max %.2f\n", wb.min, wb.median, wb.max);
    std::printf("white-balanced, scene changing / colour ConvertFrame: min %.2f median %.2f max %.2f\n", changing.min,
                changing.median, changing.max);
    std::printf("white-balanced / colour with the same gains: min %.2f median %.2f max %.2f\n", measuring.min,
                measuring.median, measuring.max);
    std::printf("colour ConvertFrame / OpenCV bilinear + matrix: min %.2f median %.2f max %.2f\n", matrix.min,
                matrix.median, matrix.max);
    for (size_t v = kColourVariant + 1; v < variants.size(); ++v)
        std::printf("%s / OpenCV bilinear = %.2f\n", variants[v].label, SpreadOf(ratios[v]).median);
    std::printf("colour ConvertFrame / OpenCV bilinear = %.2f\n", SpreadOf(ratios[kColourVariant]).median);
    return 0;
}
