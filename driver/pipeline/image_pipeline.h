// ImagePipeline: the per-device image-processing state shared by the property
// requests, the settings load and the frame conversion.
//
// Colour adjustments live as one 4x4 double matrix per stage; any change
// multiplies the stages into combinedMatrix and publishes it to the conversion
// as 16 fixed-point coefficients (64 = 1.0), so no adjustment is evaluated per
// pixel.
#pragma once

#include "driver/device/pool_tags.h"
#include "driver/wdk.h"

// Pool tags (device/pool_tags.h): PipelinePoolTag for the pipeline object
// itself, FramePoolTag for the working buffer (a frame buffer like the
// capture worker's).

// The scales shared with the camera settings.
#define PIPELINE_UNITY_GAIN 128
#define PIPELINE_COEFFICIENT_ONE 64

// Per-frame parameters the conversion works from; filled by
// AllocateWorkingBuffer (source, pitch, size) and refreshed by ConvertFrame.
// After a conversion they hold what it converted with (the working buffer
// still holds its frame), so that ConvertFrameAgain can repeat it.
struct FrameParameters {
    const UCHAR* source;  // image pixel (0, 0) inside the working buffer
    UCHAR* output;        // packed BGRA of image row 0, width * 4 bytes
    LONG_PTR outputPitch; // bytes from an output row to the next; negative: bottom-up
    LONG workPitch;
    LONG redGain;
    LONG greenGain;
    LONG blueGain;
    LONG colorEnable;     // as read for the frame
    LONG colorPhase;      // as read for the frame
    LONG width;
    LONG height;
    LONG coefficientSnapshot[16];
};

struct ImagePipeline {
    FrameParameters frameParameters;
    LONG width;
    LONG height;
    LONG workPitch;
    LONG workBufferSize;
    UCHAR* outputBuffer;  // the capture worker's RGB buffer; not owned
    UCHAR* workBuffer;    // owned, FramePoolTag

    // Shared with the conversion: written by atomic exchange, read atomically.
    volatile LONG colorPhase;
    volatile LONG colorEnable;
    volatile LONG whiteBalance;
    volatile LONG redGain;
    volatile LONG greenGain;
    volatile LONG blueGain;
    volatile LONG colorCorrection;
    volatile LONG brightness;
    volatile LONG contrast;
    volatile LONG saturation;
    volatile LONG hue;

    // Row-major m(row, column); a pixel is the row vector (R, G, B, 1).
    double correctionMatrix[16];
    double brightnessMatrix[16];
    double contrastMatrix[16];
    double saturationMatrix[16];
    double hueMatrix[16];
    double combinedMatrix[16];

    LONG coefficients[16];          // published under coefficientLock
    UCHAR coefficientPositive[16];  // written by the conversion at each snapshot

    // Whether the last white-balanced frame measured the gains it was
    // converted with, so that the next may convert with them while it
    // measures. The conversion's own: read and written only there.
    BOOLEAN whiteBalanceSteady;

    // Publication of `coefficients` (builders, PASSIVE_LEVEL) and the per-frame
    // snapshot (the pin's Process routine, up to DISPATCH_LEVEL) exclude each
    // other with this spin lock. A critical region would not do: it only holds
    // off kernel APCs, cannot be entered at DISPATCH_LEVEL and excludes nobody.
    // A sequence counter would not do either: a reader at DISPATCH_LEVEL could
    // spin for ever on a processor where it pre-empted a half-done writer. The
    // spin lock raises the writer to DISPATCH_LEVEL, so that cannot happen, and
    // it is held only for a copy of 64 bytes.
    KSPIN_LOCK coefficientLock;

    // Serialises the builders, the change-only setters and RebuildCoefficients,
    // which share the stage matrices and are not reentrant. They run at
    // PASSIVE_LEVEL on property-request threads and in the settings load, where
    // a fast mutex may wait; the conversion never takes it.
    FAST_MUTEX builderLock;
};

