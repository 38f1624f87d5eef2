// Shared between the frame conversion and its implementations (AVX2, SSE2
// and scalar): the Bayer site table, the per-phase routine tables and the
// white-balance arithmetic.
#pragma once

#include "driver/pipeline/image_pipeline.h"

// What a pixel of the mosaic carries. A green site in a row of red and green
// takes red from the row kernel and blue from the column kernel; a green site
// in a row of blue and green the other way round.
enum BayerSite {
    SiteGreenInRedRow = 0,
    SiteGreenInBlueRow = 1,
    SiteRed = 2,
    SiteBlue = 3,
};

// Phase 0 GRBG (the sensor's readout), 1 BGGR, 2 RGGB, 3 GBRG.
constexpr int BayerSiteAt(int phase, int rowParity, int columnParity) {
    return phase == 0   ? (rowParity == 0 ? (columnParity == 0 ? SiteGreenInRedRow : SiteRed)
                                          : (columnParity == 0 ? SiteBlue : SiteGreenInBlueRow))
           : phase == 1 ? (rowParity == 0 ? (columnParity == 0 ? SiteBlue : SiteGreenInBlueRow)
                                          : (columnParity == 0 ? SiteGreenInRedRow : SiteRed))
           : phase == 2 ? (rowParity == 0 ? (columnParity == 0 ? SiteRed : SiteGreenInRedRow)
                                          : (columnParity == 0 ? SiteGreenInBlueRow : SiteBlue))
                        : (rowParity == 0 ? (columnParity == 0 ? SiteGreenInBlueRow : SiteBlue)
                                          : (columnParity == 0 ? SiteRed : SiteGreenInRedRow));
}

// The demosaiced channels (before the gains) summed over the image pixels,
// each in 32 bits that wrap.
struct ChannelTotals {
    ULONG red;
    ULONG green;
    ULONG blue;
};

struct ConversionRoutines {
    // Sums the demosaiced channels (no gains) over the image pixels. With
    // `keep`, it may also leave demosaiced channels in frame->output for a
    // conversion called with `kept` (the vector kernels do; the scalar one
    // demosaics again).
    VOID (*sumChannels)(const FrameParameters* frame, BOOLEAN keep, ULONG* sumRed, ULONG* sumGreen, ULONG* sumBlue);
    // The conversion with the frame's gains. With `totals` (never together
    // with `kept`), it also sums what it demosaics, exactly as sumChannels
    // does, so that white balance can measure the frame while converting it.
    VOID (*convertColor)(ImagePipeline* pipeline, BOOLEAN kept, ChannelTotals* totals);
    VOID (*convertMono)(ImagePipeline* pipeline, BOOLEAN kept, ChannelTotals* totals);
};

// Indexed by phase 0..3; the tables are constant data. The AVX2 routines run
// only where ProcessorHasAvx2() and between a save and a restore of the
// extended processor state.
extern const ConversionRoutines g_avx2Routines[4];
extern const ConversionRoutines g_sse2Routines[4];
extern const ConversionRoutines g_scalarRoutines[4];

// Grey-world gains from the channel sums; FALSE (nothing written) when a sum
// is zero.
BOOLEAN WhiteBalanceGainsFromSums(ULONG sumRed, ULONG sumGreen, ULONG sumBlue, LONG* redGain, LONG* greenGain,
                                  LONG* blueGain);

// A gain as the conversion multiplies with it: its low 16 bits.
inline USHORT GainFactor(LONG gain) { return static_cast<USHORT>(static_cast<ULONG>(gain) & 0xFFFF); }

// |coefficient| as an unsigned 16-bit value, without overflowing on LONG_MIN.
inline USHORT CoefficientMagnitude(LONG coefficient) {
    ULONG value = static_cast<ULONG>(coefficient);
    return static_cast<USHORT>((coefficient < 0 ? 0u - value : value) & 0xFFFF);
}
