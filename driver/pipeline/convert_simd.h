// The vector conversion, written once over a register type Reg: __m128i
// (SSE2, simd_sse2.h) or __m256i (AVX2, simd_avx2.h). One register holds
// eight 16-bit lanes per 128-bit half; a half converts 16 pixels of a row as
// two lane sets (even columns and odd columns). The frame is walked two rows
// at a time, one Bayer cell row, so that the six working-buffer rows the pair
// needs are loaded and split into lanes once for both rows. The Bayer sites
// of a row's even and odd columns are template arguments (fixed by the
// phase), so no lane ever tests its colour and each site computes only its
// two kernels.
//
// Every step reproduces the scalar reference bit for bit: the kernel sums are
// exact in 16-bit lanes, the rounding shifts and clamps are the same, and the
// colour matrix accumulates in wrapping 16-bit lanes like the reference.
//
// A row is walked in steps of the wide register while whole steps fit, then
// in 16-pixel steps of the narrow one (__m128i) up to the width: the last
// narrow step may reach past the width, is computed whole and stored only
// inside it. A wide step that reached past the width would read past the end
// of the working buffer on the last rows.
//
// The including file provides the register operations first (the
// simd_*.h headers); everything here sits in an unnamed namespace so that
// the SSE2 and the AVX2 file each keep their own copies.
#pragma once

#include "driver/pipeline/convert_kernels.h"

// The block helpers are FORCEINLINE: passed through memory, their
// eight-lane results would cost more than the arithmetic.

