"""Thin-film design quantities beyond R and T, computed by lamiro's core.

Every function takes the arrays of :class:`lamiro.DataPy`: ``d`` (1-D float64
layer thicknesses, N - 2 of them, in the length unit of ``wl``), ``n`` (2-D
complex128 refractive indices, media × wavelengths, row 0 the incidence
medium), ``wl`` (1-D float64 vacuum wavelengths) and ``theta``, the angle of
incidence in radians: a number, or a 1-D float64 array of A angles, in which
case every result gains a leading axis of length A and the whole A × W grid is
computed in one call. Results are NumPy arrays, identical to the bit whatever
the thread count. Wrong types raise ``TypeError`` and sizes that do not fit
``ValueError``, naming the argument.
"""

from collections.abc import Sequence
from typing import Final, SupportsFloat, SupportsIndex, final, overload

import numpy as np
import numpy.typing as npt
from _typeshed import structseq

__all__ = [
    "amplitudes",
    "ellipsometry",
    "incoherent",
    "absorption",
    "thickness_gradient",
    "needle",
    "Amplitudes",
    "Ellipsometry",
    "Incoherent",
    "Gradient",
    "Needle",
]

@final
class Amplitudes(
    structseq[npt.NDArray[np.complex128]],
    tuple[
        npt.NDArray[np.complex128],
        npt.NDArray[np.complex128],
        npt.NDArray[np.complex128],
        npt.NDArray[np.complex128],
    ],
):
    """Complex amplitude coefficients r = m01/m00 and t = 1/m00 of both polarisations.

    The result of :func:`amplitudes`: a named tuple of four complex128 arrays,
    read by name (``a.rs``) or unpacked (``rs, rp, ts, tp = a``).
    """

    __match_args__: Final = ("rs", "rp", "ts", "tp")
    @property
    def rs(self) -> npt.NDArray[np.complex128]:
        """Amplitude reflection coefficient, s-polarised (dimensionless)."""

    @property
    def rp(self) -> npt.NDArray[np.complex128]:
        """Amplitude reflection coefficient, p-polarised (dimensionless)."""

    @property
    def ts(self) -> npt.NDArray[np.complex128]:
        """Amplitude transmission coefficient, s-polarised (dimensionless)."""

    @property
    def tp(self) -> npt.NDArray[np.complex128]:
        """Amplitude transmission coefficient, p-polarised (dimensionless)."""

@final
class Ellipsometry(
    structseq[npt.NDArray[np.float64]],
    tuple[
        npt.NDArray[np.float64],
        npt.NDArray[np.float64],
    ],
):
    """Ellipsometric angles Psi and Delta, in radians.

    The result of :func:`ellipsometry`: a named tuple of two float64 arrays,
    read by name (``e.psi``) or unpacked (``psi, delta = e``).
    """

    __match_args__: Final = ("psi", "delta")
    @property
    def psi(self) -> npt.NDArray[np.float64]:
        """Psi = arctan|rp/rs|, in radians, in [0, pi/2]."""

    @property
    def delta(self) -> npt.NDArray[np.float64]:
        """Delta = arg(-rp/rs), in radians, in [-pi, pi] (0 at normal incidence)."""

@final
class Incoherent(
    structseq[npt.NDArray[np.float64]],
    tuple[
        npt.NDArray[np.float64],
        npt.NDArray[np.float64],
    ],
):
    """Reflectance and transmittance of a stack with incoherent layers.

    The result of :func:`incoherent`: a named tuple of two float64 arrays,
    read by name (``res.r``) or unpacked (``r, t = res``).
    """

    __match_args__: Final = ("r", "t")
    @property
    def r(self) -> npt.NDArray[np.float64]:
        """Reflectance: the fraction of the incident power reflected (0 to 1)."""

    @property
    def t(self) -> npt.NDArray[np.float64]:
        """Transmittance: the fraction of the incident power transmitted (0 to 1)."""

@final
class Gradient(
    structseq[npt.NDArray[np.float64]],
    tuple[
        npt.NDArray[np.float64],
        npt.NDArray[np.float64],
        npt.NDArray[np.float64],
        npt.NDArray[np.float64],
    ],
):
    """Reflectance, transmittance and their derivatives with respect to every layer's thickness.

    The result of :func:`thickness_gradient`: a named tuple of four float64
    arrays, read by name (``g.dr``) or unpacked (``r, t, dr, dt = g``).
    """

    __match_args__: Final = ("r", "t", "dr", "dt")
    @property
    def r(self) -> npt.NDArray[np.float64]:
        """Reflectance, lamiro's simulate() values (shape (W,) or (A, W))."""

    @property
    def t(self) -> npt.NDArray[np.float64]:
        """Transmittance, lamiro's simulate() values (shape (W,) or (A, W))."""

    @property
    def dr(self) -> npt.NDArray[np.float64]:
        """dR/dd[k] per unit of thickness, shape (N - 2, W) or (A, N - 2, W)."""

    @property
    def dt(self) -> npt.NDArray[np.float64]:
        """dT/dd[k] per unit of thickness, shape (N - 2, W) or (A, N - 2, W)."""

