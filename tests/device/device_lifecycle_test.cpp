// Device add, start and stop against the simulated camera, read back from
// the requests the camera received.
#include <gtest/gtest.h>

#include "driver/device/read_timeout.h"
#include "host/kernel/violations.h"
#include "tests/support/plugged_camera.h"
#include "driver/usb/firmware_record.h"

using testrig::CommandLine;
using testrig::DriverTest;
using testrig::LinesStartingWith;

namespace {

std::string Hex2(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", v & 0xFF);
    return text;
}

// The vendor writes one image produces: its data records in order, with the
// CPU held before and released after.
std::vector<std::string> ExpectedDownload(const FirmwareRecord* image) {
    std::vector<std::string> lines = {"VENDOR A0 7F92 1 01", "VENDOR A0 E600 1 01"};
    for (const FirmwareRecord* r = image; r->type == 0; ++r) {
        char head[40];
        std::snprintf(head, sizeof head, "VENDOR A0 %04X %u ", r->address, r->byteCount);
        std::string line = head;
        for (unsigned i = 0; i < r->byteCount; ++i) line += Hex2(r->data[i]);
        lines.push_back(line);
    }
    lines.push_back("VENDOR A0 7F92 1 00");
    lines.push_back("VENDOR A0 E600 1 00");
    return lines;
}

// Both images, each with the CPU held around its records.
std::vector<std::string> ExpectedFirmware() {
    std::vector<std::string> lines = ExpectedDownload(FirmwareImage1);
    std::vector<std::string> second = ExpectedDownload(FirmwareImage2);
    lines.insert(lines.end(), second.begin(), second.end());
    return lines;
}

TEST_F(DriverTest, AddSendsNothingToTheDeviceAndSetsTheDefaults) {
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    // The device is not started yet: nothing may go down to it.
    EXPECT_EQ(rig.Pnp().UsbStack().UrbsSubmitted(), 0u);
    EXPECT_TRUE(rig.Camera().TraceLines().empty());
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();

    DeviceContext* context = rig.Context();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->settings.timeout, 3000);
    EXPECT_EQ(context->settings.brightness, 255);
    EXPECT_EQ(context->settings.redGain, 128);
    EXPECT_EQ(context->settings.roiWidth, 1600);
    EXPECT_EQ(context->frameWidth, 1600);
    EXPECT_EQ(context->outputWidth, 1600);
    EXPECT_EQ(context->frameHeight, 1200u);
    EXPECT_EQ(context->rawFrameSize, 0u);
    EXPECT_EQ(context->link.interfaceInfo, nullptr);
}

TEST_F(DriverTest, FirstStartDownloadsBothImagesInRecordOrderBeforeTheDescriptors) {
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    const std::vector<std::string> expected = ExpectedFirmware();
    const std::vector<std::string> trace = rig.Camera().TraceLines();
    ASSERT_GT(trace.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + expected.size()), expected);
    EXPECT_EQ(trace[expected.size()], "GET_DESCRIPTOR 1 0 18");
    EXPECT_TRUE(rig.Camera().FirmwareCheck().problems.empty());
}

