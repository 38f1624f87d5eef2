// CameraPropertySet through the client API: requests built by the caller,
// dispatched by the streaming class stand-in to the driver's handlers, with
// the simulated camera below.
#include <atomic>
#include <thread>

#include "driver/camera/property_set.h"
#include "driver/device/read_timeout.h"
#include "host/ks/ks_client.h"
#include "driver/pipeline/image_pipeline.h"
#include "tests/support/plugged_camera.h"
#include "driver/usb/usb_link.h"

namespace {

using Size = std::pair<LONG, LONG>;

#ifndef STATUS_INVALID_BUFFER_SIZE
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#endif

class PropertyTest : public testrig::DriverTest {
protected:
    void SetUp() override {
        testrig::DriverTest::SetUp();
        rig.Plug();
        ASSERT_EQ(hostks::KsFilter::Open(rig.Pnp(), &filter), STATUS_SUCCESS);
        context = rig.Context();
        rig.Camera().ClearTrace();
    }
    void TearDown() override {
        if (pin) pin->Close();
        pin.reset();
        if (filter) filter->Close();
        filter.reset();
        testrig::DriverTest::TearDown();
    }

    // One buffer as request and data, as the proxy plug-in sends it.
    NTSTATUS Request(ULONG id, ULONG flags, LONG* value, ULONG requestSize = 32, ULONG dataSize = 32,
                     const GUID& set = CameraPropertySetId) {
        CameraPropertyValue buffer{};
        buffer.Property.Set = set;
        buffer.Property.Id = id;
        buffer.Property.Flags = flags;
        buffer.Value = *value;
        ULONG returned = 0;
        NTSTATUS status = filter->SendPropertyRequest(&buffer, requestSize, &buffer, dataSize, &returned);
        *value = buffer.Value;
        return status;
    }
    LONG Get(ULONG id) {
        LONG value = -12345;
        EXPECT_EQ(Request(id, KSPROPERTY_TYPE_GET, &value), STATUS_SUCCESS) << "get of " << id;
        return value;
    }
    void Set(ULONG id, LONG value) {
        EXPECT_EQ(Request(id, KSPROPERTY_TYPE_SET, &value), STATUS_SUCCESS) << "set of " << id;
    }
    NTSTATUS SetRoi(LONG width, LONG height, ULONG size = 48) { return SetRoiOn(*filter, width, height, size); }
    static NTSTATUS SetRoiOn(hostks::KsFilter& target, LONG width, LONG height, ULONG size = 48) {
        CameraRoiValue roi{};
        roi.Property.Set = CameraPropertySetId;
        roi.Property.Id = PropertyRoi;
        roi.Property.Flags = KSPROPERTY_TYPE_SET;
        roi.X = 16;
        roi.Y = 8;
        roi.Width = width;
        roi.Height = height;
        ULONG returned = 0;
        return target.SendPropertyRequest(&roi, size, &roi, size, &returned);
    }

    // The size the filter's capture pin offers now.
    Size OfferedSize() { return OfferedSizeOf(*filter); }
    static Size OfferedSizeOf(const hostks::KsFilter& target) {
        auto ranges = target.DataRanges(0);
        EXPECT_FALSE(ranges.empty());
        if (ranges.empty()) return {0, 0};
        auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(ranges[0].data());
        return {range->VideoInfoHeader.bmiHeader.biWidth, range->VideoInfoHeader.bmiHeader.biHeight};
    }

    // A capture pin in the acquire state: the pipeline exists.
    void AcquirePin() {
        auto ranges = filter->DataRanges(0);
        ASSERT_FALSE(ranges.empty());
        ASSERT_EQ(filter->Intersect(0, ranges[0].data(), &format), STATUS_SUCCESS);
        ASSERT_EQ(filter->CreatePin(0, format.data(), &pin), STATUS_SUCCESS);
        ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
        ASSERT_NE(context->pipeline, nullptr);
    }

    std::vector<std::string> Commands() {
        return testrig::LinesStartingWith(rig.Camera().TraceLines(), "BULK_OUT 0 ");
    }