@final
class Needle(
    structseq[npt.NDArray[np.float64]],
    tuple[
        npt.NDArray[np.float64],
        npt.NDArray[np.float64],
    ],
):
    """Derivatives of R and T with respect to the thickness of a thin layer inserted at each depth.

    The result of :func:`needle` without weights: a named tuple of two float64
    arrays, read by name (``nd.dr``) or unpacked (``dr, dt = nd``).
    """

    __match_args__: Final = ("dr", "dt")
    @property
    def dr(self) -> npt.NDArray[np.float64]:
        """dR/d(delta) at delta = 0, shape ([A,] [C,] Z, W)."""

    @property
    def dt(self) -> npt.NDArray[np.float64]:
        """dT/d(delta) at delta = 0, shape ([A,] [C,] Z, W)."""

def amplitudes(
    d: npt.NDArray[np.float64],
    n: npt.NDArray[np.complex128],
    wl: npt.NDArray[np.float64],
    theta: SupportsFloat | SupportsIndex | npt.NDArray[np.float64],
) -> Amplitudes:
    """Complex amplitude reflection and transmission coefficients of a coherent stack.

    Returns ``Amplitudes(rs, rp, ts, tp)``, complex128 arrays of shape (W,), or
    (A, W) for an array of A angles: r = m01/m00 and t = 1/m00 of the transfer
    matrices lamiro computes, bit for bit (tmm's ``coh_tmm`` convention: at
    normal incidence rp = -rs). ``abs(rs)**2`` is lamiro's s reflectance.
    """

def ellipsometry(
    d: npt.NDArray[np.float64],
    n: npt.NDArray[np.complex128],
    wl: npt.NDArray[np.float64],
    theta: SupportsFloat | SupportsIndex | npt.NDArray[np.float64],
) -> Ellipsometry:
    """Ellipsometric angles of a coherent stack, in radians.

    Returns ``Ellipsometry(psi, delta)``, float64 arrays of shape (W,) or (A, W):
    psi = arctan|rp/rs| in [0, pi/2] and delta = arg(-rp/rs) in [-pi, pi], the
    convention of tmm's ``ellips`` (delta is 0 at normal incidence). In the
    other common convention rp/rs = tan(psi)·exp(i·delta'), delta' = delta + pi;
    psi is the same. For degrees use ``numpy.degrees``.
    """

def incoherent(
    d: npt.NDArray[np.float64],
    n: npt.NDArray[np.complex128],
    wl: npt.NDArray[np.float64],
    theta: SupportsFloat | SupportsIndex | npt.NDArray[np.float64],
    phi: SupportsFloat | SupportsIndex,
    coherent: Sequence[bool | np.bool_] | npt.NDArray[np.bool_],
) -> Incoherent:
    """Reflectance and transmittance of a stack with coherent and incoherent layers.

    ``phi`` is the polarisation mixing angle in radians (s weighted by cos²φ,
    p by sin²φ); ``coherent`` holds N - 2 booleans, True for a thin layer whose
    phase counts, False for a thick one whose phase averages out (a substrate
    with its back side); the incidence and exit media are incoherent. Returns
    ``Incoherent(r, t)``, float64 arrays of shape (W,) or (A, W): the
    intensity-matrix method (Katsidis & Siapkas, Appl. Opt. 41, 3978 (2002)),
    as tmm's ``inc_tmm``. A thick absorbing layer gives finite values. With
    every layer coherent, ``r`` and ``t`` are lamiro's ``simulate()`` values,
    bit for bit.
    """

def absorption(
    d: npt.NDArray[np.float64],
    n: npt.NDArray[np.complex128],
    wl: npt.NDArray[np.float64],
    theta: SupportsFloat | SupportsIndex | npt.NDArray[np.float64],
    phi: SupportsFloat | SupportsIndex,
    coherent: Sequence[bool | np.bool_] | npt.NDArray[np.bool_] | None = None,
) -> npt.NDArray[np.float64]:
    """Fraction of the incident power absorbed in each layer (dimensionless, 0 to 1).

    ``d`` holds the N - 2 layer thicknesses in the length unit of ``wl`` (the
    vacuum wavelengths); ``theta`` is the angle of incidence in radians (a
    number or a 1-D float64 array of A angles); ``phi`` the polarisation
    mixing angle in radians (s weighted by cos²φ, p by sin²φ); ``coherent``
    is None (every layer coherent) or N - 2 booleans as for
    :func:`incoherent`. Returns a float64 array of shape (N - 2, W), or
    (A, N - 2, W) for an array of angles: row k is the layer of thickness
    ``d[k]``, as tmm's ``absorp_in_each_layer`` (coherent) and
    ``inc_absorp_in_each_layer`` give layers 1 ... N - 2. With a lossless exit
    medium, R + T + the sum over the layers is 1 to rounding, R and T being
    those of ``lamiro`` or :func:`incoherent`. A thick absorbing layer gives
    finite values.
    """

