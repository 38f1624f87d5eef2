// What the streaming path costs next to the work it cannot avoid.
//
// ConversionIntoFrame: the per-frame work of the pin's Process routine alone
// (ConvertFrameToRows of a 1600 x 1200 raw frame straight into a client
// frame, bottom row first) on this machine, in this run; ConversionAndCopy,
// the route it replaced (ConvertFrame into an RGB image, then the bottom-up
// copy), beside it. DeliveredUnpaced: the whole stack (simulated camera
// sending as fast as asked, USB stand-in, capture thread, the class's
// processing, the client's two frames) delivering new pictures. The class
// runs Process whenever the client hands a frame back, and with no new raw
// frame Process delivers the previous picture again; those repeats bring
// nothing, so only frames with a new picture count (the camera stamps each
// frame's number into it). The ratio says how much of the machine's
// conversion speed reaches the client; then the CPU time per new picture
// with the camera paced at 30 frames a second, in all and split by thread:
// the driver's own share (its capture thread, and the class's processing
// thread that runs its Process routine with the conversion), the simulated
// camera's rendering (which a real camera does in its own hardware), and the
// rest (the client, the USB stand-in's completion thread), and the repeats
// delivered per new picture. The paced stream runs twice: as the camera
// comes (white balance off) and with white balance on over a noisy picture
// (each sample moved by up to 4), where white balance converts a frame while
// it measures it whenever the gains it measures hold from frame to frame.
// The last line is `delivered fps / conversion into the client's frame fps = R`.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/kernel/violations.h"
#include "host/ks/ks_client.h"
#include "driver/camera/property_set.h"
#include "driver/pipeline/convert_frame.h"
#include "driver/pipeline/image_pipeline.h"
#include "rig/camera_property.h"
#include "rig/plugged_camera.h"
#include "sim/simulated_camera.h"

#include "bench/recording_reporter.h"

