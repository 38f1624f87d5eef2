// The chunked frame read and the command transfers against the simulated
// camera: chunk arithmetic, timeouts, failed chunks, cancellation, allocation
// failures and cameras that stop answering.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "driver/camera/camera_commands.h"
#include "driver/camera/frame_geometry.h"
#include "host/kernel/violations.h"
#include "tests/support/plugged_camera.h"

using namespace std::chrono_literals;
using testrig::DriverTest;

namespace {

constexpr ULONG kFullFrame = 2315264;

// Forwards everything to the simulated camera and notes, in order, each bulk
// transfer handed down and each command packet's code.
class RecordingDevice : public hostusb::UsbDevice {
public:
    explicit RecordingDevice(sim::SimulatedCamera* camera) : camera_(camera) {}
    uint32_t ControlTransfer(const hostusb::SetupPacket& s, uint8_t* d, uint32_t* t) override {
        return camera_->ControlTransfer(s, d, t);
    }
    uint32_t SetConfiguration(uint8_t v) override { return camera_->SetConfiguration(v); }
    uint32_t ResetPipe(uint8_t e) override { return camera_->ResetPipe(e); }
    void SubmitBulk(hostusb::BulkTransfer* t) override {
        std::function<void(hostusb::BulkTransfer*)> hook;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (t->endpoint == 0x82) events_.push_back("chunk " + std::to_string(t->length));
            if (t->endpoint == 0x01 && (t->buffer[0] == 2 || t->buffer[0] == 3))
                events_.push_back("command " + std::to_string(t->buffer[0]));
            if (t->endpoint == 0x82) hook.swap(beforeFrameSubmit_);
        }
        if (hook) hook(t);
        camera_->SubmitBulk(t);
    }
    void CancelBulk(hostusb::BulkTransfer* t) override {
        camera_->CancelBulk(t);  // before it is noted, so the camera has had it
        {
            std::lock_guard<std::mutex> hold(lock_);
            cancelled_.push_back(t);
        }
        cancelSeen_.notify_all();
    }
    uint32_t GetPortStatus(uint32_t* s) override { return camera_->GetPortStatus(s); }
    uint32_t ResetPort() override { return camera_->ResetPort(); }

    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> hold(lock_);
        return events_;
    }
    void Clear() {
        std::lock_guard<std::mutex> hold(lock_);
        events_.clear();
    }
    // Runs once, just before the next frame transfer reaches the camera.
    void BeforeNextFrameSubmit(std::function<void(hostusb::BulkTransfer*)> hook) {
        std::lock_guard<std::mutex> hold(lock_);
        beforeFrameSubmit_ = std::move(hook);
    }
    bool WaitForCancelOf(hostusb::BulkTransfer* t, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> hold(lock_);
        return cancelSeen_.wait_for(hold, timeout, [&] {
            return std::find(cancelled_.begin(), cancelled_.end(), t) != cancelled_.end();
        });
    }

private:
    sim::SimulatedCamera* camera_;
    std::mutex lock_;
    std::condition_variable cancelSeen_;
    std::vector<std::string> events_;
    std::vector<hostusb::BulkTransfer*> cancelled_;
    std::function<void(hostusb::BulkTransfer*)> beforeFrameSubmit_;
};

class FrameReadTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        rig.Plug();
        context = rig.Context();
        context->ProgramFrameGeometry();
        buffer.assign(kFullFrame, 0xAB);
    }
    NTSTATUS Read(ULONG length) { return ReadFrameChunked(&context->link, length, buffer.data(), context); }

    DeviceContext* context = nullptr;
    std::vector<UCHAR> buffer;
};

