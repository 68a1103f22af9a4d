// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

#include "optics/complex.hpp"

namespace lamiro {

// The 2×2 transfer matrix of a whole stack for one wavelength and one
// polarisation, row-major. m01/m00 is the stack's amplitude reflection
// coefficient and 1/m00 its amplitude transmission coefficient.
struct TransferMatrix {
    Complex m00;
    Complex m01;
    Complex m10;
    Complex m11;
};

// s-polarised (TE) or p-polarised (TM) light; the values are the selector
// values used wherever a polarisation is stored or passed as a number.
enum class Polarisation : unsigned char { S = 0, P = 1 };

// Both matrices of one wavelength: the S matrix in bytes 0-63, the P matrix
// in bytes 64-127.
struct MatrixPair {
    TransferMatrix s;
    TransferMatrix p;
};

static_assert(sizeof(TransferMatrix) == 64, "TransferMatrix is four complex128 values");
static_assert(sizeof(MatrixPair) == 128 && offsetof(MatrixPair, p) == 64,
              "MatrixPair is the S then the P matrix");

}  // namespace lamiro
