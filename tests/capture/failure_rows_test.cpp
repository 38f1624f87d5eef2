// Allocation failures along the start order: each refuses its step with
// STATUS_INSUFFICIENT_RESOURCES, keeps nothing, and the step succeeds when
// tried again.
#include "tests/capture/streaming_support.h"

namespace streaming_test {
namespace {

class FailureRowsTest : public StreamingTest {};

TEST_F(FailureRowsTest, ContextsThatCannotBeHadFailFilterAndPinCreation) {
    std::unique_ptr<hostks::KsFilter> second;
    hostk::PoolFailNthAllocation(1, 'wNCK');
    EXPECT_EQ(hostks::KsFilter::Open(rig.Pnp(), &second), STATUS_INSUFFICIENT_RESOURCES);
    std::vector<uint8_t> format = OfferedFormat();
    hostk::PoolFailNthAllocation(1, 'wNCK');
    EXPECT_EQ(filter->CreatePin(0, format.data(), &pin), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(rig.Context()->pinOpen, 0);
    // The pin's private descriptor and then its framing.
    for (size_t n = 1; n <= 2; ++n) {
        hostk::PoolFailNthAllocation(n, 'hVLT');
        EXPECT_EQ(filter->CreatePin(0, format.data(), &pin), STATUS_INSUFFICIENT_RESOURCES) << n;
        EXPECT_EQ(rig.Context()->pinOpen, 0) << n;
        EXPECT_EQ(hostk::PoolTagStats('hVLT').liveBlocks, 0u) << n;
    }
    hostk::PoolResetFaults();
    EXPECT_EQ(filter->CreatePin(0, format.data(), &pin), STATUS_SUCCESS);
    EXPECT_EQ(rig.Context()->pinOpen, 1);
}

TEST_F(FailureRowsTest, APipelineThatCannotBeHadFailsTheAcquire) {
    CreatePin();
    hostk::PoolFailNthAllocation(1, 'RysI');
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(pin->State(), KSSTATE_STOP);
    EXPECT_EQ(rig.Context()->pipelineInUse, 0);
    hostk::PoolResetFaults();
    EXPECT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
}

TEST_F(FailureRowsTest, StreamingBuffersThatCannotBeHadFailTheRunAndKeepNothing) {
    CreatePin();
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    // Raw buffer 0, raw buffer 1, the RGB image, the pipeline's working buffer.
    for (size_t n = 1; n <= 4; ++n) {
        hostk::PoolFailNthAllocation(n, 'hVLT');
        EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES) << n;
        EXPECT_EQ(pin->State(), KSSTATE_PAUSE);
        EXPECT_EQ(Worker()->captureThread, nullptr);
        EXPECT_EQ(hostk::LiveSystemThreads(), 0u);
        EXPECT_EQ(hostk::PoolTagStats('hVLT').liveBlocks, 2u) << n;  // the pin's descriptor copies only
        EXPECT_EQ(rig.Context()->pipeline->workBuffer, nullptr);
    }
    hostk::PoolResetFaults();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ClientBuffer buffer;
    ASSERT_EQ(pin->SubmitFrame(buffer.data(), buffer.size), STATUS_PENDING);
    EXPECT_EQ(NextFrame().dataUsed, kImageBytes);
}

class NoWorkerTest : public testrig::DriverTest {};

TEST_F(NoWorkerTest, WithoutACaptureWorkerThePinAcquiresButCannotRun) {
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    hostk::PoolFailNthAllocation(1, 'wNCK');  // the worker, at start
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    hostk::PoolResetFaults();
    ASSERT_EQ(rig.Context()->worker, nullptr);
    std::unique_ptr<hostks::KsFilter> filter;
    ASSERT_EQ(hostks::KsFilter::Open(rig.Pnp(), &filter), STATUS_SUCCESS);
    std::vector<uint8_t> range = filter->DataRanges(0)[0];
    std::vector<uint8_t> format;
    ASSERT_EQ(filter->Intersect(0, range.data(), &format), STATUS_SUCCESS);
    std::unique_ptr<hostks::KsPin> pin;
    ASSERT_EQ(filter->CreatePin(0, format.data(), &pin), STATUS_SUCCESS);
    EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    pin.reset();
    filter.reset();
}

}  // namespace
}  // namespace streaming_test