TEST_F(DriverTest, ChunksAreSizedFromTheLengthAndAllPostedBeforeCommand03) {
    RecordingDevice recorder(&rig.Camera());
    {
        std::unique_ptr<hostks::PnpDevice> pnp = rig::MakePnpDevice(&recorder);
        ASSERT_EQ(hostks::PlugIn(*pnp), STATUS_SUCCESS);
        DeviceContext* context = DeviceContextOf(pnp->KsDevice());
        std::vector<UCHAR> buffer(kFullFrame);
        struct Case {
            ULONG length;
            std::vector<std::string> chunks;
        };
        std::vector<std::string> full(35, "chunk 65536");
        full.push_back("chunk 21504");
        const Case cases[] = {
            {131072, {"chunk 65536", "chunk 65536"}},
            {1000, {"chunk 1000"}},
            {kFullFrame, full},
        };
        for (const Case& c : cases) {
            recorder.Clear();
            ASSERT_EQ(ReadFrameChunked(&context->link, c.length, buffer.data(), context), STATUS_SUCCESS);
            std::vector<std::string> expected = {"command 2"};
            expected.insert(expected.end(), c.chunks.begin(), c.chunks.end());
            expected.push_back("command 3");
            EXPECT_EQ(recorder.Events(), expected) << "length " << c.length;
            EXPECT_EQ(FrameBytesReceived(&context->link), c.length);
            EXPECT_EQ(context->link.chunkTable, nullptr);
        }
    }
    EXPECT_EQ(hostk::PoolTotals().liveBlocks, 0u) << hostk::PoolLeakReport();
}

TEST_F(DriverTest, ACancelThatReachesAChunkBeforeTheCameraHasItStillEndsTheRead) {
    // The cancel routine of a chunk runs while the chunk is still on its way
    // to the camera, which ignores a cancel for a transfer it does not know.
    // The cancel must not be lost: the read still ends at once.
    rig::SetReadTimeout(20000);
    RecordingDevice recorder(&rig.Camera());
    {
        std::unique_ptr<hostks::PnpDevice> pnp = rig::MakePnpDevice(&recorder);
        ASSERT_EQ(hostks::PlugIn(*pnp), STATUS_SUCCESS);
        DeviceContext* context = DeviceContextOf(pnp->KsDevice());
        context->ProgramFrameGeometry();
        rig.Camera().HoldFrames();
        std::vector<UCHAR> buffer(kFullFrame);
        std::future<void> canceller;
        recorder.BeforeNextFrameSubmit([&](hostusb::BulkTransfer* first) {
            canceller = std::async(std::launch::async, [context] { context->CancelPendingReads(); });
            EXPECT_TRUE(recorder.WaitForCancelOf(first, 5000ms));
        });
        auto read = std::async(std::launch::async,
                               [&] { return ReadFrameChunked(&context->link, kFullFrame, buffer.data(), context); });
        ASSERT_EQ(read.wait_for(10000ms), std::future_status::ready);
        EXPECT_EQ(read.get(), STATUS_CANCELLED);
        ASSERT_EQ(canceller.wait_for(10000ms), std::future_status::ready);
        EXPECT_EQ(pnp->UsbStack().TransfersInFlight(), 0u);
        rig.Camera().ReleaseFrames();
    }
    EXPECT_EQ(hostk::PoolTotals().liveBlocks, 0u) << hostk::PoolLeakReport();
}

TEST_F(FrameReadTest, AWholeFrameArrivesAsTheCameraRenderedIt) {
    BOOLEAN success = FALSE;
    EXPECT_TRUE(context->ReadRawFrame(buffer.data(), &success));
    EXPECT_TRUE(success);
    EXPECT_EQ(FrameBytesReceived(&context->link), kFullFrame);
    std::vector<uint8_t> expected = rig.Camera().ExpectedRawFrame();
    ASSERT_EQ(expected.size(), buffer.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
    // Command02 of ReadRawFrame, then the read's own Command02 and Command03.
    auto commands = testrig::LinesStartingWith(rig.Camera().TraceLines(), "BULK_OUT 0 64 0");
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands[commands.size() - 3], testrig::CommandLine({0x02}));
    EXPECT_EQ(commands[commands.size() - 2], testrig::CommandLine({0x02}));
    EXPECT_EQ(commands.back(), testrig::CommandLine({0x03}));
}

