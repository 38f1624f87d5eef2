#include "driver/pipeline/convert_frame.h"

#include "driver/pipeline/convert_kernels.h"
#include "driver/pipeline/processor_features.h"

namespace {

// Largest gain the conversion can multiply with (it takes the low 16 bits).
const double kMaxMeasuredGain = 65535.0;

// Mirror index i about the first and last of n pixels without repeating them
// (-1 -> 1, -2 -> 2, n -> n - 2, n + 1 -> n - 3), folding again while the
// image is too small for one fold. Sizes of 2 and more keep the Bayer parity
// of the pixel stood in for; a single row or column stands in for everything.
LONG MirrorIndex(LONG i, LONG n) {
    if (n <= 1) return 0;
    for (;;) {
        if (i < 0) {
            i = -i;
        } else if (i >= n) {
            i = 2 * (n - 1) - i;
        } else {
            return i;
        }
    }
}

const ConversionRoutines* RoutinesFor(ConversionKernel kernel, LONG phase) {
    // Any phase other than 0, 1 or 2 uses the phase-3 members.
    ULONG index = (phase == 0 || phase == 1 || phase == 2) ? static_cast<ULONG>(phase) : 3u;
    switch (kernel) {
        case ConversionKernelScalar: return &g_scalarRoutines[index];
        case ConversionKernelAvx2: return &g_avx2Routines[index];
        default: return &g_sse2Routines[index];
    }
}

// The kernel that will run: AVX2 only where the processor and the system
// have it and its register state has been saved (then `state` must be
// restored by EndKernel on this thread at this IRQL).
struct KernelInUse {
    ConversionKernel kernel;
    BOOLEAN stateSaved;
    XSTATE_SAVE state;
};

VOID BeginKernel(ConversionKernel wanted, KernelInUse* use) {
    use->kernel = wanted;
    use->stateSaved = FALSE;
    if (wanted != ConversionKernelAvx2) return;
    if (ProcessorHasAvx2() && NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &use->state))) {
        use->stateSaved = TRUE;
    } else {
        use->kernel = ConversionKernelSse2;
    }
}

VOID EndKernel(KernelInUse* use) {
    if (use->stateSaved) KeRestoreExtendedProcessorState(&use->state);
}

// The colour or grey conversion with the gains and coefficients already in
// the frame parameters; with `totals`, summing the channels as it goes.
VOID ConvertSnapshot(ImagePipeline* p, const ConversionRoutines* routines, BOOLEAN kept,
                     ChannelTotals* totals = nullptr) {
    if (p->frameParameters.colorEnable != 0) {
        routines->convertColor(p, kept, totals);
    } else {
        routines->convertMono(p, kept, totals);
    }
}

// Takes the gains measured from `totals` into the frame and publishes them;
// TRUE when they differ from those the frame held. A frame with a channel
// summing to zero measures nothing and keeps the gains it had.
BOOLEAN TakeMeasuredGains(ImagePipeline* p, const ChannelTotals& totals) {
    FrameParameters* f = &p->frameParameters;
    LONG red = f->redGain;
    LONG green = f->greenGain;
    LONG blue = f->blueGain;
    if (!WhiteBalanceGainsFromSums(totals.red, totals.green, totals.blue, &red, &green, &blue)) return FALSE;
    InterlockedExchange(&p->redGain, red);
    InterlockedExchange(&p->greenGain, green);
    InterlockedExchange(&p->blueGain, blue);
    const BOOLEAN changed = red != f->redGain || green != f->greenGain || blue != f->blueGain;
    f->redGain = red;
    f->greenGain = green;
    f->blueGain = blue;
    return changed;
}

