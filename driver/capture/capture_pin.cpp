// The capture pin: create and close, the state machine that takes the image
// pipeline and the clock at acquire and starts and stops capture, Process
// that hands converted images to the client, and the pin descriptor.
#include "driver/capture/capture_pin.h"

#include <new>

#include "driver/capture/capture_filter.h"
#include "driver/capture/capture_worker.h"
#include "driver/device/device_context.h"
#include "driver/device/pool_tags.h"
#include "driver/pipeline/image_pipeline.h"

PinContext* PinContext::Allocate(PKSPIN pin, DeviceContext* device) {
    PVOID block = AllocateZeroed(sizeof(PinContext), ContextPoolTag);
    if (!block) return nullptr;
    // Placement construction only sets the operation table; every field keeps
    // the zero of the fresh block.
    auto context = new (block) PinContext;
    context->pin = pin;
    context->device = device;
    context->runState = PinNotStreaming;
    return context;
}

VOID NTAPI PinContext::Free(PVOID context) { ExFreePoolWithTag(context, ContextPoolTag); }

VOID PinContext::AttemptProcessing() { KsPinAttemptProcessing(pin, TRUE); }

NTSTATUS NTAPI PinCreate(PKSPIN pin, PIRP) {
    PAGED_CODE();
    DeviceContext* device = DeviceContextOf(KsPinGetDevice(pin));
    PinContext* context = PinContext::Allocate(pin, device);
    if (!context) return STATUS_INSUFFICIENT_RESOURCES;
    // The class called PinSetDataFormat on this format before Create, so it
    // holds a whole KS_VIDEOINFOHEADER.
    const auto* format = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(pin->ConnectionFormat);
    // Checked again as the pin is marked: another request may have changed
    // the device's geometry since PinSetDataFormat looked.
    if (!MarkPinOpen(device, format->VideoInfoHeader.bmiHeader)) {
        PinContext::Free(context);
        return STATUS_NO_MATCH;
    }
    NTSTATUS status = KsAddItemToObjectBag(pin->Bag, context, PinContext::Free);
    if (!NT_SUCCESS(status)) {
        PinContext::Free(context);
        // A pin whose create fails is never closed: give back its mark here.
        MarkPinClosed(device);
        return status;
    }
    pin->Context = context;

    // The fixed part of the video-info header is what the pin keeps;
    // palette or mask bytes after a longer bitmap header are not used.
    RtlCopyMemory(&context->videoInfo, &format->VideoInfoHeader, sizeof(KS_VIDEOINFOHEADER));
    SettleImageSize(&context->videoInfo.bmiHeader);
    // Rows go out biWidth x 4 bytes apart, as after a format change: a format
    // wider than the range must not come out sheared. PinSetDataFormat
    // checked that this fits in 32 bits.
    context->outputStride = static_cast<ULONG>(context->videoInfo.bmiHeader.biWidth) * 4;

    auto descriptor = const_cast<KSPIN_DESCRIPTOR_EX**>(&pin->Descriptor);
    status = _KsEdit(pin->Bag, reinterpret_cast<PVOID*>(descriptor), sizeof(KSPIN_DESCRIPTOR_EX),
                     sizeof(KSPIN_DESCRIPTOR_EX), FramePoolTag);
    if (NT_SUCCESS(status)) {
        auto framing = const_cast<KSALLOCATOR_FRAMING_EX**>(&(*descriptor)->AllocatorFraming);
        status = _KsEdit(pin->Bag, reinterpret_cast<PVOID*>(framing), sizeof(KSALLOCATOR_FRAMING_EX),
                         sizeof(KSALLOCATOR_FRAMING_EX), FramePoolTag);
    }
    if (!NT_SUCCESS(status)) {
        MarkPinClosed(device);
        return status;
    }
    SetFramingImageSize(pin, context->videoInfo.bmiHeader.biSizeImage);
    return STATUS_SUCCESS;
}