TEST_F(FrameReadTest, ACameraThatSendsNothingTimesOutAndLeavesNoChunkInFlight) {
    rig::SetReadTimeout(200);
    rig.Camera().SetSendNothing(true);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(kFullFrame), STATUS_TIMEOUT);
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(took, 190ms);
    EXPECT_EQ(rig.Pnp().UsbStack().TransfersInFlight(), 0u);
    EXPECT_EQ(rig.Camera().PendingTransfers(0x82), 0u);
    EXPECT_EQ(context->link.chunkTable, nullptr);
    EXPECT_EQ(context->link.frameMdl, nullptr);
}

TEST_F(FrameReadTest, AFailedChunkStillLetsTheReadSucceedWithoutItsBytes) {
    rig.Camera().FailFrameChunk(3);
    EXPECT_EQ(Read(kFullFrame), STATUS_SUCCESS);
    EXPECT_EQ(FrameBytesReceived(&context->link), kFullFrame - 65536);
    std::vector<uint8_t> expected = rig.Camera().ExpectedRawFrame();
    for (size_t i = 3 * 65536; i < 4 * 65536; i += 4099) EXPECT_EQ(buffer[i], 0xAB) << i;
    EXPECT_EQ(buffer[2 * 65536 + 17], expected[2 * 65536 + 17]);
    EXPECT_EQ(buffer[4 * 65536 + 17], expected[4 * 65536 + 17]);
}

TEST_F(FrameReadTest, CancellingAReadInFlightEndsItAtOnce) {
    // A read that were not cancelled would wait its whole timeout; the
    // bounds below leave a loaded machine plenty of room below that.
    rig::SetReadTimeout(20000);
    rig.Camera().HoldFrames();
    auto read = std::async(std::launch::async, [this] { return Read(kFullFrame); });
    ASSERT_TRUE(rig.Camera().WaitForPendingTransfers(0x82, 36, 2000ms));
    auto begin = std::chrono::steady_clock::now();
    context->CancelPendingReads();
    ASSERT_EQ(read.wait_for(10000ms), std::future_status::ready);
    EXPECT_EQ(read.get(), STATUS_CANCELLED);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 10000ms);
    EXPECT_EQ(rig.Pnp().UsbStack().TransfersInFlight(), 0u);
    rig.Camera().ReleaseFrames();
    // The next read is not affected by the cancel of the last one.
    EXPECT_EQ(Read(kFullFrame), STATUS_SUCCESS);
}

TEST_F(FrameReadTest, CancelWithNoReadInFlightDoesNothing) {
    context->CancelPendingReads();
    EXPECT_EQ(Read(kFullFrame), STATUS_SUCCESS);
}

TEST_F(FrameReadTest, ALargeTimeoutDoesNotWrapIntoAShortWait) {
    // 429497 ms scaled in 32 bits would wrap to 0.27 ms.
    rig::SetReadTimeout(429497);
    rig.Camera().HoldFrames();
    std::thread release([this] {
        std::this_thread::sleep_for(100ms);
        rig.Camera().StepFrames(1);
    });
    EXPECT_EQ(Read(kFullFrame), STATUS_SUCCESS);
    release.join();
}

TEST_F(FrameReadTest, EveryAllocationFailureOfAReadLeaksNothingAndHangsNothing) {
    size_t baseline = hostk::PoolTotals().liveBlocks;
    size_t before = hostk::PoolTotals().totalAllocations;
    ASSERT_EQ(Read(kFullFrame), STATUS_SUCCESS);
    size_t perRead = hostk::PoolTotals().totalAllocations - before;
    ASSERT_GE(perRead, 36u * 3 + 2);
    // Without the Command03 URB the camera is never asked for the frame and
    // the read times out: that is the only way a failure may end other than
    // STATUS_INSUFFICIENT_RESOURCES.
    rig::SetReadTimeout(300);
    for (size_t n = 1; n <= perRead; ++n) {
        hostk::PoolFailNthAllocation(n);
        NTSTATUS status = Read(kFullFrame);
        hostk::PoolResetFaults();
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_TIMEOUT)
            << n << ": " << std::hex << status;
        ASSERT_EQ(rig.Pnp().UsbStack().TransfersInFlight(), 0u) << "allocation " << n;
        ASSERT_EQ(hostk::PoolTotals().liveBlocks, baseline) << "allocation " << n << "\n" << hostk::PoolLeakReport();
    }
    EXPECT_EQ(Read(kFullFrame), STATUS_SUCCESS);
}

