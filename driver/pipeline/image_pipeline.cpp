#include "driver/pipeline/image_pipeline.h"

#include <math.h>

#include "driver/pipeline/matrix.h"

namespace {

// Colour correction and luminance weights are single-precision constants
// widened to double; the coefficient roundings depend on that.
const float kCorrection[3][3] = {
    {1.36f, -0.25f, -0.1f},
    {-0.22f, 1.4f, -0.32f},
    {-0.14f, -0.15f, 1.42f},
};
const float kLumaRed = 0.3086f;
const float kLumaGreen = 0.6094f;
const float kLumaBlue = 0.0820f;
const float kPi = 3.1415927f;

const LONG kMaxBrightness = 510;
const LONG kMaxContrast = 20;
const LONG kMaxSaturation = 20;

// Largest working buffer we agree to size; the camera's frames are far below
// it, and anything above would overflow the 32-bit size fields.
const LONGLONG kMaxWorkBufferSize = 0x7FFFFFFFLL;

VOID BuildCorrectionStage(ImagePipeline* p, LONG value) {
    MatrixIdentity(p->correctionMatrix);
    if (value != 0) {
        for (int row = 0; row < 3; ++row)
            for (int column = 0; column < 3; ++column)
                p->correctionMatrix[4 * row + column] = static_cast<double>(kCorrection[row][column]);
    }
}

VOID BuildBrightnessStage(ImagePipeline* p, LONG value) {
    if (value > kMaxBrightness) value = kMaxBrightness;
    double offset = static_cast<double>(value - 255);
    MatrixIdentity(p->brightnessMatrix);
    p->brightnessMatrix[12] = offset;
    p->brightnessMatrix[13] = offset;
    p->brightnessMatrix[14] = offset;
}

VOID BuildContrastStage(ImagePipeline* p, LONG value) {
    if (value > kMaxContrast) value = kMaxContrast;
    float k = static_cast<float>(value - 10) * 0.1f + 1.0f;
    double q = static_cast<double>(k) * -128.0 + 128.0;
    MatrixIdentity(p->contrastMatrix);
    for (int i = 0; i < 3; ++i) {
        p->contrastMatrix[5 * i] = static_cast<double>(k);
        p->contrastMatrix[12 + i] = q;
    }
}

VOID BuildSaturationStage(ImagePipeline* p, LONG value) {
    if (value > kMaxSaturation) value = kMaxSaturation;
    float t = static_cast<float>(value - 10) * 0.1f + 1.0f;
    double td = static_cast<double>(t);
    double u = 1.0 - td;
    const double weight[3] = {static_cast<double>(kLumaRed), static_cast<double>(kLumaGreen),
                              static_cast<double>(kLumaBlue)};
    // Nine entries only; the constant row and column keep the identity.
    double* m = p->saturationMatrix;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            m[4 * row + column] = u * weight[row] + (row == column ? td : 0.0);
        }
    }
}

// Rotation of the hue about the grey axis keeping luminance: turn the grey
// axis onto z, shear so that the luminance plane is perpendicular to it,
// rotate about z, and undo the shear and the turn.
VOID BuildHueStage(ImagePipeline* p, LONG value) {
    double* m = p->hueMatrix;
    MatrixIdentity(m);

    double root2 = static_cast<double>(sqrtf(2.0f));
    double root3 = static_cast<double>(sqrtf(3.0f));
    RotateX(m, 1.0 / root2, 1.0 / root2);
    RotateY(m, -1.0 / root3, root2 / root3);

    double wr = static_cast<double>(kLumaRed);
    double wg = static_cast<double>(kLumaGreen);
    double wb = static_cast<double>(kLumaBlue);
    double lx = wr * m[0] + wg * m[4] + wb * m[8] + m[12];
    double ly = wr * m[1] + wg * m[5] + wb * m[9] + m[13];
    double lz = wr * m[2] + wg * m[6] + wb * m[10] + m[14];
    double dx = lx / lz;
    double dy = ly / lz;
    ShearZ(m, dx, dy);

    float angle = static_cast<float>(value) * kPi / 180.0f;
    double sine = static_cast<double>(sinf(angle));
    double cosine = static_cast<double>(cosf(angle));
    double z[16];
    MatrixIdentity(z);
    z[0] = cosine;
    z[1] = sine;
    z[4] = -sine;
    z[5] = cosine;
    MatrixMultiply(z, m, m);  // m = m x z

    ShearZ(m, -dx, -dy);
    RotateY(m, 1.0 / root3, root2 / root3);
    RotateX(m, -1.0 / root2, 1.0 / root2);
}

