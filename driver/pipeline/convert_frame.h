// Conversion of one raw 8-bit Bayer frame into packed BGRA: working buffer
// with mirrored margins, gradient-corrected demosaic, channel gains, and the
// published colour matrix (or grey).
#pragma once

#include "image_pipeline.h"

// The camera's raw layout: line i of a frame at byte 9921 + i * 1921.
#define RAW_DATA_OFFSET 9921
#define RAW_LINE_PITCH 1921

// Which implementation converts. Both give bit-identical output; the scalar
// one is the reference and the fallback for processors without SSE2.
enum ConversionKernel {
    ConversionKernelSse2 = 0,
    ConversionKernelScalar = 1,
};

// Converts one frame into pipeline->outputBuffer with the SSE2 kernel. Does
// nothing while the output, the raw or the working buffer is missing. Runs at
// IRQL <= DISPATCH_LEVEL; never twice at once for one pipeline.
VOID ConvertFrame(ImagePipeline* pipeline, const UCHAR* rawBuffer, ULONG rawDataOffset, ULONG rawLinePitch);
VOID ConvertFrameWithKernel(ImagePipeline* pipeline, const UCHAR* rawBuffer, ULONG rawDataOffset,
                            ULONG rawLinePitch, ConversionKernel kernel);

// Copies the image rows into the working buffer and mirrors a two-pixel
// margin around them.
VOID FillWorkingBuffer(ImagePipeline* pipeline, const UCHAR* rawBuffer, ULONG rawDataOffset, ULONG rawLinePitch);

// Grey-world gains of the frame now in the working buffer (phase from the
// pipeline); writes red, green and blue through the pointers, or leaves them
// untouched when a channel sums to zero.
VOID MeasureWhiteBalance(ImagePipeline* pipeline, ConversionKernel kernel, LONG* redGain, LONG* greenGain,
                         LONG* blueGain);