    std::unique_ptr<hostks::KsFilter> filter;
    std::unique_ptr<hostks::KsPin> pin;
    std::vector<uint8_t> format;
    DeviceContext* context = nullptr;
};

TEST_F(PropertyTest, ConstantsAnswerTheSameWhateverTheSettings) {
    Set(PropertyExposure, 500);
    Set(PropertyGlobalGain, 7);
    const struct {
        ULONG id;
        LONG answer;
    } constants[] = {{3, 2},   {4, 1252}, {5, 2},   {7, 0},   {8, 1023}, {9, 512},  {17, 1},  {18, 255},
                     {19, 128}, {21, 0},  {22, 510}, {23, 255}, {25, 0},  {26, 20},  {27, 10}, {29, 0},
                     {30, 20},  {31, 10}, {33, 0},  {34, 359}, {35, 0},  {36, 0},   {38, 1600}, {39, 1200},
                     {46, 1},   {50, 0},  {51, 0},  {52, 0},   {53, 0},  {54, 0}};
    for (const auto& c : constants) EXPECT_EQ(Get(c.id), c.answer) << "id " << c.id;
    EXPECT_EQ(Get(PropertyExposure), 500);
    EXPECT_EQ(Get(PropertyGlobalGain), 7);
}

TEST_F(PropertyTest, SetsAreClampedWhereTheTableSays) {
    Set(PropertyBrightness, 600);
    EXPECT_EQ(Get(PropertyBrightness), 510);
    Set(PropertyBrightness, -5);
    EXPECT_EQ(Get(PropertyBrightness), 0);
    Set(PropertyHue, 360);
    EXPECT_EQ(Get(PropertyHue), 359);
    Set(PropertyHue, -1);
    EXPECT_EQ(Get(PropertyHue), 0);
    Set(PropertyContrast, 21);
    EXPECT_EQ(Get(PropertyContrast), 20);
    Set(PropertySaturation, -3);
    EXPECT_EQ(Get(PropertySaturation), 0);
    Set(PropertyRedGain, 301);
    EXPECT_EQ(Get(PropertyRedGain), 300);
    Set(PropertyBlueGain, -1);
    EXPECT_EQ(Get(PropertyBlueGain), 0);
    Set(PropertyExposure, 5000);
    EXPECT_EQ(Get(PropertyExposure), 1252);
    EXPECT_EQ(rig.Camera().SensorRegister(158), 36u);
    EXPECT_EQ(rig.Camera().SensorRegister(159), 19u);
    Set(PropertyGlobalGain, 1024);  // no clamp: the camera gets the low ten bits
    EXPECT_EQ(Get(PropertyGlobalGain), 1024);
    EXPECT_EQ(rig.Camera().SensorRegister(6), 0u);
    Set(PropertyColorCorrection, 9);  // no clamp either
    EXPECT_EQ(Get(PropertyColorCorrection), 9);
}

TEST_F(PropertyTest, TimeoutTakesAnythingAbove500ComparedUnsigned) {
    Set(PropertyTimeout, 500);
    EXPECT_EQ(Get(PropertyTimeout), 3000);
    EXPECT_EQ(ReadTimeout, 3000);
    Set(PropertyTimeout, 501);
    EXPECT_EQ(Get(PropertyTimeout), 501);
    EXPECT_EQ(ReadTimeout, 501);
    Set(PropertyTimeout, -1);
    EXPECT_EQ(Get(PropertyTimeout), -1);
    EXPECT_EQ(ReadTimeout, -1);
}

TEST_F(PropertyTest, IgnoredSetsSucceedAndAnswerZero) {
    for (ULONG id : {PropertyFlipH, PropertyFlipV, PropertyHalfClock, PropertyAGC, PropertyAEC}) {
        Set(id, 1);
        EXPECT_EQ(Get(id), 0) << "id " << id;
    }
    EXPECT_TRUE(Commands().empty());
}

TEST_F(PropertyTest, ExTriggerIsAskedOfTheCameraOnEveryGet) {
    Set(PropertyExTrigger, 5);
    EXPECT_TRUE(rig.Camera().TriggerMode());
    EXPECT_EQ(Get(PropertyExTrigger), 1);
    EXPECT_EQ(Get(PropertyExTrigger), 1);
    EXPECT_EQ(testrig::LinesStartingWith(Commands(), testrig::CommandLine({0x29})).size(), 2u);

    // A camera that does not answer reads as free running.
    rig::SetUsbRequestTimeout(100);
    rig.Camera().SetReplyFault(sim::ReplyFault::kDropBoth);
    EXPECT_EQ(Get(PropertyExTrigger), 0);
    rig.Camera().SetReplyFault(sim::ReplyFault::kShorten, 1, 10);
    EXPECT_EQ(Get(PropertyExTrigger), 0);
    EXPECT_EQ(Get(PropertyExTrigger), 1);

    Set(PropertyExTrigger, 0);
    EXPECT_FALSE(rig.Camera().TriggerMode());
    EXPECT_EQ(Get(PropertyExTrigger), 0);
}

TEST_F(PropertyTest, SendCommand20SendsItsPacketWhateverTheValue) {
    Set(PropertySendCommand20, 77);
    EXPECT_EQ(Commands(), std::vector<std::string>{testrig::CommandLine({0x20, 0x03, 0x00})});
}

TEST_F(PropertyTest, RoiChangesTheOfferedSizeOnlyWithoutAPin) {
    EXPECT_EQ(SetRoi(1005, 700), STATUS_SUCCESS);
    // The region reads back as the full sensor whatever was asked.
    EXPECT_EQ(Get(PropertyRoiX), 0);
    EXPECT_EQ(Get(PropertyRoiY), 0);
    EXPECT_EQ(Get(PropertyRoiW), 1600);
    EXPECT_EQ(Get(PropertyRoiH), 1200);
    EXPECT_EQ(Get(PropertySubSample), 0);
    EXPECT_EQ(OfferedSize(), Size(1000, 700));

    // Sizes outside 8..1600 x 8..1200 are ignored.
    for (auto size : {std::make_pair(0, 0), std::make_pair(-8, 100), std::make_pair(1601, 1200),
                      std::make_pair(1600, 1201), std::make_pair(7, 8), std::make_pair(8, 7),
                      std::make_pair(0x7FFFFFFF, 0x7FFFFFFF)}) {
        EXPECT_EQ(SetRoi(size.first, size.second), STATUS_SUCCESS);
        EXPECT_EQ(OfferedSize(), Size(1000, 700)) << size.first << " x " << size.second;
    }
    EXPECT_EQ(SetRoi(8, 8), STATUS_SUCCESS);
    EXPECT_EQ(OfferedSize(), Size(8, 8));
    EXPECT_EQ(SetRoi(1600, 1200), STATUS_SUCCESS);

    AcquirePin();
    EXPECT_EQ(Get(PropertyPinOpen), 1);
    EXPECT_EQ(SetRoi(640, 480), STATUS_SUCCESS);
    EXPECT_EQ(OfferedSize(), Size(1600, 1200));
    EXPECT_EQ(context->frameHeight, 1200u);
    pin->Close();
    EXPECT_EQ(Get(PropertyPinOpen), 0);
}

// Each filter offers its own copy of the range, owned by the filter: a size
// set through one filter is offered by that filter only, and another filter
// of the device keeps offering the size it had.
TEST_F(PropertyTest, RoiChangesOnlyItsOwnFiltersRange) {
    const ULONG rangeTag = 'gRNQ';
    std::unique_ptr<hostks::KsFilter> other;
    ASSERT_EQ(hostks::KsFilter::Open(rig.Pnp(), &other), STATUS_SUCCESS);
    // Descriptor, pin descriptors, range list and range, for each filter.
    EXPECT_EQ(hostk::PoolTagStats(rangeTag).liveBlocks, 8u);
    EXPECT_EQ(SetRoi(1005, 700), STATUS_SUCCESS);
    EXPECT_EQ(OfferedSize(), Size(1000, 700));
    EXPECT_EQ(OfferedSizeOf(*other), Size(1600, 1200));
    EXPECT_EQ(SetRoiOn(*other, 640, 480), STATUS_SUCCESS);
    EXPECT_EQ(OfferedSizeOf(*other), Size(640, 480));
    EXPECT_EQ(OfferedSize(), Size(1000, 700));
    other->Close();
    EXPECT_EQ(hostk::PoolTagStats(rangeTag).liveBlocks, 4u);
    // A filter opened later starts from what the device delivers now.
    ASSERT_EQ(hostks::KsFilter::Open(rig.Pnp(), &other), STATUS_SUCCESS);
    EXPECT_EQ(OfferedSizeOf(*other), Size(640, 480));
    other->Close();
    EXPECT_EQ(SetRoi(1600, 1200), STATUS_SUCCESS);
}

TEST_F(PropertyTest, PipelineValuesAnswerFromThePipelineWhileItExists) {
    Set(PropertyWhiteBalance, 1);
    EXPECT_EQ(Get(PropertyWhiteBalance), 1);
    AcquirePin();
    ImagePipeline* pipeline = context->pipeline;
    EXPECT_EQ(GetWhiteBalance(pipeline), 1);
    // The automatic balance moves the pipeline's gains; a get follows them.
    SetWhiteBalance(pipeline, 0);
    SetGreenGain(pipeline, 140);
    EXPECT_EQ(Get(PropertyWhiteBalance), 0);
    EXPECT_EQ(Get(PropertyGreenGain), 140);
    EXPECT_EQ(context->settings.greenGain, 140);

    // A gain reaches the running pipeline at once.
    Set(PropertyRedGain, 301);
    EXPECT_EQ(GetRedGain(pipeline), 300);
    Set(PropertyColorEnable, 0);
    EXPECT_EQ(GetColorEnable(pipeline), 0);
    Set(PropertyColorCorrection, 0);
    EXPECT_EQ(GetColorCorrection(pipeline), 0);

    // Equal values rebuild nothing; a new one rebuilds its stage.
    pipeline->brightnessMatrix[0] = 42.0;
    Set(PropertyBrightness, GetBrightness(pipeline));
    EXPECT_EQ(pipeline->brightnessMatrix[0], 42.0);
    Set(PropertyBrightness, 300);
    EXPECT_EQ(GetBrightness(pipeline), 300);
    EXPECT_NE(pipeline->brightnessMatrix[0], 42.0);
    pipeline->hueMatrix[0] = 42.0;
    Set(PropertyHue, 400);
    EXPECT_EQ(GetHue(pipeline), 359);
    EXPECT_NE(pipeline->hueMatrix[0], 42.0);

    // Without the pipeline again, the fields answer what it last held.
    pin->Close();
    EXPECT_EQ(context->pipeline, nullptr);
    EXPECT_EQ(Get(PropertyBrightness), 300);
    EXPECT_EQ(Get(PropertyRedGain), 300);
}

// Every setting the pipeline holds reaches a pipeline made after it was set:
// a get answers from the pipeline once it exists, so one left out at the
// build would answer the pipeline's factory value instead.
TEST_F(PropertyTest, ANewPipelineIsGivenEverySettingItHolds) {
    std::vector<std::pair<ULONG, LONG>> chosen;
    for (const CameraSettingRow& row : CameraSettingRows) {
        if (!IsPipelineSetting(row.property)) continue;
        const LONG value = row.addDefault != row.clamp.low ? row.clamp.low : row.clamp.high;
        ASSERT_NE(value, row.addDefault) << CameraPropertyName(row.property);
        Set(row.property, value);
        chosen.emplace_back(row.property, value);
    }
    EXPECT_EQ(chosen.size(), 10u);
    AcquirePin();
    for (const auto& [property, value] : chosen) EXPECT_EQ(Get(property), value) << CameraPropertyName(property);
}

TEST_F(PropertyTest, MalformedRequestsAreRefusedBeforeAnyHandler) {
    const LONG exposureBefore = context->settings.exposure;
    LONG value = 700;
    // Short request or data: refused, the camera is not touched.
    EXPECT_EQ(Request(PropertyExposure, KSPROPERTY_TYPE_SET, &value, 32, 31), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Request(PropertyExposure, KSPROPERTY_TYPE_SET, &value, 23, 32), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(Request(PropertyExposure, KSPROPERTY_TYPE_SET, &value, 20, 32), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(SetRoi(640, 480, 44), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(SetRoi(640, 480, 32), STATUS_BUFFER_TOO_SMALL);
    // Operations, ids and sets that do not exist.
    EXPECT_EQ(Request(PropertyExposure, 0, &value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Request(PropertyExposure, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, &value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Request(CameraPropertyCount, KSPROPERTY_TYPE_GET, &value), STATUS_NOT_FOUND);
    GUID other = CameraPropertySetId;
    other.Data1 ^= 1;
    EXPECT_EQ(Request(PropertyExposure, KSPROPERTY_TYPE_GET, &value, 32, 32, other), STATUS_NOT_FOUND);
    // Set on a get-only id, get on a set-only one.
    for (ULONG id : {PropertyExposureMin, PropertyPinOpen, PropertyRoiW, PropertySensorWidth}) {
        value = 1;
        EXPECT_EQ(Request(id, KSPROPERTY_TYPE_SET, &value), STATUS_NOT_FOUND) << id;
    }
    EXPECT_EQ(Request(PropertyRoi, KSPROPERTY_TYPE_GET, &value, 48, 48), STATUS_NOT_FOUND);
    EXPECT_EQ(Request(PropertySendCommand20, KSPROPERTY_TYPE_GET, &value), STATUS_NOT_FOUND);
    EXPECT_EQ(context->settings.exposure, exposureBefore);
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(context->frameWidth, 1600);

    // A get without data asks for the size.
    CameraPropertyValue buffer{};
    buffer.Property = {};
    buffer.Property.Set = CameraPropertySetId;
    buffer.Property.Id = PropertyHue;
    buffer.Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG returned = 0;
    EXPECT_EQ(filter->SendPropertyRequest(&buffer, 32, nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, 32u);
}

TEST_F(PropertyTest, OnlyFlagsOfExactlySetAreASet) {
    Set(PropertyBrightness, 200);
    // The topology bit still reaches the set handler, which reads instead
    // (and, the request being a set, nothing is copied back).
    LONG value = 400;
    EXPECT_EQ(Request(PropertyBrightness, KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY, &value), STATUS_SUCCESS);
    EXPECT_EQ(Get(PropertyBrightness), 200);
    value = 9;
    EXPECT_EQ(Request(PropertyExposure, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, context->settings.exposure);
    // Support queries are the class's own.
    value = 0;
    EXPECT_EQ(Request(PropertyRoi, KSPROPERTY_TYPE_BASICSUPPORT, &value, 32, 32), STATUS_SUCCESS);
    ULONG access = 0;
    CameraPropertyValue buffer{};
    buffer.Property.Set = CameraPropertySetId;
    buffer.Property.Id = PropertyRoi;
    buffer.Property.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
    ULONG returned = 0;
    EXPECT_EQ(filter->SendPropertyRequest(&buffer, 32, &access, sizeof access, &returned), STATUS_SUCCESS);
    EXPECT_EQ(access, static_cast<ULONG>(KSPROPERTY_TYPE_SET));
}

// The request needs only the property header, which is all the KS proxy's
// QuerySupported sends with a support query; the value travels in the data.
TEST_F(PropertyTest, ARequestOfTheBareHeaderIsAnsweredForEveryId) {
    ULONG answered = 0;
    for (ULONG id = 0; id < CameraPropertyCount; ++id) {
        KSPROPERTY query{};
        query.Set = CameraPropertySetId;
        query.Id = id;
        query.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
        ULONG access = 0xFFFFFFFF, returned = 0;
        EXPECT_EQ(filter->SendPropertyRequest(&query, sizeof query, &access, sizeof access, &returned), STATUS_SUCCESS)
            << id;
        EXPECT_EQ(returned, sizeof access) << id;
        EXPECT_EQ(access & ~static_cast<ULONG>(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET), 0u) << id;
        if (access != 0) ++answered;
    }
    EXPECT_EQ(answered, CameraPropertyCount);
    auto accessOf = [&](ULONG id) {
        KSPROPERTY query{CameraPropertySetId, id, KSPROPERTY_TYPE_BASICSUPPORT};
        ULONG access = 0, returned = 0;
        filter->SendPropertyRequest(&query, sizeof query, &access, sizeof access, &returned);
        return access;
    };
    EXPECT_EQ(accessOf(PropertyExposure), static_cast<ULONG>(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
    EXPECT_EQ(accessOf(PropertyExposureMax), static_cast<ULONG>(KSPROPERTY_TYPE_GET));
    EXPECT_EQ(accessOf(PropertyRoi), static_cast<ULONG>(KSPROPERTY_TYPE_SET));

    // A get or a set with the bare header and a whole value in the data.
    LONG value = 600;
    EXPECT_EQ(Request(PropertyExposure, KSPROPERTY_TYPE_SET, &value, sizeof(KSPROPERTY), 32), STATUS_SUCCESS);
    value = 0;
    EXPECT_EQ(Request(PropertyExposure, KSPROPERTY_TYPE_GET, &value, sizeof(KSPROPERTY), 32), STATUS_SUCCESS);
    EXPECT_EQ(value, 600);
}

// The class checks a request against the item's MinProperty before it
// answers a support query, as it does before a get or a set.
TEST(ClassPropertyChecks, ASupportQueryShorterThanTheItemsIdentifierIsRefused) {
    static const GUID set = {0x1d2e3f40, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
    static const KSPROPERTY_ITEM items[] = {
        {7, {nullptr}, 40, 8, {nullptr}, nullptr, 0, nullptr, nullptr, 0},
    };
    static const KSPROPERTY_SET sets[] = {{&set, 1, items, 0, nullptr}};
    struct {
        KSPROPERTY header;
        UCHAR instance[16];
    } request{};
    request.header.Set = set;
    request.header.Id = 7;
    request.header.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
    ULONG access = 0;
    IRP irp{};
    IO_STACK_LOCATION stack{};
    irp.Tail.Overlay.CurrentStackLocation = &stack;
    stack.Parameters.DeviceIoControl.Type3InputBuffer = &request;
    stack.Parameters.DeviceIoControl.OutputBufferLength = sizeof access;
    irp.UserBuffer = &access;
    for (ULONG length : {24u, 39u}) {
        stack.Parameters.DeviceIoControl.InputBufferLength = length;
        EXPECT_EQ(KsPropertyHandler(&irp, 1, sets), STATUS_BUFFER_TOO_SMALL) << length;
    }
    stack.Parameters.DeviceIoControl.InputBufferLength = 40;
    EXPECT_EQ(KsPropertyHandler(&irp, 1, sets), STATUS_SUCCESS);
    EXPECT_EQ(irp.IoStatus.Information, sizeof access);
}

TEST_F(PropertyTest, FilterCloseSavesWhatTheRequestsChanged) {
    Set(PropertyTimeout, 20000);
    Set(PropertyBrightness, 700);
    Set(PropertyFlipH, 1);
    ASSERT_EQ(filter->Close(), STATUS_SUCCESS);
    filter.reset();
    const std::string key = rig.Pnp().DriverKeyPath() + "\\Settings";
    uint32_t saved = 0;
    EXPECT_TRUE(rig.Pnp().Registry().GetDword(key, "Timeout", &saved));
    EXPECT_EQ(saved, 20000u);
    EXPECT_TRUE(rig.Pnp().Registry().GetDword(key, "Brightness", &saved));
    EXPECT_EQ(saved, 510u);
    EXPECT_TRUE(rig.Pnp().Registry().GetDword(key, "FlipH", &saved));
    EXPECT_EQ(saved, 0u);
    // The next start skips a saved timeout beyond 9999.
    rig.Remove();
    rig.Plug();
    ASSERT_EQ(hostks::KsFilter::Open(rig.Pnp(), &filter), STATUS_SUCCESS);
    EXPECT_EQ(Get(PropertyTimeout), 3000);
    EXPECT_EQ(Get(PropertyBrightness), 510);
}

// Several clients set properties at once while the pin streams. The packets
// of each operation must reach the camera whole and in their own order:
// every register the camera holds matches the driver's shadow, and the
// camera saw exactly the packets the operations send. Frames keep flowing.
TEST_F(PropertyTest, ConcurrentRequestsWhileStreamingKeepTheirPackets) {
    AcquirePin();
    hostks::ReferenceClock clock;
    pin->SetClock(&clock);
    const ULONG frameBytes = 1600 * 1200 * 4;
    std::vector<std::vector<uint8_t>> frames(2, std::vector<uint8_t>(frameBytes));
    for (auto& frame : frames) ASSERT_EQ(pin->SubmitFrame(frame.data(), frameBytes), STATUS_PENDING);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const sim::CameraCounters before = rig.Camera().Counters();

    constexpr int kRounds = 100;
    std::atomic<int> failures{0};
    auto client = [&](int kind) {
        for (int i = 0; i < kRounds; ++i) {
            CameraPropertyValue buffer{};
            buffer.Property.Set = CameraPropertySetId;
            buffer.Property.Flags = KSPROPERTY_TYPE_SET;
            switch (kind) {
            case 0: buffer.Property.Id = PropertyExposure; buffer.Value = 2 + (i * 31) % 1200; break;
            case 1: buffer.Property.Id = PropertyGlobalGain; buffer.Value = i * 25; break;
            case 2: buffer.Property.Id = PropertyExTrigger; buffer.Value = 0; break;
            case 3: buffer.Property.Id = PropertyBrightness; buffer.Value = i * 13; break;
            default:
                buffer.Property.Id = PropertyExTrigger;
                buffer.Property.Flags = KSPROPERTY_TYPE_GET;
                break;
            }
            ULONG returned = 0;
            if (filter->SendPropertyRequest(&buffer, 32, &buffer, 32, &returned) != STATUS_SUCCESS) ++failures;
        }
    };
    std::vector<std::thread> threads;
    for (int kind = 0; kind < 5; ++kind) threads.emplace_back(client, kind);
    int delivered = 0;
    while (delivered < 3) {
        hostks::CompletedFrame frame;
        if (!pin->WaitForFrame(&frame, std::chrono::seconds(10))) break;
        if (frame.status == STATUS_SUCCESS) ++delivered;
        pin->SubmitFrame(frame.data, frameBytes);
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GE(delivered, 3) << "frames stopped while properties were set";
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);

    const sim::CameraCounters after = rig.Camera().Counters();
    // Exposure and gain: two register writes each; trigger mode: 0x28 and two
    // register writes; each query: one 0x29.
    EXPECT_EQ(after.commandsByCode[0x04] - before.commandsByCode[0x04], 2u * kRounds * 2 + 2u * kRounds);
    EXPECT_EQ(after.commandsByCode[0x28] - before.commandsByCode[0x28], static_cast<uint64_t>(kRounds));
    EXPECT_EQ(after.commandsByCode[0x29] - before.commandsByCode[0x29], static_cast<uint64_t>(kRounds));
    for (int reg : {6, 7, 32, 33, 158, 159}) {
        const LONG shadow = context->sensorRegisters[reg];
        EXPECT_EQ(rig.Camera().SensorRegister(reg), static_cast<uint32_t>(shadow & 0x3F)) << "register " << reg;
    }
    EXPECT_EQ(context->settings.exposure, 2 + ((kRounds - 1) * 31) % 1200);
    pin->Close();
    pin.reset();
}

}  // namespace

namespace {

// Requests that reach the pipeline race with the pin creating and freeing
// it: a handler must never use a pipeline that is being freed, and a value
// set while the pin builds its pipeline must not be lost.
TEST_F(PropertyTest, RequestsRacingThePipelinesLifetime) {
    AcquirePin();
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    std::atomic<bool> done{false};
    std::thread requests([&] {
        LONG gain = 0;
        while (!done.load()) {
            CameraPropertyValue buffer{};
            buffer.Property.Set = CameraPropertySetId;
            buffer.Property.Id = PropertyRedGain;
            buffer.Property.Flags = (gain % 2) ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_SET;
            buffer.Value = gain++ % 300;
            ULONG returned = 0;
            filter->SendPropertyRequest(&buffer, 32, &buffer, 32, &returned);
            buffer.Property.Id = PropertyBrightness;
            filter->SendPropertyRequest(&buffer, 32, &buffer, 32, &returned);
        }
    });
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
        ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    }
    done = true;
    requests.join();
    // Settled: the next pipeline is built from the last values set.
    Set(PropertyRedGain, 222);
    Set(PropertyBrightness, 333);
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(GetRedGain(context->pipeline), 222);
    EXPECT_EQ(GetBrightness(context->pipeline), 333);
}

}  // namespace
