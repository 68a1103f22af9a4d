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
from typing import Final, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt
from _typeshed import structseq

__all__ = [
    "amplitudes",
    "ellipsometry",
    "incoherent",
    "absorption",
    "Amplitudes",
    "Ellipsometry",
    "Incoherent",
]

_Complex = npt.NDArray[np.complex128]
_Real = npt.NDArray[np.float64]
_Angle = SupportsFloat | SupportsIndex | npt.NDArray[np.float64]

@final
class Amplitudes(structseq[_Complex], tuple[_Complex, _Complex, _Complex, _Complex]):
    """Complex amplitude coefficients r = m01/m00 and t = 1/m00 of both polarisations."""

    __match_args__: Final = ("rs", "rp", "ts", "tp")
    @property
    def rs(self) -> _Complex:
        """Amplitude reflection coefficient, s-polarised (dimensionless)."""

    @property
    def rp(self) -> _Complex:
        """Amplitude reflection coefficient, p-polarised (dimensionless)."""

    @property
    def ts(self) -> _Complex:
        """Amplitude transmission coefficient, s-polarised (dimensionless)."""

    @property
    def tp(self) -> _Complex:
        """Amplitude transmission coefficient, p-polarised (dimensionless)."""

@final
class Ellipsometry(structseq[_Real], tuple[_Real, _Real]):
    """Ellipsometric angles Psi and Delta, in radians."""

    __match_args__: Final = ("psi", "delta")
    @property
    def psi(self) -> _Real:
        """Psi = arctan|rp/rs|, in radians, in [0, pi/2]."""

    @property
    def delta(self) -> _Real:
        """Delta = arg(-rp/rs), in radians, in [-pi, pi] (0 at normal incidence)."""

@final
class Incoherent(structseq[_Real], tuple[_Real, _Real]):
    """Reflectance and transmittance of a stack with incoherent layers."""

    __match_args__: Final = ("r", "t")
    @property
    def r(self) -> _Real:
        """Reflectance: the fraction of the incident power reflected (0 to 1)."""

    @property
    def t(self) -> _Real:
        """Transmittance: the fraction of the incident power transmitted (0 to 1)."""

def amplitudes(d: _Real, n: _Complex, wl: _Real, theta: _Angle) -> Amplitudes:
    """Complex amplitude reflection and transmission coefficients of a coherent stack.

    Returns ``Amplitudes(rs, rp, ts, tp)``, complex128 arrays of shape (W,), or
    (A, W) for an array of A angles: r = m01/m00 and t = 1/m00 of the transfer
    matrices lamiro computes, bit for bit (tmm's ``coh_tmm`` convention: at
    normal incidence rp = -rs). ``abs(rs)**2`` is lamiro's s reflectance.
    """

def ellipsometry(d: _Real, n: _Complex, wl: _Real, theta: _Angle) -> Ellipsometry:
    """Ellipsometric angles of a coherent stack, in radians.

    Returns ``Ellipsometry(psi, delta)``, float64 arrays of shape (W,) or (A, W):
    psi = arctan|rp/rs| in [0, pi/2] and delta = arg(-rp/rs) in [-pi, pi], the
    convention of tmm's ``ellips`` (delta is 0 at normal incidence). In the
    other common convention rp/rs = tan(psi)·exp(i·delta'), delta' = delta + pi;
    psi is the same. For degrees use ``numpy.degrees``.
    """

def incoherent(
    d: _Real,
    n: _Complex,
    wl: _Real,
    theta: _Angle,
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
    d: _Real,
    n: _Complex,
    wl: _Real,
    theta: _Angle,
    phi: SupportsFloat | SupportsIndex,
    coherent: Sequence[bool | np.bool_] | npt.NDArray[np.bool_] | None = None,
) -> _Real:
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