TEST_F(FrameReadTest, ReadingWithoutConfigurationOrFramePipeIsRefused) {
    PUSBD_INTERFACE_INFORMATION info = context->link.interfaceInfo;
    context->link.interfaceInfo = nullptr;
    EXPECT_EQ(Read(kFullFrame), STATUS_UNSUCCESSFUL);
    context->link.interfaceInfo = info;
    ULONG pipes = info->NumberOfPipes;
    info->NumberOfPipes = 2;
    EXPECT_EQ(Read(kFullFrame), STATUS_INVALID_PARAMETER);
    info->NumberOfPipes = pipes;
    USBD_PIPE_HANDLE handle = info->Pipes[2].PipeHandle;
    info->Pipes[2].PipeHandle = nullptr;
    EXPECT_EQ(Read(kFullFrame), STATUS_UNSUCCESSFUL);
    info->Pipes[2].PipeHandle = handle;
}

TEST_F(FrameReadTest, PipeTransferChecksThePipeAndReportsShortReplies) {
    UCHAR packet[64] = {};
    ULONG moved = 99;
    EXPECT_EQ(PipeTransfer(&context->link, 3, packet, &moved), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(moved, 0u);
    context->link.interfaceInfo->Pipes[0].MaximumTransferSize = 63;
    EXPECT_EQ(PipeTransfer(&context->link, 0, packet, &moved), STATUS_INVALID_PARAMETER);
    context->link.interfaceInfo->Pipes[0].MaximumTransferSize = 0xFFFFFFFF;

    rig.Camera().SetReplyFault(sim::ReplyFault::kShorten, 1, 20, 0);
    packet[0] = QueryStatusCode;
    ASSERT_EQ(PipeTransfer(&context->link, CommandPipe, packet, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 64u);
    EXPECT_EQ(PipeTransfer(&context->link, ReplyPipe, packet, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 20u);
    EXPECT_EQ(PipeTransfer(&context->link, ReplyPipe, packet, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 64u);
}

TEST_F(FrameReadTest, ACommandTheCameraNeverAnswersIsCancelledAfterTheBound) {
    rig::SetUsbRequestTimeout(150);
    rig.Camera().HangNextRequests(1);
    UCHAR packet[64] = {0x0A};
    ULONG moved = 0;
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(PipeTransfer(&context->link, CommandPipe, packet, &moved), STATUS_IO_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 140ms);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(rig.Pnp().UsbStack().TransfersInFlight(), 0u);
    // A reply that never comes is bounded the same way.
    EXPECT_EQ(PipeTransfer(&context->link, ReplyPipe, packet, &moved), STATUS_IO_TIMEOUT);
    EXPECT_EQ(PipeTransfer(&context->link, CommandPipe, packet, &moved), STATUS_SUCCESS);
}

TEST_F(FrameReadTest, InterfaceSearchStopsWhenTheDescriptorListsFewerInterfaces) {
    // One interface with three endpoints, but bNumInterfaces claims five.
    PUSB_CONFIGURATION_DESCRIPTOR original = context->link.configurationDescriptor;
    std::vector<UCHAR> copy(reinterpret_cast<PUCHAR>(original), reinterpret_cast<PUCHAR>(original) + original->wTotalLength);
    auto* claimed = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy.data());
    claimed->bNumInterfaces = 5;
    ReleaseConfiguration(&context->link);
    EXPECT_EQ(SelectConfiguration(&context->link, claimed), STATUS_SUCCESS);
    ASSERT_NE(context->link.interfaceInfo, nullptr);
    EXPECT_EQ(context->link.interfaceInfo->NumberOfPipes, 3u);
    ReleaseConfiguration(&context->link);
    // No interface at all: refused without a request to the camera.
    claimed->wTotalLength = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    EXPECT_EQ(SelectConfiguration(&context->link, claimed), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(context->link.interfaceInfo, nullptr);
}

}  // namespace