// Caller holds builderLock.
VOID RebuildLocked(ImagePipeline* p) {
    double* c = p->combinedMatrix;
    MatrixCopy(c, p->correctionMatrix);
    MatrixMultiply(c, p->contrastMatrix, c);
    MatrixMultiply(c, p->brightnessMatrix, c);
    MatrixMultiply(c, p->saturationMatrix, c);
    MatrixMultiply(c, p->hueMatrix, c);

    // Round half away from zero, outside the lock: only the copy is guarded.
    LONG rounded[16];
    for (int i = 0; i < 16; ++i) {
        double x = c[i] * 64.0;
        rounded[i] = static_cast<LONG>(x >= 0.0 ? x + 0.5 : x - 0.5);
    }

    KIRQL oldIrql;
    KeAcquireSpinLock(&p->coefficientLock, &oldIrql);
    for (int i = 0; i < 16; ++i) p->coefficients[i] = rounded[i];
    KeReleaseSpinLock(&p->coefficientLock, oldIrql);
}

typedef VOID (*StageBuilder)(ImagePipeline* p, LONG value);

VOID BuildAndPublish(ImagePipeline* p, StageBuilder build, LONG value) {
    ExAcquireFastMutex(&p->builderLock);
    build(p, value);
    RebuildLocked(p);
    ExReleaseFastMutex(&p->builderLock);
}

// The field is compared and exchanged under builderLock as well, so the last
// value exchanged in is also the last one built.
VOID UpdateAndBuild(ImagePipeline* p, volatile LONG* field, StageBuilder build, LONG value) {
    ExAcquireFastMutex(&p->builderLock);
    if (ReadNoFence(field) != value) {
        InterlockedExchange(field, value);
        build(p, value);
        RebuildLocked(p);
    }
    ExReleaseFastMutex(&p->builderLock);
}

}  // namespace

ImagePipeline* CreatePipeline() {
    ImagePipeline* p =
        static_cast<ImagePipeline*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ImagePipeline), PipelinePoolTag));
    if (p == nullptr) return nullptr;
    RtlZeroMemory(p, sizeof(ImagePipeline));
    SetPipelineInitialValues(p);
    InitializePipeline(p);
    return p;
}

VOID FreePipeline(ImagePipeline* pipeline) {
    if (pipeline == nullptr) return;
    ReleaseWorkingBuffer(pipeline);
    ExFreePoolWithTag(pipeline, PipelinePoolTag);
}

VOID SetPipelineInitialValues(ImagePipeline* p) {
    InterlockedExchange(&p->colorPhase, 0);
    InterlockedExchange(&p->colorEnable, 1);
    InterlockedExchange(&p->whiteBalance, 0);
    InterlockedExchange(&p->redGain, PIPELINE_UNITY_GAIN);
    InterlockedExchange(&p->greenGain, PIPELINE_UNITY_GAIN);
    InterlockedExchange(&p->blueGain, PIPELINE_UNITY_GAIN);
    InterlockedExchange(&p->colorCorrection, 1);
    InterlockedExchange(&p->brightness, 255);
    InterlockedExchange(&p->contrast, 10);
    InterlockedExchange(&p->saturation, 10);
    InterlockedExchange(&p->hue, 0);
    p->whiteBalanceSteady = FALSE;
}

VOID InitializePipeline(ImagePipeline* p) {
    KeInitializeSpinLock(&p->coefficientLock);
    ExInitializeFastMutex(&p->builderLock);
    MatrixIdentity(p->brightnessMatrix);
    MatrixIdentity(p->contrastMatrix);
    MatrixIdentity(p->saturationMatrix);
    MatrixIdentity(p->hueMatrix);
    MatrixIdentity(p->combinedMatrix);
    BuildCorrectionStage(p, 1);
    RebuildCoefficients(p);
}

VOID SetPipelineGeometry(ImagePipeline* p, LONG width, LONG height) {
    p->width = width;
    p->height = height;
    // The pitch leaves room for the 16-byte reads of a last block that runs
    // past the right margin; the extra row for odd heights keeps the reads of
    // the bottom margin inside the buffer. A size that does not fit the 32-bit
    // fields leaves the buffer size 0: nothing is allocated, nothing converted.
    p->workPitch = 0;
    p->workBufferSize = 0;
    if (width <= 0 || height <= 0) return;
    LONGLONG pitch = ((static_cast<LONGLONG>(width) + 16) & ~15LL) + 11;
    LONGLONG size = (static_cast<LONGLONG>(height) + (height % 2) + 4) * pitch;
    if (size > kMaxWorkBufferSize) return;
    p->workPitch = static_cast<LONG>(pitch);
    p->workBufferSize = static_cast<LONG>(size);
}