TEST_F(DriverTest, StartReadsDescriptorsSelectsTheConfigurationAndStartsTheCamera) {
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    rig.Camera().ClearTrace();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    // After the firmware (its own test above).
    std::vector<std::string> lines = rig.Camera().TraceLines();
    ASSERT_GT(lines.size(), ExpectedFirmware().size());
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(ExpectedFirmware().size()));
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "GET_DESCRIPTOR 1 0 18");
    EXPECT_EQ(lines[1], "GET_DESCRIPTOR 2 0 9");
    EXPECT_EQ(lines[2], "GET_DESCRIPTOR 2 0 39");  // wTotalLength of the camera's configuration
    EXPECT_EQ(lines[3], "SELECT_CONFIGURATION 1");
    EXPECT_EQ(lines[4], CommandLine({0x06}));

    DeviceContext* context = rig.Context();
    PUSBD_INTERFACE_INFORMATION info = context->link.interfaceInfo;
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(info->NumberOfPipes, 3u);
    EXPECT_EQ(info->Pipes[0].EndpointAddress, 0x01);
    EXPECT_EQ(info->Pipes[1].EndpointAddress, 0x81);
    EXPECT_EQ(info->Pipes[2].EndpointAddress, 0x82);
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_EQ(info->Pipes[i].MaximumTransferSize, 0xFFFFFFFFu);
        EXPECT_EQ(info->Pipes[i].PipeType, UsbdPipeTypeBulk);
    }
    ASSERT_NE(context->link.configurationDescriptor, nullptr);
    EXPECT_EQ(context->link.configurationDescriptor->wTotalLength, 39);
    EXPECT_NE(context->worker, nullptr);
    ASSERT_EQ(rig.Pnp().FilterFactories().size(), 1u);
    EXPECT_EQ(rig.Pnp().FilterFactories()[0].flags, static_cast<ULONG>(KSCREATE_ITEM_FREEONSTOP));
}

TEST_F(DriverTest, StopDeconfiguresAndAStartAfterItRepeatsTheWholeStart) {
    rig.Plug();
    std::vector<std::string> firstStart = rig.Camera().TraceLines();
    rig.Camera().ClearTrace();
    rig.Stop();
    EXPECT_EQ(rig.Camera().TraceLines(), std::vector<std::string>{"DECONFIGURE"});
    EXPECT_EQ(rig.Context()->link.interfaceInfo, nullptr);
    EXPECT_EQ(rig.Context()->link.configurationDescriptor, nullptr);
    EXPECT_TRUE(rig.Pnp().FilterFactories().empty());

    CaptureWorker* worker = rig.Context()->worker;
    size_t contexts = hostk::PoolTagStats('wNCK').liveBlocks;
    rig.Camera().ClearTrace();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    // The restart keeps the idle worker instead of piling up another.
    EXPECT_EQ(rig.Context()->worker, worker);
    EXPECT_EQ(hostk::PoolTagStats('wNCK').liveBlocks, contexts);
    std::vector<std::string> again = rig.Camera().TraceLines();
    std::vector<std::string> startPart(firstStart.end() - again.size(), firstStart.end());
    EXPECT_EQ(again, startPart);
    // The camera kept its power and its firmware across the stop.
    EXPECT_EQ(again[0], "GET_DESCRIPTOR 1 0 18");
    EXPECT_EQ(again.size() + ExpectedFirmware().size(), firstStart.size());
    EXPECT_EQ(rig.Pnp().FilterFactories().size(), 1u);
}

TEST_F(DriverTest, CameraPulledOutDuringStartFailsTheStartAndStopStillDeconfigures) {
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    rig.Camera().ClearTrace();
    // The firmware, the device descriptor and the header answer.
    rig.Camera().UnplugAfterRequests(static_cast<uint32_t>(ExpectedFirmware().size()) + 2);
    NTSTATUS status = rig.Start();
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(rig.Context()->link.interfaceInfo, nullptr);
    rig.Camera().Replug();
    rig.Camera().ClearTrace();
    rig.Stop();
    EXPECT_EQ(rig.Camera().TraceLines(), std::vector<std::string>{"DECONFIGURE"});
}

