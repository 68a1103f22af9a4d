// SPDX-License-Identifier: MIT
#pragma once

namespace lamiro {

// A complex number as two binary64 values, real part first: the layout of
// one NumPy complex128 element. Any bit pattern is a valid value.
struct Complex {
    double re;
    double im;
};

static_assert(sizeof(Complex) == 16, "Complex must match a NumPy complex128 element");

}  // namespace lamiro
