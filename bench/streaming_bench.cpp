// What the streaming path costs next to the work it cannot avoid.
//
// ConversionAndCopy: the per-frame work of the pin's Process routine alone
// (ConvertFrame of a 1600 x 1200 raw frame, then the bottom-up copy into a
// client frame) on this machine, in this run. DeliveredUnpaced: the whole
// stack (simulated camera sending as fast as asked, USB stand-in, capture
// thread, the class's processing, the client's two frames) delivering
// frames. Their ratio says how much of the machine's conversion speed
// reaches the client; then the CPU time per delivered frame with the camera
// paced at 30 frames a second (camera, driver and client together).
// The last line is `delivered fps / conversion+copy fps = R`.
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/kernel/violations.h"
#include "host/ks/ks_client.h"
#include "pipeline/convert_frame.h"
#include "pipeline/image_pipeline.h"
#include "sim/simulated_camera.h"

#include "recording_reporter.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace {

constexpr int kWidth = 1600;
constexpr int kHeight = 1200;
constexpr size_t kImageBytes = static_cast<size_t>(kWidth) * kHeight * 4;

void ConversionAndCopy(benchmark::State& state) {
    sim::SimulatedCamera camera;
    std::vector<uint8_t> raw = camera.ExpectedRawFrame();
    ImagePipeline* pipeline = CreatePipeline();
    SetPipelineGeometry(pipeline, kWidth, kHeight);
    AllocateWorkingBuffer(pipeline);
    std::vector<uint8_t> rgb(kImageBytes);
    std::vector<uint8_t> client(kImageBytes);
    pipeline->outputBuffer = rgb.data();
    const size_t row = kWidth * 4;
    for (auto _ : state) {
        ConvertFrame(pipeline, raw.data(), RAW_DATA_OFFSET, RAW_LINE_PITCH);
        uint8_t* destination = client.data();
        for (int r = kHeight - 1; r >= 0; --r, destination += row) std::memcpy(destination, &rgb[r * row], row);
        benchmark::DoNotOptimize(client.data());
        benchmark::ClobberMemory();
    }
    FreePipeline(pipeline);
}

// A plugged camera streaming into a client with two frames in flight.
class Stream {
public:
    explicit Stream(double cameraFps) {
        camera_.SetFrameRate(cameraFps);
        pnp_ = std::make_unique<hostks::PnpDevice>(DriverEntry, &camera_);
        ok_ = NT_SUCCESS(hostks::PlugIn(*pnp_)) && NT_SUCCESS(hostks::KsFilter::Open(*pnp_, &filter_));
        std::vector<uint8_t> format;
        ok_ = ok_ && NT_SUCCESS(filter_->Intersect(0, filter_->DataRanges(0)[0].data(), &format)) &&
              NT_SUCCESS(filter_->CreatePin(0, format.data(), &pin_));
        if (!ok_) return;
        pin_->SetClock(&clock_);
        ok_ = NT_SUCCESS(pin_->SetState(KSSTATE_RUN));
        for (auto& buffer : buffers_) {
            buffer.resize(kImageBytes);
            pin_->SubmitFrame(buffer.data(), kImageBytes);
        }
    }
    ~Stream() {
        if (pin_) pin_->Close();
        if (filter_) filter_->Close();
        hostks::Unplug(*pnp_);
    }
    bool ok() const { return ok_; }
    // Waits for the next frame and hands its buffer back.
    bool Next() {
        hostks::CompletedFrame frame;
        if (!pin_->WaitForFrame(&frame, std::chrono::seconds(10)) || frame.dataUsed != kImageBytes) return false;
        pin_->SubmitFrame(frame.data, kImageBytes);
        return true;
    }

private:
    sim::SimulatedCamera camera_;
    std::unique_ptr<hostks::PnpDevice> pnp_;
    std::unique_ptr<hostks::KsFilter> filter_;
    std::unique_ptr<hostks::KsPin> pin_;
    hostks::ReferenceClock clock_;
    std::vector<uint8_t> buffers_[2];
    bool ok_ = false;
};

void DeliveredUnpaced(benchmark::State& state) {
    Stream stream(0);
    if (!stream.ok()) {
        state.SkipWithError("the stream did not start");
        return;
    }
    stream.Next();  // the first frame carries the start-up
    for (auto _ : state) {
        if (!stream.Next()) {
            state.SkipWithError("no frame came");
            break;
        }
    }
}

// A fixed count of frames each, so a brief run (--benchmark_min_time) still
// averages over more than the frames already in flight at the start.
BENCHMARK(ConversionAndCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(120);
BENCHMARK(DeliveredUnpaced)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(120);

double ProcessCpuSeconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

// CPU time of the whole process per frame delivered at 30 frames a second.
double CpuPerPacedFrame(int frames) {
    Stream stream(30);
    if (!stream.ok() || !stream.Next()) return -1;
    double start = ProcessCpuSeconds();
    for (int i = 0; i < frames; ++i)
        if (!stream.Next()) return -1;
    return (ProcessCpuSeconds() - start) / frames;
}


}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter(RecordingReporter::Clock::Real);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& t = reporter.seconds;
    if (!t.count("ConversionAndCopy") || !t.count("DeliveredUnpaced")) {
        std::printf("the ratio needs ConversionAndCopy and DeliveredUnpaced in the run\n");
        return 1;
    }
    double convertFps = 1 / t["ConversionAndCopy"];
    double deliveredFps = 1 / t["DeliveredUnpaced"];
    double cpu = CpuPerPacedFrame(15);
    if (cpu < 0) {
        std::printf("the paced stream delivered no frames\n");
        return 1;
    }
    std::printf("conversion+copy: %.1f fps; delivered, camera unpaced: %.1f fps\n", convertFps, deliveredFps);
    std::printf("camera paced at 30 fps: %.2f ms CPU per delivered frame (camera, driver and client)\n", cpu * 1000);
    if (hostk::ViolationCount() != 0) std::printf("platform rules broken:\n%s", hostk::ViolationText().c_str());
    std::printf("delivered fps / conversion+copy fps = %.2f\n", deliveredFps / convertFps);
    return 0;
}
