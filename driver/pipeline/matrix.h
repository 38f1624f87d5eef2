// 4x4 double matrices of the colour adjustment stages: row-major, m(row,
// column) at index 4 * row + column, acting on the row vector (R, G, B, 1)
// from the left.
#pragma once

#include "driver/wdk.h"

VOID MatrixIdentity(double m[16]);
VOID MatrixCopy(double out[16], const double m[16]);

// out = b x a, that is out(y, x) = sum over k of b(y, k) * a(k, x). Works
// through a temporary, so out may be a or b.
VOID MatrixMultiply(const double a[16], const double b[16], double out[16]);

// Each replaces m by m x R, R being the identity except for:
//   RotateX: R(1,1) = c, R(1,2) = s, R(2,1) = -s, R(2,2) = c
//   RotateY: R(0,0) = c, R(0,2) = -s, R(2,0) = s, R(2,2) = c
//   ShearZ:  R(0,2) = dx, R(1,2) = dy
VOID RotateX(double m[16], double s, double c);
VOID RotateY(double m[16], double s, double c);
VOID ShearZ(double m[16], double dx, double dy);