// Construction and geometry.
// Allocates a zero-filled pipeline (PipelinePoolTag) with the factory values and
// runs InitializePipeline; null when the pool is exhausted.
ImagePipeline* CreatePipeline();
// Releases the working buffer if one is still held, then the object.
VOID FreePipeline(ImagePipeline* pipeline);
// Sets the factory values of the atomic fields (colour on, correction on, gains
// 128, brightness 255, contrast and saturation 10, hue 0, phase 0, no white
// balance); for callers that allocate the object themselves. They are the
// values of a freshly added camera, kept here too so that the pipeline stands
// alone (convert, the benchmarks); a settings test holds them to the rows.
VOID SetPipelineInitialValues(ImagePipeline* pipeline);
VOID InitializePipeline(ImagePipeline* pipeline);
VOID SetPipelineGeometry(ImagePipeline* pipeline, LONG width, LONG height);
VOID AllocateWorkingBuffer(ImagePipeline* pipeline);
VOID ReleaseWorkingBuffer(ImagePipeline* pipeline);

// Plain setters: one atomic exchange, nothing rebuilt.
VOID SetColorPhase(ImagePipeline* pipeline, LONG value);
VOID SetColorEnable(ImagePipeline* pipeline, LONG value);
VOID SetWhiteBalance(ImagePipeline* pipeline, LONG value);
VOID SetRedGain(ImagePipeline* pipeline, LONG value);
VOID SetGreenGain(ImagePipeline* pipeline, LONG value);
VOID SetBlueGain(ImagePipeline* pipeline, LONG value);

// Getters: atomic reads.
LONG GetColorPhase(ImagePipeline* pipeline);
LONG GetColorEnable(ImagePipeline* pipeline);
LONG GetWhiteBalance(ImagePipeline* pipeline);
LONG GetRedGain(ImagePipeline* pipeline);
LONG GetGreenGain(ImagePipeline* pipeline);
LONG GetBlueGain(ImagePipeline* pipeline);
LONG GetColorCorrection(ImagePipeline* pipeline);
LONG GetBrightness(ImagePipeline* pipeline);
LONG GetContrast(ImagePipeline* pipeline);
LONG GetSaturation(ImagePipeline* pipeline);
LONG GetHue(ImagePipeline* pipeline);

// Builders: rebuild one stage, then the coefficients. PASSIVE_LEVEL only.
VOID BuildCorrectionMatrix(ImagePipeline* pipeline, LONG value);
VOID BuildBrightnessMatrix(ImagePipeline* pipeline, LONG value);
VOID BuildContrastMatrix(ImagePipeline* pipeline, LONG value);
VOID BuildSaturationMatrix(ImagePipeline* pipeline, LONG value);
VOID BuildHueMatrix(ImagePipeline* pipeline, LONG value);

// Change-only setters: when the value differs from the field, exchange it in
// and run the builder. Compare, exchange and build happen under builderLock,
// so two requests racing on one adjustment leave the field and the stage
// agreeing. Property handlers should call these rather than compare, exchange
// and build on their own. PASSIVE_LEVEL only.
VOID UpdateColorCorrection(ImagePipeline* pipeline, LONG value);
VOID UpdateBrightness(ImagePipeline* pipeline, LONG value);
VOID UpdateContrast(ImagePipeline* pipeline, LONG value);
VOID UpdateSaturation(ImagePipeline* pipeline, LONG value);
VOID UpdateHue(ImagePipeline* pipeline, LONG value);

// Multiplies the stages into combinedMatrix and publishes the coefficients.
// PASSIVE_LEVEL only.
VOID RebuildCoefficients(ImagePipeline* pipeline);

// Copies the 16 published coefficients into `snapshot` as one consistent set.
// Callable at IRQL <= DISPATCH_LEVEL.
VOID SnapshotCoefficients(ImagePipeline* pipeline, LONG snapshot[16]);