// White balance converts with the gains measured from the frame itself.
//
// A steady scene measures the same gains frame after frame. So once a frame
// has measured the gains it started with, the next converts with them in
// the pass that measures it, and is done when it measures them again: one
// demosaic, plus the sums. When its gains come out different, it is
// converted again with them (two demosaics) and the following frames go
// back to measuring first, keeping the demosaiced channels for the
// conversion (one demosaic, but a measuring pass and a conversion), until
// the gains hold again. Either way the bytes are those of a conversion with
// the frame's own gains; a scene that keeps changing never pays for a guess.
VOID ConvertWhiteBalanced(ImagePipeline* p, const ConversionRoutines* routines) {
    FrameParameters* f = &p->frameParameters;
    ChannelTotals totals = {0, 0, 0};
    if (p->whiteBalanceSteady) {
        ConvertSnapshot(p, routines, FALSE, &totals);
        if (!TakeMeasuredGains(p, totals)) return;
        p->whiteBalanceSteady = FALSE;
        ConvertSnapshot(p, routines, FALSE);
        return;
    }
    // The measuring pass leaves its demosaiced channels in the output for the
    // conversion, which then does not demosaic them again.
    routines->sumChannels(f, TRUE, &totals.red, &totals.green, &totals.blue);
    p->whiteBalanceSteady = TakeMeasuredGains(p, totals) ? FALSE : TRUE;
    ConvertSnapshot(p, routines, TRUE);
}

// The coefficient snapshot and the conversion, white-balanced or not, with
// the routines of one kernel.
VOID ConvertWithRoutines(ImagePipeline* p, const ConversionRoutines* routines) {
    FrameParameters* f = &p->frameParameters;
    SnapshotCoefficients(p, f->coefficientSnapshot);
    for (int i = 0; i < 16; ++i) p->coefficientPositive[i] = f->coefficientSnapshot[i] > 0 ? 1 : 0;
    if (ReadNoFence(&p->whiteBalance) != 0) {
        ConvertWhiteBalanced(p, routines);
    } else {
        // Gains from before white balance went off are no guess for when it
        // comes back on.
        p->whiteBalanceSteady = FALSE;
        ConvertSnapshot(p, routines, FALSE);
    }
}

BOOLEAN FrameIsConvertible(const ImagePipeline* p, const UCHAR* rawBuffer, const UCHAR* output) {
    const FrameParameters* f = &p->frameParameters;
    return output != nullptr && rawBuffer != nullptr && p->workBuffer != nullptr && f->source != nullptr &&
           f->width > 0 && f->height > 0;
}

}  // namespace

BOOLEAN WhiteBalanceGainsFromSums(ULONG sumRed, ULONG sumGreen, ULONG sumBlue, LONG* redGain, LONG* greenGain,
                                  LONG* blueGain) {
    // A frame without one of the channels (a black frame, a lens cap) says
    // nothing about the balance: the caller keeps the gains it had.
    if (sumRed == 0 || sumGreen == 0 || sumBlue == 0) return FALSE;
    double r = static_cast<double>(sumRed);
    double g = static_cast<double>(sumGreen);
    double b = static_cast<double>(sumBlue);
    double d = r + g + b;
    double e = (d / g) / 3.0;
    double red = ((d / r) / 3.0) * 128.0 / e;
    double blue = ((d / b) / 3.0) * 128.0 / e;
    // Gains are otherwise left unclamped; only those the conversion cannot
    // represent (a channel 512 times weaker than green) are held at the
    // largest 16-bit gain instead of wrapping round to a small one.
    if (red > kMaxMeasuredGain) red = kMaxMeasuredGain;
    if (blue > kMaxMeasuredGain) blue = kMaxMeasuredGain;
    *redGain = static_cast<LONG>(red);
    *greenGain = PIPELINE_UNITY_GAIN;
    *blueGain = static_cast<LONG>(blue);
    return TRUE;
}

VOID FillWorkingBuffer(ImagePipeline* p, const UCHAR* rawBuffer, ULONG rawDataOffset, ULONG rawLinePitch) {
    const FrameParameters* f = &p->frameParameters;
    const LONG width = f->width;
    const LONG height = f->height;
    const LONG pitch = f->workPitch;
    UCHAR* origin = p->workBuffer + 2 * pitch + 5;  // image pixel (0, 0)

    for (LONG r = 0; r < height; ++r) {
        const UCHAR* line = rawBuffer + rawDataOffset + static_cast<SIZE_T>(r) * rawLinePitch;
        RtlCopyMemory(origin + static_cast<LONG_PTR>(r) * pitch, line, static_cast<SIZE_T>(width));
    }

    // Rows first, then columns over every row including the margin rows, so
    // the corners come out mirrored both ways. Images of fewer than 8 (even
    // of 1) rows or columns are mirrored too, by folding repeatedly: every
    // byte the interpolation reads is then image data.
    const LONG marginRows[4] = {-2, -1, height, height + 1};
    for (int i = 0; i < 4; ++i) {
        LONG r = marginRows[i];
        RtlCopyMemory(origin + static_cast<LONG_PTR>(r) * pitch,
                      origin + static_cast<LONG_PTR>(MirrorIndex(r, height)) * pitch, static_cast<SIZE_T>(width));
    }
    const LONG left1 = MirrorIndex(-1, width);
    const LONG left2 = MirrorIndex(-2, width);
    const LONG right0 = MirrorIndex(width, width);
    const LONG right1 = MirrorIndex(width + 1, width);
    for (LONG r = -2; r < height + 2; ++r) {
        UCHAR* row = origin + static_cast<LONG_PTR>(r) * pitch;
        row[-1] = row[left1];
        row[-2] = row[left2];
        row[width] = row[right0];
        row[width + 1] = row[right1];
    }
}

