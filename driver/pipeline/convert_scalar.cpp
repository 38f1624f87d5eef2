// The plain implementation of the conversion: one pixel at a time, the same
// integer arithmetic as the vector kernels, including their 16-bit wraps. It
// is the reference the SSE2 and AVX2 kernels are proven against, and a
// fallback. It keeps nothing between white balance and the conversion, and
// sums in a pass of its own when asked to while converting: it demosaics
// again.
#include "driver/pipeline/convert_kernels.h"

namespace {

struct Rgb {
    int red;
    int green;
    int blue;
};

inline int Round16(int sum) {
    int v = ((sum < 0 ? 0 : sum) + 8) >> 4;
    return v > 255 ? 255 : v;
}

inline int Round8(int sum) {
    int v = ((sum < 0 ? 0 : sum) + 4) >> 3;
    return v > 255 ? 255 : v;
}

// Gradient-corrected bilinear interpolation on the 5x5 neighbourhood of
// `centre`, whose working-buffer margins make every neighbour readable.
inline Rgb Demosaic(const UCHAR* centre, LONG pitch, int site) {
    auto at = [centre, pitch](int dy, int dx) -> int { return centre[dy * pitch + dx]; };
    const int c = at(0, 0);
    const int h1 = at(0, -1) + at(0, 1);
    const int h2 = at(0, -2) + at(0, 2);
    const int v1 = at(-1, 0) + at(1, 0);
    const int v2 = at(-2, 0) + at(2, 0);
    const int diag = at(-1, -1) + at(-1, 1) + at(1, -1) + at(1, 1);

    const int rowKernel = 10 * c + 8 * h1 - 2 * h2 - 2 * diag + v2;
    const int columnKernel = 10 * c + 8 * v1 - 2 * v2 - 2 * diag + h2;
    const int greenKernel = 4 * c + 2 * (h1 + v1) - (h2 + v2);
    const int diagonalKernel = 12 * c + 4 * diag - 3 * (h2 + v2);

    Rgb out;
    switch (site) {
        case SiteGreenInRedRow:
            out.red = Round16(rowKernel);
            out.green = c;
            out.blue = Round16(columnKernel);
            break;
        case SiteGreenInBlueRow:
            out.red = Round16(columnKernel);
            out.green = c;
            out.blue = Round16(rowKernel);
            break;
        case SiteRed:
            out.red = c;
            out.green = Round8(greenKernel);
            out.blue = Round16(diagonalKernel);
            break;
        default:
            out.red = Round16(diagonalKernel);
            out.green = Round8(greenKernel);
            out.blue = c;
            break;
    }
    return out;
}

inline int ApplyGain(int value, USHORT gain) {
    ULONG scaled = (static_cast<ULONG>(value) * gain) >> 7;
    return scaled > 255 ? 255 : static_cast<int>(scaled);
}

inline Rgb DemosaicWithGains(const FrameParameters* f, LONG r, LONG c, int site, const USHORT gains[3]) {
    Rgb v = Demosaic(f->source + static_cast<LONG_PTR>(r) * f->workPitch + c, f->workPitch, site);
    v.red = ApplyGain(v.red, gains[0]);
    v.green = ApplyGain(v.green, gains[1]);
    v.blue = ApplyGain(v.blue, gains[2]);
    return v;
}

template <int Phase>
inline int SiteOf(LONG r, LONG c) {
    // Evaluated per pixel here only because this is the reference; the sites
    // of the four parities are constants of the phase.
    static_assert(Phase >= 0 && Phase <= 3, "phase");
    const int parity = static_cast<int>(((r & 1) << 1) | (c & 1));
    switch (parity) {
        case 0: return BayerSiteAt(Phase, 0, 0);
        case 1: return BayerSiteAt(Phase, 0, 1);
        case 2: return BayerSiteAt(Phase, 1, 0);
        default: return BayerSiteAt(Phase, 1, 1);
    }
}

template <int Phase>
VOID SumChannels(const FrameParameters* f, BOOLEAN /*keep*/, ULONG* sumRed, ULONG* sumGreen, ULONG* sumBlue) {
    ULONG red = 0;
    ULONG green = 0;
    ULONG blue = 0;
    for (LONG r = 0; r < f->height; ++r) {
        for (LONG c = 0; c < f->width; ++c) {
            Rgb v = Demosaic(f->source + static_cast<LONG_PTR>(r) * f->workPitch + c, f->workPitch, SiteOf<Phase>(r, c));
            red += static_cast<ULONG>(v.red);
            green += static_cast<ULONG>(v.green);
            blue += static_cast<ULONG>(v.blue);
        }
    }
    *sumRed = red;
    *sumGreen = green;
    *sumBlue = blue;
}

inline UCHAR* StorePixel(UCHAR* out, int blue, int green, int red) {
    out[0] = static_cast<UCHAR>(blue);
    out[1] = static_cast<UCHAR>(green);
    out[2] = static_cast<UCHAR>(red);
    out[3] = 255;
    return out + 4;
}

template <int Phase>
VOID SumWhenAsked(const FrameParameters* f, ChannelTotals* totals) {
    if (totals != nullptr) SumChannels<Phase>(f, FALSE, &totals->red, &totals->green, &totals->blue);
}

template <int Phase>
VOID ConvertColor(ImagePipeline* p, BOOLEAN /*kept*/, ChannelTotals* totals) {
    const FrameParameters* f = &p->frameParameters;
    const USHORT gains[3] = {GainFactor(f->redGain), GainFactor(f->greenGain), GainFactor(f->blueGain)};
    USHORT magnitude[16];
    for (int i = 0; i < 16; ++i) magnitude[i] = CoefficientMagnitude(f->coefficientSnapshot[i]);
    const UCHAR* positive = p->coefficientPositive;

    for (LONG r = 0; r < f->height; ++r) {
        UCHAR* out = f->output + static_cast<LONG_PTR>(r) * f->outputPitch;
        for (LONG c = 0; c < f->width; ++c) {
            Rgb v = DemosaicWithGains(f, r, c, SiteOf<Phase>(r, c), gains);
            const int input[3] = {v.red, v.green, v.blue};
            int channel[3];
            for (int k = 0; k < 3; ++k) {
                // Two unsigned 16-bit accumulators; every sum and product wraps.
                USHORT pos = 0;
                USHORT neg = 0;
                if (positive[12 + k]) {
                    pos = magnitude[12 + k];
                } else {
                    neg = magnitude[12 + k];
                }
                for (int in = 0; in < 3; ++in) {
                    USHORT product = static_cast<USHORT>(static_cast<ULONG>(input[in]) * magnitude[4 * in + k]);
                    if (positive[4 * in + k]) {
                        pos = static_cast<USHORT>(pos + product);
                    } else {
                        neg = static_cast<USHORT>(neg + product);
                    }
                }
                const int high = pos >> 6;
                const int low = neg >> 6;
                channel[k] = high > low ? (high - low > 255 ? 255 : high - low) : 0;
            }
            out = StorePixel(out, channel[2], channel[1], channel[0]);
        }
    }
    SumWhenAsked<Phase>(f, totals);
}

template <int Phase>
VOID ConvertMono(ImagePipeline* p, BOOLEAN /*kept*/, ChannelTotals* totals) {
    const FrameParameters* f = &p->frameParameters;
    const USHORT gains[3] = {GainFactor(f->redGain), GainFactor(f->greenGain), GainFactor(f->blueGain)};
    for (LONG r = 0; r < f->height; ++r) {
        UCHAR* out = f->output + static_cast<LONG_PTR>(r) * f->outputPitch;
        for (LONG c = 0; c < f->width; ++c) {
            Rgb v = DemosaicWithGains(f, r, c, SiteOf<Phase>(r, c), gains);
            const int y = ((77 * v.red) >> 8) + ((150 * v.green) >> 8) + ((29 * v.blue) >> 8);
            out = StorePixel(out, y, y, y);
        }
    }
    SumWhenAsked<Phase>(f, totals);
}

}  // namespace

const ConversionRoutines g_scalarRoutines[4] = {
    {SumChannels<0>, ConvertColor<0>, ConvertMono<0>},
    {SumChannels<1>, ConvertColor<1>, ConvertMono<1>},
    {SumChannels<2>, ConvertColor<2>, ConvertMono<2>},
    {SumChannels<3>, ConvertColor<3>, ConvertMono<3>},
};
