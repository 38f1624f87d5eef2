// The filter and pin as a client sees them: descriptors, the data range and
// its rewrite, intersection, the formats a pin accepts, and the pin's rows.
#include <cstring>

#include "driver/capture/capture_filter.h"
#include "driver/camera/property_set.h"
#include "common/camera_property_set.h"
#include "driver/capture/capture_pin.h"
#include "tests/capture/streaming_support.h"

namespace streaming_test {
namespace {

class PinFormatTest : public StreamingTest {
protected:
    // Sets the device's geometry and has `target` offer it, as the Roi
    // request does through that filter.
    static void SetGeometry(DeviceContext* device, hostks::KsFilter& target, LONG width, LONG height) {
        KsFilterAcquireControl(target.Object());
        SetFrameGeometry(device, width, height);
        OfferDeliveredGeometry(target.Object());
        KsFilterReleaseControl(target.Object());
    }
    void SetGeometry(LONG width, LONG height) { SetGeometry(rig.Context(), *filter, width, height); }
};

const GUID kVideoInfo = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};

KS_DATARANGE_VIDEO& Range(std::vector<uint8_t>& bytes) { return *reinterpret_cast<KS_DATARANGE_VIDEO*>(bytes.data()); }

// A video application finds the filter as a video capture source with one
// output pin; the identifiers are the platform's.
TEST_F(PinFormatTest, TheFilterIsAVideoCaptureSourceWithOneOutputPin) {
    const KSFILTER_DESCRIPTOR* filterDescriptor = filter->Object()->Descriptor;
    ASSERT_EQ(filterDescriptor->CategoriesCount, 3u);
    EXPECT_TRUE(IsEqualGUID(filterDescriptor->Categories[0], GUID{STATIC_KSCATEGORY_VIDEO}));
    EXPECT_TRUE(IsEqualGUID(filterDescriptor->Categories[1], GUID{STATIC_KSCATEGORY_CAPTURE}));
    // KSCATEGORY_VIDEO_CAMERA, spelt out: the category Media Foundation lists.
    const GUID videoCamera = {0xE5323777, 0xF976, 0x4F5B, {0x9B, 0x55, 0xB9, 0x46, 0x99, 0xC4, 0x6E, 0x44}};
    EXPECT_TRUE(IsEqualGUID(filterDescriptor->Categories[2], videoCamera));
    EXPECT_TRUE(IsEqualGUID(*filterDescriptor->ReferenceGuid, GUID{STATIC_KSNAME_Filter}));
    ASSERT_EQ(filter->PinFactoryCount(), 1u);
    const KSPIN_DESCRIPTOR_EX& pinDescriptor = filterDescriptor->PinDescriptors[0];
    EXPECT_EQ(pinDescriptor.PinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(pinDescriptor.PinDescriptor.Communication, KSPIN_COMMUNICATION_BOTH);
    EXPECT_TRUE(IsEqualGUID(*pinDescriptor.PinDescriptor.Name, GUID{STATIC_PINNAME_VIDEO_CAPTURE}));
    // Process is asked for only while running: nothing is converted before
    // the thread reads frames.
    EXPECT_TRUE(pinDescriptor.Flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY);

    // No pin on a factory that does not exist.
    std::vector<uint8_t> format = OfferedFormat();
    std::unique_ptr<hostks::KsPin> refused;
    EXPECT_NE(filter->CreatePin(1, format.data(), &refused), STATUS_SUCCESS);
    EXPECT_EQ(rig.Context()->pinOpen, 0);
}

// The client sizes its frames by the pin's framing: each pin gets its own
// copy, sized to exactly one image, and the declared framing that every
// filter shares is left as it was.
TEST_F(PinFormatTest, APinsFramingIsItsOwnAndHoldsOneImage) {
    const KSPIN_DESCRIPTOR_EX& pinDescriptor = filter->Object()->Descriptor->PinDescriptors[0];
    const KSALLOCATOR_FRAMING_EX declared = *pinDescriptor.AllocatorFraming;
    // The driver writes into the frames with the processor.
    EXPECT_TRUE(declared.FramingItem[0].Flags & KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY);

    CreatePin();
    const KS_FRAMING_ITEM item = pin->Framing().FramingItem[0];
    EXPECT_EQ(item.PhysicalRange.MinFrameSize, kImageBytes);
    EXPECT_EQ(item.PhysicalRange.MaxFrameSize, kImageBytes);
    EXPECT_EQ(item.FramingRange.Range.MinFrameSize, kImageBytes);
    EXPECT_EQ(item.FramingRange.Range.MaxFrameSize, kImageBytes);
    EXPECT_EQ(item.FramingRange.Range.Stepping, 0u);
    // Only the sizes are the pin's own.
    EXPECT_EQ(item.Frames, declared.FramingItem[0].Frames);
    EXPECT_EQ(item.Flags, declared.FramingItem[0].Flags);
    EXPECT_TRUE(IsEqualGUID(item.MemoryType, declared.FramingItem[0].MemoryType));
    EXPECT_EQ(std::memcmp(pinDescriptor.AllocatorFraming, &declared, sizeof declared), 0);
    EXPECT_NE(pin->Object()->Descriptor, &pinDescriptor);
    EXPECT_EQ(hostk::PoolTagStats('hVLT').liveBlocks, 2u);  // the two edited copies
}

// The range describes what a frame of the sensor's full size is at thirty
// frames a second, every number following from the size and the rate.
TEST_F(PinFormatTest, OfferedRangeDescribesTheFullSensorAtThirtyFrames) {
    std::vector<uint8_t> bytes = OfferedRange();
    KS_DATARANGE_VIDEO& range = Range(bytes);
    const KS_BITMAPINFOHEADER& bitmap = range.VideoInfoHeader.bmiHeader;
    const LONGLONG thirtyFrames = 10000000 / 30;  // 100-ns units
    EXPECT_EQ(range.DataRange.FormatSize, sizeof(KS_DATARANGE_VIDEO));
    EXPECT_EQ(bitmap.biWidth, SensorWidth);
    EXPECT_EQ(bitmap.biHeight, SensorHeight);  // positive: rows bottom up
    EXPECT_EQ(bitmap.biBitCount, 32);
    EXPECT_EQ(bitmap.biSizeImage, kImageBytes);
    EXPECT_EQ(range.DataRange.SampleSize, bitmap.biSizeImage);
    EXPECT_EQ(range.VideoInfoHeader.rcSource.right, bitmap.biWidth);
    EXPECT_EQ(range.VideoInfoHeader.rcSource.bottom, bitmap.biHeight);
    EXPECT_EQ(range.ConfigCaps.MaxOutputSize.cx, bitmap.biWidth);
    EXPECT_EQ(range.ConfigCaps.MaxOutputSize.cy, bitmap.biHeight);
    EXPECT_EQ(range.ConfigCaps.MinFrameInterval, thirtyFrames);
    EXPECT_EQ(range.ConfigCaps.MaxFrameInterval, thirtyFrames);
    EXPECT_EQ(range.VideoInfoHeader.AvgTimePerFrame, thirtyFrames);
    EXPECT_EQ(range.ConfigCaps.MinBitsPerSecond, static_cast<LONG>(bitmap.biSizeImage * 8 * 30));
    EXPECT_EQ(range.ConfigCaps.MaxBitsPerSecond, range.ConfigCaps.MinBitsPerSecond);
    // Counted in bytes a second, not bits.
    EXPECT_EQ(range.VideoInfoHeader.dwBitRate, bitmap.biSizeImage * 30);
    // Intersection asks the caller's range to say so too.
    EXPECT_EQ(range.bTemporalCompression, TRUE);
}

TEST_F(PinFormatTest, IntersectionAnswersSizeBufferAndMismatch) {
    std::vector<uint8_t> range = OfferedRange();
    ULONG size = 0;
    EXPECT_EQ(filter->Intersect(0, range.data(), 0, nullptr, &size), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 152u);
    std::vector<uint8_t> buffer(200, kUnwritten);
    EXPECT_EQ(filter->Intersect(0, range.data(), 151, buffer.data(), &size), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(filter->Intersect(0, range.data(), 152, buffer.data(), &size), STATUS_SUCCESS);
    EXPECT_EQ(size, 152u);
    EXPECT_EQ(buffer[152], kUnwritten);
    auto* format = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(buffer.data());
    EXPECT_EQ(format->DataFormat.FormatSize, 152u);
    EXPECT_EQ(format->DataFormat.SampleSize, kImageBytes);
    EXPECT_EQ(format->VideoInfoHeader.bmiHeader.biSizeImage, kImageBytes);
    EXPECT_EQ(format->VideoInfoHeader.bmiHeader.biWidth, 1600);

    // The size comes from the caller's header: 1600 x 600 at 24 bits.
    Range(range).VideoInfoHeader.bmiHeader.biHeight = 600;
    Range(range).VideoInfoHeader.bmiHeader.biBitCount = 24;
    ASSERT_EQ(filter->Intersect(0, range.data(), 152, buffer.data(), &size), STATUS_SUCCESS);
    EXPECT_EQ(format->VideoInfoHeader.bmiHeader.biSizeImage, 1600u * 3 * 600);
    // A top-down header matches nothing: the pin writes rows bottom up only.
    Range(range).VideoInfoHeader.bmiHeader.biHeight = -600;
    EXPECT_EQ(filter->Intersect(0, range.data(), 152, buffer.data(), &size), STATUS_NO_MATCH);
    std::vector<uint8_t> topDown = OfferedRange();
    Range(topDown).VideoInfoHeader.bmiHeader.biHeight = -SensorHeight;
    EXPECT_EQ(filter->Intersect(0, topDown.data(), 152, buffer.data(), &size), STATUS_NO_MATCH);

    // ConfigCaps differing in any one byte: no match.
    for (size_t offset : {size_t{0}, size_t{20}, size_t{77}, size_t{127}}) {
        std::vector<uint8_t> changed = OfferedRange();
        reinterpret_cast<uint8_t*>(&Range(changed).ConfigCaps)[offset] ^= 1;
        EXPECT_EQ(filter->Intersect(0, changed.data(), 152, buffer.data(), &size), STATUS_NO_MATCH) << offset;
    }
    std::vector<uint8_t> other = OfferedRange();
    Range(other).bTemporalCompression = FALSE;
    EXPECT_EQ(filter->Intersect(0, other.data(), 152, buffer.data(), &size), STATUS_NO_MATCH);
    other = OfferedRange();
    Range(other).DataRange.FormatSize = 295;
    EXPECT_EQ(filter->Intersect(0, other.data(), 152, buffer.data(), &size), STATUS_NO_MATCH);
    // A bitmap header running past the caller's range, or too short to hold
    // the sizes written into it.
    other = OfferedRange();
    Range(other).VideoInfoHeader.bmiHeader.biSize = 41;
    EXPECT_EQ(filter->Intersect(0, other.data(), 152, buffer.data(), &size), STATUS_INVALID_PARAMETER);
    Range(other).VideoInfoHeader.bmiHeader.biSize = 16;
    EXPECT_EQ(filter->Intersect(0, other.data(), 152, buffer.data(), &size), STATUS_INVALID_PARAMETER);
    // A bigger range carrying a longer header is fine.
    std::vector<uint8_t> longer = OfferedRange();
    longer.resize(296 + 16, 0);
    Range(longer).DataRange.FormatSize = 296 + 16;
    Range(longer).VideoInfoHeader.bmiHeader.biSize = 56;
    EXPECT_EQ(filter->Intersect(0, longer.data(), 0, nullptr, &size), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 64u + 48 + 56);
}

TEST_F(PinFormatTest, FormatsThePinRefuses) {
    std::vector<uint8_t> format = OfferedFormat();
    std::unique_ptr<hostks::KsPin> refused;
    auto create = [&](const std::vector<uint8_t>& f) { return filter->CreatePin(0, f.data(), &refused); };

    std::vector<uint8_t> f = format;
    VideoInfo(f).bmiHeader.biWidth = 1592;  // narrower than the range
    EXPECT_EQ(create(f), STATUS_NO_MATCH);
    f = format;
    VideoInfo(f).bmiHeader.biHeight = 1199;
    EXPECT_EQ(create(f), STATUS_NO_MATCH);
    f = format;
    VideoInfo(f).bmiHeader.biCompression = 3;
    EXPECT_EQ(create(f), STATUS_NO_MATCH);
    f = format;
    VideoInfo(f).bmiHeader.biSizeImage = kImageBytes - 1;
    EXPECT_EQ(create(f), STATUS_INVALID_PARAMETER);
    f = format;
    VideoInfo(f).bmiHeader.biSize = 41;  // header past the format's end
    EXPECT_EQ(create(f), STATUS_INVALID_PARAMETER);
    // 894785 x 1200 x 4 wraps to 704 in 32 bits: the size is worked in 64.
    f = format;
    VideoInfo(f).bmiHeader.biWidth = 894785;
    EXPECT_EQ(create(f), STATUS_INVALID_PARAMETER);
    f = format;
    reinterpret_cast<KSDATAFORMAT*>(f.data())->FormatSize = 151;
    EXPECT_NE(create(f), STATUS_SUCCESS);
    EXPECT_EQ(rig.Context()->pinOpen, 0);
    EXPECT_EQ(hostk::PoolTagStats('wNCK').liveBlocks, 3u);  // device, worker, filter
}

TEST_F(PinFormatTest, ATopDownFormatIsRefusedAtCreateAndAsAChange) {
    std::vector<uint8_t> topDown = OfferedFormat();
    VideoInfo(topDown).bmiHeader.biHeight = -1200;
    std::unique_ptr<hostks::KsPin> refused;
    EXPECT_EQ(filter->CreatePin(0, topDown.data(), &refused), STATUS_NO_MATCH);
    EXPECT_EQ(rig.Context()->pinOpen, 0);

    CreatePin();
    EXPECT_EQ(pin->SetFormat(topDown.data()), STATUS_NO_MATCH);
    EXPECT_EQ(PinContextOf(pin->Object())->videoInfo.bmiHeader.biHeight, 1200);
}

TEST_F(PinFormatTest, AZeroImageSizeStandsForTheRowsSizeInFramingAndDataUsed) {
    std::vector<uint8_t> format = OfferedFormat();
    VideoInfo(format).bmiHeader.biSizeImage = 0;
    CreatePin(format);
    EXPECT_EQ(PinContextOf(pin->Object())->videoInfo.bmiHeader.biSizeImage, kImageBytes);
    EXPECT_EQ(pin->Framing().FramingItem[0].FramingRange.Range.MaxFrameSize, kImageBytes);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ClientBuffer buffer;
    ASSERT_EQ(pin->SubmitFrame(buffer.data(), buffer.size), STATUS_PENDING);
    hostks::CompletedFrame frame = NextFrame();
    EXPECT_EQ(frame.dataUsed, kImageBytes);
    EXPECT_TRUE(HoldsBottomUp(frame.data, ExpectedImage(rig.Camera().ExpectedRawFrame())));
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);

    // A change to a wider format of size 0 frames by the wider rows.
    std::vector<uint8_t> wider = OfferedFormat();
    VideoInfo(wider).bmiHeader.biWidth = 1608;
    VideoInfo(wider).bmiHeader.biSizeImage = 0;
    ASSERT_EQ(pin->SetFormat(wider.data()), STATUS_SUCCESS);
    EXPECT_EQ(pin->Framing().FramingItem[0].FramingRange.Range.MaxFrameSize, 1608u * 1200 * 4);
}

TEST_F(PinFormatTest, AWiderFormatGetsRowsOfItsOwnWidthFromTheStart) {
    std::vector<uint8_t> format = OfferedFormat();
    VideoInfo(format).bmiHeader.biWidth = 1608;
    VideoInfo(format).bmiHeader.biSizeImage = 1608 * 1200 * 4;
    CreatePin(format);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ClientBuffer buffer(1608 * 1200 * 4);
    ASSERT_EQ(pin->SubmitFrame(buffer.data(), buffer.size), STATUS_PENDING);
    hostks::CompletedFrame frame = NextFrame();
    EXPECT_EQ(frame.dataUsed, 1608u * 1200 * 4);
    EXPECT_TRUE(HoldsBottomUp(frame.data, ExpectedImage(rig.Camera().ExpectedRawFrame()), 1608 * 4));
    EXPECT_TRUE(buffer.GuardIntact());
}

TEST_F(PinFormatTest, FormatChangeOnlyWhileStoppedAndARefusalChangesNothing) {
    CreatePin();
    std::vector<uint8_t> wider = OfferedFormat();
    VideoInfo(wider).bmiHeader.biWidth = 1616;
    VideoInfo(wider).bmiHeader.biSizeImage = 1616 * 1200 * 4;
    VideoInfo(wider).AvgTimePerFrame = 400000;
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(pin->SetFormat(wider.data()), STATUS_INVALID_DEVICE_STATE);
    PinContext* context = PinContextOf(pin->Object());
    EXPECT_EQ(context->outputStride, 1600u * 4);
    EXPECT_EQ(context->videoInfo.bmiHeader.biWidth, 1600);
    std::vector<uint8_t> inForce = pin->Format();
    EXPECT_EQ(VideoInfo(inForce).bmiHeader.biWidth, 1600);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);

    std::vector<uint8_t> bad = wider;
    VideoInfo(bad).bmiHeader.biSizeImage = 16;
    EXPECT_EQ(pin->SetFormat(bad.data()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(context->outputStride, 1600u * 4);  // the format in force keeps its stride

    EXPECT_EQ(pin->Framing().FramingItem[0].FramingRange.Range.MaxFrameSize, kImageBytes);

    ASSERT_EQ(pin->SetFormat(wider.data()), STATUS_SUCCESS);
    EXPECT_EQ(context->outputStride, 1616u * 4);
    // The client sizes its frames by the framing: it follows the format.
    KS_FRAMING_ITEM item = pin->Framing().FramingItem[0];
    EXPECT_EQ(item.Frames, 2u);
    EXPECT_EQ(item.PhysicalRange.MinFrameSize, 1616u * 1200 * 4);
    EXPECT_EQ(item.PhysicalRange.MaxFrameSize, 1616u * 1200 * 4);
    EXPECT_EQ(item.FramingRange.Range.MinFrameSize, 1616u * 1200 * 4);
    EXPECT_EQ(item.FramingRange.Range.MaxFrameSize, 1616u * 1200 * 4);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ClientBuffer buffer(1616 * 1200 * 4);
    ASSERT_EQ(pin->SubmitFrame(buffer.data(), buffer.size), STATUS_PENDING);
    hostks::CompletedFrame frame = NextFrame();
    EXPECT_EQ(frame.duration, 400000);
    EXPECT_EQ(frame.dataUsed, 1616u * 1200 * 4);
    EXPECT_TRUE(HoldsBottomUp(frame.data, ExpectedImage(rig.Camera().ExpectedRawFrame()), 1616 * 4));
}

TEST_F(PinFormatTest, FrameGeometryRewritesTheRangeOnlyWhileNoPinExists) {
    DeviceContext* context = rig.Context();
    SetGeometry(1604, 1000);
    EXPECT_EQ(context->frameWidth, 1604);
    EXPECT_EQ(context->frameHeight, 1000u);
    EXPECT_EQ(context->outputWidth, 1600);
    EXPECT_EQ(context->outputHeight, 1000);
    std::vector<uint8_t> bytes = OfferedRange();
    KS_DATARANGE_VIDEO& range = Range(bytes);
    EXPECT_EQ(range.DataRange.SampleSize, 6400000u);
    EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biSizeImage, 6400000u);
    EXPECT_EQ(range.ConfigCaps.MinBitsPerSecond, 1536000000);
    EXPECT_EQ(range.ConfigCaps.MaxOutputSize.cx, 1600);
    EXPECT_EQ(range.ConfigCaps.MaxOutputSize.cy, 1000);
    EXPECT_EQ(range.VideoInfoHeader.dwBitRate, 192000000u);
    EXPECT_EQ(range.VideoInfoHeader.rcSource.bottom, 1000);

    CreatePin();
    SetGeometry(1005, 700);
    EXPECT_EQ(context->frameWidth, 1604);
    EXPECT_EQ(context->outputHeight, 1000);
    EXPECT_EQ(OfferedRange(), bytes);
    // A second filter's pin that fails to be created leaves the first pin's
    // protection in place.
    std::unique_ptr<hostks::KsFilter> second;
    ASSERT_EQ(hostks::KsFilter::Open(rig.Pnp(), &second), STATUS_SUCCESS);
    std::vector<uint8_t> narrow = OfferedFormat();
    VideoInfo(narrow).bmiHeader.biWidth = 8;
    std::unique_ptr<hostks::KsPin> refused;
    EXPECT_EQ(second->CreatePin(0, narrow.data(), &refused), STATUS_NO_MATCH);
    SetGeometry(1005, 700);
    EXPECT_EQ(context->frameWidth, 1604);
    second->Close();

    pin->Close();
    SetGeometry(1005, 700);
    EXPECT_EQ(context->frameWidth, 1005);
    EXPECT_EQ(context->outputWidth, 1000);
    bytes = OfferedRange();
    EXPECT_EQ(Range(bytes).DataRange.SampleSize, 1000u * 700 * 4);
    EXPECT_EQ(Range(bytes).ConfigCaps.MaxBitsPerSecond, 1000 * 700 * 960);
    EXPECT_EQ(Range(bytes).VideoInfoHeader.dwBitRate, 1000u * 700 * 120);
    SetGeometry(1600, 1200);
}

TEST_F(PinFormatTest, APinsFormatFollowsItsOwnDeviceWhateverAnotherFilterOffers) {
    std::vector<uint8_t> ownRange = OfferedRange();
    std::vector<uint8_t> own = OfferedFormat();
    // A second camera's filter offers 800 x 600, which is not what this
    // device delivers.
    testrig::PluggedCamera other;
    other.Plug();
    std::unique_ptr<hostks::KsFilter> otherFilter;
    ASSERT_EQ(hostks::KsFilter::Open(other.Pnp(), &otherFilter), STATUS_SUCCESS);
    SetGeometry(other.Context(), *otherFilter, 800, 600);
    std::vector<uint8_t> shared = otherFilter->DataRanges(0).at(0);
    ASSERT_EQ(Range(shared).VideoInfoHeader.bmiHeader.biHeight, 600);
    // This filter's range is its own: the other device's size is not in it.
    EXPECT_EQ(OfferedRange(), ownRange);

    std::vector<uint8_t> format;
    EXPECT_EQ(filter->Intersect(0, shared.data(), &format), STATUS_NO_MATCH);
    ASSERT_EQ(filter->Intersect(0, ownRange.data(), &format), STATUS_SUCCESS);
    EXPECT_EQ(format, own);
    std::vector<uint8_t> small = own;
    VideoInfo(small).bmiHeader.biWidth = 800;
    VideoInfo(small).bmiHeader.biHeight = 600;
    VideoInfo(small).bmiHeader.biSizeImage = 800 * 600 * 4;
    EXPECT_EQ(filter->CreatePin(0, small.data(), &pin), STATUS_NO_MATCH);
    EXPECT_EQ(rig.Context()->pinOpen, 0);

    CreatePin(own);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ClientBuffer buffer;
    ASSERT_EQ(pin->SubmitFrame(buffer.data(), buffer.size), STATUS_PENDING);
    hostks::CompletedFrame frame = NextFrame();
    EXPECT_EQ(frame.dataUsed, kImageBytes);
    EXPECT_TRUE(HoldsBottomUp(frame.data, ExpectedImage(rig.Camera().ExpectedRawFrame())));
    pin->Close();
    otherFilter->Close();
}

TEST_F(PinFormatTest, AStreamOfAShorterFrameCarriesTheSensorsTopLines) {
    SetGeometry(1600, 1000);
    CreatePin();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(rig.Camera().RawFrameSize(), 1931264u);  // 1000 x 1921 + 9913, rounded up to 1024
    ClientBuffer buffer(1600 * 1000 * 4);
    ASSERT_EQ(pin->SubmitFrame(buffer.data(), buffer.size), STATUS_PENDING);
    hostks::CompletedFrame frame = NextFrame();
    EXPECT_EQ(frame.dataUsed, 1600u * 1000 * 4);
    EXPECT_TRUE(HoldsBottomUp(frame.data, ExpectedImage(rig.Camera().ExpectedRawFrame(), 1000), 1600 * 4, 1000));
    pin->Close();
    SetGeometry(1600, 1200);
}

// A client learns the next pin's formats from the class's pin properties on
// the filter (KSPROPSETID_Pin), in the multiple-item form, sized by its
// buffer; a Roi set on the filter shows there.
TEST_F(PinFormatTest, PinPropertiesAnswerTheRangesARoiLeaves) {
    KSP_PIN request{};
    request.Property.Set = GUID{STATIC_KSPROPSETID_Pin};
    request.Property.Id = KSPROPERTY_PIN_DATARANGES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    auto ask = [&](std::vector<uint8_t>* data, ULONG* returned) {
        return filter->SendPropertyRequest(&request, sizeof request, data->empty() ? nullptr : data->data(),
                                           static_cast<ULONG>(data->size()), returned);
    };
    const ULONG rangeSize = static_cast<ULONG>(OfferedRange().size());
    const ULONG listSize = sizeof(KSMULTIPLE_ITEM) + ((rangeSize + 7) & ~7u);
    std::vector<uint8_t> data;
    ULONG returned = 0;
    EXPECT_EQ(ask(&data, &returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, listSize);
    data.assign(sizeof(ULONG), 0);
    EXPECT_EQ(ask(&data, &returned), STATUS_SUCCESS);
    EXPECT_EQ(*reinterpret_cast<ULONG*>(data.data()), listSize);
    data.assign(sizeof(KSMULTIPLE_ITEM) + 4, 0);
    EXPECT_EQ(ask(&data, &returned), STATUS_BUFFER_TOO_SMALL);

    CameraRoiValue roi{};
    roi.Property.Set = CameraPropertySetId;
    roi.Property.Id = PropertyRoi;
    roi.Property.Flags = KSPROPERTY_TYPE_SET;
    roi.Width = 1005;
    roi.Height = 700;
    ASSERT_EQ(filter->SendPropertyRequest(&roi, sizeof roi, &roi, sizeof roi, &returned), STATUS_SUCCESS);
    data.assign(listSize, 0xEE);
    ASSERT_EQ(ask(&data, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, listSize);
    const auto* header = reinterpret_cast<const KSMULTIPLE_ITEM*>(data.data());
    EXPECT_EQ(header->Size, listSize);
    EXPECT_EQ(header->Count, 1u);
    std::vector<uint8_t> offered(data.begin() + sizeof(KSMULTIPLE_ITEM), data.begin() + sizeof(KSMULTIPLE_ITEM) + rangeSize);
    EXPECT_EQ(offered, OfferedRange());
    EXPECT_EQ(Range(offered).VideoInfoHeader.bmiHeader.biWidth, 1000);
    EXPECT_EQ(Range(offered).VideoInfoHeader.bmiHeader.biHeight, 700);

    request.PinId = 1;
    EXPECT_EQ(ask(&data, &returned), STATUS_INVALID_PARAMETER);
    request.Property.Id = KSPROPERTY_PIN_CTYPES;
    data.assign(sizeof(ULONG), 0);
    EXPECT_EQ(ask(&data, &returned), STATUS_SUCCESS);
    EXPECT_EQ(*reinterpret_cast<ULONG*>(data.data()), 1u);
    SetGeometry(1600, 1200);
}

TEST_F(PinFormatTest, ASecondPinAcquiringMeetsASharingViolation) {
    CreatePin();
    std::unique_ptr<hostks::KsFilter> second;
    ASSERT_EQ(hostks::KsFilter::Open(rig.Pnp(), &second), STATUS_SUCCESS);
    std::vector<uint8_t> format = OfferedFormat();
    std::unique_ptr<hostks::KsPin> other;
    ASSERT_EQ(second->CreatePin(0, format.data(), &other), STATUS_SUCCESS);
    // One instance per filter.
    std::unique_ptr<hostks::KsPin> third;
    EXPECT_NE(second->CreatePin(0, format.data(), &third), STATUS_SUCCESS);
    EXPECT_EQ(rig.Context()->pinOpen, 2);

    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(other->SetState(KSSTATE_RUN), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(other->State(), KSSTATE_STOP);
    EXPECT_EQ(rig.Context()->pinContext, PinContextOf(pin->Object()));
    // Closing the refused pin takes nothing from the one that holds.
    EXPECT_EQ(other->Close(), STATUS_SUCCESS);
    EXPECT_NE(rig.Context()->pipeline, nullptr);
    EXPECT_EQ(rig.Context()->pinOpen, 1);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(second->CreatePin(0, format.data(), &other), STATUS_SUCCESS);
    EXPECT_EQ(other->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
}

TEST_F(PinFormatTest, AFormatThatIsNotThirtyTwoBitRgbCannotAcquire) {
    std::vector<uint8_t> format = OfferedFormat();
    VideoInfo(format).bmiHeader.biBitCount = 24;
    CreatePin(format);
    EXPECT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Context()->pipelineInUse, 0);
    EXPECT_EQ(rig.Context()->pipeline, nullptr);
}

}  // namespace
}  // namespace streaming_test
