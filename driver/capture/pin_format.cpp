// Format negotiation of the capture pin: the data intersection, the checks
// of a connection format, and the data range the capture pin is declared
// with, of which every filter offers its own copy.
#include "driver/capture/capture_pin.h"

#include "driver/capture/capture_filter.h"
#include "driver/device/device_context.h"

namespace {

const GUID VideoInfoSpecifier = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};

constexpr ULONGLONG MaxUlong = 0xFFFFFFFFULL;
// Where the bitmap header starts in a KS_DATARANGE_VIDEO (and so how much of
// a caller's range comes before it).
constexpr ULONG RangeBitmapHeaderOffset = FIELD_OFFSET(KS_DATARANGE_VIDEO, VideoInfoHeader.bmiHeader);
constexpr ULONG VideoInfoFixedPart = FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader);  // 48
static_assert(RangeBitmapHeaderOffset == 256 && VideoInfoFixedPart == 48, "video-info layout");

constexpr LONGLONG FrameInterval30 = 333333;  // 100 ns units: 30 frames a second

// The device of the filter an intersection request is sent to.
DeviceContext* DeviceOfRequest(PIRP irp) { return DeviceContextOf(KsFilterGetDevice(KsGetFilterFromIrp(irp))); }

}  // namespace

NTSTATUS NTAPI PinIntersect(PVOID, PIRP irp, PKSP_PIN, PKSDATARANGE callerRange, PKSDATARANGE matchingRange,
                            ULONG bufferSize, PVOID data, PULONG dataSize) {
    PAGED_CODE();
    // The capabilities are those of this filter's device, as the pin's
    // creation checks them. matchingRange is the filter's own copy; the
    // class holds the filter's control mutex, which its rewrites take, so it
    // is whole, but it keeps the size it had when the filter last set one
    // while another filter of the device may have changed it since. Only
    // its constant fields are read.
    LONG width = 0, height = 0;
    GetDeliveredGeometry(DeviceOfRequest(irp), &width, &height);
    KS_VIDEO_STREAM_CONFIG_CAPS offeredCaps;
    BuildConfigCaps(&offeredCaps, width, height);
    if (!IsEqualGUID(callerRange->Specifier, VideoInfoSpecifier) || callerRange->FormatSize < sizeof(KS_DATARANGE_VIDEO))
        return STATUS_NO_MATCH;
    const auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
    const auto* offered = reinterpret_cast<const KS_DATARANGE_VIDEO*>(matchingRange);
    if (caller->bFixedSizeSamples != offered->bFixedSizeSamples ||
        caller->bTemporalCompression != offered->bTemporalCompression ||
        caller->StreamDescriptionFlags != offered->StreamDescriptionFlags ||
        caller->MemoryAllocationFlags != offered->MemoryAllocationFlags)
        return STATUS_NO_MATCH;
    if (RtlCompareMemory(&caller->ConfigCaps, &offeredCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS)) !=
        sizeof(KS_VIDEO_STREAM_CONFIG_CAPS))
        return STATUS_NO_MATCH;

    // The caller's bitmap header must lie inside its range. It must also be
    // at least a whole KS_BITMAPINFOHEADER: the sizes below are written into
    // its fields, which a shorter header would leave outside the buffer.
    ULONGLONG headerSize = caller->VideoInfoHeader.bmiHeader.biSize;
    if (headerSize < sizeof(KS_BITMAPINFOHEADER) || headerSize + VideoInfoFixedPart > MaxUlong ||
        headerSize + RangeBitmapHeaderOffset > callerRange->FormatSize)
        return STATUS_INVALID_PARAMETER;
    ULONG needed = static_cast<ULONG>(sizeof(KSDATAFORMAT) + VideoInfoFixedPart + headerSize);
    if (bufferSize == 0) {
        *dataSize = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (bufferSize < needed) return STATUS_BUFFER_TOO_SMALL;

    // The image size of the caller's header, in 64 bits: a width, height or
    // bit count that makes it overflow 32 bits is no format at all.
    const KS_BITMAPINFOHEADER& bitmap = caller->VideoInfoHeader.bmiHeader;
    // The pin fills frames bottom row first only: a top-down header (a
    // negative height) would come out upside down.
    if (bitmap.biHeight < 0) return STATUS_NO_MATCH;
    LONGLONG rowBits = static_cast<LONGLONG>(bitmap.biWidth) * bitmap.biBitCount;
    LONGLONG rowBytes = (rowBits + 31) / 32 * 4;
    LONGLONG lines = bitmap.biHeight;
    if (rowBits < 0 || static_cast<ULONGLONG>(rowBytes) > MaxUlong ||
        (rowBytes != 0 && static_cast<ULONGLONG>(lines) > MaxUlong / static_cast<ULONGLONG>(rowBytes)))
        return STATUS_INVALID_PARAMETER;
    ULONG imageSize = static_cast<ULONG>(rowBytes * lines);
    if (static_cast<ULONGLONG>(rowBytes) * lines > MaxUlong) return STATUS_INVALID_PARAMETER;

    *dataSize = needed;
    auto* format = static_cast<PKSDATAFORMAT>(data);
    format->FormatSize = needed;
    format->Flags = matchingRange->Flags;
    format->Reserved = matchingRange->Reserved;
    format->MajorFormat = matchingRange->MajorFormat;
    format->SubFormat = matchingRange->SubFormat;
    format->Specifier = matchingRange->Specifier;
    auto* videoInfo = reinterpret_cast<PKS_VIDEOINFOHEADER>(format + 1);
    RtlCopyMemory(videoInfo, &caller->VideoInfoHeader, VideoInfoFixedPart + static_cast<SIZE_T>(headerSize));
    videoInfo->bmiHeader.biSizeImage = imageSize;
    format->SampleSize = imageSize;
    return STATUS_SUCCESS;
}