namespace {

constexpr int kWidth = 1600;
constexpr int kHeight = 1200;
constexpr size_t kImageBytes = static_cast<size_t>(kWidth) * kHeight * 4;

// One raw frame, converted and copied into two client frames in turn: the
// client has two frames in flight, so Process never copies into the frame it
// has just filled, while the raw frame it converts has just been written by
// the camera. Copying into one client frame every time would keep it in the
// cache and measure a copy the stream never makes.
void ConversionAndCopy(benchmark::State& state) {
    sim::SimulatedCamera camera;
    std::vector<uint8_t> raw = camera.ExpectedRawFrame();
    std::vector<uint8_t> client[2] = {std::vector<uint8_t>(kImageBytes), std::vector<uint8_t>(kImageBytes)};
    std::vector<uint8_t> rgb(kImageBytes);
    ImagePipeline* pipeline = CreatePipeline();
    SetPipelineGeometry(pipeline, kWidth, kHeight);
    AllocateWorkingBuffer(pipeline);
    pipeline->outputBuffer = rgb.data();
    const size_t row = kWidth * 4;
    int turn = 0;
    for (auto _ : state) {
        ConvertFrame(pipeline, raw.data(), RawDataOffset, RawLinePitch);
        uint8_t* destination = client[turn].data();
        for (int r = kHeight - 1; r >= 0; --r, destination += row) std::memcpy(destination, &rgb[r * row], row);
        benchmark::DoNotOptimize(client[turn].data());
        benchmark::ClobberMemory();
        turn ^= 1;
    }
    FreePipeline(pipeline);
}

// What the pin's Process does for a new picture now: the conversion straight
// into the client's frame, bottom row first, with no RGB image and no copy.
// Two client frames in turn, as above.
void ConversionIntoFrame(benchmark::State& state) {
    sim::SimulatedCamera camera;
    std::vector<uint8_t> raw = camera.ExpectedRawFrame();
    std::vector<uint8_t> client[2] = {std::vector<uint8_t>(kImageBytes), std::vector<uint8_t>(kImageBytes)};
    ImagePipeline* pipeline = CreatePipeline();
    SetPipelineGeometry(pipeline, kWidth, kHeight);
    AllocateWorkingBuffer(pipeline);
    const LONG_PTR row = kWidth * 4;
    int turn = 0;
    for (auto _ : state) {
        uint8_t* lastRow = client[turn].data() + (kHeight - 1) * row;
        ConvertFrameToRows(pipeline, raw.data(), RawDataOffset, RawLinePitch, lastRow, -row);
        benchmark::DoNotOptimize(client[turn].data());
        benchmark::ClobberMemory();
        turn ^= 1;
    }
    FreePipeline(pipeline);
}

// What the paced stream's camera sees and the driver does with it.
struct StreamSettings {
    bool whiteBalance = false;
    uint32_t noise = 0;  // the camera's noise amplitude per sample
};

// A plugged camera streaming into a client with two frames in flight.
class Stream {
public:
    explicit Stream(double cameraFps, const StreamSettings& settings = StreamSettings()) {
        rig::Options options;
        options.cameraFps = cameraFps;
        options.frameStamp = true;
        std::string error;
        rig_ = rig::PluggedCamera::Make(options, &error);
        ok_ = rig_ && NT_SUCCESS(rig_->PlugIn()) && NT_SUCCESS(rig_->OpenFilter());
        if (ok_) rig_->Camera().SetNoise(settings.noise);
        LONG on = 1;
        if (ok_ && settings.whiteBalance)
            ok_ = NT_SUCCESS(rig::SendCameraValue(rig_->Filter(), PropertyWhiteBalance, KSPROPERTY_TYPE_SET, &on));
        std::vector<uint8_t> format;
        ok_ = ok_ && NT_SUCCESS(rig_->Filter().Intersect(0, rig_->Filter().DataRanges(0)[0].data(), &format)) &&
              NT_SUCCESS(rig_->Filter().CreatePin(0, format.data(), &pin_));
        if (!ok_) return;
        pin_->SetClock(&clock_);
        ok_ = NT_SUCCESS(pin_->SetState(KSSTATE_RUN));
        // Frame buffers from the stand-in, so the client's frames reach the
        // driver with no copy that the platform would not make.
        for (auto& buffer : buffers_) {
            buffer = std::make_unique<hostks::FrameBuffer>(kImageBytes);
            pin_->SubmitFrame(buffer->data(), kImageBytes);
        }
    }
    ~Stream() {
        if (pin_) pin_->Close();
        if (rig_) rig_->Close(nullptr);
    }
    bool ok() const { return ok_; }
    // Waits for a frame with a new picture, handing every frame back.
    bool NextNew() {
        for (;;) {
            hostks::CompletedFrame frame;
            if (!pin_->WaitForFrame(&frame, std::chrono::seconds(10)) || frame.dataUsed != kImageBytes) return false;
            // Rows come bottom-up: the stamp is at the start of the last row.
            const uint8_t* stamp = frame.data + kImageBytes - kWidth * 4;
            const bool fresh = std::memcmp(stamp, lastStamp_, sizeof lastStamp_) != 0;
            std::memcpy(lastStamp_, stamp, sizeof lastStamp_);
            pin_->SubmitFrame(frame.data, kImageBytes);
            if (fresh) return true;
            ++repeats_;
        }
    }
    long repeats() const { return repeats_; }
    uint64_t sent() const { return rig_->Camera().Counters().framesSent; }

private:
    std::unique_ptr<rig::PluggedCamera> rig_;
    std::unique_ptr<hostks::KsPin> pin_;
    hostks::ReferenceClock clock_;
    std::unique_ptr<hostks::FrameBuffer> buffers_[2];
    uint8_t lastStamp_[sim::kFrameStampSamples * 4] = {};
    long repeats_ = 0;
    bool ok_ = false;
};

void DeliveredUnpaced(benchmark::State& state) {
    Stream stream(0);
    if (!stream.ok()) {
        state.SkipWithError("the stream did not start");
        return;
    }
    stream.NextNew();  // the first frame carries the start-up
    long repeatsBefore = stream.repeats();
    uint64_t sentBefore = stream.sent();
    for (auto _ : state) {
        if (!stream.NextNew()) {
            state.SkipWithError("no frame came");
            break;
        }
    }
    // Camera frames read per new picture (the newest frame wins, the others
    // are overwritten unconverted) and pictures delivered again per new one.
    const double frames = static_cast<double>(state.iterations());
    state.counters["reads_per_new"] = static_cast<double>(stream.sent() - sentBefore) / frames;
    state.counters["repeats_per_new"] = static_cast<double>(stream.repeats() - repeatsBefore) / frames;
}

// A fixed count of frames each, so a brief run (--benchmark_min_time) still
// averages over more than the frames already in flight at the start.
BENCHMARK(ConversionAndCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(120);
BENCHMARK(ConversionIntoFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(120);
BENCHMARK(DeliveredUnpaced)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(120);

double ProcessCpuSeconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

// CPU seconds so far of the process's threads, by who they work for. The
// threads are told apart by the names the stand-ins give them for debuggers
// ("system-thread": the driver's capture thread; "ks-process": the class's
// worker running the pin's Process; "sim-frames": the camera's rendering).
struct ThreadCpu {
    double capture = 0;  // the driver's capture thread
    double process = 0;  // Process: conversion and copy
    double camera = 0;
    double other = 0;
};

// A thread's own CPU clock, the one pthread_getcpuclockid gives for it:
// the kernel names a thread's clock by its id as ~tid << 3 | 6 (a per-thread
// scheduler clock). The benchmark reaches the stand-ins' threads only by their
// ids in /proc, not by pthread handles.
double ThreadCpuSeconds(pid_t tid) {
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6u);
    timespec t;
    if (clock_gettime(clock, &t) != 0) return 0;  // the thread has just ended
    return t.tv_sec + t.tv_nsec / 1e9;
}

ThreadCpu SampleThreadCpu() {
    ThreadCpu cpu;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return cpu;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        const pid_t tid = static_cast<pid_t>(std::atoi(entry->d_name));
        std::string name;
        std::ifstream(std::string("/proc/self/task/") + entry->d_name + "/comm") >> name;
        const double seconds = ThreadCpuSeconds(tid);
        if (name == "system-thread") {
            cpu.capture += seconds;
        } else if (name == "ks-process") {
            cpu.process += seconds;
        } else if (name == "sim-frames") {
            cpu.camera += seconds;
        } else {
            cpu.other += seconds;
        }
    }
    closedir(tasks);
    return cpu;
}

// CPU time per new picture at 30 frames a second: the whole process, and
// split by thread.
struct PacedCost {
    double total;
    ThreadCpu threads;
    double repeatsPerNew;  // pictures delivered again per new one
};

bool CpuPerPacedFrame(int frames, const StreamSettings& settings, PacedCost* cost) {
    Stream stream(30, settings);
    if (!stream.ok() || !stream.NextNew()) return false;
    const double start = ProcessCpuSeconds();
    const ThreadCpu before = SampleThreadCpu();
    const long repeatsBefore = stream.repeats();
    for (int i = 0; i < frames; ++i)
        if (!stream.NextNew()) return false;
    const ThreadCpu after = SampleThreadCpu();
    cost->total = (ProcessCpuSeconds() - start) / frames;
    cost->threads.capture = (after.capture - before.capture) / frames;
    cost->threads.process = (after.process - before.process) / frames;
    cost->threads.camera = (after.camera - before.camera) / frames;
    cost->threads.other = (after.other - before.other) / frames;
    cost->repeatsPerNew = static_cast<double>(stream.repeats() - repeatsBefore) / frames;
    return true;
}

// The measurements alternate for several rounds, and each ratio is the
// median of the rounds' ratios: this machine's speed drifts by a fifth from
// one second to the next, and measurements taken apart would carry that drift.
constexpr int kRounds = 7;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double MedianRoundRatio(const std::vector<double>& convert, const std::vector<double>& delivered) {
    std::vector<double> ratios;
    for (size_t i = 0; i < convert.size(); ++i) ratios.push_back(convert[i] / delivered[i]);
    return Median(ratios);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter(RecordingReporter::Clock::Real);
    for (int round = 0; round < kRounds; ++round) benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& t = reporter.rounds;
    const char* const needed[] = {"ConversionAndCopy", "ConversionIntoFrame", "DeliveredUnpaced"};
    for (const char* name : needed) {
        if (!t.count(name) || t[name].size() != static_cast<size_t>(kRounds)) {
            std::printf("the ratios need ConversionAndCopy, ConversionIntoFrame and DeliveredUnpaced in every round\n");
            return 1;
        }
    }
    double copyFps = 1 / Median(t["ConversionAndCopy"]);
    double directFps = 1 / Median(t["ConversionIntoFrame"]);
    double deliveredFps = 1 / Median(t["DeliveredUnpaced"]);
    double directOverCopy = MedianRoundRatio(t["ConversionIntoFrame"], t["ConversionAndCopy"]);
    double ratio = MedianRoundRatio(t["ConversionIntoFrame"], t["DeliveredUnpaced"]);
    PacedCost paced, balanced;
    StreamSettings noisyWhiteBalanced;
    noisyWhiteBalanced.whiteBalance = true;
    noisyWhiteBalanced.noise = 4;
    if (!CpuPerPacedFrame(90, StreamSettings(), &paced) || !CpuPerPacedFrame(90, noisyWhiteBalanced, &balanced)) {
        std::printf("the paced stream delivered no frames\n");
        return 1;
    }
    std::printf("medians of %d rounds: conversion into the client's frame %.1f fps, conversion+copy %.1f fps "
                "(time ratio %.2f); new pictures delivered, camera unpaced, %.1f fps\n",
                kRounds, directFps, copyFps, directOverCopy, deliveredFps);
    std::printf("camera paced at 30 fps: %.2f ms CPU per new picture (camera, driver and client)\n",
                paced.total * 1000);
    std::printf("  of which the driver %.2f ms (capture thread %.2f, Process with the conversion %.2f); "
                "simulated camera rendering %.2f ms; client and USB stand-in %.2f ms\n",
                (paced.threads.capture + paced.threads.process) * 1000, paced.threads.capture * 1000,
                paced.threads.process * 1000, paced.threads.camera * 1000, paced.threads.other * 1000);
    std::printf("  %.2f repeated pictures delivered per new one\n", paced.repeatsPerNew);
    std::printf("  with white balance on, camera noise +-%u: the driver %.2f ms (capture thread %.2f, Process %.2f)\n",
                noisyWhiteBalanced.noise, (balanced.threads.capture + balanced.threads.process) * 1000,
                balanced.threads.capture * 1000, balanced.threads.process * 1000);
    if (hostk::ViolationCount() != 0) std::printf("platform rules broken:\n%s", hostk::ViolationText().c_str());
    std::printf("delivered fps / conversion into the client's frame fps = %.2f\n", ratio);
    return 0;
}