namespace {

template <class Reg>
struct Rgb {
    Reg red;
    Reg green;
    Reg blue;
};

template <class Reg>
FORCEINLINE Reg Splat(short v) {
    return Vector<Reg>::Splat16(v);
}

// One working-buffer row around a step from column c, as 16-bit lanes j
// holding column c + 2j + offset within each 16-pixel half. Three loads (at
// c - 2, c and c + 2) split into low and high bytes give all six; the
// farthest byte read is column c + kPixels + 1, inside the row's margin for
// a whole step and inside the working-buffer pitch for the last narrow one.
// Unused members of the rows that only contribute their centre column are
// dropped by the compiler.
template <class Reg>
struct RowSamples {
    Reg evenLeft;   // c + 2j - 2
    Reg oddLeft;    // c + 2j - 1
    Reg even;       // c + 2j
    Reg odd;        // c + 2j + 1
    Reg evenRight;  // c + 2j + 2
    Reg oddRight;   // c + 2j + 3
};

template <class Reg>
FORCEINLINE RowSamples<Reg> LoadRow(const UCHAR* p) {
    const Reg lowBytes = Splat<Reg>(0x00FF);
    const Reg a = Vector<Reg>::Load(p - 2), b = Vector<Reg>::Load(p), c = Vector<Reg>::Load(p + 2);
    RowSamples<Reg> s;
    s.evenLeft = And(a, lowBytes);
    s.oddLeft = ShiftRight<8>(a);
    s.even = And(b, lowBytes);
    s.odd = ShiftRight<8>(b);
    s.evenRight = And(c, lowBytes);
    s.oddRight = ShiftRight<8>(c);
    return s;
}

// Clamps two sets of signed lanes to 0 .. 255: the byte pack saturates both
// ends at once, the unpack widens them back (three operations for two sets
// instead of a max and a min each).
template <class Reg>
FORCEINLINE void ClampPair(Reg* a, Reg* b) {
    const Reg packed = PackUnsigned(*a, *b);
    *a = InterleaveLow8(packed, Vector<Reg>::Zero());
    *b = InterleaveHigh8(packed, Vector<Reg>::Zero());
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
template <int Site, class Reg>
FORCEINLINE Rgb<Reg> Interpolate(Reg c, Reg h1, Reg h2, Reg v1, Reg v2, Reg diag) {
    Rgb<Reg> out;
    if (Site == SiteGreenInRedRow || Site == SiteGreenInBlueRow) {
        // Krow + 8 = 2(t + 4h1 - h2) + v2 and Kcol + 8 = 2(t + 4v1 - v2) + h2
        // with t = 5c - diag + 4 (Krow = 10c + 8h1 - 2h2 - 2diag + v2,
        // Kcol = 10c + 8v1 - 2v2 - 2diag + h2).
        const Reg t = Add(Sub(Add(ShiftLeft<2>(c), c), diag), Splat<Reg>(4));
        Reg rowKernel = Add(ShiftLeft<1>(Add(Sub(t, h2), ShiftLeft<2>(h1))), v2);
        Reg columnKernel = Add(ShiftLeft<1>(Add(Sub(t, v2), ShiftLeft<2>(v1))), h2);
        rowKernel = ShiftRightSigned<4>(rowKernel);
        columnKernel = ShiftRightSigned<4>(columnKernel);
        ClampPair(&rowKernel, &columnKernel);
        out.green = c;
        out.red = Site == SiteGreenInRedRow ? rowKernel : columnKernel;
        out.blue = Site == SiteGreenInRedRow ? columnKernel : rowKernel;
    } else {
        // KG + 4 = 2(2c + 2 + h1 + v1) - f and Kdiag + 8 = 4(3c + 2 + diag) - 3f
        // with f = h2 + v2 (KG = 4c + 2(h1 + v1) - f, Kdiag = 12c + 4diag - 3f).
        const Reg f = Add(h2, v2);
        const Reg twoC = Add(ShiftLeft<1>(c), Splat<Reg>(2));
        Reg greenKernel = Sub(ShiftLeft<1>(Add(Add(twoC, h1), v1)), f);
        Reg diagonalKernel = Sub(ShiftLeft<2>(Add(Add(twoC, c), diag)), Add(ShiftLeft<1>(f), f));
        greenKernel = ShiftRightSigned<3>(greenKernel);
        diagonalKernel = ShiftRightSigned<4>(diagonalKernel);
        ClampPair(&greenKernel, &diagonalKernel);
        out.green = greenKernel;
        out.red = Site == SiteRed ? c : diagonalKernel;
        out.blue = Site == SiteRed ? diagonalKernel : c;
    }
    return out;
}

// Demosaics the pixels of `row` from the rows two and one above and below.
// The vertical pairs at distance 1 serve both lane sets: the even lanes'
// vertical pair is part of the odd lanes' diagonal sum and the other way
// round.
template <int EvenSite, int OddSite, class Reg>
FORCEINLINE void DemosaicRow(const RowSamples<Reg>& up2, const RowSamples<Reg>& up1, const RowSamples<Reg>& row,
                             const RowSamples<Reg>& down1, const RowSamples<Reg>& down2, Rgb<Reg>* even,
                             Rgb<Reg>* odd) {
    const Reg v1OddLeft = Add(up1.oddLeft, down1.oddLeft);
    const Reg v1Even = Add(up1.even, down1.even);
    const Reg v1Odd = Add(up1.odd, down1.odd);
    const Reg v1EvenRight = Add(up1.evenRight, down1.evenRight);
    *even = Interpolate<EvenSite>(row.even, Add(row.oddLeft, row.odd), Add(row.evenLeft, row.evenRight), v1Even,
                                  Add(up2.even, down2.even), Add(v1OddLeft, v1Odd));
    *odd = Interpolate<OddSite>(row.odd, Add(row.even, row.evenRight), Add(row.oddLeft, row.oddRight), v1Odd,
                                Add(up2.odd, down2.odd), Add(v1Even, v1EvenRight));
}

// Demosaics the step at `at` (an even row r) into [0] and, for a row pair,
// the same columns of row r + 1 into [1]. A pair reads rows r - 2 .. r + 3,
// each once; a single row (the last of an odd height) reads only the margin
// rows up to r + 2.
template <int Phase, bool TwoRows, class Reg>
FORCEINLINE void DemosaicBlock(const UCHAR* at, LONG pitch, Rgb<Reg> even[2], Rgb<Reg> odd[2]) {
    const RowSamples<Reg> up2 = LoadRow<Reg>(at - 2 * pitch);
    const RowSamples<Reg> up1 = LoadRow<Reg>(at - pitch);
    const RowSamples<Reg> row0 = LoadRow<Reg>(at);
    const RowSamples<Reg> row1 = LoadRow<Reg>(at + pitch);
    const RowSamples<Reg> down2 = LoadRow<Reg>(at + 2 * pitch);
    DemosaicRow<BayerSiteAt(Phase, 0, 0), BayerSiteAt(Phase, 0, 1)>(up2, up1, row0, row1, down2, &even[0], &odd[0]);
    if (TwoRows) {
        const RowSamples<Reg> down3 = LoadRow<Reg>(at + 3 * pitch);
        DemosaicRow<BayerSiteAt(Phase, 1, 0), BayerSiteAt(Phase, 1, 1)>(up1, row0, row1, down2, down3, &even[1],
                                                                        &odd[1]);
    }
}

// White balance keeps what it demosaiced: the pass that measures the channel
// sums packs each whole step's channels into bytes (red, then green, then
// blue, each as the even pixels' bytes then the odd pixels' per half) and
// leaves them in the part of the output buffer the step's pixels will fill;
// 3 bytes a pixel fit in the 4 that the step then stores over them. The
// conversion reads them back instead of demosaicing again, which gives the
// same values. Steps that reach past the width have no room and are
// demosaiced again.
template <class Reg>
FORCEINLINE void LoadKept(const UCHAR* slot, Rgb<Reg>* even, Rgb<Reg>* odd) {
    const Reg zero = Vector<Reg>::Zero();
    const Reg red = Vector<Reg>::Load(slot);
    const Reg green = Vector<Reg>::Load(slot + sizeof(Reg));
    const Reg blue = Vector<Reg>::Load(slot + 2 * sizeof(Reg));
    even->red = InterleaveLow8(red, zero);
    odd->red = InterleaveHigh8(red, zero);
    even->green = InterleaveLow8(green, zero);
    odd->green = InterleaveHigh8(green, zero);
    even->blue = InterleaveLow8(blue, zero);
    odd->blue = InterleaveHigh8(blue, zero);
}

// How the frame's gains are applied, chosen once per frame; all give
// min(255, (v * g) >> 7) exactly for a sample v <= 255 and a gain g taken as
// an unsigned 16-bit value.
enum GainMode {
    GainsUnity = 0,     // all three 128: samples stay as they are
    GainsScaled = 1,    // every gain below 16384
    GainsGeneral = 2,   // any 16-bit gain
    GainsRedBlue = 3,   // green 128, red and blue below 16384: what white
                        // balance measures on most frames
};

inline GainMode GainModeOf(const FrameParameters* f) {
    const USHORT r = GainFactor(f->redGain), g = GainFactor(f->greenGain), b = GainFactor(f->blueGain);
    if (r == PIPELINE_UNITY_GAIN && g == PIPELINE_UNITY_GAIN && b == PIPELINE_UNITY_GAIN) return GainsUnity;
    if (r < 16384 && g == PIPELINE_UNITY_GAIN && b < 16384) return GainsRedBlue;
    if (r < 16384 && g < 16384 && b < 16384) return GainsScaled;
    return GainsGeneral;
}

// GainsScaled: (v * g) >> 7 is the high half of (v << 8) * (g << 1), both
// factors within 16 bits; below 16384 the result stays below 32768, so a
// signed minimum caps it.
template <class Reg>
FORCEINLINE Reg ApplyScaledGain(Reg v, Reg gainTimes2) {
    return MinSigned(MulHighUnsigned(ShiftLeft<8>(v), gainTimes2), Splat<Reg>(255));
}

// GainsGeneral: the low half of v * g gives the result when the high half is
// 0; any product of 65536 or more is 255.
template <class Reg>
FORCEINLINE Reg ApplyGeneralGain(Reg v, Reg gain) {
    const Reg low = MulLow(v, gain);
    const Reg high = MulHighUnsigned(v, gain);
    const Reg overflow = AndNot(Equal(high, Vector<Reg>::Zero()), Splat<Reg>(255));
    return MinSigned(Or(ShiftRight<7>(low), overflow), Splat<Reg>(255));
}

// The gains broadcast once per frame, as the mode multiplies with them.
template <class Reg>
struct Gains {
    Reg red;
    Reg green;
    Reg blue;
};

template <class Reg>
Gains<Reg> BroadcastGains(const FrameParameters* f, GainMode mode) {
    const int shift = mode == GainsScaled || mode == GainsRedBlue ? 1 : 0;
    Gains<Reg> g;
    g.red = Splat<Reg>(static_cast<short>(GainFactor(f->redGain) << shift));
    g.green = Splat<Reg>(static_cast<short>(GainFactor(f->greenGain) << shift));
    g.blue = Splat<Reg>(static_cast<short>(GainFactor(f->blueGain) << shift));
    return g;
}

template <int Mode, class Reg>
FORCEINLINE void ApplyGains(Rgb<Reg>* v, const Gains<Reg>& g) {
    if (Mode == GainsScaled || Mode == GainsRedBlue) {
        v->red = ApplyScaledGain(v->red, g.red);
        if (Mode == GainsScaled) v->green = ApplyScaledGain(v->green, g.green);
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

// Only the weights the shape multiplies with are broadcast: the frame of
// the conversion loop holds them (kernel stacks are small).
template <int Shape, class Reg>
struct Matrix;

template <class Reg>
struct Matrix<MatrixDiagonal, Reg> {
    Reg magnitude[3][3];  // [input][output]
    Reg constantPositive[3];
    Reg constantNegative[3];
};

template <class Reg>
struct Matrix<MatrixGeneral, Reg> {
    Reg positive[3][3];  // the magnitude where coefficientPositive is set, else 0
    Reg negative[3][3];  // the magnitude where it is not, else 0
    Reg constantPositive[3];
    Reg constantNegative[3];
};

inline MatrixShape MatrixShapeOf(const ImagePipeline* p) {
    for (int k = 0; k < 3; ++k) {
        for (int c = 0; c < 3; ++c) {
            if ((p->coefficientPositive[4 * k + c] != 0) != (k == c)) return MatrixGeneral;
        }
    }
    return MatrixDiagonal;
}

template <class Reg>
void SetWeight(Matrix<MatrixDiagonal, Reg>* m, int k, int c, short magnitude, bool) {
    m->magnitude[k][c] = Splat<Reg>(magnitude);
}

template <class Reg>
void SetWeight(Matrix<MatrixGeneral, Reg>* m, int k, int c, short magnitude, bool positive) {
    m->positive[k][c] = Splat<Reg>(positive ? magnitude : 0);
    m->negative[k][c] = Splat<Reg>(positive ? 0 : magnitude);
}

template <int Shape, class Reg>
Matrix<Shape, Reg> BroadcastMatrix(const ImagePipeline* p) {
    const FrameParameters* f = &p->frameParameters;
    Matrix<Shape, Reg> m;
    for (int k = 0; k < 4; ++k) {
        for (int c = 0; c < 3; ++c) {
            const int i = 4 * k + c;
            const short magnitude = static_cast<short>(CoefficientMagnitude(f->coefficientSnapshot[i]));
            const bool positive = p->coefficientPositive[i] != 0;
            if (k < 3) {
                SetWeight(&m, k, c, magnitude, positive);
            } else {
                m.constantPositive[c] = Splat<Reg>(positive ? magnitude : 0);
                m.constantNegative[c] = Splat<Reg>(positive ? 0 : magnitude);
            }
        }
    }
    return m;
}

// (pos >> 6) - (neg >> 6) as a signed lane (-1023 .. 1023); the byte pack of
// the store turns it into 0 when negative and caps it at 255.
template <class Reg>
FORCEINLINE Reg Difference(Reg pos, Reg neg) { return Sub(ShiftRight<6>(pos), ShiftRight<6>(neg)); }

template <class Reg>
FORCEINLINE Reg MatrixChannel(const Rgb<Reg>& v, const Matrix<MatrixDiagonal, Reg>& m, int c) {
    const Reg red = MulLow(v.red, m.magnitude[0][c]);
    const Reg green = MulLow(v.green, m.magnitude[1][c]);
    const Reg blue = MulLow(v.blue, m.magnitude[2][c]);
    const Reg own = c == 0 ? red : c == 1 ? green : blue;
    const Reg otherA = c == 0 ? green : red;
    const Reg otherB = c == 2 ? green : blue;
    return Difference(Add(m.constantPositive[c], own), Add(m.constantNegative[c], Add(otherA, otherB)));
}

template <class Reg>
FORCEINLINE Reg MatrixChannel(const Rgb<Reg>& v, const Matrix<MatrixGeneral, Reg>& m, int c) {
    Reg pos = Add(m.constantPositive[c], Add(MulLow(v.red, m.positive[0][c]), MulLow(v.green, m.positive[1][c])));
    pos = Add(pos, MulLow(v.blue, m.positive[2][c]));
    Reg neg = Add(m.constantNegative[c], Add(MulLow(v.red, m.negative[0][c]), MulLow(v.green, m.negative[1][c])));
    neg = Add(neg, MulLow(v.blue, m.negative[2][c]));
    return Difference(pos, neg);
}

// A step's pixels as B, G, R, 255 in pixel order, per 16-pixel half in four
// quarters of four pixels, from the even and odd lanes of each channel
// (signed 16-bit, saturated to 0 .. 255 by the pack).
template <class Reg>
struct Bgra {
    Reg quarter[4];
};

template <class Reg>
FORCEINLINE Bgra<Reg> PackBgra(Reg blueEven, Reg blueOdd, Reg greenEven, Reg greenOdd, Reg redEven, Reg redOdd) {
    const Reg opaque = Splat<Reg>(-1);
    const Reg blue = PackUnsigned(blueEven, blueOdd);  // even pixels' bytes, then odd pixels'
    const Reg green = PackUnsigned(greenEven, greenOdd);
    const Reg red = PackUnsigned(redEven, redOdd);
    const Reg bgEven = InterleaveLow8(blue, green);
    const Reg bgOdd = InterleaveHigh8(blue, green);
    const Reg raEven = InterleaveLow8(red, opaque);
    const Reg raOdd = InterleaveHigh8(red, opaque);
    const Reg even0 = InterleaveLow16(bgEven, raEven);  // pixels 0, 2, 4, 6
    const Reg even1 = InterleaveHigh16(bgEven, raEven); // pixels 8 .. 14
    const Reg odd0 = InterleaveLow16(bgOdd, raOdd);     // pixels 1, 3, 5, 7
    const Reg odd1 = InterleaveHigh16(bgOdd, raOdd);    // pixels 9 .. 15
    Bgra<Reg> out;
    out.quarter[0] = InterleaveLow32(even0, odd0);
    out.quarter[1] = InterleaveHigh32(even0, odd0);
    out.quarter[2] = InterleaveLow32(even1, odd1);
    out.quarter[3] = InterleaveHigh32(even1, odd1);
    return out;
}

// Stores `count` of the step's pixels; a step that reaches past the width is
// computed whole, but only the pixels inside the width are written.
template <class Reg>
FORCEINLINE void StoreBgra(UCHAR* out, const Bgra<Reg>& pixels, LONG count) {
    if (count >= Vector<Reg>::kPixels) {
        StoreStep(out, pixels.quarter);
    } else {
        UCHAR block[4 * Vector<Reg>::kPixels];
        StoreStep(block, pixels.quarter);
        RtlCopyMemory(out, block, static_cast<SIZE_T>(count) * 4);
    }
}

// ConvertColor's work on one demosaiced step: gains, matrix, BGRA.
template <int Mode, int Shape, class Reg>
struct ColourStage {
    Gains<Reg> gains;
    Matrix<Shape, Reg> matrix;

    FORCEINLINE Bgra<Reg> operator()(Rgb<Reg> even, Rgb<Reg> odd) const {
        ApplyGains<Mode>(&even, gains);
        ApplyGains<Mode>(&odd, gains);
        return PackBgra(MatrixChannel(even, matrix, 2), MatrixChannel(odd, matrix, 2), MatrixChannel(even, matrix, 1),
                        MatrixChannel(odd, matrix, 1), MatrixChannel(even, matrix, 0), MatrixChannel(odd, matrix, 0));
    }
};

// ConvertMono's: gains, then Y = (77 R >> 8) + (150 G >> 8) + (29 B >> 8).
// (w v) >> 8 is the high half of v * (w << 8), one multiply per product.
template <int Mode, class Reg>
struct MonoStage {
    Gains<Reg> gains;

    FORCEINLINE Reg Luma(const Rgb<Reg>& v) const {
        Reg y = MulHighUnsigned(v.red, Splat<Reg>(77 << 8));
        y = Add(y, MulHighUnsigned(v.green, Splat<Reg>(static_cast<short>(150 << 8))));
        return Add(y, MulHighUnsigned(v.blue, Splat<Reg>(29 << 8)));
    }

    FORCEINLINE Bgra<Reg> operator()(Rgb<Reg> even, Rgb<Reg> odd) const {
        ApplyGains<Mode>(&even, gains);
        ApplyGains<Mode>(&odd, gains);
        const Reg yEven = Luma(even);
        const Reg yOdd = Luma(odd);
        return PackBgra(yEven, yOdd, yEven, yOdd, yEven, yOdd);
    }
};

// White balance sums. A channel's even and odd lanes (0 .. 255) pack into
// bytes, which one sum of absolute differences against zero adds into 64-bit
// lanes; their low 32 bits wrap like the single 32-bit sums they stand for.
template <class Reg>
struct ChannelSums {
    Reg red;
    Reg green;
    Reg blue;
};

template <class Reg>
ChannelSums<Reg> NoSums() {
    return ChannelSums<Reg>{Vector<Reg>::Zero(), Vector<Reg>::Zero(), Vector<Reg>::Zero()};
}

// A whole step; with a `slot`, its packed channels are kept there.
template <class Reg>
FORCEINLINE void AddWholeStep(ChannelSums<Reg>* s, const Rgb<Reg>& even, const Rgb<Reg>& odd, UCHAR* slot) {
    const Reg red = PackUnsigned(even.red, odd.red);
    const Reg green = PackUnsigned(even.green, odd.green);
    const Reg blue = PackUnsigned(even.blue, odd.blue);
    if (slot != nullptr) {
        StoreUnaligned(slot, red);
        StoreUnaligned(slot + sizeof(Reg), green);
        StoreUnaligned(slot + 2 * sizeof(Reg), blue);
    }
    s->red = AddByteSums(s->red, red);
    s->green = AddByteSums(s->green, green);
    s->blue = AddByteSums(s->blue, blue);
}

// A narrow step, of which only the pixels selected by `keep` count.
FORCEINLINE void AddNarrowStep(ChannelSums<__m128i>* s, const Rgb<__m128i>& even, const Rgb<__m128i>& odd,
                               __m128i keep) {
    s->red = AddByteSums(s->red, And(PackUnsigned(even.red, odd.red), keep));
    s->green = AddByteSums(s->green, And(PackUnsigned(even.green, odd.green), keep));
    s->blue = AddByteSums(s->blue, And(PackUnsigned(even.blue, odd.blue), keep));
}

// While converting, a row pair's whole wide steps add each channel's four
// samples of a lane (even and odd columns of both rows, at most 4 x 255)
// into 16-bit lanes, which hold kStepsPerFlush steps without overflowing;
// then the lanes go into 32-bit ones, whose total wraps like the reference's
// 32-bit sum. That is four additions a channel, where packing the bytes and
// summing them takes six. LaneSums holds each channel's sums per lane: in
// 16-bit lanes while steps add into them, in 32-bit lanes once flushed.
template <class Reg>
struct LaneSums {
    Reg red;
    Reg green;
    Reg blue;
};

constexpr LONG kStepsPerFlush = 64;  // 64 * 4 * 255 = 65280

template <class Reg>
LaneSums<Reg> NoLaneSums() {
    return LaneSums<Reg>{Vector<Reg>::Zero(), Vector<Reg>::Zero(), Vector<Reg>::Zero()};
}

template <class Reg>
FORCEINLINE void AddPairSums(LaneSums<Reg>* s, const Rgb<Reg> even[2], const Rgb<Reg> odd[2], LONG) {
    s->red = Add(s->red, Add(Add(even[0].red, odd[0].red), Add(even[1].red, odd[1].red)));
    s->green = Add(s->green, Add(Add(even[0].green, odd[0].green), Add(even[1].green, odd[1].green)));
    s->blue = Add(s->blue, Add(Add(even[0].blue, odd[0].blue), Add(even[1].blue, odd[1].blue)));
}

// The 16-bit lanes of `lanes` added into the 32-bit lanes of `totals`.
template <class Reg>
FORCEINLINE void FlushLaneSums(LaneSums<Reg>* totals, const LaneSums<Reg>& lanes) {
    const Reg zero = Vector<Reg>::Zero();
    totals->red = Add32(totals->red, Add32(InterleaveLow16(lanes.red, zero), InterleaveHigh16(lanes.red, zero)));
    totals->green =
        Add32(totals->green, Add32(InterleaveLow16(lanes.green, zero), InterleaveHigh16(lanes.green, zero)));
    totals->blue = Add32(totals->blue, Add32(InterleaveLow16(lanes.blue, zero), InterleaveHigh16(lanes.blue, zero)));
}

// A row pair's narrow step, whose pixels past the width do not count.
FORCEINLINE void AddPairSums(ChannelSums<__m128i>* s, const Rgb<__m128i> even[2], const Rgb<__m128i> odd[2],
                             LONG count) {
    const __m128i columns = KeepColumns(count);
    AddNarrowStep(s, even[0], odd[0], columns);
    AddNarrowStep(s, even[1], odd[1], columns);
}

template <class Reg>
FORCEINLINE ULONG SumOf(Reg wide, __m128i narrow) { return LowSum(wide) + LowSum(narrow); }

// The sums' rows walk like ConvertRows, so the steps that keep their
// channels here are exactly those that read them back there.
template <int Phase, bool TwoRows, class Wide>
__attribute__((noinline)) void SumRows(const FrameParameters* f, LONG r, bool keep, ChannelSums<Wide>* wide,
                         ChannelSums<__m128i>* narrow) {
    const LONG width = f->width;
    const LONG pitch = f->workPitch;
    const UCHAR* at = f->source + static_cast<LONG_PTR>(r) * pitch;
    const LONG_PTR outputPitch = f->outputPitch;
    UCHAR* out = keep ? f->output + static_cast<LONG_PTR>(r) * outputPitch : nullptr;
    LONG c = 0;
    for (; c + Vector<Wide>::kPixels <= width; c += Vector<Wide>::kPixels) {
        Rgb<Wide> even[2], odd[2];
        DemosaicBlock<Phase, TwoRows>(at + c, pitch, even, odd);
        AddWholeStep(wide, even[0], odd[0], keep ? out + 4 * c : nullptr);
        if (TwoRows) AddWholeStep(wide, even[1], odd[1], keep ? out + outputPitch + 4 * c : nullptr);
    }
    for (; c < width; c += Vector<__m128i>::kPixels) {
        Rgb<__m128i> even[2], odd[2];
        DemosaicBlock<Phase, TwoRows>(at + c, pitch, even, odd);
        const __m128i columns = KeepColumns(width - c);
        AddNarrowStep(narrow, even[0], odd[0], columns);
        if (TwoRows) AddNarrowStep(narrow, even[1], odd[1], columns);
    }
}

// With `keep` (and an output buffer), whole steps leave their demosaiced
// channels for ConvertColor or ConvertMono with `kept`.
template <int Phase, class Wide>
VOID SumChannels(const FrameParameters* f, BOOLEAN keep, ULONG* sumRed, ULONG* sumGreen, ULONG* sumBlue) {
    const bool keeping = keep != FALSE && f->output != nullptr;
    ChannelSums<Wide> wide = NoSums<Wide>();
    ChannelSums<__m128i> narrow = NoSums<__m128i>();
    LONG r = 0;
    for (; r + 2 <= f->height; r += 2) SumRows<Phase, true>(f, r, keeping, &wide, &narrow);
    if (r < f->height) SumRows<Phase, false>(f, r, keeping, &wide, &narrow);
    *sumRed = SumOf(wide.red, narrow.red);
    *sumGreen = SumOf(wide.green, narrow.green);
    *sumBlue = SumOf(wide.blue, narrow.blue);
}

// The output goes through the cache with ordinary stores. Streaming stores
// were measured too (whole steps, 16-byte aligned output): on a quiet
// machine they made the colour conversion about 4% slower and the driver's
// Process (conversion, then the copy that reads the output back) slower, as
// the copy then reads the whole output from memory; after white balance,
// whose kept channels hold the output's lines in the cache, they made the
// frame four times slower.

// One step of rows r and, for a pair, r + 1: demosaic (or the kept
// channels), the sums while white balance measures, the stage, the store.
template <int Phase, bool TwoRows, bool Summing, class Reg, class Stage, class Sums>
FORCEINLINE void ConvertStep(const UCHAR* at, LONG pitch, UCHAR* out, LONG_PTR outputPitch, LONG count,
                             const Stage& stage, bool kept, Sums* sums) {
    static_assert(TwoRows || !Summing, "only row pairs sum while converting");
    Rgb<Reg> even[2], odd[2];
    if (kept) {
        LoadKept(out, &even[0], &odd[0]);
        if (TwoRows) LoadKept(out + outputPitch, &even[1], &odd[1]);
    } else {
        DemosaicBlock<Phase, TwoRows>(at, pitch, even, odd);
    }
    if constexpr (Summing) AddPairSums(sums, even, odd, count);
    StoreBgra(out, stage(even[0], odd[0]), count);
    if (TwoRows) StoreBgra(out + outputPitch, stage(even[1], odd[1]), count);
}

// Rows `r` (even) and, for a pair, r + 1: whole wide steps, then narrow steps
// to the width (never kept). Not inlined: each copy of the
// loop keeps its own register spills, and a frame holding all four copies'
// would outgrow a kernel stack's budget. The sums are carried in locals
// across the row: where they lie, the output's byte stores could alias them.
template <int Phase, bool TwoRows, bool Summing, class Wide, class Narrow, class WideStage, class NarrowStage>
__attribute__((noinline)) void ConvertRows(const FrameParameters* f, LONG r, const WideStage& wide,
                                           const NarrowStage& narrow, bool kept, LaneSums<Wide>* wideTotals,
                                           ChannelSums<__m128i>* narrowSums) {
    const LONG width = f->width;
    const LONG pitch = f->workPitch;
    const UCHAR* at = f->source + static_cast<LONG_PTR>(r) * pitch;
    const LONG_PTR outputPitch = f->outputPitch;
    UCHAR* out = f->output + static_cast<LONG_PTR>(r) * outputPitch;
    const LONG step = Vector<Wide>::kPixels;
    LONG c = 0;
    if constexpr (Summing) {
        LaneSums<Wide> totals = *wideTotals;
        while (c + step <= width) {
            LaneSums<Wide> lanes = NoLaneSums<Wide>();
            for (LONG n = 0; n < kStepsPerFlush && c + step <= width; ++n, c += step)
                ConvertStep<Phase, TwoRows, true, Wide>(at + c, pitch, out + 4 * c, outputPitch, step, wide, kept,
                                                        &lanes);
            FlushLaneSums(&totals, lanes);
        }
        *wideTotals = totals;
    } else {
        for (; c + step <= width; c += step)
            ConvertStep<Phase, TwoRows, false, Wide>(at + c, pitch, out + 4 * c, outputPitch, step, wide, kept,
                                                     wideTotals);
    }
    ChannelSums<__m128i> narrowRow = Summing ? *narrowSums : NoSums<__m128i>();
    for (; c < width; c += Vector<Narrow>::kPixels)
        ConvertStep<Phase, TwoRows, Summing, Narrow>(at + c, pitch, out + 4 * c, outputPitch, width - c, narrow,
                                                     false, &narrowRow);
    if (Summing) *narrowSums = narrowRow;
}

// Whether a stage's row loops get copies that also sum the channels for
// white balance's guesses: only for the gains white balance measures on all
// but nearly single-coloured frames (green at unity, red and blue below
// 16384, or all three at unity), and only for row pairs. Every summing copy
// adds to the driver's code; other gains, and the last row of an odd
// height, are summed in a pass of their own.
template <int Mode>
constexpr bool SumsWhileConverting() {
    return Mode == GainsUnity || Mode == GainsRedBlue;
}

template <int Phase, bool Summing, class Wide, class Narrow, class WideStage, class NarrowStage>
void ConvertFrameRowsWith(const FrameParameters* f, const WideStage& wide, const NarrowStage& narrow, bool kept,
                          ChannelTotals* totals) {
    LaneSums<Wide> pairSums = NoLaneSums<Wide>();  // 32-bit lanes
    ChannelSums<Wide> lastRowSums = NoSums<Wide>();
    ChannelSums<__m128i> narrowSums = NoSums<__m128i>();
    LONG r = 0;
    for (; r + 2 <= f->height; r += 2)
        ConvertRows<Phase, true, Summing, Wide, Narrow>(f, r, wide, narrow, kept, &pairSums, &narrowSums);
    if (r < f->height) {
        ConvertRows<Phase, false, false, Wide, Narrow>(f, r, wide, narrow, kept, nullptr, nullptr);
        if (Summing) SumRows<Phase, false>(f, r, false, &lastRowSums, &narrowSums);
    }
    if (Summing) {
        totals->red = Total32(pairSums.red) + SumOf(lastRowSums.red, narrowSums.red);
        totals->green = Total32(pairSums.green) + SumOf(lastRowSums.green, narrowSums.green);
        totals->blue = Total32(pairSums.blue) + SumOf(lastRowSums.blue, narrowSums.blue);
    }
}

// With `totals`, white balance's sums are taken too: in the same pass where
// the stage has summing copies, else in a pass of their own.
template <int Phase, int Mode, class Wide, class Narrow, class WideStage, class NarrowStage>
void ConvertFrameRows(const FrameParameters* f, const WideStage& wide, const NarrowStage& narrow, bool kept,
                      ChannelTotals* totals) {
    if constexpr (SumsWhileConverting<Mode>()) {
        if (totals != nullptr) {
            ConvertFrameRowsWith<Phase, true, Wide, Narrow>(f, wide, narrow, kept, totals);
            return;
        }
    }
    ConvertFrameRowsWith<Phase, false, Wide, Narrow>(f, wide, narrow, kept, nullptr);
    if (totals != nullptr) SumChannels<Phase, Wide>(f, FALSE, &totals->red, &totals->green, &totals->blue);
}

template <int Phase, class Wide, class Narrow, int Mode, int Shape>
void ConvertColorWith(const ImagePipeline* p, GainMode mode, bool kept, ChannelTotals* totals) {
    const FrameParameters* f = &p->frameParameters;
    const ColourStage<Mode, Shape, Wide> wide{BroadcastGains<Wide>(f, mode), BroadcastMatrix<Shape, Wide>(p)};
    const ColourStage<Mode, Shape, Narrow> narrow{BroadcastGains<Narrow>(f, mode), BroadcastMatrix<Shape, Narrow>(p)};
    ConvertFrameRows<Phase, Mode, Wide, Narrow>(f, wide, narrow, kept, totals);
}

template <int Phase, class Wide, class Narrow>
VOID ConvertColor(ImagePipeline* p, BOOLEAN kept, ChannelTotals* totals) {
    const FrameParameters* f = &p->frameParameters;
    const GainMode mode = GainModeOf(f);
    const bool keptChannels = kept != FALSE;
    // Gains beyond 16383 come only from white balance on a nearly
    // single-coloured frame; they take the general matrix too, which keeps
    // the number of loop copies down.
    const bool diagonal = MatrixShapeOf(p) == MatrixDiagonal;
    if (mode == GainsUnity && diagonal) {
        ConvertColorWith<Phase, Wide, Narrow, GainsUnity, MatrixDiagonal>(p, mode, keptChannels, totals);
    } else if (mode == GainsUnity) {
        ConvertColorWith<Phase, Wide, Narrow, GainsUnity, MatrixGeneral>(p, mode, keptChannels, totals);
    } else if (mode == GainsScaled && diagonal) {
        ConvertColorWith<Phase, Wide, Narrow, GainsScaled, MatrixDiagonal>(p, mode, keptChannels, totals);
    } else if (mode == GainsScaled) {
        ConvertColorWith<Phase, Wide, Narrow, GainsScaled, MatrixGeneral>(p, mode, keptChannels, totals);
    } else if (mode == GainsRedBlue && diagonal) {
        ConvertColorWith<Phase, Wide, Narrow, GainsRedBlue, MatrixDiagonal>(p, mode, keptChannels, totals);
    } else if (mode == GainsRedBlue) {
        ConvertColorWith<Phase, Wide, Narrow, GainsRedBlue, MatrixGeneral>(p, mode, keptChannels, totals);
    } else {
        ConvertColorWith<Phase, Wide, Narrow, GainsGeneral, MatrixGeneral>(p, mode, keptChannels, totals);
    }
}

template <int Phase, class Wide, class Narrow, int Mode>
void ConvertMonoWith(const FrameParameters* f, GainMode mode, bool kept, ChannelTotals* totals) {
    const MonoStage<Mode, Wide> wide{BroadcastGains<Wide>(f, mode)};
    const MonoStage<Mode, Narrow> narrow{BroadcastGains<Narrow>(f, mode)};
    ConvertFrameRows<Phase, Mode, Wide, Narrow>(f, wide, narrow, kept, totals);
}

template <int Phase, class Wide, class Narrow>
VOID ConvertMono(ImagePipeline* p, BOOLEAN kept, ChannelTotals* totals) {
    const FrameParameters* f = &p->frameParameters;
    const GainMode mode = GainModeOf(f);
    const bool keptChannels = kept != FALSE;
    switch (mode) {
        case GainsUnity: ConvertMonoWith<Phase, Wide, Narrow, GainsUnity>(f, mode, keptChannels, totals); break;
        case GainsScaled: ConvertMonoWith<Phase, Wide, Narrow, GainsScaled>(f, mode, keptChannels, totals); break;
        case GainsRedBlue: ConvertMonoWith<Phase, Wide, Narrow, GainsRedBlue>(f, mode, keptChannels, totals); break;
        default: ConvertMonoWith<Phase, Wide, Narrow, GainsGeneral>(f, mode, keptChannels, totals); break;
    }
}

}  // namespace