def thickness_gradient(
    d: npt.NDArray[np.float64],
    n: npt.NDArray[np.complex128],
    wl: npt.NDArray[np.float64],
    theta: SupportsFloat | SupportsIndex | npt.NDArray[np.float64],
    phi: SupportsFloat | SupportsIndex,
    coherent: Sequence[bool | np.bool_] | npt.NDArray[np.bool_] | None = None,
) -> Gradient:
    """Reflectance, transmittance and their derivatives with respect to every layer's thickness.

    Returns ``Gradient(r, t, dr, dt)``: ``r`` and ``t`` of shape (W,) or (A, W),
    lamiro's ``simulate()`` values bit for bit when every layer is coherent
    (``incoherent()``'s otherwise); ``dr[k, w]`` = dR/dd[k] and ``dt[k, w]`` =
    dT/dd[k], shape (N - 2, W) or (A, N - 2, W), per unit of the length of
    ``d`` and ``wl``. Exact, from one forward and one backward sweep through
    the stack (about the cost of two or three spectra). ``coherent`` as for
    ``incoherent()``; an incoherent layer's thickness acts through its
    single-pass absorption exp(-4 pi Im(n cos theta) d / lambda).
    """

@overload
def needle(
    d: npt.NDArray[np.float64],
    n: npt.NDArray[np.complex128],
    wl: npt.NDArray[np.float64],
    theta: SupportsFloat | SupportsIndex | npt.NDArray[np.float64],
    phi: SupportsFloat | SupportsIndex,
    material: npt.NDArray[np.complex128],
    depths: npt.NDArray[np.float64],
    weight_r: None = None,
    weight_t: None = None,
) -> Needle: ...
@overload
def needle(
    d: npt.NDArray[np.float64],
    n: npt.NDArray[np.complex128],
    wl: npt.NDArray[np.float64],
    theta: SupportsFloat | SupportsIndex | npt.NDArray[np.float64],
    phi: SupportsFloat | SupportsIndex,
    material: npt.NDArray[np.complex128],
    depths: npt.NDArray[np.float64],
    weight_r: npt.NDArray[np.float64],
    weight_t: npt.NDArray[np.float64] | None = None,
) -> npt.NDArray[np.float64]: ...
@overload
def needle(
    d: npt.NDArray[np.float64],
    n: npt.NDArray[np.complex128],
    wl: npt.NDArray[np.float64],
    theta: SupportsFloat | SupportsIndex | npt.NDArray[np.float64],
    phi: SupportsFloat | SupportsIndex,
    material: npt.NDArray[np.complex128],
    depths: npt.NDArray[np.float64],
    weight_r: None = None,
    *,
    weight_t: npt.NDArray[np.float64],
) -> npt.NDArray[np.float64]:
    """The needle function: the change of R and T by a thin layer inserted at each depth.

    How R and T change when a vanishingly thin layer of a candidate material
    is inserted at each depth of a coherent stack. ``d``, ``n``, ``wl``,
    ``theta``, ``phi`` as for :func:`thickness_gradient` (``theta`` a number
    or a 1-D float64 array of A angles). ``material``: the candidate's
    refractive index at every wavelength, complex128 of shape (W,), or C
    candidates at once, shape (C, W). ``depths``: 1-D float64, Z
    depths below the top of the first layer in the unit of ``d`` (0 is the
    top of the stack, ``d.sum()`` its bottom; a depth on an interface lies
    between the two media; depths outside the stack give NaN).

    Without weights, returns ``Needle(dr, dt)``, float64 arrays of shape
    ([A,] [C,] Z, W): dR/d(delta) and dT/d(delta) at delta = 0 of a layer of
    thickness delta inserted at each depth, per unit of length (the axes A
    and C only when ``theta``, resp. ``material``, is an array of them).

    With ``weight_r`` and/or ``weight_t`` (float64, shape (W,) or (A, W); give
    ``weight_t`` alone by keyword): the derivatives of a merit, a float64
    array of shape (Z,) or (C, Z), the sum over angles and wavelengths of
    ``weight_r * dR/d(delta) + weight_t * dT/d(delta)``. The weights are the
    merit's derivatives with respect to R and T (for the mean of R over W
    wavelengths, ``weight_r = 1/W``; for ``sum(v * (R - R0)**2)``,
    ``weight_r = 2 * v * (R - R0)``). A negative value marks a depth where a
    thin layer of the candidate lowers the merit. The sums run over fixed
    blocks of wavelengths in a fixed order, so the result is the same
    whatever the thread count.
    """