TEST_F(DriverTest, StartThatFailsAfterReadingTheConfigurationKeepsNothing) {
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    // The firmware, the device descriptor, the header and the full
    // configuration answer; the camera is gone when the configuration is
    // selected.
    rig.Camera().UnplugAfterRequests(static_cast<uint32_t>(ExpectedFirmware().size()) + 3);
    EXPECT_EQ(rig.Start(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(rig.Context()->link.configurationDescriptor, nullptr);
    EXPECT_EQ(rig.Context()->link.interfaceInfo, nullptr);
    // No stop follows a failed start (the device is removed), so nothing of
    // the transport may be left now.
    EXPECT_EQ(hostk::PoolTagStats('QLNC').liveBlocks, 0u) << hostk::PoolLeakReport();
}

TEST_F(DriverTest, StartOverAnEarlierConfigurationReleasesIt) {
    rig.Plug();
    size_t held = hostk::PoolTagStats('QLNC').liveBlocks;
    EXPECT_EQ(held, 2u);  // the configuration descriptor and the interface copy
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_EQ(hostk::PoolTagStats('QLNC').liveBlocks, held) << hostk::PoolLeakReport();
}

TEST_F(DriverTest, FailedFirmwareDownloadIsLeftToTheDescriptorChecks) {
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    rig.Camera().Unplug();
    // The download fails quietly; the descriptor read that follows fails
    // the start with its own status.
    EXPECT_EQ(rig.Start(), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(rig.Camera().TraceLines().empty());
    EXPECT_EQ(rig.Context()->link.interfaceInfo, nullptr);
    // With the camera answering again, the descriptor checks pass and the
    // device starts.
    rig.Camera().Replug();
    EXPECT_EQ(rig.Start(), STATUS_SUCCESS);
}

TEST_F(DriverTest, DeviceAddedAgainAfterARemovalSendsTheFirmwareAgain) {
    rig.Plug();
    rig.PullOut();
    // A new device instance over a camera powered up afresh, without firmware.
    ASSERT_EQ(rig.Replug(), STATUS_SUCCESS);
    const std::vector<std::string> expected = ExpectedFirmware();
    const std::vector<std::string> trace = rig.Camera().TraceLines();
    ASSERT_GT(trace.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + expected.size()), expected);
}

// Every allocation of a whole add and start fails once, in its own add and
// start: a failure late in the start (the interface copy, the select-
// configuration URB) is where a start leaks what it already got. There are a
// few thousand of them, so the sweep is split into shards that run side by
// side; shard k takes the allocations n with n % kSweepShards == k.
constexpr int kSweepShards = 8;

class AllocationSweepTest : public DriverTest, public ::testing::WithParamInterface<int> {
protected:
    static size_t AllocationsOfAddAndStart() {
        static size_t count = [] {
            size_t before = hostk::PoolTotals().totalAllocations;
            testrig::PluggedCamera probe;
            probe.Plug();
            return hostk::PoolTotals().totalAllocations - before;
        }();
        return count;
    }
};

TEST_P(AllocationSweepTest, EachFailureOfAddAndStartIsSurvivedWithoutLeaks) {
    size_t allocations = AllocationsOfAddAndStart();
    ASSERT_GT(allocations, 2000u);  // firmware download and sensor script included
    for (size_t n = 1; n <= allocations; ++n) {
        if (static_cast<int>(n % kSweepShards) != GetParam()) continue;
        testrig::PluggedCamera camera;
        hostk::PoolFailNthAllocation(n);
        NTSTATUS added = camera.Add();
        if (NT_SUCCESS(added)) camera.Start();
        hostk::PoolResetFaults();
        // A failed start is followed by removal alone, as on Windows.
        camera.Remove();
        ASSERT_EQ(hostk::PoolTotals().liveBlocks, 0u) << "allocation " << n << "\n" << hostk::PoolLeakReport();
    }
}

INSTANTIATE_TEST_SUITE_P(Shards, AllocationSweepTest, ::testing::Range(0, kSweepShards));

TEST_F(DriverTest, AddFailsCleanlyWhenTheContextCannotBeAllocated) {
    hostk::PoolFailNthAllocation(1, 'wNCK');
    EXPECT_EQ(rig.Add(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(rig.Pnp().Added());
}

TEST_F(DriverTest, StartWithoutFilterFactoryCreatesNoWorkerButConfigures) {
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    hostk::PoolFailNthAllocation(1, 'KsFf');
    EXPECT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_EQ(rig.Context()->worker, nullptr);
    EXPECT_NE(rig.Context()->link.interfaceInfo, nullptr);
}

}  // namespace
