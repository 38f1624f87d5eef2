#include "driver/pipeline/matrix.h"

VOID MatrixIdentity(double m[16]) {
    for (int i = 0; i < 16; ++i) m[i] = (i % 5 == 0) ? 1.0 : 0.0;
}

VOID MatrixCopy(double out[16], const double m[16]) {
    for (int i = 0; i < 16; ++i) out[i] = m[i];
}

VOID MatrixMultiply(const double a[16], const double b[16], double out[16]) {
    double product[16];
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            // Summed in k order so that every build gives the same doubles.
            double sum = 0.0;
            for (int k = 0; k < 4; ++k) sum += b[4 * y + k] * a[4 * k + x];
            product[4 * y + x] = sum;
        }
    }
    MatrixCopy(out, product);
}

namespace {

// m = m x r
VOID MultiplyRight(double m[16], const double r[16]) { MatrixMultiply(r, m, m); }

}  // namespace

VOID RotateX(double m[16], double s, double c) {
    double r[16];
    MatrixIdentity(r);
    r[4 * 1 + 1] = c;
    r[4 * 1 + 2] = s;
    r[4 * 2 + 1] = -s;
    r[4 * 2 + 2] = c;
    MultiplyRight(m, r);
}

VOID RotateY(double m[16], double s, double c) {
    double r[16];
    MatrixIdentity(r);
    r[4 * 0 + 0] = c;
    r[4 * 0 + 2] = -s;
    r[4 * 2 + 0] = s;
    r[4 * 2 + 2] = c;
    MultiplyRight(m, r);
}

VOID ShearZ(double m[16], double dx, double dy) {
    double r[16];
    MatrixIdentity(r);
    r[4 * 0 + 2] = dx;
    r[4 * 1 + 2] = dy;
    MultiplyRight(m, r);
}