BOOLEAN FormatFitsGeometry(const KS_BITMAPINFOHEADER& bitmap, LONG width, LONG height) {
    // A positive height: the rows go out bottom up, and a top-down format
    // would show the picture upside down.
    return bitmap.biWidth >= width && bitmap.biHeight == height && bitmap.biCompression == KS_BI_RGB;
}

VOID SettleImageSize(KS_BITMAPINFOHEADER* bitmap) {
    // BI_RGB lets biSizeImage be 0, meaning exactly the rows' size; the pin
    // keeps the size it uses for its framing and for DataUsed.
    if (bitmap->biSizeImage == 0)
        bitmap->biSizeImage = static_cast<DWORD>(static_cast<ULONG>(bitmap->biWidth) * 4 * static_cast<ULONG>(bitmap->biHeight));
}

NTSTATUS NTAPI PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM, const KSDATARANGE*,
                                const KSATTRIBUTE_LIST*) {
    PAGED_CODE();
    PKSDATAFORMAT format = pin->ConnectionFormat;
    if (!IsEqualGUID(format->Specifier, VideoInfoSpecifier) ||
        format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
        return STATUS_NO_MATCH;
    const KS_VIDEOINFOHEADER& videoInfo = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader;
    const KS_BITMAPINFOHEADER& bitmap = videoInfo.bmiHeader;
    ULONGLONG headerSize = bitmap.biSize;
    if (headerSize + VideoInfoFixedPart > MaxUlong || headerSize + sizeof(KSDATAFORMAT) + VideoInfoFixedPart > MaxUlong ||
        sizeof(KSDATAFORMAT) + VideoInfoFixedPart + headerSize > format->FormatSize)
        return STATUS_INVALID_PARAMETER;

    // Judged against the pin's own device, not the shared range, which may
    // hold another device's size. PinCreate checks again as it marks the
    // pin; once a pin is open the device's geometry stays as it is.
    LONG width = 0, height = 0;
    GetDeliveredGeometry(DeviceContextOf(KsPinGetDevice(pin)), &width, &height);
    if (!FormatFitsGeometry(bitmap, width, height)) return STATUS_NO_MATCH;

    // Row stride and image size of the format, in 64 bits: sizes that do not
    // fit in 32 bits are refused rather than wrapped.
    ULONGLONG stride = static_cast<ULONGLONG>(bitmap.biWidth) * 4;
    if (bitmap.biWidth < 0 || stride > MaxUlong) return STATUS_INVALID_PARAMETER;
    ULONGLONG image = stride * static_cast<ULONGLONG>(bitmap.biHeight);
    if (image > MaxUlong || (bitmap.biSizeImage != 0 && bitmap.biSizeImage < image)) return STATUS_INVALID_PARAMETER;

    if (!oldFormat) return STATUS_SUCCESS;  // the pin's first format; PinCreate takes it over
    if (pin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
    // Only an accepted change touches the pin: a refused one leaves the
    // stride and header of the format still in force.
    PinContext* context = PinContextOf(pin);
    RtlCopyMemory(&context->videoInfo, &videoInfo, sizeof(KS_VIDEOINFOHEADER));
    SettleImageSize(&context->videoInfo.bmiHeader);
    context->outputStride = static_cast<ULONG>(stride);
    // The client allocates its frames by the framing: a wider format needs
    // frames of its own image size, not the first format's.
    SetFramingImageSize(pin, context->videoInfo.bmiHeader.biSizeImage);
    return STATUS_SUCCESS;
}

VOID BuildConfigCaps(KS_VIDEO_STREAM_CONFIG_CAPS* caps, LONG width, LONG height) {
    LONGLONG pixels = static_cast<LONGLONG>(width) * height;
    RtlZeroMemory(caps, sizeof *caps);
    caps->guid = VideoInfoSpecifier;
    caps->VideoStandard = 0;
    caps->InputSize = SIZE{width, height};
    caps->MinCroppingSize = SIZE{width, height};
    caps->MaxCroppingSize = SIZE{width, height};
    caps->CropGranularityX = OutputWidthGranularity;
    caps->CropGranularityY = 1;
    caps->CropAlignX = OutputWidthGranularity;
    caps->CropAlignY = 1;
    caps->MinOutputSize = SIZE{width, height};
    caps->MaxOutputSize = SIZE{width, height};
    caps->OutputGranularityX = OutputWidthGranularity;
    caps->OutputGranularityY = 1;
    caps->MinFrameInterval = FrameInterval30;
    caps->MaxFrameInterval = FrameInterval30;
    caps->MinBitsPerSecond = static_cast<LONG>(pixels * 32 * 30);
    caps->MaxBitsPerSecond = static_cast<LONG>(pixels * 32 * 30);
}

VOID RewriteCaptureDataRange(KS_DATARANGE_VIDEO* filterRange, LONG width, LONG height) {
    KS_DATARANGE_VIDEO& range = *filterRange;
    LONGLONG pixels = static_cast<LONGLONG>(width) * height;
    range.DataRange.SampleSize = static_cast<ULONG>(pixels * 4);
    BuildConfigCaps(&range.ConfigCaps, width, height);
    KS_VIDEOINFOHEADER& info = range.VideoInfoHeader;
    info.rcSource.left = 0;
    info.rcSource.top = 0;
    info.rcSource.right = width;
    info.rcSource.bottom = height;
    // Bytes a second at 30 frames, not bits: the value applications have
    // always been offered, kept so that formats they stored still match.
    info.dwBitRate = static_cast<DWORD>(pixels * 4 * 30);
    info.AvgTimePerFrame = FrameInterval30;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biSizeImage = static_cast<DWORD>(pixels * 4);
}

// ---------------------------------------------------------------------------
// The data range
// ---------------------------------------------------------------------------

// MEDIASUBTYPE_RGB32; ksmedia.h has no static initialiser for it.
#define STATIC_CAPTURE_SUBTYPE_RGB32 0xe436eb7eL, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70

// The range as declared: the whole sensor with the intervals of 29.97 frames a
// second. Never written: each filter copies it at create and rewrites its
// copy to its device's size before any client can see it.
const KS_DATARANGE_VIDEO CaptureDataRange = {
    {{
        sizeof(KS_DATARANGE_VIDEO),                 // FormatSize
        0,                                          // Flags
        SensorWidth * SensorHeight * 4,                            // SampleSize
        0,                                          // Reserved
        {STATIC_KSDATAFORMAT_TYPE_VIDEO},           // MajorFormat
        {STATIC_CAPTURE_SUBTYPE_RGB32},             // SubFormat
        {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO},  // Specifier
    }},
    TRUE,  // bFixedSizeSamples
    TRUE,  // bTemporalCompression (intersection requires the caller's to match)
    0,     // StreamDescriptionFlags
    0,     // MemoryAllocationFlags
    {
        {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO},  // guid
        0,                                          // VideoStandard: none
        {SensorWidth, SensorHeight},                               // InputSize
        {SensorWidth, SensorHeight},                               // MinCroppingSize
        {SensorWidth, SensorHeight},                               // MaxCroppingSize
        OutputWidthGranularity,                     // CropGranularityX
        1,                                          // CropGranularityY
        OutputWidthGranularity,                     // CropAlignX
        1,                                          // CropAlignY
        {SensorWidth, SensorHeight},                               // MinOutputSize
        {SensorWidth, SensorHeight},                               // MaxOutputSize
        OutputWidthGranularity,                     // OutputGranularityX
        1,                                          // OutputGranularityY
        0,                                          // StretchTapsX
        0,                                          // StretchTapsY
        0,                                          // ShrinkTapsX
        0,                                          // ShrinkTapsY
        333667,                                     // MinFrameInterval
        640000000,                                  // MaxFrameInterval
        SensorWidth * SensorHeight * 32 * 30,                      // MinBitsPerSecond
        SensorWidth * SensorHeight * 32 * 30,                      // MaxBitsPerSecond
    },
    {
        {0, 0, SensorWidth, SensorHeight},     // rcSource
        {0, 0, 0, 0},           // rcTarget
        SensorWidth * SensorHeight * 4 * 30,   // dwBitRate
        0,                      // dwBitErrorRate
        333667,                 // AvgTimePerFrame
        {
            sizeof(KS_BITMAPINFOHEADER),  // biSize
            SensorWidth,                  // biWidth
            SensorHeight,                 // biHeight: positive, bottom-up rows
            1,                            // biPlanes
            32,                           // biBitCount
            KS_BI_RGB,                    // biCompression
            SensorWidth * SensorHeight * 4,              // biSizeImage
            0,                            // biXPelsPerMeter
            0,                            // biYPelsPerMeter
            0,                            // biClrUsed
            0,                            // biClrImportant
        },
    },
};
