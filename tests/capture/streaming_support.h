// Helpers of the streaming tests: a plugged camera with its filter open
// through the client API, the offered format, client frame buffers with a
// guard zone, and the image a frame should carry, converted from the raw
// frame the simulator renders by an independent pipeline with the scalar
// kernel.
#pragma once

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "driver/capture/capture_worker.h"
#include "driver/device/read_timeout.h"
#include "host/ks/ks_client.h"
#include "driver/pipeline/convert_frame.h"
#include "driver/pipeline/image_pipeline.h"
#include "tests/support/plugged_camera.h"

namespace streaming_test {

using namespace std::chrono_literals;

constexpr ULONG kImageBytes = 1600 * 1200 * 4;
constexpr uint8_t kUnwritten = 0x5A;
constexpr size_t kGuard = 4096;

// Polls `done` until it holds or five seconds pass (a test that fails
// instead of hanging).
inline bool Eventually(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A client frame buffer of `size` bytes followed by a guard zone.
struct ClientBuffer {
    explicit ClientBuffer(ULONG size = kImageBytes) : size(size), bytes(size + kGuard, kUnwritten) {}
    uint8_t* data() { return bytes.data(); }
    bool GuardIntact() const {
        for (size_t i = size; i < bytes.size(); ++i)
            if (bytes[i] != kUnwritten) return false;
        return true;
    }
    bool Untouched() const {
        for (uint8_t b : bytes)
            if (b != kUnwritten) return false;
        return true;
    }
    ULONG size;
    std::vector<uint8_t> bytes;
};

// The BGRA image (top row first, 1600 x height) the driver should make of
// `raw` with the settings of a freshly started camera.
inline std::vector<uint8_t> ExpectedImage(const std::vector<uint8_t>& raw, int height = 1200) {
    ImagePipeline* pipeline = CreatePipeline();
    SetPipelineGeometry(pipeline, 1600, height);
    AllocateWorkingBuffer(pipeline);
    std::vector<uint8_t> image(static_cast<size_t>(1600) * height * 4);
    pipeline->outputBuffer = image.data();
    ConvertFrameWithKernel(pipeline, raw.data(), RawDataOffset, RawLinePitch, ConversionKernelScalar);
    FreePipeline(pipeline);
    return image;
}

// True when `frame` holds `image` bottom row first, rows `stride` bytes apart.
inline bool HoldsBottomUp(const uint8_t* frame, const std::vector<uint8_t>& image, size_t stride = 1600 * 4,
                          int height = 1200) {
    const size_t row = 1600 * 4;
    for (int r = 0; r < height; ++r) {
        if (std::memcmp(frame + r * stride, &image[(height - 1 - r) * row], row) != 0) return false;
    }
    return true;
}

class StreamingTest : public testrig::DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        rig.Plug();
        ASSERT_EQ(hostks::KsFilter::Open(rig.Pnp(), &filter), STATUS_SUCCESS);
    }

    void TearDown() override {
        pin.reset();
        if (filter) {
            EXPECT_EQ(filter->Close(), STATUS_SUCCESS);
        }
        filter.reset();
        DriverTest::TearDown();
    }

    CaptureWorker* Worker() { return rig.Context()->worker; }

    // Holds the camera's frames until the test steps them. The thread's read
    // then waits for as long as the test takes to get there (seconds under
    // ThreadSanitizer on a busy machine), so reads wait ten minutes before
    // they time out: one timing out would lose the frame stepped next.
    void HoldCamera() {
        rig::SetReadTimeout(600000);
        rig.Camera().HoldFrames();
    }

    // The range the pin offers, as a caller would echo it.
    std::vector<uint8_t> OfferedRange() {
        auto ranges = filter->DataRanges(0);
        EXPECT_EQ(ranges.size(), 1u);
        return ranges.empty() ? std::vector<uint8_t>() : ranges[0];
    }

    // The format the intersection picks from the offered range.
    std::vector<uint8_t> OfferedFormat() {
        std::vector<uint8_t> range = OfferedRange();
        std::vector<uint8_t> format;
        EXPECT_EQ(filter->Intersect(0, range.data(), &format), STATUS_SUCCESS);
        return format;
    }

    static KS_VIDEOINFOHEADER& VideoInfo(std::vector<uint8_t>& format) {
        return reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader;
    }

    // Creates the pin with `format` (the offered one when empty).
    void CreatePin(std::vector<uint8_t> format = {}) {
        if (format.empty()) format = OfferedFormat();
        ASSERT_EQ(filter->CreatePin(0, format.data(), &pin), STATUS_SUCCESS);
    }

    // Waits for the next frame the pin hands back.
    hostks::CompletedFrame NextFrame() {
        hostks::CompletedFrame frame;
        EXPECT_TRUE(pin->WaitForFrame(&frame, 5s)) << "no frame came back";
        return frame;
    }

    LONG FramesRead() { return InterlockedExchangeAdd(&Worker()->framesRead, 0); }

    // A raw buffer's state, read under the lock the thread and Process share.
    LONG BufferState(int i) {
        KIRQL irql;
        KeAcquireSpinLock(&Worker()->bufferLock, &irql);
        LONG state = Worker()->bufferState[i];
        KeReleaseSpinLock(&Worker()->bufferLock, irql);
        return state;
    }

    std::unique_ptr<hostks::KsFilter> filter;
    std::unique_ptr<hostks::KsPin> pin;
};

}  // namespace streaming_test
