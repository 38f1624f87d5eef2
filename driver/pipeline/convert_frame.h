// Conversion of one raw 8-bit Bayer frame into packed BGRA: working buffer
// with mirrored margins, gradient-corrected demosaic, channel gains, and the
// published colour matrix (or grey).
#pragma once

#include "driver/pipeline/image_pipeline.h"

// The camera's raw layout (line i of a frame at RawDataOffset + i *
// RawLinePitch) is named once, in camera/frame_geometry.h.
#include "driver/camera/frame_geometry.h"

// Which implementation converts. All give bit-identical output; the scalar
// one is the reference and the fallback for processors without SSE2. AVX2
// falls back to SSE2 where the processor or the system lacks it, or where
// the extended processor state cannot be saved.
enum ConversionKernel {
    ConversionKernelSse2 = 0,
    ConversionKernelScalar = 1,
    ConversionKernelAvx2 = 2,
};

// Converts one frame into pipeline->outputBuffer (top row first, width * 4
// bytes a row) with the quickest kernel the processor offers (AVX2, else
// SSE2). Does nothing while the output, the raw or the working buffer is
// missing. Runs at IRQL <= DISPATCH_LEVEL; never twice at once for one
// pipeline. White balance uses the output as scratch before the conversion
// fills it.
VOID ConvertFrame(ImagePipeline* pipeline, const UCHAR* rawBuffer, ULONG rawDataOffset, ULONG rawLinePitch);
VOID ConvertFrameWithKernel(ImagePipeline* pipeline, const UCHAR* rawBuffer, ULONG rawDataOffset,
                            ULONG rawLinePitch, ConversionKernel kernel);

// The same into rows the caller places: image row r (width * 4 bytes) at
// firstRow + r * rowPitch; a negative rowPitch lays the image out bottom row
// first. Only those bytes are written (white balance's scratch included),
// so the caller must have checked that all the rows fit.
VOID ConvertFrameToRows(ImagePipeline* pipeline, const UCHAR* rawBuffer, ULONG rawDataOffset, ULONG rawLinePitch,
                        UCHAR* firstRow, LONG_PTR rowPitch, ConversionKernel kernel = ConversionKernelAvx2);

// Converts the frame of the last conversion again, from the working buffer,
// with that conversion's gains (white balance's measured ones), coefficients,
// phase and colour switch, into rows placed as for ConvertFrameToRows: the
// same bytes as then, whatever the settings have become since. Only valid
// while no other frame has been converted or filled in, and not at all before
// the first conversion after AllocateWorkingBuffer; nothing happens without a
// working buffer or rows.
VOID ConvertFrameAgain(ImagePipeline* pipeline, UCHAR* firstRow, LONG_PTR rowPitch,
                       ConversionKernel kernel = ConversionKernelAvx2);

// Copies the image rows into the working buffer and mirrors a two-pixel
// margin around them.
VOID FillWorkingBuffer(ImagePipeline* pipeline, const UCHAR* rawBuffer, ULONG rawDataOffset, ULONG rawLinePitch);

// Grey-world gains of the frame now in the working buffer (phase from the
// pipeline); writes red, green and blue through the pointers, or leaves them
// untouched when a channel sums to zero.
VOID MeasureWhiteBalance(ImagePipeline* pipeline, ConversionKernel kernel, LONG* redGain, LONG* greenGain,
                         LONG* blueGain);
