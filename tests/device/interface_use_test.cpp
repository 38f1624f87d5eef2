// The selected interface's pipes are read by property transfers and by the
// capture thread on their own threads, while the streaming class may stop
// the device at any time. A stop waits for every use and only then frees the
// interface; after it, transfers are refused instead of reading freed pipes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host/ks/ks_client.h"
#include "tests/support/plugged_camera.h"

using namespace std::chrono_literals;
using testrig::DriverTest;

namespace {

TEST_F(DriverTest, StopWaitsForACommandTransferStillUsingThePipes) {
    rig.Plug();
    rig::SetUsbRequestTimeout(1000);
    rig.Camera().HangNextRequests(1);
    std::atomic<bool> transferDone{false};
    NTSTATUS transferStatus = STATUS_SUCCESS;
    std::thread client([&] {
        UCHAR packet[CommandPacketSize] = {0x06};
        ULONG moved = 0;
        transferStatus = PipeTransfer(&rig.Context()->link, CommandPipe, packet, &moved);
        transferDone = true;
    });
    bool hung = rig.Camera().WaitForPendingTransfers(0x01, 1, 2s);
    if (!hung) client.join();
    ASSERT_TRUE(hung) << std::hex << transferStatus;
    rig.Stop();
    // The interface was freed only once the transfer had given up on the
    // hung packet.
    EXPECT_TRUE(transferDone);
    client.join();
    EXPECT_EQ(transferStatus, STATUS_IO_TIMEOUT);
    EXPECT_EQ(hostk::PoolTagStats('QLNC').liveBlocks, 0u) << hostk::PoolLeakReport();

    UCHAR packet[CommandPacketSize] = {0x06};
    ULONG moved = 0;
    EXPECT_EQ(PipeTransfer(&rig.Context()->link, CommandPipe, packet, &moved), STATUS_UNSUCCESSFUL);
}

// The order of a surprise removal: the device stops while an application
// still runs the pin. The frame read in flight ends at once instead of
// keeping the stop waiting for the camera, later reads find no pipes, and a
// start gives the still-running pin frames again.
TEST_F(DriverTest, StopUnderARunningPinEndsTheFrameReadAndAStartResumesFrames) {
    rig.Plug();
    std::unique_ptr<hostks::KsFilter> filter;
    ASSERT_EQ(hostks::KsFilter::Open(rig.Pnp(), &filter), STATUS_SUCCESS);
    std::vector<std::vector<uint8_t>> ranges = filter->DataRanges(0);
    ASSERT_FALSE(ranges.empty());
    std::vector<uint8_t> format;
    ASSERT_EQ(filter->Intersect(0, ranges[0].data(), &format), STATUS_SUCCESS);
    std::unique_ptr<hostks::KsPin> pin;
    ASSERT_EQ(filter->CreatePin(0, format.data(), &pin), STATUS_SUCCESS);
    hostks::ReferenceClock clock;
    pin->SetClock(&clock);
    ULONG frameSize = pin->Framing().FramingItem[0].FramingRange.Range.MaxFrameSize;
    std::vector<uint8_t> buffer(frameSize);
    rig.Camera().HoldFrames();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_TRUE(rig.Camera().WaitForPendingTransfers(0x82, 1, 5s));

    auto stopped = std::chrono::steady_clock::now();
    rig.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 1500ms);  // not the 3 s frame timeout
    EXPECT_EQ(rig.Context()->link.interfaceInfo, nullptr);
    EXPECT_EQ(rig.Camera().PendingTransfers(0x82), 0u);

    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    rig.Camera().ReleaseFrames();
    pin->SubmitFrame(buffer.data(), frameSize);
    hostks::CompletedFrame frame;
    ASSERT_TRUE(pin->WaitForFrame(&frame, 5s));
    EXPECT_EQ(frame.status, STATUS_SUCCESS);
    EXPECT_EQ(frame.dataUsed, frameSize);
    pin->Close();
    filter->Close();
}

}  // namespace
