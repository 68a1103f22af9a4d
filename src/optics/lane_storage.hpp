// SPDX-License-Identifier: MIT
#pragma once

// The storage of a pack between passes: LaneComplex keeps the lanes of one
// complex quantity side by side (real parts, then imaginary parts, room for
// the widest pack), so that a pass compiled for one instruction set can
// leave values that a later pass, compiled for the same pack width, loads
// as one vector per component. Loading and storing copy bits, so a stored
// value comes back exactly.

#include <cstring>

#include "optics/complex.hpp"
#include "optics/packed_complex.hpp"
#include "optics/packed_kernel_blocks.hpp"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace lamiro {

// The widest pack any variant evaluates.
inline constexpr int max_pack_lanes = 4;

// One complex quantity of every lane of a pack.
struct alignas(64) LaneComplex {
    double re[max_pack_lanes];
    double im[max_pack_lanes];

    Complex lane(int i) const noexcept { return {re[i], im[i]}; }
    void set_lane(int i, Complex z) noexcept {
        re[i] = z.re;
        im[i] = z.im;
    }
};

// A 2×2 complex matrix of every lane, row-major.
struct LaneMatrix {
    LaneComplex m00, m01, m10, m11;
};

// A complex row vector (x0, x1) of every lane.
struct LaneRow {
    LaneComplex x0, x1;
};

namespace packed {

template <int L>
LAMIRO_PACKED_INLINE Pack<L> load(const double* values) {
    Pack<L> pack;
    std::memcpy(&pack, values, sizeof pack);
    return pack;
}

template <int L>
LAMIRO_PACKED_INLINE void store(const Pack<L>& pack, double* values) {
    std::memcpy(values, &pack, sizeof pack);
}

template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> load(const LaneComplex& z) {
    return {load<L>(z.re), load<L>(z.im)};
}

template <int L>
LAMIRO_PACKED_INLINE void store(const PackedComplex<L>& z, LaneComplex& out) {
    store<L>(z.re, out.re);
    store<L>(z.im, out.im);
}

template <int L>
LAMIRO_PACKED_INLINE PackedMatrix<L> load(const LaneMatrix& m) {
    return {load<L>(m.m00), load<L>(m.m01), load<L>(m.m10), load<L>(m.m11)};
}

template <int L>
LAMIRO_PACKED_INLINE void store(const PackedMatrix<L>& m, LaneMatrix& out) {
    store<L>(m.m00, out.m00);
    store<L>(m.m01, out.m01);
    store<L>(m.m10, out.m10);
    store<L>(m.m11, out.m11);
}

}  // namespace packed
}  // namespace lamiro

#pragma GCC diagnostic pop