VOID AllocateWorkingBuffer(ImagePipeline* p) {
    if (p->workBuffer != nullptr) {
        ExFreePoolWithTag(p->workBuffer, FramePoolTag);
        p->workBuffer = nullptr;
    }
    if (p->workBufferSize > 0) {
        p->workBuffer = static_cast<UCHAR*>(
            ExAllocatePoolWithTag(NonPagedPoolNx, static_cast<SIZE_T>(p->workBufferSize), FramePoolTag));
    }
    FrameParameters* f = &p->frameParameters;
    if (p->workBuffer != nullptr) {
        // The last block of a row reads columns past the right margin that no
        // frame ever writes; zeroing them once makes those (never stored)
        // lanes defined.
        RtlZeroMemory(p->workBuffer, static_cast<SIZE_T>(p->workBufferSize));
        f->source = p->workBuffer + 2 * p->workPitch + 5;
    } else {
        f->source = nullptr;
    }
    f->workPitch = p->workPitch;
    f->width = p->width;
    f->height = p->height;
}

VOID ReleaseWorkingBuffer(ImagePipeline* p) {
    p->outputBuffer = nullptr;
    if (p->workBuffer != nullptr) {
        ExFreePoolWithTag(p->workBuffer, FramePoolTag);
        p->workBuffer = nullptr;
    }
    p->frameParameters.source = nullptr;
}

VOID SetColorPhase(ImagePipeline* p, LONG value) { InterlockedExchange(&p->colorPhase, value); }
VOID SetColorEnable(ImagePipeline* p, LONG value) { InterlockedExchange(&p->colorEnable, value); }
VOID SetWhiteBalance(ImagePipeline* p, LONG value) { InterlockedExchange(&p->whiteBalance, value); }
VOID SetRedGain(ImagePipeline* p, LONG value) { InterlockedExchange(&p->redGain, value); }
VOID SetGreenGain(ImagePipeline* p, LONG value) { InterlockedExchange(&p->greenGain, value); }
VOID SetBlueGain(ImagePipeline* p, LONG value) { InterlockedExchange(&p->blueGain, value); }

LONG GetColorPhase(ImagePipeline* p) { return ReadNoFence(&p->colorPhase); }
LONG GetColorEnable(ImagePipeline* p) { return ReadNoFence(&p->colorEnable); }
LONG GetWhiteBalance(ImagePipeline* p) { return ReadNoFence(&p->whiteBalance); }
LONG GetRedGain(ImagePipeline* p) { return ReadNoFence(&p->redGain); }
LONG GetGreenGain(ImagePipeline* p) { return ReadNoFence(&p->greenGain); }
LONG GetBlueGain(ImagePipeline* p) { return ReadNoFence(&p->blueGain); }
LONG GetColorCorrection(ImagePipeline* p) { return ReadNoFence(&p->colorCorrection); }
LONG GetBrightness(ImagePipeline* p) { return ReadNoFence(&p->brightness); }
LONG GetContrast(ImagePipeline* p) { return ReadNoFence(&p->contrast); }
LONG GetSaturation(ImagePipeline* p) { return ReadNoFence(&p->saturation); }
LONG GetHue(ImagePipeline* p) { return ReadNoFence(&p->hue); }

VOID BuildCorrectionMatrix(ImagePipeline* p, LONG value) { BuildAndPublish(p, BuildCorrectionStage, value); }
VOID BuildBrightnessMatrix(ImagePipeline* p, LONG value) { BuildAndPublish(p, BuildBrightnessStage, value); }
VOID BuildContrastMatrix(ImagePipeline* p, LONG value) { BuildAndPublish(p, BuildContrastStage, value); }
VOID BuildSaturationMatrix(ImagePipeline* p, LONG value) { BuildAndPublish(p, BuildSaturationStage, value); }
VOID BuildHueMatrix(ImagePipeline* p, LONG value) { BuildAndPublish(p, BuildHueStage, value); }

VOID UpdateColorCorrection(ImagePipeline* p, LONG value) {
    UpdateAndBuild(p, &p->colorCorrection, BuildCorrectionStage, value);
}
VOID UpdateBrightness(ImagePipeline* p, LONG value) { UpdateAndBuild(p, &p->brightness, BuildBrightnessStage, value); }
VOID UpdateContrast(ImagePipeline* p, LONG value) { UpdateAndBuild(p, &p->contrast, BuildContrastStage, value); }
VOID UpdateSaturation(ImagePipeline* p, LONG value) { UpdateAndBuild(p, &p->saturation, BuildSaturationStage, value); }
VOID UpdateHue(ImagePipeline* p, LONG value) { UpdateAndBuild(p, &p->hue, BuildHueStage, value); }

VOID RebuildCoefficients(ImagePipeline* p) {
    ExAcquireFastMutex(&p->builderLock);
    RebuildLocked(p);
    ExReleaseFastMutex(&p->builderLock);
}

VOID SnapshotCoefficients(ImagePipeline* p, LONG snapshot[16]) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&p->coefficientLock, &oldIrql);
    for (int i = 0; i < 16; ++i) snapshot[i] = p->coefficients[i];
    KeReleaseSpinLock(&p->coefficientLock, oldIrql);
}
