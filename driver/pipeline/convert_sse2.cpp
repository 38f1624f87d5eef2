// The SSE2 conversion: 16 pixels of a row per step, as two sets of eight
// 16-bit lanes (even columns and odd columns). One template per routine
// family; the Bayer sites of a row's even and odd columns are template
// arguments, so no lane ever tests its colour.
#include <emmintrin.h>

#include "convert_kernels.h"

namespace {

struct Rgb {
    __m128i red;
    __m128i green;
    __m128i blue;
};

// The 5x5 neighbourhood sums of one lane set, everything the four kernels
// need: the centre, the horizontal pairs at distance 1 and 2 in the centre
// row, the vertical pairs at distance 1 and 2, and the four diagonals.
struct Neighbourhood {
    __m128i centre;
    __m128i h1;
    __m128i h2;
    __m128i v1;
    __m128i v2;
    __m128i diag;
};

inline __m128i Load(const UCHAR* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

inline __m128i LowBytes(__m128i v) { return _mm_and_si128(v, _mm_set1_epi16(0x00FF)); }
inline __m128i HighBytes(__m128i v) { return _mm_srli_epi16(v, 8); }

// min(255, (max(S, 0) + 8) >> 4) and min(255, (max(S, 0) + 4) >> 3).
inline __m128i Round16(__m128i s) {
    s = _mm_max_epi16(s, _mm_setzero_si128());
    s = _mm_srli_epi16(_mm_add_epi16(s, _mm_set1_epi16(8)), 4);
    return _mm_min_epi16(s, _mm_set1_epi16(255));
}
inline __m128i Round8(__m128i s) {
    s = _mm_max_epi16(s, _mm_setzero_si128());
    s = _mm_srli_epi16(_mm_add_epi16(s, _mm_set1_epi16(4)), 3);
    return _mm_min_epi16(s, _mm_set1_epi16(255));
}

inline __m128i Times2(__m128i v) { return _mm_slli_epi16(v, 1); }
inline __m128i Times4(__m128i v) { return _mm_slli_epi16(v, 2); }
inline __m128i Times8(__m128i v) { return _mm_slli_epi16(v, 3); }

template <int Site>
inline Rgb DemosaicLanes(const Neighbourhood& n) {
    Rgb out;
    if (Site == SiteGreenInRedRow || Site == SiteGreenInBlueRow) {
        // Krow = 10c + 8h1 - 2h2 - 2diag + v2; Kcol = 10c + 8v1 - 2v2 - 2diag + h2
        __m128i common = _mm_sub_epi16(_mm_add_epi16(Times8(n.centre), Times2(n.centre)), Times2(n.diag));
        __m128i rowKernel = _mm_add_epi16(_mm_sub_epi16(_mm_add_epi16(common, Times8(n.h1)), Times2(n.h2)), n.v2);
        __m128i columnKernel =
            _mm_add_epi16(_mm_sub_epi16(_mm_add_epi16(common, Times8(n.v1)), Times2(n.v2)), n.h2);
        out.green = n.centre;
        if (Site == SiteGreenInRedRow) {
            out.red = Round16(rowKernel);
            out.blue = Round16(columnKernel);
        } else {
            out.red = Round16(columnKernel);
            out.blue = Round16(rowKernel);
        }
    } else {
        // KG = 4c + 2(h1 + v1) - (h2 + v2); Kdiag = 12c + 4diag - 3(h2 + v2)
        __m128i far = _mm_add_epi16(n.h2, n.v2);
        __m128i greenKernel =
            _mm_sub_epi16(_mm_add_epi16(Times4(n.centre), Times2(_mm_add_epi16(n.h1, n.v1))), far);
        __m128i diagonalKernel = _mm_sub_epi16(
            _mm_add_epi16(_mm_add_epi16(Times8(n.centre), Times4(n.centre)), Times4(n.diag)),
            _mm_add_epi16(Times2(far), far));
        out.green = Round8(greenKernel);
        if (Site == SiteRed) {
            out.red = n.centre;
            out.blue = Round16(diagonalKernel);
        } else {
            out.red = Round16(diagonalKernel);
            out.blue = n.centre;
        }
    }
    return out;
}

// Demosaics the 16 pixels of row `centre` from column 0 of `centre`: the even
// columns into `even`, the odd ones into `odd`. Three 16-byte loads per row
// (at columns -2, 0 and +2) split into low and high bytes give the columns
// 2j-2 .. 2j+3 of lane j, x0 .. x5; even lanes centre on x2, odd on x3. The
// farthest byte read is column 17, which the working-buffer pitch keeps
// inside the row even for the last block.
template <int EvenSite, int OddSite>
inline void DemosaicBlock(const UCHAR* centre, LONG pitch, Rgb* even, Rgb* odd) {
    const UCHAR* up2 = centre - 2 * pitch;
    const UCHAR* up1 = centre - pitch;
    const UCHAR* down1 = centre + pitch;
    const UCHAR* down2 = centre + 2 * pitch;

    // Rows -2 and +2: the centre column only.
    __m128i u2 = Load(up2);
    __m128i d2 = Load(down2);
    __m128i v2Even = _mm_add_epi16(LowBytes(u2), LowBytes(d2));
    __m128i v2Odd = _mm_add_epi16(HighBytes(u2), HighBytes(d2));

    // Rows -1 and +1: the centre column and its two neighbours.
    __m128i a = Load(up1 - 2), b = Load(up1), c = Load(up1 + 2);
    __m128i u1x1 = HighBytes(a), u1x2 = LowBytes(b), u1x3 = HighBytes(b), u1x4 = LowBytes(c);
    a = Load(down1 - 2), b = Load(down1), c = Load(down1 + 2);
    __m128i d1x1 = HighBytes(a), d1x2 = LowBytes(b), d1x3 = HighBytes(b), d1x4 = LowBytes(c);

    // Row 0: the centre and both pairs.
    a = Load(centre - 2), b = Load(centre), c = Load(centre + 2);
    __m128i x0 = LowBytes(a), x1 = HighBytes(a), x2 = LowBytes(b), x3 = HighBytes(b), x4 = LowBytes(c),
            x5 = HighBytes(c);

    Neighbourhood n;
    n.centre = x2;
    n.h1 = _mm_add_epi16(x1, x3);
    n.h2 = _mm_add_epi16(x0, x4);
    n.v1 = _mm_add_epi16(u1x2, d1x2);
    n.v2 = v2Even;
    n.diag = _mm_add_epi16(_mm_add_epi16(u1x1, u1x3), _mm_add_epi16(d1x1, d1x3));
    *even = DemosaicLanes<EvenSite>(n);

    n.centre = x3;
    n.h1 = _mm_add_epi16(x2, x4);
    n.h2 = _mm_add_epi16(x1, x5);
    n.v1 = _mm_add_epi16(u1x3, d1x3);
    n.v2 = v2Odd;
    n.diag = _mm_add_epi16(_mm_add_epi16(u1x2, u1x4), _mm_add_epi16(d1x2, d1x4));
    *odd = DemosaicLanes<OddSite>(n);
}

// min(255, (v * g) >> 7) with g an unsigned 16-bit gain: the low half of the
// product gives the result when the high half is 0; any product of 65536 or
// more is 255.
inline __m128i ApplyGain(__m128i v, __m128i gain) {
    __m128i low = _mm_mullo_epi16(v, gain);
    __m128i high = _mm_mulhi_epu16(v, gain);
    __m128i overflow = _mm_andnot_si128(_mm_cmpeq_epi16(high, _mm_setzero_si128()), _mm_set1_epi16(255));
    __m128i scaled = _mm_or_si128(_mm_srli_epi16(low, 7), overflow);
    return _mm_min_epi16(scaled, _mm_set1_epi16(255));
}

// With a gain of at most 256 the product of a sample (at most 255) stays
// below 65536, so its low half alone is exact.
inline __m128i ApplySmallGain(__m128i v, __m128i gain) {
    return _mm_min_epi16(_mm_srli_epi16(_mm_mullo_epi16(v, gain), 7), _mm_set1_epi16(255));
}

struct Gains {
    __m128i red;
    __m128i green;
    __m128i blue;
};

// How the frame's gains are applied, chosen once per frame; all three give
// min(255, (v * g) >> 7) exactly. Unity gains (128) leave a sample as it is.
enum GainMode {
    GainsUnity = 0,
    GainsSmall = 1,    // every gain at most 256
    GainsGeneral = 2,  // any 16-bit gain
};

template <int Mode>
inline void ApplyGains(Rgb* v, const Gains& g) {
    if (Mode == GainsSmall) {
        v->red = ApplySmallGain(v->red, g.red);
        v->green = ApplySmallGain(v->green, g.green);
        v->blue = ApplySmallGain(v->blue, g.blue);
    } else if (Mode == GainsGeneral) {
        v->red = ApplyGain(v->red, g.red);
        v->green = ApplyGain(v->green, g.green);
        v->blue = ApplyGain(v->blue, g.blue);
    }
}

inline GainMode GainModeOf(const FrameParameters* f) {
    const USHORT r = GainFactor(f->redGain), g = GainFactor(f->greenGain), b = GainFactor(f->blueGain);
    if (r == PIPELINE_UNITY_GAIN && g == PIPELINE_UNITY_GAIN && b == PIPELINE_UNITY_GAIN) return GainsUnity;
    if (r <= 256 && g <= 256 && b <= 256) return GainsSmall;
    return GainsGeneral;
}

inline Gains BroadcastGains(const FrameParameters* f) {
    Gains g;
    g.red = _mm_set1_epi16(static_cast<short>(GainFactor(f->redGain)));
    g.green = _mm_set1_epi16(static_cast<short>(GainFactor(f->greenGain)));
    g.blue = _mm_set1_epi16(static_cast<short>(GainFactor(f->blueGain)));
    return g;
}

// The colour matrix split into unsigned magnitudes: for each output channel,
// the weights of positive entries (0 where the entry is not positive) and of
// the others, so that pos and neg accumulate without a signed multiply and
// without a per-lane choice.
struct Matrix {
    __m128i positive[3][3];  // [input][output]
    __m128i negative[3][3];
    __m128i constantPositive[3];
    __m128i constantNegative[3];
};

inline Matrix BroadcastMatrix(const ImagePipeline* p) {
    const FrameParameters* f = &p->frameParameters;
    Matrix m;
    for (int k = 0; k < 4; ++k) {
        for (int c = 0; c < 3; ++c) {
            const int i = 4 * k + c;
            const short magnitude = static_cast<short>(CoefficientMagnitude(f->coefficientSnapshot[i]));
            const bool positive = p->coefficientPositive[i] != 0;
            __m128i pos = _mm_set1_epi16(positive ? magnitude : 0);
            __m128i neg = _mm_set1_epi16(positive ? 0 : magnitude);
            if (k < 3) {
                m.positive[k][c] = pos;
                m.negative[k][c] = neg;
            } else {
                m.constantPositive[c] = pos;
                m.constantNegative[c] = neg;
            }
        }
    }
    return m;
}

// (pos >> 6) - (neg >> 6) when positive, else 0; at most 1023, so the final
// pack to bytes caps it at 255.
inline __m128i MatrixChannel(const Rgb& v, const Matrix& m, int c) {
    __m128i pos = m.constantPositive[c];
    __m128i neg = m.constantNegative[c];
    pos = _mm_add_epi16(pos, _mm_mullo_epi16(v.red, m.positive[0][c]));
    neg = _mm_add_epi16(neg, _mm_mullo_epi16(v.red, m.negative[0][c]));
    pos = _mm_add_epi16(pos, _mm_mullo_epi16(v.green, m.positive[1][c]));
    neg = _mm_add_epi16(neg, _mm_mullo_epi16(v.green, m.negative[1][c]));
    pos = _mm_add_epi16(pos, _mm_mullo_epi16(v.blue, m.positive[2][c]));
    neg = _mm_add_epi16(neg, _mm_mullo_epi16(v.blue, m.negative[2][c]));
    return _mm_subs_epu16(_mm_srli_epi16(pos, 6), _mm_srli_epi16(neg, 6));
}

inline Rgb ApplyMatrix(const Rgb& v, const Matrix& m) {
    Rgb out;
    out.red = MatrixChannel(v, m, 0);
    out.green = MatrixChannel(v, m, 1);
    out.blue = MatrixChannel(v, m, 2);
    return out;
}

// Even and odd lanes (16-bit, 0 .. 1023) to 16 bytes in pixel order,
// saturated to 255.
inline __m128i Interleave(__m128i even, __m128i odd) {
    __m128i packed = _mm_packus_epi16(even, odd);  // even 0..7, odd 0..7
    return _mm_unpacklo_epi8(packed, _mm_srli_si128(packed, 8));
}

// 16 pixels as B, G, R, 255 into 64 bytes at `out`.
inline void StoreBgra(UCHAR* out, __m128i blue, __m128i green, __m128i red) {
    const __m128i opaque = _mm_set1_epi8(static_cast<char>(0xFF));
    __m128i bgLow = _mm_unpacklo_epi8(blue, green);
    __m128i bgHigh = _mm_unpackhi_epi8(blue, green);
    __m128i raLow = _mm_unpacklo_epi8(red, opaque);
    __m128i raHigh = _mm_unpackhi_epi8(red, opaque);
    __m128i* dst = reinterpret_cast<__m128i*>(out);
    _mm_storeu_si128(dst + 0, _mm_unpacklo_epi16(bgLow, raLow));
    _mm_storeu_si128(dst + 1, _mm_unpackhi_epi16(bgLow, raLow));
    _mm_storeu_si128(dst + 2, _mm_unpacklo_epi16(bgHigh, raHigh));
    _mm_storeu_si128(dst + 3, _mm_unpackhi_epi16(bgHigh, raHigh));
}

// Stores `count` (< 16) of the 16 pixels in `block`: the last block of a row
// is computed whole, but only the pixels inside the width are written.
inline void StorePartial(UCHAR* out, const UCHAR* block, LONG count) {
    RtlCopyMemory(out, block, static_cast<SIZE_T>(count) * 4);
}

template <int EvenSite, int OddSite, int Mode>
void ColorRow(const UCHAR* centre, LONG pitch, LONG width, UCHAR* out, const Gains& gains, const Matrix& m) {
    LONG c = 0;
    for (; c + 16 <= width; c += 16) {
        Rgb even, odd;
        DemosaicBlock<EvenSite, OddSite>(centre + c, pitch, &even, &odd);
        ApplyGains<Mode>(&even, gains);
        ApplyGains<Mode>(&odd, gains);
        Rgb e = ApplyMatrix(even, m);
        Rgb o = ApplyMatrix(odd, m);
        StoreBgra(out + 4 * c, Interleave(e.blue, o.blue), Interleave(e.green, o.green), Interleave(e.red, o.red));
    }
    if (c < width) {
        Rgb even, odd;
        DemosaicBlock<EvenSite, OddSite>(centre + c, pitch, &even, &odd);
        ApplyGains<Mode>(&even, gains);
        ApplyGains<Mode>(&odd, gains);
        Rgb e = ApplyMatrix(even, m);
        Rgb o = ApplyMatrix(odd, m);
        alignas(16) UCHAR block[64];
        StoreBgra(block, Interleave(e.blue, o.blue), Interleave(e.green, o.green), Interleave(e.red, o.red));
        StorePartial(out + 4 * c, block, width - c);
    }
}

// Y = (77 R >> 8) + (150 G >> 8) + (29 B >> 8); each product fits 16 bits
// unsigned.
inline __m128i Luma(const Rgb& v) {
    __m128i y = _mm_srli_epi16(_mm_mullo_epi16(v.red, _mm_set1_epi16(77)), 8);
    y = _mm_add_epi16(y, _mm_srli_epi16(_mm_mullo_epi16(v.green, _mm_set1_epi16(150)), 8));
    return _mm_add_epi16(y, _mm_srli_epi16(_mm_mullo_epi16(v.blue, _mm_set1_epi16(29)), 8));
}

template <int EvenSite, int OddSite, int Mode>
void MonoRow(const UCHAR* centre, LONG pitch, LONG width, UCHAR* out, const Gains& gains) {
    LONG c = 0;
    for (; c + 16 <= width; c += 16) {
        Rgb even, odd;
        DemosaicBlock<EvenSite, OddSite>(centre + c, pitch, &even, &odd);
        ApplyGains<Mode>(&even, gains);
        ApplyGains<Mode>(&odd, gains);
        __m128i y = Interleave(Luma(even), Luma(odd));
        StoreBgra(out + 4 * c, y, y, y);
    }
    if (c < width) {
        Rgb even, odd;
        DemosaicBlock<EvenSite, OddSite>(centre + c, pitch, &even, &odd);
        ApplyGains<Mode>(&even, gains);
        ApplyGains<Mode>(&odd, gains);
        __m128i y = Interleave(Luma(even), Luma(odd));
        alignas(16) UCHAR block[64];
        StoreBgra(block, y, y, y);
        StorePartial(out + 4 * c, block, width - c);
    }
}

// Lanes 0 .. 7 of a set kept when their column 2j + parity is below `count`.
inline __m128i LaneMask(LONG count, int parity) {
    const __m128i lane = _mm_setr_epi16(0, 2, 4, 6, 8, 10, 12, 14);
    __m128i column = _mm_add_epi16(lane, _mm_set1_epi16(static_cast<short>(parity)));
    return _mm_cmplt_epi16(column, _mm_set1_epi16(static_cast<short>(count)));
}

// Adds the even and odd lanes (at most 510 each) into four 32-bit sums.
inline __m128i Accumulate(__m128i sums, __m128i even, __m128i odd) {
    __m128i pair = _mm_add_epi16(even, odd);
    sums = _mm_add_epi32(sums, _mm_unpacklo_epi16(pair, _mm_setzero_si128()));
    return _mm_add_epi32(sums, _mm_unpackhi_epi16(pair, _mm_setzero_si128()));
}

template <int EvenSite, int OddSite>
void SumRow(const UCHAR* centre, LONG pitch, LONG width, __m128i* red, __m128i* green, __m128i* blue) {
    LONG c = 0;
    for (; c + 16 <= width; c += 16) {
        Rgb even, odd;
        DemosaicBlock<EvenSite, OddSite>(centre + c, pitch, &even, &odd);
        *red = Accumulate(*red, even.red, odd.red);
        *green = Accumulate(*green, even.green, odd.green);
        *blue = Accumulate(*blue, even.blue, odd.blue);
    }
    if (c < width) {
        // Only the image pixels count; lanes past the width are dropped.
        Rgb even, odd;
        DemosaicBlock<EvenSite, OddSite>(centre + c, pitch, &even, &odd);
        __m128i keepEven = LaneMask(width - c, 0);
        __m128i keepOdd = LaneMask(width - c, 1);
        *red = Accumulate(*red, _mm_and_si128(even.red, keepEven), _mm_and_si128(odd.red, keepOdd));
        *green = Accumulate(*green, _mm_and_si128(even.green, keepEven), _mm_and_si128(odd.green, keepOdd));
        *blue = Accumulate(*blue, _mm_and_si128(even.blue, keepEven), _mm_and_si128(odd.blue, keepOdd));
    }
}

inline ULONG HorizontalSum(__m128i v) {
    v = _mm_add_epi32(v, _mm_srli_si128(v, 8));
    v = _mm_add_epi32(v, _mm_srli_si128(v, 4));
    return static_cast<ULONG>(_mm_cvtsi128_si32(v));
}

template <int Phase>
VOID SumChannels(const FrameParameters* f, ULONG* sumRed, ULONG* sumGreen, ULONG* sumBlue) {
    __m128i red = _mm_setzero_si128(), green = _mm_setzero_si128(), blue = _mm_setzero_si128();
    for (LONG r = 0; r < f->height; ++r) {
        const UCHAR* centre = f->source + static_cast<LONG_PTR>(r) * f->workPitch;
        if (r & 1) {
            SumRow<BayerSiteAt(Phase, 1, 0), BayerSiteAt(Phase, 1, 1)>(centre, f->workPitch, f->width, &red, &green,
                                                                       &blue);
        } else {
            SumRow<BayerSiteAt(Phase, 0, 0), BayerSiteAt(Phase, 0, 1)>(centre, f->workPitch, f->width, &red, &green,
                                                                       &blue);
        }
    }
    // The four 32-bit lanes wrap like the single 32-bit sums they stand for.
    *sumRed = HorizontalSum(red);
    *sumGreen = HorizontalSum(green);
    *sumBlue = HorizontalSum(blue);
}

template <int Phase, int Mode>
void ConvertColorRows(const FrameParameters* f, const Gains& gains, const Matrix& m) {
    for (LONG r = 0; r < f->height; ++r) {
        const UCHAR* centre = f->source + static_cast<LONG_PTR>(r) * f->workPitch;
        UCHAR* out = f->output + static_cast<SIZE_T>(r) * static_cast<SIZE_T>(f->width) * 4;
        if (r & 1) {
            ColorRow<BayerSiteAt(Phase, 1, 0), BayerSiteAt(Phase, 1, 1), Mode>(centre, f->workPitch, f->width, out,
                                                                              gains, m);
        } else {
            ColorRow<BayerSiteAt(Phase, 0, 0), BayerSiteAt(Phase, 0, 1), Mode>(centre, f->workPitch, f->width, out,
                                                                              gains, m);
        }
    }
}

template <int Phase>
VOID ConvertColor(ImagePipeline* p) {
    const FrameParameters* f = &p->frameParameters;
    const Gains gains = BroadcastGains(f);
    const Matrix m = BroadcastMatrix(p);
    switch (GainModeOf(f)) {
        case GainsUnity: ConvertColorRows<Phase, GainsUnity>(f, gains, m); break;
        case GainsSmall: ConvertColorRows<Phase, GainsSmall>(f, gains, m); break;
        default: ConvertColorRows<Phase, GainsGeneral>(f, gains, m); break;
    }
}

template <int Phase, int Mode>
void ConvertMonoRows(const FrameParameters* f, const Gains& gains) {
    for (LONG r = 0; r < f->height; ++r) {
        const UCHAR* centre = f->source + static_cast<LONG_PTR>(r) * f->workPitch;
        UCHAR* out = f->output + static_cast<SIZE_T>(r) * static_cast<SIZE_T>(f->width) * 4;
        if (r & 1) {
            MonoRow<BayerSiteAt(Phase, 1, 0), BayerSiteAt(Phase, 1, 1), Mode>(centre, f->workPitch, f->width, out,
                                                                             gains);
        } else {
            MonoRow<BayerSiteAt(Phase, 0, 0), BayerSiteAt(Phase, 0, 1), Mode>(centre, f->workPitch, f->width, out,
                                                                             gains);
        }
    }
}

template <int Phase>
VOID ConvertMono(ImagePipeline* p) {
    const FrameParameters* f = &p->frameParameters;
    const Gains gains = BroadcastGains(f);
    switch (GainModeOf(f)) {
        case GainsUnity: ConvertMonoRows<Phase, GainsUnity>(f, gains); break;
        case GainsSmall: ConvertMonoRows<Phase, GainsSmall>(f, gains); break;
        default: ConvertMonoRows<Phase, GainsGeneral>(f, gains); break;
    }
}

}  // namespace

const ConversionRoutines g_sse2Routines[4] = {
    {SumChannels<0>, ConvertColor<0>, ConvertMono<0>},
    {SumChannels<1>, ConvertColor<1>, ConvertMono<1>},
    {SumChannels<2>, ConvertColor<2>, ConvertMono<2>},
    {SumChannels<3>, ConvertColor<3>, ConvertMono<3>},
};
