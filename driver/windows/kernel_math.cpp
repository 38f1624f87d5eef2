// The few C math routines the driver uses, for a kernel image that links no
// C runtime (ntoskrnl.exe exports none of them). Single precision results,
// computed in double precision and rounded once, so that they agree with a
// C library's correctly rounded ones.
//
// sqrtf is one SSE instruction (the build also lets the compiler inline it).
// sinf and cosf reduce the argument by multiples of pi/2 with a three-part
// constant (exact while |x| is below about 2^19) and evaluate Taylor series
// on |r| <= pi/4, where the terms kept bound the error near 1e-17.
#include <emmintrin.h>
#include <math.h>

namespace {

// pi/2 as the sum of two 33-bit parts and a remainder: k * part is exact for
// the quotients k that occur.
constexpr double kHalfPi1 = 0x1.921fb544p+0;
constexpr double kHalfPi2 = 0x1.0b4611a6p-34;
constexpr double kHalfPi3 = 0x1.3198a2e037073p-69;
constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;

// sin r for |r| <= pi/4.
double SinPoly(double r)
{
    const double r2 = r * r;
    double p = 1.0 / 355687428096000.0;   // 1/17!
    p = p * r2 - 1.0 / 1307674368000.0;   // 1/15!
    p = p * r2 + 1.0 / 6227020800.0;      // 1/13!
    p = p * r2 - 1.0 / 39916800.0;        // 1/11!
    p = p * r2 + 1.0 / 362880.0;          // 1/9!
    p = p * r2 - 1.0 / 5040.0;            // 1/7!
    p = p * r2 + 1.0 / 120.0;             // 1/5!
    p = p * r2 - 1.0 / 6.0;               // 1/3!
    return r + r * r2 * p;
}

// cos r for |r| <= pi/4.
double CosPoly(double r)
{
    const double r2 = r * r;
    double p = -1.0 / 6402373705728000.0; // 1/18!
    p = p * r2 + 1.0 / 20922789888000.0;  // 1/16!
    p = p * r2 - 1.0 / 87178291200.0;     // 1/14!
    p = p * r2 + 1.0 / 479001600.0;       // 1/12!
    p = p * r2 - 1.0 / 3628800.0;         // 1/10!
    p = p * r2 + 1.0 / 40320.0;           // 1/8!
    p = p * r2 - 1.0 / 720.0;             // 1/6!
    p = p * r2 + 1.0 / 24.0;              // 1/4!
    return 1.0 - 0.5 * r2 + r2 * r2 * p;
}

bool IsFinite(float x)
{
    return x - x == 0.0f;
}

// r = x - k * pi/2 with |r| <= pi/4 (a little more through rounding); the
// quadrant is k mod 4.
double Reduce(float x, unsigned* quadrant)
{
    const double d = x;
    const double t = d * kTwoOverPi;
    const long long k = static_cast<long long>(t >= 0.0 ? t + 0.5 : t - 0.5);
    const double kd = static_cast<double>(k);
    *quadrant = static_cast<unsigned>(k) & 3u;
    return ((d - kd * kHalfPi1) - kd * kHalfPi2) - kd * kHalfPi3;
}

}  // namespace

extern "C" float sqrtf(float x)
{
    return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(x)));
}

extern "C" double sqrt(double x)
{
    const __m128d v = _mm_set_sd(x);
    return _mm_cvtsd_f64(_mm_sqrt_sd(v, v));
}

extern "C" float sinf(float x)
{
    if (!IsFinite(x)) {
        return x - x;  // NaN for infinities and NaN
    }
    if (x == 0.0f) {
        return x;  // keeps the sign of zero
    }
    unsigned quadrant;
    const double r = Reduce(x, &quadrant);
    switch (quadrant) {
    case 0: return static_cast<float>(SinPoly(r));
    case 1: return static_cast<float>(CosPoly(r));
    case 2: return static_cast<float>(-SinPoly(r));
    default: return static_cast<float>(-CosPoly(r));
    }
}

extern "C" float cosf(float x)
{
    if (!IsFinite(x)) {
        return x - x;
    }
    unsigned quadrant;
    const double r = Reduce(x, &quadrant);
    switch (quadrant) {
    case 0: return static_cast<float>(CosPoly(r));
    case 1: return static_cast<float>(-SinPoly(r));
    case 2: return static_cast<float>(-CosPoly(r));
    default: return static_cast<float>(SinPoly(r));
    }
}