VOID MeasureWhiteBalance(ImagePipeline* p, ConversionKernel kernel, LONG* redGain, LONG* greenGain, LONG* blueGain) {
    KernelInUse use;
    BeginKernel(kernel, &use);
    const ConversionRoutines* routines = RoutinesFor(use.kernel, ReadNoFence(&p->colorPhase));
    ULONG sumRed = 0;
    ULONG sumGreen = 0;
    ULONG sumBlue = 0;
    routines->sumChannels(&p->frameParameters, FALSE, &sumRed, &sumGreen, &sumBlue);
    EndKernel(&use);
    WhiteBalanceGainsFromSums(sumRed, sumGreen, sumBlue, redGain, greenGain, blueGain);
}

VOID ConvertFrame(ImagePipeline* p, const UCHAR* rawBuffer, ULONG rawDataOffset, ULONG rawLinePitch) {
    ConvertFrameWithKernel(p, rawBuffer, rawDataOffset, rawLinePitch, ConversionKernelAvx2);
}

VOID ConvertFrameWithKernel(ImagePipeline* p, const UCHAR* rawBuffer, ULONG rawDataOffset, ULONG rawLinePitch,
                            ConversionKernel kernel) {
    if (p == nullptr) return;
    ConvertFrameToRows(p, rawBuffer, rawDataOffset, rawLinePitch, p->outputBuffer,
                       static_cast<LONG_PTR>(p->frameParameters.width) * 4, kernel);
}

VOID ConvertFrameToRows(ImagePipeline* p, const UCHAR* rawBuffer, ULONG rawDataOffset, ULONG rawLinePitch,
                        UCHAR* firstRow, LONG_PTR rowPitch, ConversionKernel kernel) {
    if (p == nullptr || !FrameIsConvertible(p, rawBuffer, firstRow)) return;
    FrameParameters* f = &p->frameParameters;

    FillWorkingBuffer(p, rawBuffer, rawDataOffset, rawLinePitch);

    f->output = firstRow;
    f->outputPitch = rowPitch;
    f->redGain = ReadNoFence(&p->redGain);
    f->greenGain = ReadNoFence(&p->greenGain);
    f->blueGain = ReadNoFence(&p->blueGain);
    // The phase and the colour switch are read once; the routines chosen
    // here convert the whole frame.
    f->colorEnable = ReadNoFence(&p->colorEnable);
    f->colorPhase = ReadNoFence(&p->colorPhase);

    KernelInUse use;
    BeginKernel(kernel, &use);
    ConvertWithRoutines(p, RoutinesFor(use.kernel, f->colorPhase));
    EndKernel(&use);
}

VOID ConvertFrameAgain(ImagePipeline* p, UCHAR* firstRow, LONG_PTR rowPitch, ConversionKernel kernel) {
    if (p == nullptr || firstRow == nullptr || p->workBuffer == nullptr) return;
    FrameParameters* f = &p->frameParameters;
    if (f->source == nullptr || f->width <= 0 || f->height <= 0) return;
    f->output = firstRow;
    f->outputPitch = rowPitch;
    // The gains (measured ones with white balance), the coefficient snapshot
    // and the signs taken from it are the last conversion's: nothing is read
    // from the settings, so the picture comes out as it did then.
    KernelInUse use;
    BeginKernel(kernel, &use);
    ConvertSnapshot(p, RoutinesFor(use.kernel, f->colorPhase), FALSE);
    EndKernel(&use);
}
