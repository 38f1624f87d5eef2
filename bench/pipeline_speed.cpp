// Speed of the frame conversion against OpenCV on one 1600 x 1200 random
// frame, single thread:
//   ConvertFrame colour (factory settings), grey, and with white balance;
//   OpenCV's bilinear demosaic to BGRA (cvtColor COLOR_BayerGB2BGRA, the code
//   that matches our GRBG readout);
//   OpenCV's quickest route to BGRA through a colour matrix: bilinear to BGR,
//   cv::transform with a 3x4 matrix, BGR to BGRA.
// After the runs it prints each time as a ratio to OpenCV bilinear; the last
// line is "colour ConvertFrame / OpenCV bilinear = R".
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pipeline/convert_frame.h"
#include "pipeline/image_pipeline.h"

#include "recording_reporter.h"

namespace {

const int kWidth = 1600;
const int kHeight = 1200;

// One raw frame in the camera's layout, shared by every benchmark.
const std::vector<uint8_t>& RawFrame() {
    static const std::vector<uint8_t> frame = [] {
        std::vector<uint8_t> f(RAW_DATA_OFFSET + static_cast<size_t>(kHeight) * RAW_LINE_PITCH);
        std::mt19937 rng(1600);
        for (auto& b : f) b = static_cast<uint8_t>(rng());
        return f;
    }();
    return frame;
}

// The same image as an OpenCV matrix over the same bytes.
cv::Mat RawMat() {
    const std::vector<uint8_t>& f = RawFrame();
    return cv::Mat(kHeight, kWidth, CV_8UC1, const_cast<uint8_t*>(f.data()) + RAW_DATA_OFFSET, RAW_LINE_PITCH);
}

void RunConvertFrame(benchmark::State& state, LONG colour, LONG whiteBalance, ConversionKernel kernel) {
    ImagePipeline* p = CreatePipeline();
    SetColorEnable(p, colour);
    SetWhiteBalance(p, whiteBalance);
    SetPipelineGeometry(p, kWidth, kHeight);
    AllocateWorkingBuffer(p);
    std::vector<uint8_t> rgb(static_cast<size_t>(kWidth) * kHeight * 4);
    p->outputBuffer = rgb.data();
    const uint8_t* raw = RawFrame().data();
    for (auto _ : state) {
        ConvertFrameWithKernel(p, raw, RAW_DATA_OFFSET, RAW_LINE_PITCH, kernel);
        benchmark::DoNotOptimize(rgb.data());
        benchmark::ClobberMemory();
        // White balance feeds back into the gains; start each frame equal.
        SetRedGain(p, 128);
        SetBlueGain(p, 128);
    }
    FreePipeline(p);
}

void ConvertFrameColour(benchmark::State& state) { RunConvertFrame(state, 1, 0, ConversionKernelSse2); }
void ConvertFrameMono(benchmark::State& state) { RunConvertFrame(state, 0, 0, ConversionKernelSse2); }
void ConvertFrameWhiteBalance(benchmark::State& state) { RunConvertFrame(state, 1, 1, ConversionKernelSse2); }
void ConvertFrameColourScalar(benchmark::State& state) { RunConvertFrame(state, 1, 0, ConversionKernelScalar); }

void OpenCvBilinear(benchmark::State& state) {
    cv::Mat raw = RawMat();
    cv::Mat bgra;
    for (auto _ : state) {
        cv::cvtColor(raw, bgra, cv::COLOR_BayerGB2BGRA);
        benchmark::DoNotOptimize(bgra.data);
        benchmark::ClobberMemory();
    }
}

void OpenCvBilinearMatrix(benchmark::State& state) {
    cv::Mat raw = RawMat();
    cv::Mat bgr, corrected, bgra;
    // The factory colour matrix in BGR order with an offset column.
    const float m[3][4] = {{1.42f, -0.15f, -0.14f, 0.0f}, {-0.32f, 1.4f, -0.22f, 0.0f}, {-0.1f, -0.25f, 1.36f, 0.0f}};
    cv::Mat matrix(3, 4, CV_32F, const_cast<float*>(&m[0][0]));
    for (auto _ : state) {
        cv::cvtColor(raw, bgr, cv::COLOR_BayerGB2BGR);
        cv::transform(bgr, corrected, matrix);
        cv::cvtColor(corrected, bgra, cv::COLOR_BGR2BGRA);
        benchmark::DoNotOptimize(bgra.data);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(ConvertFrameColour)->Unit(benchmark::kMillisecond);
BENCHMARK(ConvertFrameMono)->Unit(benchmark::kMillisecond);
BENCHMARK(ConvertFrameWhiteBalance)->Unit(benchmark::kMillisecond);
BENCHMARK(ConvertFrameColourScalar)->Unit(benchmark::kMillisecond);
BENCHMARK(OpenCvBilinear)->Unit(benchmark::kMillisecond);
BENCHMARK(OpenCvBilinearMatrix)->Unit(benchmark::kMillisecond);


}  // namespace

int main(int argc, char** argv) {
    cv::setNumThreads(1);  // OpenCV would otherwise spread its work over every core
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter(RecordingReporter::Clock::Cpu);
    benchmark::RunSpecifiedBenchmarks(&reporter);

    auto& t = reporter.seconds;
    if (t.count("OpenCvBilinear") == 0 || t.count("ConvertFrameColour") == 0) {
        std::printf("ratios need ConvertFrameColour and OpenCvBilinear in the run\n");
        return 0;
    }
    const double base = t["OpenCvBilinear"];
    const char* const others[][2] = {
        {"ConvertFrameMono", "grey ConvertFrame / OpenCV bilinear"},
        {"ConvertFrameWhiteBalance", "white-balanced ConvertFrame / OpenCV bilinear"},
        {"ConvertFrameColourScalar", "colour ConvertFrame, scalar kernel / OpenCV bilinear"},
        {"OpenCvBilinearMatrix", "OpenCV bilinear + matrix / OpenCV bilinear"},
    };
    for (const auto& other : others)
        if (t.count(other[0])) std::printf("%s = %.2f\n", other[1], t[other[0]] / base);
    if (t.count("OpenCvBilinearMatrix"))
        std::printf("colour ConvertFrame / OpenCV bilinear + matrix = %.2f\n", t["ConvertFrameColour"] / t["OpenCvBilinearMatrix"]);
    std::printf("colour ConvertFrame / OpenCV bilinear = %.2f\n", t["ConvertFrameColour"] / base);
    return 0;
}
