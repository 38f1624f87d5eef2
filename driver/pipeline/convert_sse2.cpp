// The SSE2 conversion: 16 pixels of a row per step, as two sets of eight
// 16-bit lanes (even columns and odd columns). The frame is walked two rows at
// a time, one Bayer cell row, so that the six working-buffer rows the pair
// needs are loaded and split into lanes once for both rows. The Bayer sites of
// a row's even and odd columns are template arguments (fixed by the phase), so
// no lane ever tests its colour and each site computes only its two kernels.
//
// Every step reproduces the scalar reference bit for bit: the kernel sums are
// exact in 16-bit lanes, the rounding shifts and clamps are the same, and the
// colour matrix accumulates in wrapping 16-bit lanes like the reference.
#include <emmintrin.h>

#include "convert_kernels.h"

// The block helpers are FORCEINLINE: passed through memory, their
// eight-lane results would cost more than the arithmetic.

namespace {

struct Rgb {
    __m128i red;
    __m128i green;
    __m128i blue;
};

FORCEINLINE __m128i Load(const UCHAR* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
FORCEINLINE __m128i Add(__m128i a, __m128i b) { return _mm_add_epi16(a, b); }
FORCEINLINE __m128i Sub(__m128i a, __m128i b) { return _mm_sub_epi16(a, b); }

// One working-buffer row around a block of 16 columns from column c, as
// 16-bit lanes j = 0 .. 7 holding column c + 2j + offset. Three 16-byte loads
// (at c - 2, c and c + 2) split into low and high bytes give all six; the
// farthest byte read is column c + 17, which the working-buffer pitch keeps
// inside the row even for the last block. Unused members of the rows that
// only contribute their centre column are dropped by the compiler.
struct RowSamples {
    __m128i evenLeft;   // c + 2j - 2
    __m128i oddLeft;    // c + 2j - 1
    __m128i even;       // c + 2j
    __m128i odd;        // c + 2j + 1
    __m128i evenRight;  // c + 2j + 2
    __m128i oddRight;   // c + 2j + 3
};

FORCEINLINE RowSamples LoadRow(const UCHAR* p) {
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    const __m128i a = Load(p - 2), b = Load(p), c = Load(p + 2);
    RowSamples s;
    s.evenLeft = _mm_and_si128(a, lowBytes);
    s.oddLeft = _mm_srli_epi16(a, 8);
    s.even = _mm_and_si128(b, lowBytes);
    s.odd = _mm_srli_epi16(b, 8);
    s.evenRight = _mm_and_si128(c, lowBytes);
    s.oddRight = _mm_srli_epi16(c, 8);
    return s;
}

// Clamps two sets of signed lanes to 0 .. 255: the byte pack saturates both
// ends at once, the unpack widens them back (three operations for two sets
// instead of a max and a min each).
FORCEINLINE void ClampPair(__m128i* a, __m128i* b) {
    const __m128i packed = _mm_packus_epi16(*a, *b);
    *a = _mm_unpacklo_epi8(packed, _mm_setzero_si128());
    *b = _mm_unpackhi_epi8(packed, _mm_setzero_si128());
}

// The two kernels a site needs, from the 5x5 sums of one lane set: the
// centre, the horizontal pairs at distance 1 and 2 in the centre row, the
// vertical pairs at distance 1 and 2, and the four diagonals.
//
// The divisor-16 kernels round as min(255, (max(S, 0) + 8) >> 4) and KG as
// min(255, (max(S, 0) + 4) >> 3). With an arithmetic shift, (S + 8) >> 4 is
// already 0 for -8 <= S < 0 and negative below, so clamping after the shift
// gives the same value; the rounding constant is folded into the sums. No
// sum leaves the signed 16-bit range (|S| < 8000).
template <int Site>
FORCEINLINE Rgb Interpolate(__m128i c, __m128i h1, __m128i h2, __m128i v1, __m128i v2, __m128i diag) {
    Rgb out;
    if (Site == SiteGreenInRedRow || Site == SiteGreenInBlueRow) {
        // Krow + 8 = 2(t + 4h1 - h2) + v2 and Kcol + 8 = 2(t + 4v1 - v2) + h2
        // with t = 5c - diag + 4 (Krow = 10c + 8h1 - 2h2 - 2diag + v2,
        // Kcol = 10c + 8v1 - 2v2 - 2diag + h2).
        const __m128i t = Add(Sub(Add(_mm_slli_epi16(c, 2), c), diag), _mm_set1_epi16(4));
        __m128i rowKernel = Add(_mm_slli_epi16(Add(Sub(t, h2), _mm_slli_epi16(h1, 2)), 1), v2);
        __m128i columnKernel = Add(_mm_slli_epi16(Add(Sub(t, v2), _mm_slli_epi16(v1, 2)), 1), h2);
        rowKernel = _mm_srai_epi16(rowKernel, 4);
        columnKernel = _mm_srai_epi16(columnKernel, 4);
        ClampPair(&rowKernel, &columnKernel);
        out.green = c;
        out.red = Site == SiteGreenInRedRow ? rowKernel : columnKernel;
        out.blue = Site == SiteGreenInRedRow ? columnKernel : rowKernel;
    } else {
        // KG + 4 = 2(2c + 2 + h1 + v1) - f and Kdiag + 8 = 4(3c + 2 + diag) - 3f
        // with f = h2 + v2 (KG = 4c + 2(h1 + v1) - f, Kdiag = 12c + 4diag - 3f).
        const __m128i f = Add(h2, v2);
        const __m128i twoC = Add(_mm_slli_epi16(c, 1), _mm_set1_epi16(2));
        __m128i greenKernel = Sub(_mm_slli_epi16(Add(Add(twoC, h1), v1), 1), f);
        __m128i diagonalKernel = Sub(_mm_slli_epi16(Add(Add(twoC, c), diag), 2), Add(_mm_slli_epi16(f, 1), f));
        greenKernel = _mm_srai_epi16(greenKernel, 3);
        diagonalKernel = _mm_srai_epi16(diagonalKernel, 4);
        ClampPair(&greenKernel, &diagonalKernel);
        out.green = greenKernel;
        out.red = Site == SiteRed ? c : diagonalKernel;
        out.blue = Site == SiteRed ? diagonalKernel : c;
    }
    return out;
}

// Demosaics the 16 pixels of `row` from the rows two and one above and below.
// The vertical pairs at distance 1 serve both lane sets: the even lanes'
// vertical pair is part of the odd lanes' diagonal sum and the other way
// round.
template <int EvenSite, int OddSite>
FORCEINLINE void DemosaicRow(const RowSamples& up2, const RowSamples& up1, const RowSamples& row,
                             const RowSamples& down1, const RowSamples& down2, Rgb* even, Rgb* odd) {
    const __m128i v1OddLeft = Add(up1.oddLeft, down1.oddLeft);
    const __m128i v1Even = Add(up1.even, down1.even);
    const __m128i v1Odd = Add(up1.odd, down1.odd);
    const __m128i v1EvenRight = Add(up1.evenRight, down1.evenRight);
    *even = Interpolate<EvenSite>(row.even, Add(row.oddLeft, row.odd), Add(row.evenLeft, row.evenRight), v1Even,
                                  Add(up2.even, down2.even), Add(v1OddLeft, v1Odd));
    *odd = Interpolate<OddSite>(row.odd, Add(row.even, row.evenRight), Add(row.oddLeft, row.oddRight), v1Odd,
                                Add(up2.odd, down2.odd), Add(v1Even, v1EvenRight));
}

// Demosaics the block of 16 columns at `at` (an even row r) into [0] and, for
// a row pair, the same columns of row r + 1 into [1]. A pair reads rows r - 2
// .. r + 3, each once; a single row (the last of an odd height) reads only
// the margin rows up to r + 2.
template <int Phase, bool TwoRows>
FORCEINLINE void DemosaicBlock(const UCHAR* at, LONG pitch, Rgb even[2], Rgb odd[2]) {
    const RowSamples up2 = LoadRow(at - 2 * pitch);
    const RowSamples up1 = LoadRow(at - pitch);
    const RowSamples row0 = LoadRow(at);
    const RowSamples row1 = LoadRow(at + pitch);
    const RowSamples down2 = LoadRow(at + 2 * pitch);
    DemosaicRow<BayerSiteAt(Phase, 0, 0), BayerSiteAt(Phase, 0, 1)>(up2, up1, row0, row1, down2, &even[0], &odd[0]);
    if (TwoRows) {
        const RowSamples down3 = LoadRow(at + 3 * pitch);
        DemosaicRow<BayerSiteAt(Phase, 1, 0), BayerSiteAt(Phase, 1, 1)>(up1, row0, row1, down2, down3, &even[1],
                                                                        &odd[1]);
    }
}

// How the frame's gains are applied, chosen once per frame; all give
// min(255, (v * g) >> 7) exactly for a sample v <= 255 and a gain g taken as
// an unsigned 16-bit value.
enum GainMode {
    GainsUnity = 0,   // all three 128: samples stay as they are
    GainsScaled = 1,  // every gain below 16384
    GainsGeneral = 2, // any 16-bit gain
};

inline GainMode GainModeOf(const FrameParameters* f) {
    const USHORT r = GainFactor(f->redGain), g = GainFactor(f->greenGain), b = GainFactor(f->blueGain);
    if (r == PIPELINE_UNITY_GAIN && g == PIPELINE_UNITY_GAIN && b == PIPELINE_UNITY_GAIN) return GainsUnity;
    if (r < 16384 && g < 16384 && b < 16384) return GainsScaled;
    return GainsGeneral;
}

// GainsScaled: (v * g) >> 7 is the high half of (v << 8) * (g << 1), both
// factors within 16 bits; below 16384 the result stays below 32768, so a
// signed minimum caps it.
FORCEINLINE __m128i ApplyScaledGain(__m128i v, __m128i gainTimes2) {
    return _mm_min_epi16(_mm_mulhi_epu16(_mm_slli_epi16(v, 8), gainTimes2), _mm_set1_epi16(255));
}

// GainsGeneral: the low half of v * g gives the result when the high half is
// 0; any product of 65536 or more is 255.
FORCEINLINE __m128i ApplyGeneralGain(__m128i v, __m128i gain) {
    const __m128i low = _mm_mullo_epi16(v, gain);
    const __m128i high = _mm_mulhi_epu16(v, gain);
    const __m128i overflow = _mm_andnot_si128(_mm_cmpeq_epi16(high, _mm_setzero_si128()), _mm_set1_epi16(255));
    return _mm_min_epi16(_mm_or_si128(_mm_srli_epi16(low, 7), overflow), _mm_set1_epi16(255));
}

// The gains broadcast once per frame, as the mode multiplies with them.
struct Gains {
    __m128i red;
    __m128i green;
    __m128i blue;
};

inline Gains BroadcastGains(const FrameParameters* f, GainMode mode) {
    const int shift = mode == GainsScaled ? 1 : 0;
    Gains g;
    g.red = _mm_set1_epi16(static_cast<short>(GainFactor(f->redGain) << shift));
    g.green = _mm_set1_epi16(static_cast<short>(GainFactor(f->greenGain) << shift));
    g.blue = _mm_set1_epi16(static_cast<short>(GainFactor(f->blueGain) << shift));
    return g;
}

template <int Mode>
FORCEINLINE void ApplyGains(Rgb* v, const Gains& g) {
    if (Mode == GainsScaled) {
        v->red = ApplyScaledGain(v->red, g.red);
        v->green = ApplyScaledGain(v->green, g.green);
        v->blue = ApplyScaledGain(v->blue, g.blue);
    } else if (Mode == GainsGeneral) {
        v->red = ApplyGeneralGain(v->red, g.red);
        v->green = ApplyGeneralGain(v->green, g.green);
        v->blue = ApplyGeneralGain(v->blue, g.blue);
    }
}

// The colour matrix as unsigned 16-bit weights, broadcast once per frame.
// Each product of a channel goes either to pos or to neg, never to both.
//
// MatrixDiagonal: the shape of the factory correction and of every setting
// that only scales it (neutral, brightness, contrast, saturation at or above
// neutral): for each output channel its own input is positive and the other
// two are not, so three multiplies and three additions make pos and neg. The
// constant term's sign is free; it starts pos or neg and the other starts 0.
//
// MatrixGeneral: any signs. Each input is multiplied by its weight for pos
// (0 when the entry is not positive) and for neg (0 when it is), which keeps
// the lanes free of per-pixel choices. (Three multiplies with masks picking
// the products of pos, and neg as the total minus pos, measured slower.)
enum MatrixShape {
    MatrixDiagonal = 0,
    MatrixGeneral = 1,
};

struct Matrix {
    __m128i magnitude[3][3];  // [input][output]
    __m128i positive[3][3];   // the magnitude where coefficientPositive is set, else 0
    __m128i negative[3][3];   // the magnitude where it is not, else 0
    __m128i constantPositive[3];
    __m128i constantNegative[3];
};

inline MatrixShape MatrixShapeOf(const ImagePipeline* p) {
    for (int k = 0; k < 3; ++k) {
        for (int c = 0; c < 3; ++c) {
            if ((p->coefficientPositive[4 * k + c] != 0) != (k == c)) return MatrixGeneral;
        }
    }
    return MatrixDiagonal;
}

inline Matrix BroadcastMatrix(const ImagePipeline* p) {
    const FrameParameters* f = &p->frameParameters;
    Matrix m;
    for (int k = 0; k < 4; ++k) {
        for (int c = 0; c < 3; ++c) {
            const int i = 4 * k + c;
            const short magnitude = static_cast<short>(CoefficientMagnitude(f->coefficientSnapshot[i]));
            const bool positive = p->coefficientPositive[i] != 0;
            if (k < 3) {
                m.magnitude[k][c] = _mm_set1_epi16(magnitude);
                m.positive[k][c] = _mm_set1_epi16(positive ? magnitude : 0);
                m.negative[k][c] = _mm_set1_epi16(positive ? 0 : magnitude);
            } else {
                m.constantPositive[c] = _mm_set1_epi16(positive ? magnitude : 0);
                m.constantNegative[c] = _mm_set1_epi16(positive ? 0 : magnitude);
            }
        }
    }
    return m;
}

// (pos >> 6) - (neg >> 6) as a signed lane (-1023 .. 1023); the byte pack of
// the store turns it into 0 when negative and caps it at 255.
template <int Shape>
FORCEINLINE __m128i MatrixChannel(const Rgb& v, const Matrix& m, int c) {
    __m128i pos, neg;
    if (Shape == MatrixDiagonal) {
        const __m128i red = _mm_mullo_epi16(v.red, m.magnitude[0][c]);
        const __m128i green = _mm_mullo_epi16(v.green, m.magnitude[1][c]);
        const __m128i blue = _mm_mullo_epi16(v.blue, m.magnitude[2][c]);
        const __m128i own = c == 0 ? red : c == 1 ? green : blue;
        const __m128i otherA = c == 0 ? green : red;
        const __m128i otherB = c == 2 ? green : blue;
        pos = Add(m.constantPositive[c], own);
        neg = Add(m.constantNegative[c], Add(otherA, otherB));
    } else {
        pos = Add(m.constantPositive[c], Add(_mm_mullo_epi16(v.red, m.positive[0][c]),
                                             _mm_mullo_epi16(v.green, m.positive[1][c])));
        pos = Add(pos, _mm_mullo_epi16(v.blue, m.positive[2][c]));
        neg = Add(m.constantNegative[c], Add(_mm_mullo_epi16(v.red, m.negative[0][c]),
                                             _mm_mullo_epi16(v.green, m.negative[1][c])));
        neg = Add(neg, _mm_mullo_epi16(v.blue, m.negative[2][c]));
    }
    return Sub(_mm_srli_epi16(pos, 6), _mm_srli_epi16(neg, 6));
}

// 16 pixels as B, G, R, 255 in pixel order, from the even and odd lanes of
// each channel (signed 16-bit, saturated to 0 .. 255 by the pack).
struct Bgra16 {
    __m128i quarter[4];
};

FORCEINLINE Bgra16 PackBgra(__m128i blueEven, __m128i blueOdd, __m128i greenEven, __m128i greenOdd,
                            __m128i redEven, __m128i redOdd) {
    const __m128i opaque = _mm_set1_epi8(static_cast<char>(0xFF));
    const __m128i blue = _mm_packus_epi16(blueEven, blueOdd);  // even pixels' bytes, then odd pixels'
    const __m128i green = _mm_packus_epi16(greenEven, greenOdd);
    const __m128i red = _mm_packus_epi16(redEven, redOdd);
    const __m128i bgEven = _mm_unpacklo_epi8(blue, green);
    const __m128i bgOdd = _mm_unpackhi_epi8(blue, green);
    const __m128i raEven = _mm_unpacklo_epi8(red, opaque);
    const __m128i raOdd = _mm_unpackhi_epi8(red, opaque);
    const __m128i even0 = _mm_unpacklo_epi16(bgEven, raEven);  // pixels 0, 2, 4, 6
    const __m128i even1 = _mm_unpackhi_epi16(bgEven, raEven);  // pixels 8 .. 14
    const __m128i odd0 = _mm_unpacklo_epi16(bgOdd, raOdd);     // pixels 1, 3, 5, 7
    const __m128i odd1 = _mm_unpackhi_epi16(bgOdd, raOdd);     // pixels 9 .. 15
    Bgra16 out;
    out.quarter[0] = _mm_unpacklo_epi32(even0, odd0);
    out.quarter[1] = _mm_unpackhi_epi32(even0, odd0);
    out.quarter[2] = _mm_unpacklo_epi32(even1, odd1);
    out.quarter[3] = _mm_unpackhi_epi32(even1, odd1);
    return out;
}

// Stores `count` of the 16 pixels; the last block of a row is computed whole,
// but only the pixels inside the width are written.
FORCEINLINE void StoreBgra(UCHAR* out, const Bgra16& pixels, LONG count) {
    __m128i* dst = reinterpret_cast<__m128i*>(out);
    if (count >= 16) {
        for (int i = 0; i < 4; ++i) _mm_storeu_si128(dst + i, pixels.quarter[i]);
    } else {
        alignas(16) UCHAR block[64];
        for (int i = 0; i < 4; ++i) _mm_store_si128(reinterpret_cast<__m128i*>(block) + i, pixels.quarter[i]);
        RtlCopyMemory(out, block, static_cast<SIZE_T>(count) * 4);
    }
}

// ConvertColor's work on one demosaiced block: gains, matrix, BGRA.
template <int Mode, int Shape>
struct ColourStage {
    Gains gains;
    Matrix matrix;

    FORCEINLINE Bgra16 operator()(Rgb even, Rgb odd) const {
        ApplyGains<Mode>(&even, gains);
        ApplyGains<Mode>(&odd, gains);
        return PackBgra(MatrixChannel<Shape>(even, matrix, 2), MatrixChannel<Shape>(odd, matrix, 2),
                        MatrixChannel<Shape>(even, matrix, 1), MatrixChannel<Shape>(odd, matrix, 1),
                        MatrixChannel<Shape>(even, matrix, 0), MatrixChannel<Shape>(odd, matrix, 0));
    }
};

// ConvertMono's: gains, then Y = (77 R >> 8) + (150 G >> 8) + (29 B >> 8).
// (w v) >> 8 is the high half of v * (w << 8), one multiply per product.
template <int Mode>
struct MonoStage {
    Gains gains;

    FORCEINLINE __m128i Luma(const Rgb& v) const {
        __m128i y = _mm_mulhi_epu16(v.red, _mm_set1_epi16(77 << 8));
        y = Add(y, _mm_mulhi_epu16(v.green, _mm_set1_epi16(static_cast<short>(150 << 8))));
        return Add(y, _mm_mulhi_epu16(v.blue, _mm_set1_epi16(29 << 8)));
    }

    FORCEINLINE Bgra16 operator()(Rgb even, Rgb odd) const {
        ApplyGains<Mode>(&even, gains);
        ApplyGains<Mode>(&odd, gains);
        const __m128i yEven = Luma(even);
        const __m128i yOdd = Luma(odd);
        return PackBgra(yEven, yOdd, yEven, yOdd, yEven, yOdd);
    }
};

// Rows `r` (even) and, for a pair, r + 1 through `stage`, block by block.
template <int Phase, bool TwoRows, class Stage>
FORCEINLINE void ConvertRows(const FrameParameters* f, LONG r, const Stage& stage) {
    const LONG width = f->width;
    const UCHAR* at = f->source + static_cast<LONG_PTR>(r) * f->workPitch;
    UCHAR* out = f->output + static_cast<SIZE_T>(r) * static_cast<SIZE_T>(width) * 4;
    for (LONG c = 0; c < width; c += 16) {
        Rgb even[2], odd[2];
        DemosaicBlock<Phase, TwoRows>(at + c, f->workPitch, even, odd);
        StoreBgra(out + 4 * c, stage(even[0], odd[0]), width - c);
        if (TwoRows) StoreBgra(out + 4 * (width + c), stage(even[1], odd[1]), width - c);
    }
}

template <int Phase, class Stage>
void ConvertFrameRows(const FrameParameters* f, const Stage& stage) {
    LONG r = 0;
    for (; r + 2 <= f->height; r += 2) ConvertRows<Phase, true>(f, r, stage);
    if (r < f->height) ConvertRows<Phase, false>(f, r, stage);
}

template <int Phase>
VOID ConvertColor(ImagePipeline* p) {
    const FrameParameters* f = &p->frameParameters;
    const GainMode mode = GainModeOf(f);
    const Gains gains = BroadcastGains(f, mode);
    const Matrix matrix = BroadcastMatrix(p);
    // Gains beyond 16383 come only from white balance on a nearly
    // single-coloured frame; they take the general matrix too, which keeps
    // the number of loop copies down.
    const bool diagonal = MatrixShapeOf(p) == MatrixDiagonal;
    if (mode == GainsUnity && diagonal) {
        ConvertFrameRows<Phase>(f, ColourStage<GainsUnity, MatrixDiagonal>{gains, matrix});
    } else if (mode == GainsUnity) {
        ConvertFrameRows<Phase>(f, ColourStage<GainsUnity, MatrixGeneral>{gains, matrix});
    } else if (mode == GainsScaled && diagonal) {
        ConvertFrameRows<Phase>(f, ColourStage<GainsScaled, MatrixDiagonal>{gains, matrix});
    } else if (mode == GainsScaled) {
        ConvertFrameRows<Phase>(f, ColourStage<GainsScaled, MatrixGeneral>{gains, matrix});
    } else {
        ConvertFrameRows<Phase>(f, ColourStage<GainsGeneral, MatrixGeneral>{gains, matrix});
    }
}

template <int Phase>
VOID ConvertMono(ImagePipeline* p) {
    const FrameParameters* f = &p->frameParameters;
    const GainMode mode = GainModeOf(f);
    const Gains gains = BroadcastGains(f, mode);
    switch (mode) {
        case GainsUnity: ConvertFrameRows<Phase>(f, MonoStage<GainsUnity>{gains}); break;
        case GainsScaled: ConvertFrameRows<Phase>(f, MonoStage<GainsScaled>{gains}); break;
        default: ConvertFrameRows<Phase>(f, MonoStage<GainsGeneral>{gains}); break;
    }
}

// White balance sums. A channel's even and odd lanes (0 .. 255) pack into 16
// bytes, which one sum of absolute differences against zero adds into two
// 64-bit lanes; their low 32 bits wrap like the single 32-bit sums they stand
// for.
struct ChannelSums {
    __m128i red;
    __m128i green;
    __m128i blue;
};

FORCEINLINE __m128i AddBytes(__m128i sum, __m128i even, __m128i odd, __m128i keep) {
    const __m128i bytes = _mm_and_si128(_mm_packus_epi16(even, odd), keep);
    return _mm_add_epi64(sum, _mm_sad_epu8(bytes, _mm_setzero_si128()));
}

FORCEINLINE void AddBlock(ChannelSums* s, const Rgb& even, const Rgb& odd, __m128i keep) {
    s->red = AddBytes(s->red, even.red, odd.red, keep);
    s->green = AddBytes(s->green, even.green, odd.green, keep);
    s->blue = AddBytes(s->blue, even.blue, odd.blue, keep);
}

// Bytes of a packed block (even columns 0, 2 .. 14, then odd 1, 3 .. 15) kept
// when their column is below `count`: only the image pixels count.
FORCEINLINE __m128i KeepColumns(LONG count) {
    const __m128i column = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    return _mm_cmplt_epi8(column, _mm_set1_epi8(static_cast<char>(count < 16 ? count : 16)));
}

template <int Phase, bool TwoRows>
FORCEINLINE void SumRows(const FrameParameters* f, LONG r, ChannelSums* sums) {
    const LONG width = f->width;
    const UCHAR* at = f->source + static_cast<LONG_PTR>(r) * f->workPitch;
    const __m128i all = _mm_set1_epi8(static_cast<char>(0xFF));
    LONG c = 0;
    for (; c + 16 <= width; c += 16) {
        Rgb even[2], odd[2];
        DemosaicBlock<Phase, TwoRows>(at + c, f->workPitch, even, odd);
        AddBlock(sums, even[0], odd[0], all);
        if (TwoRows) AddBlock(sums, even[1], odd[1], all);
    }
    if (c < width) {
        Rgb even[2], odd[2];
        DemosaicBlock<Phase, TwoRows>(at + c, f->workPitch, even, odd);
        const __m128i keep = KeepColumns(width - c);
        AddBlock(sums, even[0], odd[0], keep);
        if (TwoRows) AddBlock(sums, even[1], odd[1], keep);
    }
}

FORCEINLINE ULONG LowSum(__m128i v) {
    return static_cast<ULONG>(_mm_cvtsi128_si32(_mm_add_epi64(v, _mm_srli_si128(v, 8))));
}

template <int Phase>
VOID SumChannels(const FrameParameters* f, ULONG* sumRed, ULONG* sumGreen, ULONG* sumBlue) {
    ChannelSums sums = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
    LONG r = 0;
    for (; r + 2 <= f->height; r += 2) SumRows<Phase, true>(f, r, &sums);
    if (r < f->height) SumRows<Phase, false>(f, r, &sums);
    *sumRed = LowSum(sums.red);
    *sumGreen = LowSum(sums.green);
    *sumBlue = LowSum(sums.blue);
}

}  // namespace

const ConversionRoutines g_sse2Routines[4] = {
    {SumChannels<0>, ConvertColor<0>, ConvertMono<0>},
    {SumChannels<1>, ConvertColor<1>, ConvertMono<1>},
    {SumChannels<2>, ConvertColor<2>, ConvertMono<2>},
    {SumChannels<3>, ConvertColor<3>, ConvertMono<3>},
};