VOID SetFramingImageSize(PKSPIN pin, ULONG imageSize) {
    // Two frames of exactly one image each, in the pin's own copy of the
    // framing (PinCreate edited it); the class holds the filter control
    // mutex around the dispatches that call this.
    KS_FRAMING_ITEM& item = const_cast<KSALLOCATOR_FRAMING_EX*>(pin->Descriptor->AllocatorFraming)->FramingItem[0];
    item.Frames = 2;
    item.PhysicalRange.MinFrameSize = imageSize;
    item.PhysicalRange.MaxFrameSize = imageSize;
    item.PhysicalRange.Stepping = 0;
    item.FramingRange.Range.MinFrameSize = imageSize;
    item.FramingRange.Range.MaxFrameSize = imageSize;
    item.FramingRange.Range.Stepping = 0;
}

NTSTATUS NTAPI PinClose(PKSPIN pin, PIRP) {
    PAGED_CODE();
    PinContext* context = PinContextOf(pin);
    context->outputStride = 0;
    MarkPinClosed(context->device);
    return STATUS_SUCCESS;
}

NTSTATUS AcquirePipeline(DeviceContext* device, PinContext* pin, KS_VIDEOINFOHEADER* videoInfo) {
    if (InterlockedCompareExchange(&device->pipelineInUse, 1, 0) != 0) return STATUS_SHARING_VIOLATION;
    device->pinVideoInfo = videoInfo;
    AcquireCommandLock(device);
    ImagePipeline* stale = device->pipeline;
    device->pipeline = nullptr;
    ReleaseCommandLock(device);
    if (stale) FreePipeline(stale);
    if (videoInfo->bmiHeader.biBitCount != 32 || videoInfo->bmiHeader.biCompression != 0) {
        ReleasePipeline(device);
        return STATUS_INVALID_PARAMETER;
    }
    ImagePipeline* pipeline = CreatePipeline();
    if (!pipeline) {
        ReleasePipeline(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Built from the settings and published under the command lock, so that
    // a property request can neither slip a value in between (it would be
    // lost) nor see the pipeline half made.
    AcquireCommandLock(device);
    SetColorPhase(pipeline, device->settings.bayerPhase);
    ApplyPipelineSettings(pipeline, device->settings);
    // Published only once built, so a property request never finds a
    // half-made pipeline.
    device->pipeline = pipeline;
    ReleaseCommandLock(device);
    device->pinContext = pin;
    return STATUS_SUCCESS;
}

VOID ReleasePipeline(DeviceContext* device) {
    // Taken away under the command lock, which every property request that
    // uses the pipeline holds, and only then freed.
    AcquireCommandLock(device);
    ImagePipeline* pipeline = device->pipeline;
    device->pipeline = nullptr;
    ReleaseCommandLock(device);
    if (pipeline) FreePipeline(pipeline);
    device->pinContext = nullptr;
    device->pinVideoInfo = nullptr;
    InterlockedExchange(&device->pipelineInUse, 0);
}

NTSTATUS NTAPI PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
    PinContext* context = PinContextOf(pin);
    DeviceContext* device = context->device;
    CaptureWorker* worker = device->worker;
    switch (to) {
    case KSSTATE_STOP:
        if (context->runState != PinNotStreaming) {
            if (worker) EndStreaming(worker);
            context->runState = PinNotStreaming;
        }
        if (context->acquired) {
            if (context->clock) context->clock->Release();
            context->clock = nullptr;
            ReleasePipeline(device);
            context->acquired = FALSE;
        }
        return STATUS_SUCCESS;

    case KSSTATE_ACQUIRE:
        if (from == KSSTATE_STOP) {
            NTSTATUS status = AcquirePipeline(device, context, &context->videoInfo);
            if (!NT_SUCCESS(status)) {
                context->acquired = FALSE;
                return status;
            }
            context->acquired = TRUE;
            // No clock in the graph: frames go out with time 0.
            if (!NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &context->clock))) context->clock = nullptr;
            return STATUS_SUCCESS;
        }
        if (context->runState != PinNotStreaming) {
            if (worker) EndStreaming(worker);
            context->runState = PinNotStreaming;
        }
        return STATUS_SUCCESS;

    case KSSTATE_PAUSE:
        if (from == KSSTATE_RUN) {
            // The thread stops; the buffers stay for the run that may follow.
            if (worker) PauseCapture(worker);
            context->runState = PinPausedAfterRunning;
        }
        return STATUS_SUCCESS;

    case KSSTATE_RUN:
        if (context->runState == PinPausedAfterRunning) {
            if (worker) {
                // Refused: the pin stays paused with its buffers; a later
                // run tries the thread again.
                NTSTATUS status = ResumeCapture(worker);
                if (!NT_SUCCESS(status)) return status;
            }
            context->runState = PinRunning;
            return STATUS_SUCCESS;
        } else {
            NTSTATUS status = PrepareStreaming(device);
            if (!NT_SUCCESS(status)) return status;
            context->runState = PinRunning;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

namespace {

// The client frame's rows for the delivered image, bottom row first: the
// client's format is a bottom-up DIB (a top-down one is refused). The
// frame is untrusted: FALSE, and nothing to write, when the rows would not
// fit in its `capacity` bytes.
BOOLEAN ClientRowsOf(const DeviceContext* device, const PinContext* context, PUCHAR destination, ULONG capacity,
                     ClientRows* rows) {
    LONG width = device->outputWidth;
    LONG height = device->outputHeight;
    if (!destination || width <= 0 || height <= 0) return FALSE;
    SIZE_T rowBytes = static_cast<SIZE_T>(width) * 4;
    SIZE_T destinationStride = context->outputStride > rowBytes ? context->outputStride : rowBytes;
    ULONGLONG needed = static_cast<ULONGLONG>(height - 1) * destinationStride + rowBytes;
    if (needed > capacity) return FALSE;
    rows->firstRow = destination + static_cast<SIZE_T>(height - 1) * destinationStride;
    rows->pitch = -static_cast<LONG_PTR>(destinationStride);
    return TRUE;
}

// The conversion writes whole rows of the frame's width: straight into the
// client's rows only where those are the delivered rows (a width that is
// not a multiple of 8 is delivered cut to one).
BOOLEAN ConvertsIntoClientRows(const DeviceContext* device) {
    return device->outputWidth == device->frameWidth && static_cast<ULONG>(device->outputHeight) == device->frameHeight;
}

// Copies the delivered part of rgbImage into the client's rows.
VOID CopyImage(const DeviceContext* device, const UCHAR* image, const ClientRows& rows) {
    SIZE_T rowBytes = static_cast<SIZE_T>(device->outputWidth) * 4;
    SIZE_T sourceStride = static_cast<SIZE_T>(device->frameWidth) * 4;
    // Last image row first, so the frame is written from its start onwards.
    for (LONG row = device->outputHeight - 1; row >= 0; --row) {
        RtlCopyMemory(rows.firstRow + row * rows.pitch, image + static_cast<SIZE_T>(row) * sourceStride, rowBytes);
    }
}

// Stamps the frame's header: the graph's clock time now (0 without a
// clock) and the frame's duration.
VOID StampHeader(const PinContext* context, PKSSTREAM_HEADER header) {
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    header->Duration = context->videoInfo.AvgTimePerFrame;
    if (context->clock) {
        header->PresentationTime.Time = context->clock->GetTime();
        header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    } else {
        header->PresentationTime.Time = 0;
    }
}

}  // namespace

NTSTATUS NTAPI PinProcess(PKSPIN pin) {
    PinContext* context = PinContextOf(pin);
    DeviceContext* device = context->device;
    CaptureWorker* worker = device->worker;
    // Nothing to deliver before the first raw frame.
    if (!worker || InterlockedExchangeAdd(&worker->framesRead, 0) <= 0) return STATUS_PENDING;
    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    // The frame is written through the stream pointer's system address (the
    // header's Data is the client's own address for its buffer), and no
    // further than the bytes the pointer says are there.
    ClientRows rows = {};
    BOOLEAN fits = leading && ClientRowsOf(device, context, leading->OffsetOut.Data, leading->OffsetOut.Remaining,
                                           &rows);
    BOOLEAN direct = fits && ConvertsIntoClientRows(device);
    // Converted whether or not the client has a buffer waiting, so the next
    // buffer gets the newest image.
    PictureSource source = PictureNone;
    if (!ConvertReadyFrame(worker, direct ? &rows : nullptr, &source)) {
        // Streaming is stopping: leave the buffer where it is.
        if (leading) KsStreamPointerUnlock(leading, FALSE);
        return STATUS_PENDING;
    }
    if (leading && source == PictureNone) {
        // Frames were read but none converted in this run yet (a frame read
        // before a pause is dropped by the restart): nothing may go out. The
        // buffer waits for the first conversion.
        KsStreamPointerUnlock(leading, FALSE);
        leading = nullptr;
    }
    if (leading) {
        // Stamped once the picture is converted, before any copy.
        StampHeader(context, leading->StreamHeader);
        BOOLEAN written = FALSE;
        if (source == PictureInClientRows) {
            written = TRUE;
        } else if (source == PictureInImage && fits) {
            CopyImage(device, worker->rgbImage, rows);
            written = TRUE;
        } else if (source == PictureInWorkingBuffer && direct) {
            ConvertPictureAgain(worker, &rows);
            written = TRUE;
        }
        ULONG capacity = leading->OffsetOut.Remaining;
        ULONG imageSize = context->videoInfo.bmiHeader.biSizeImage;
        leading->StreamHeader->DataUsed = written ? (imageSize < capacity ? imageSize : capacity) : 0;
        KsStreamPointerUnlock(leading, TRUE);
    }
    EndConversion(worker);
    return STATUS_PENDING;
}

// ---------------------------------------------------------------------------
// Descriptors
// ---------------------------------------------------------------------------

namespace {

const KSPIN_DISPATCH CapturePinDispatch = {
    PinCreate,          // Create
    PinClose,           // Close
    PinProcess,         // Process
    nullptr,            // Reset
    PinSetDataFormat,   // SetDataFormat
    PinSetDeviceState,  // SetDeviceState
    nullptr,            // Connect
    nullptr,            // Disconnect
    nullptr,            // Clock
    nullptr,            // Allocator
};

// As declared; PinCreate puts the image size into the pin's own copy.
const KSALLOCATOR_FRAMING_EX CapturePinFraming = {
    1,          // CountItems
    0,          // PinFlags
    {1, 1, 0},  // OutputCompression: 1/1, constant margin 0
    0,          // PinWeight
    {{
        {STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED},  // MemoryType
        {STATIC_GUID_NULL},                      // BusType
        0,                                       // MemoryFlags
        0,                                       // BusFlags
        KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY,  // Flags
        2,                                       // Frames
        FILE_BYTE_ALIGNMENT,                     // FileAlignment
        0,                                       // MemoryTypeWeight
        {0, 0xFFFFFFFF, 1},                      // PhysicalRange
        {{8192, 8192, 1}, 0, 0},                 // FramingRange, InPlaceWeight, NotInPlaceWeight
    }},
};

// Filters offer their own copies (FilterCreate); the declared range is only
// where those start from, so it is never written.
const PKSDATARANGE CapturePinDataRanges[] = {
    const_cast<PKSDATARANGE>(&CaptureDataRange.DataRange),
};

const GUID CapturePinName = {STATIC_PINNAME_VIDEO_CAPTURE};

}  // namespace

const KSPIN_DESCRIPTOR_EX CapturePinDescriptors[1] = {
    {
        &CapturePinDispatch,  // Dispatch
        nullptr,              // AutomationTable
        {
            0,                                  // InterfacesCount: the class's default
            nullptr,                            // Interfaces
            0,                                  // MediumsCount: the class's default
            nullptr,                            // Mediums
            SIZEOF_ARRAY(CapturePinDataRanges), // DataRangesCount
            CapturePinDataRanges,               // DataRanges
            KSPIN_DATAFLOW_OUT,                 // DataFlow
            KSPIN_COMMUNICATION_BOTH,           // Communication
            &CapturePinName,                    // Category
            &CapturePinName,                    // Name
            {0},                                // no constrained data ranges
        },
        KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,  // Flags
        1,                                     // InstancesPossible
        1,                                     // InstancesNecessary
        &CapturePinFraming,                    // AllocatorFraming
        PinIntersect,                          // IntersectHandler
    },
};
