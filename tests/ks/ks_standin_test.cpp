// The streaming-class stand-in on its own, under a minimal minidriver of the
// test's making: the rules the driver relies on (state stepping, processing
// scheduling, pin creation order, the frame queue, object bags).
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/kernel/pool.h"
#include "host/kernel/violations.h"
#include "host/ks/frame_buffer.h"
#include "host/ks/ks_objects.h"

namespace {

using namespace std::chrono_literals;

struct FakeDriver {
    std::vector<std::pair<KSSTATE, KSSTATE>> transitions;
    int refuse = -1;  // a state to refuse, or none
    int setFormatCalls = 0;
    bool setFormatSawNoOldFormat = false;
    int createCalls = 0;
    bool createSawFormat = false;
    PKSFILTER filterFromCreateIrp = nullptr;
    std::atomic<int> inFlight{0};
    std::atomic<int> maxInFlight{0};
    std::atomic<int> processCalls{0};
};
FakeDriver* g_driver = nullptr;

NTSTATUS NTAPI FakeSetFormat(PKSPIN pin, PKSDATAFORMAT old, PKSMULTIPLE_ITEM, const KSDATARANGE*,
                             const KSATTRIBUTE_LIST*) {
    ++g_driver->setFormatCalls;
    g_driver->setFormatSawNoOldFormat = old == nullptr && g_driver->createCalls == 0;
    return pin->ConnectionFormat->SampleSize == 13 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

NTSTATUS NTAPI FakeCreate(PKSPIN pin, PIRP irp) {
    ++g_driver->createCalls;
    g_driver->createSawFormat = pin->ConnectionFormat != nullptr;
    g_driver->filterFromCreateIrp = KsGetFilterFromIrp(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FakeSetState(PKSPIN, KSSTATE to, KSSTATE from) {
    if (static_cast<int>(to) == g_driver->refuse) return STATUS_UNSUCCESSFUL;
    g_driver->transitions.emplace_back(from, to);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FakeProcess(PKSPIN) {
    int now = ++g_driver->inFlight;
    int seen = g_driver->maxInFlight.load();
    while (now > seen && !g_driver->maxInFlight.compare_exchange_weak(seen, now)) {
    }
    ++g_driver->processCalls;
    std::this_thread::sleep_for(200us);
    --g_driver->inFlight;
    return STATUS_PENDING;
}

KSDATARANGE g_range = {{sizeof(KSDATARANGE), 0, 0, 0, {0x11111111, 1, 1, {1}}, {STATIC_GUID_NULL}, {STATIC_GUID_NULL}}};
const PKSDATARANGE g_ranges[] = {&g_range};
const KSPIN_DISPATCH g_pinDispatch = {FakeCreate, nullptr, FakeProcess, nullptr, FakeSetFormat,
                                      FakeSetState, nullptr, nullptr, nullptr, nullptr};
const KSPIN_DESCRIPTOR_EX g_pins[] = {{&g_pinDispatch,
                                       nullptr,
                                       {0, nullptr, 0, nullptr, 1, g_ranges, KSPIN_DATAFLOW_OUT,
                                        KSPIN_COMMUNICATION_BOTH, nullptr, nullptr, {0}},
                                       KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
                                       1,
                                       1,
                                       nullptr,
                                       nullptr}};
const KSFILTER_DESCRIPTOR g_filterDescriptor = {nullptr, nullptr, KSFILTER_DESCRIPTOR_VERSION, 0, nullptr, 1,
                                                sizeof(KSPIN_DESCRIPTOR_EX), g_pins, 0, nullptr, 0, 0,
                                                nullptr, 0, nullptr, nullptr};

class StandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        hostk::ClearViolations();
        g_driver = &driver;
        device = hostks::CreateBareDevice();
        ASSERT_EQ(hostks::OpenFilterObject(device, &g_filterDescriptor, &filter), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (filter) hostks::CloseFilterObject(filter);
        hostks::DestroyBareDevice(device);
        EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
        g_driver = nullptr;
    }
    KSDATAFORMAT Format(ULONG sampleSize = 0) {
        KSDATAFORMAT format = g_range;
        format.SampleSize = sampleSize;
        return format;
    }

    FakeDriver driver;
    PKSDEVICE device = nullptr;
    hostks::HostFilter* filter = nullptr;
};

TEST_F(StandInTest, PinCreationSetsTheFormatFirstAndKnowsItsFilterAndDevice) {
    KSDATAFORMAT refused = Format(13);
    hostks::HostPin* pin = nullptr;
    EXPECT_EQ(hostks::CreatePinObject(filter, 0, &refused, &pin), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(driver.createCalls, 0);
    KSDATAFORMAT other = Format();
    other.MajorFormat.Data1 = 0x22222222;
    EXPECT_EQ(hostks::CreatePinObject(filter, 0, &other, &pin), STATUS_NO_MATCH);

    KSDATAFORMAT format = Format();
    ASSERT_EQ(hostks::CreatePinObject(filter, 0, &format, &pin), STATUS_SUCCESS);
    EXPECT_TRUE(driver.setFormatSawNoOldFormat);
    EXPECT_TRUE(driver.createSawFormat);
    EXPECT_EQ(driver.filterFromCreateIrp, &filter->filter);
    EXPECT_EQ(KsGetDevice(&pin->pin), device);
    EXPECT_EQ(KsGetDevice(&filter->filter), device);
    hostks::HostPin* second = nullptr;
    EXPECT_EQ(hostks::CreatePinObject(filter, 0, &format, &second), STATUS_UNSUCCESSFUL);  // one instance
}

TEST_F(StandInTest, StateChangesStepThroughEveryStateAndStopAtARefusal) {
    KSDATAFORMAT format = Format();
    hostks::HostPin* pin = nullptr;
    ASSERT_EQ(hostks::CreatePinObject(filter, 0, &format, &pin), STATUS_SUCCESS);
    ASSERT_EQ(hostks::ChangePinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(hostks::ChangePinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    using T = std::pair<KSSTATE, KSSTATE>;
    std::vector<T> expected = {{KSSTATE_STOP, KSSTATE_ACQUIRE}, {KSSTATE_ACQUIRE, KSSTATE_PAUSE},
                               {KSSTATE_PAUSE, KSSTATE_RUN},    {KSSTATE_RUN, KSSTATE_PAUSE},
                               {KSSTATE_PAUSE, KSSTATE_ACQUIRE}, {KSSTATE_ACQUIRE, KSSTATE_STOP}};
    EXPECT_EQ(driver.transitions, expected);

    driver.transitions.clear();
    driver.refuse = KSSTATE_PAUSE;
    EXPECT_EQ(hostks::ChangePinState(pin, KSSTATE_RUN), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pin->pin.DeviceState, KSSTATE_ACQUIRE);
    EXPECT_EQ(driver.transitions, (std::vector<T>{{KSSTATE_STOP, KSSTATE_ACQUIRE}}));
}

TEST_F(StandInTest, ProcessRunsOnlyInRunAndNeverTwiceAtOnce) {
    KSDATAFORMAT format = Format();
    hostks::HostPin* pin = nullptr;
    ASSERT_EQ(hostks::CreatePinObject(filter, 0, &format, &pin), STATUS_SUCCESS);
    auto hammer = [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 200; ++i) KsPinAttemptProcessing(&pin->pin, (i + t) % 2 == 0);
            });
        for (auto& thread : threads) thread.join();
    };
    ASSERT_EQ(hostks::ChangePinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    hammer();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(driver.processCalls.load(), 0);

    ASSERT_EQ(hostks::ChangePinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    hammer();
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (driver.processCalls.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_GE(driver.processCalls.load(), 1);
    EXPECT_EQ(driver.maxInFlight.load(), 1);
    // Close waits for a Process in flight; none runs after.
    EXPECT_EQ(hostks::ClosePinObject(pin), STATUS_SUCCESS);
    EXPECT_EQ(driver.inFlight.load(), 0);
}

TEST_F(StandInTest, LeadingEdgeEjectCompletesFramesInOrderAndStopReturnsTheRest) {
    KSDATAFORMAT format = Format();
    hostks::HostPin* pin = nullptr;
    ASSERT_EQ(hostks::CreatePinObject(filter, 0, &format, &pin), STATUS_SUCCESS);
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(&pin->pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
    uint8_t frames[3][16];
    EXPECT_EQ(hostks::QueueFrame(pin, frames[0], 16, 0, nullptr), STATUS_INVALID_DEVICE_STATE);  // stopped
    ASSERT_EQ(hostks::ChangePinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    for (auto& f : frames) ASSERT_EQ(hostks::QueueFrame(pin, f, 16, 0, nullptr), STATUS_PENDING);

    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(&pin->pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(leading, nullptr);
    EXPECT_EQ(leading->OffsetOut.Remaining, 16u);
    PUCHAR system = leading->OffsetOut.Data;
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(&pin->pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);  // locked once
    KsStreamPointerUnlock(leading, FALSE);  // not ejected: stays at the edge
    leading = KsPinGetLeadingEdgeStreamPointer(&pin->pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(leading, nullptr);
    EXPECT_EQ(leading->OffsetOut.Data, system);
    leading->StreamHeader->DataUsed = 7;
    std::memcpy(leading->OffsetOut.Data, "written", 7);
    KsStreamPointerUnlock(leading, TRUE);

    hostks::CompletedFrameRecord done;
    ASSERT_TRUE(hostks::TakeCompletedFrame(pin, &done, 1000));
    EXPECT_EQ(done.header.Data, frames[0]);
    EXPECT_EQ(done.header.DataUsed, 7u);
    EXPECT_EQ(std::memcmp(frames[0], "written", 7), 0);  // the client sees what went through the system mapping
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    ASSERT_EQ(hostks::ChangePinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    for (int i = 1; i < 3; ++i) {
        ASSERT_TRUE(hostks::TakeCompletedFrame(pin, &done, 1000));
        EXPECT_EQ(done.header.Data, frames[i]);
        EXPECT_EQ(done.status, STATUS_CANCELLED);
    }
}

TEST_F(StandInTest, TheHeaderNamesTheApplicationsAddressWhichFaultsAndTheSystemMappingCarriesTheData) {
    KSDATAFORMAT format = Format();
    hostks::HostPin* pin = nullptr;
    ASSERT_EQ(hostks::CreatePinObject(filter, 0, &format, &pin), STATUS_SUCCESS);
    ASSERT_EQ(hostks::ChangePinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(64, 0x11);
    ASSERT_EQ(hostks::QueueFrame(pin, buffer.data(), 64, 0, nullptr), STATUS_PENDING);
    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(&pin->pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(leading, nullptr);
    auto* application = static_cast<volatile uint8_t*>(leading->StreamHeader->Data);
    EXPECT_NE(static_cast<void*>(leading->OffsetOut.Data), leading->StreamHeader->Data);
    EXPECT_NE(static_cast<void*>(leading->OffsetOut.Data), buffer.data());
    EXPECT_EQ(leading->OffsetOut.Data[0], 0x11);  // the client's bytes, seen through the system mapping
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(application[0] = 1, "");
    // Fresh pool in a completed frame is reported when the application
    // receives it; the same bytes in a cancelled frame are not (the driver
    // never delivered it).
    std::memset(leading->OffsetOut.Data, hostk::kFreshPoolFill, 64);
    leading->StreamHeader->DataUsed = 64;
    KsStreamPointerUnlock(leading, TRUE);
    hostks::CompletedFrameRecord done;
    ASSERT_TRUE(hostks::TakeCompletedFrame(pin, &done, 1000));
    EXPECT_EQ(hostk::ViolationCount(), 1u);
    EXPECT_NE(hostk::ViolationText().find("unwritten pool at byte 0"), std::string::npos);
    hostk::ClearViolations();
    ASSERT_EQ(hostks::QueueFrame(pin, buffer.data(), 64, 0, nullptr), STATUS_PENDING);
    ASSERT_EQ(hostks::ChangePinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_TRUE(hostks::TakeCompletedFrame(pin, &done, 1000));
    EXPECT_EQ(done.status, STATUS_CANCELLED);
    EXPECT_EQ(hostk::ViolationCount(), 0u);
}

// Writes `fill` into `bytes` bytes of the leading frame and ejects it.
void DeliverLeading(hostks::HostPin* pin, uint8_t fill, ULONG bytes) {
    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(&pin->pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(leading, nullptr);
    std::memset(leading->OffsetOut.Data, fill, bytes);
    leading->StreamHeader->DataUsed = bytes;
    KsStreamPointerUnlock(leading, TRUE);
}

TEST_F(StandInTest, AFrameBufferIsTheDriversPagesAndTheClientsOwnMemoryKeepsItsMappingAcrossSubmissions) {
    KSDATAFORMAT format = Format();
    hostks::HostPin* pin = nullptr;
    ASSERT_EQ(hostks::CreatePinObject(filter, 0, &format, &pin), STATUS_SUCCESS);
    ASSERT_EQ(hostks::ChangePinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);

    // A FrameBuffer: the driver's write shows in the client's memory at
    // once, with no copy; the header still names an address that faults.
    hostks::FrameBuffer shared(8192);
    ASSERT_NE(shared.data(), nullptr);
    EXPECT_EQ(shared.data()[8191], 0);
    shared.data()[0] = 0x42;
    ASSERT_EQ(hostks::QueueFrame(pin, shared.data(), 8192, 0, nullptr), STATUS_PENDING);
    EXPECT_EQ(pin->mappings.Size(), 0u);
    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(&pin->pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(leading, nullptr);
    EXPECT_NE(static_cast<void*>(leading->OffsetOut.Data), shared.data());
    EXPECT_EQ(leading->OffsetOut.Data[0], 0x42);
    leading->OffsetOut.Data[1] = 0x43;
    EXPECT_EQ(shared.data()[1], 0x43);
    auto* application = static_cast<volatile uint8_t*>(leading->StreamHeader->Data);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(application[0] = 1, "");
    KsStreamPointerUnlock(leading, FALSE);
    // A buffer smaller than asked for is not a FrameBuffer's: it is copied.
    EXPECT_EQ(hostks::FindFrameBuffer(shared.data(), 8193), nullptr);
    EXPECT_EQ(hostks::FindFrameBuffer(shared.data() + 1, 16), nullptr);
    DeliverLeading(pin, 0x55, 8192);
    hostks::CompletedFrameRecord done;
    ASSERT_TRUE(hostks::TakeCompletedFrame(pin, &done, 1000));
    EXPECT_EQ(done.header.Data, shared.data());
    EXPECT_EQ(shared.data()[8191], 0x55);

    // The client's own memory: the same buffer submitted again gets the
    // same system mapping, refreshed from what the client wrote since.
    std::vector<uint8_t> own(4096, 0x11);
    ASSERT_EQ(hostks::QueueFrame(pin, own.data(), 4096, 0, nullptr), STATUS_PENDING);
    leading = KsPinGetLeadingEdgeStreamPointer(&pin->pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(leading, nullptr);
    PUCHAR first = leading->OffsetOut.Data;
    KsStreamPointerUnlock(leading, FALSE);
    DeliverLeading(pin, 0x22, 4096);
    ASSERT_TRUE(hostks::TakeCompletedFrame(pin, &done, 1000));
    EXPECT_EQ(own[4095], 0x22);
    own[0] = 0x33;
    ASSERT_EQ(hostks::QueueFrame(pin, own.data(), 4096, 0, nullptr), STATUS_PENDING);
    // Submitted twice at once, the buffer gets a second mapping: the first
    // frame's pages are still the driver's.
    ASSERT_EQ(hostks::QueueFrame(pin, own.data(), 4096, 0, nullptr), STATUS_PENDING);
    EXPECT_EQ(pin->mappings.Size(), 2u);
    leading = KsPinGetLeadingEdgeStreamPointer(&pin->pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(leading, nullptr);
    EXPECT_EQ(leading->OffsetOut.Data, first);
    EXPECT_EQ(leading->OffsetOut.Data[0], 0x33);
    EXPECT_EQ(leading->OffsetOut.Data[1], 0x22);
    KsStreamPointerUnlock(leading, FALSE);
    ASSERT_EQ(hostks::ChangePinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(hostks::TakeCompletedFrame(pin, &done, 1000));
    EXPECT_EQ(pin->mappings.Size(), 2u);  // both idle, both kept
    ASSERT_EQ(hostks::ClosePinObject(pin), STATUS_SUCCESS);
}

TEST_F(StandInTest, IdleMappingsOfTheClientsMemoryAreBoundedOldestFirst) {
    hostks::FrameMappingCache cache;
    std::vector<std::vector<uint8_t>> buffers(hostks::FrameMappingCache::kIdleKept + 2, std::vector<uint8_t>(64));
    std::vector<std::shared_ptr<hostks::FrameMapping>> leased;
    for (auto& buffer : buffers) leased.push_back(cache.Lease(buffer.data(), 64));
    EXPECT_EQ(cache.Size(), buffers.size());
    for (auto& mapping : leased) cache.Return(mapping);
    EXPECT_EQ(cache.Size(), hostks::FrameMappingCache::kIdleKept);
    // The two leased first went; the last is still the same mapping.
    EXPECT_EQ(cache.Lease(buffers.back().data(), 64), leased.back());
    EXPECT_NE(cache.Lease(buffers.front().data(), 64), leased.front());
    // Another size at the same address is another buffer.
    EXPECT_NE(cache.Lease(buffers.back().data(), 128), nullptr);
    EXPECT_EQ(cache.Size(), hostks::FrameMappingCache::kIdleKept + 2);
}

TEST_F(StandInTest, FreshPoolIsFoundWhereverAnAlignedRunOfItLiesAndInFramesNeverTaken) {
    std::vector<uint8_t> frame(1000, 0xFF);
    EXPECT_EQ(hostks::FindFreshPoolFill(frame.data(), frame.size()), -1);
    for (size_t at : {size_t{0}, size_t{8}, size_t{64 * 7 + 56}, size_t{984}, size_t{992}}) {
        std::vector<uint8_t> copy = frame;
        std::memset(&copy[at], hostk::kFreshPoolFill, 8);
        EXPECT_EQ(hostks::FindFreshPoolFill(copy.data(), copy.size()), static_cast<long long>(at)) << at;
        // Beyond the bytes the frame says it used, the run does not count.
        EXPECT_EQ(hostks::FindFreshPoolFill(copy.data(), at + 7), -1) << at;
    }
    // A run of seven, or eight across a word boundary, is not a word of fill;
    // the first of two runs is reported.
    std::memset(&frame[100], hostk::kFreshPoolFill, 7);
    std::memset(&frame[132], hostk::kFreshPoolFill, 8);
    EXPECT_EQ(hostks::FindFreshPoolFill(frame.data(), frame.size()), -1);
    std::memset(&frame[512], hostk::kFreshPoolFill, 16);
    std::memset(&frame[640], hostk::kFreshPoolFill, 8);
    EXPECT_EQ(hostks::FindFreshPoolFill(frame.data(), frame.size()), 512);

    // A delivered frame the application never took is checked at close.
    KSDATAFORMAT format = Format();
    hostks::HostPin* pin = nullptr;
    ASSERT_EQ(hostks::CreatePinObject(filter, 0, &format, &pin), STATUS_SUCCESS);
    ASSERT_EQ(hostks::ChangePinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    hostks::FrameBuffer buffer(256);
    ASSERT_EQ(hostks::QueueFrame(pin, buffer.data(), 256, 0, nullptr), STATUS_PENDING);
    DeliverLeading(pin, hostk::kFreshPoolFill, 256);
    EXPECT_EQ(hostk::ViolationCount(), 0u);
    ASSERT_EQ(hostks::ClosePinObject(pin), STATUS_SUCCESS);
    EXPECT_EQ(hostk::ViolationCount(), 1u);
    EXPECT_NE(hostk::ViolationText().find("unwritten pool"), std::string::npos);
    hostk::ClearViolations();
}

TEST_F(StandInTest, EditedCopiesBelongToTheObjectsBag) {
    KSDATAFORMAT format = Format();
    hostks::HostPin* pin = nullptr;
    ASSERT_EQ(hostks::CreatePinObject(filter, 0, &format, &pin), STATUS_SUCCESS);
    const ULONG tag = 'tEdt';
    size_t before = hostk::PoolTagStats(tag).liveBlocks;
    KsPinAcquireControl(&pin->pin);  // outside a dispatch the driver takes the bag's mutex itself
    auto descriptor = const_cast<KSPIN_DESCRIPTOR_EX**>(&pin->pin.Descriptor);
    ASSERT_EQ(_KsEdit(pin->pin.Bag, reinterpret_cast<PVOID*>(descriptor), sizeof(KSPIN_DESCRIPTOR_EX),
                      sizeof(KSPIN_DESCRIPTOR_EX), tag),
              STATUS_SUCCESS);
    EXPECT_NE(pin->pin.Descriptor, &g_pins[0]);
    EXPECT_EQ(pin->pin.Descriptor->Flags, g_pins[0].Flags);
    // Editing the copy again replaces it; the first copy is freed.
    ASSERT_EQ(_KsEdit(pin->pin.Bag, reinterpret_cast<PVOID*>(descriptor), sizeof(KSPIN_DESCRIPTOR_EX) + 8,
                      sizeof(KSPIN_DESCRIPTOR_EX), tag),
              STATUS_SUCCESS);
    EXPECT_EQ(hostk::PoolTagStats(tag).liveBlocks, before + 1);
    hostk::PoolFailNthAllocation(1, tag);
    EXPECT_EQ(_KsEdit(pin->pin.Bag, reinterpret_cast<PVOID*>(descriptor), 8, 8, tag), STATUS_INSUFFICIENT_RESOURCES);
    hostk::PoolResetFaults();
    KsPinReleaseControl(&pin->pin);
    ASSERT_EQ(hostks::ClosePinObject(pin), STATUS_SUCCESS);
    EXPECT_EQ(hostk::PoolTagStats(tag).liveBlocks, before);
}

TEST_F(StandInTest, BagsChangeOnlyUnderTheirMutexAndTheMutexesDoNotNest) {
    KSDATAFORMAT format = Format();
    hostks::HostPin* pin = nullptr;
    ASSERT_EQ(hostks::CreatePinObject(filter, 0, &format, &pin), STATUS_SUCCESS);
    const ULONG tag = 'tBag';
    auto* item = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
    // Without the filter control mutex every change of a filter's or a pin's
    // bag is a breach, even one that works.
    EXPECT_EQ(KsAddItemToObjectBag(pin->pin.Bag, item, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KsRemoveItemFromObjectBag(pin->pin.Bag, item, FALSE), 1u);
    auto descriptor = const_cast<KSPIN_DESCRIPTOR_EX**>(&pin->pin.Descriptor);
    EXPECT_EQ(_KsEdit(pin->pin.Bag, reinterpret_cast<PVOID*>(descriptor), sizeof(KSPIN_DESCRIPTOR_EX),
                      sizeof(KSPIN_DESCRIPTOR_EX), tag),
              STATUS_SUCCESS);
    EXPECT_EQ(hostk::ViolationCount(), 3u);
    std::string text = hostk::ViolationText();
    EXPECT_NE(text.find("KsAddItemToObjectBag"), std::string::npos);
    EXPECT_NE(text.find("KsRemoveItemFromObjectBag"), std::string::npos);
    EXPECT_NE(text.find("_KsEdit"), std::string::npos);
    hostk::ClearViolations();

    // The pin's bag is its filter's to guard: the filter's mutex suffices.
    KsFilterAcquireControl(&filter->filter);
    EXPECT_EQ(KsAddItemToObjectBag(pin->pin.Bag, item, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
    // Taken again by its holder: on Windows the thread deadlocks.
    KsPinAcquireControl(&pin->pin);
    EXPECT_EQ(hostk::ViolationCount(), 1u);
    KsPinReleaseControl(&pin->pin);
    KsFilterReleaseControl(&filter->filter);
    hostk::ClearViolations();
    ASSERT_EQ(hostks::ClosePinObject(pin), STATUS_SUCCESS);
    EXPECT_EQ(hostk::PoolTagStats(tag).liveBlocks, 0u);  // the item and the edited copy went with the bags
}

}  // namespace
