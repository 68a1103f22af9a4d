"""Reflectance and transmittance spectra of thin-film stacks (transfer-matrix method).

Describe a stack with :class:`DataPy`, call :meth:`DataPy.simulate`, and read
the spectra ``r`` and ``t`` of the returned :class:`Simulation`. Lengths
(thicknesses and wavelengths) may be in any unit, the same for both; angles
are in radians (convert degrees with ``np.deg2rad``), the angle of incidence
from 0 up to, but not including, π/2. Results are identical to the bit
whatever the thread count.
"""

from typing import Never, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = ["DataPy", "Simulation"]

@final
class DataPy:
    """One optical problem: a stack of media, its wavelengths and two angles.

    ``DataPy(d, n, wl, theta, phi)``, arguments by position or keyword:

    - ``d``: thicknesses of the layers between the incidence and the exit
      medium, first layer first; 1-D float64 array, same length unit as ``wl``
      (entries beyond the number of layers are ignored).
    - ``n``: complex refractive index ``n' + ik`` of every medium (rows: the
      incidence medium, the layers, the exit medium) at every wavelength
      (columns); 2-D complex128 array, dimensionless, ``k > 0`` absorbing.
    - ``wl``: vacuum wavelengths; 1-D float64 array, same length unit as ``d``.
    - ``theta``: angle of incidence in the incidence medium, in radians,
      0 ≤ θ < π/2 (``np.deg2rad(degrees)``). It is not checked: π/2 gives NaN,
      larger angles and degrees passed as radians give meaningless values such
      as negative transmittances.
    - ``phi``: polarisation mixing angle, in radians: the s-polarised (TE) part
      is weighted by cos²φ, the p-polarised (TM) part by sin²φ (0 is pure s,
      π/2 pure p, π/4 unpolarised light).

    The arrays are not cast: convert with ``np.asarray(x, dtype=...)``. The
    object keeps its own copies, so later changes to the arguments do not
    affect it, and cannot be pickled. Wrong argument types raise
    ``TypeError``; an ``n`` that is not 2-D or too small for ``d`` and ``wl``
    raises ``PanicException``.
    """

    def __new__(
        cls,
        d: npt.NDArray[np.float64],
        n: npt.NDArray[np.complex128],
        wl: npt.NDArray[np.float64],
        theta: SupportsFloat | SupportsIndex,
        phi: SupportsFloat | SupportsIndex,
    ) -> DataPy: ...
    @property
    def d(self) -> npt.NDArray[np.float64]:
        """Layer thicknesses (length unit of ``wl``); a fresh 1-D float64 copy."""

    @property
    def n(self) -> npt.NDArray[np.complex128]:
        """Refractive indices, media × wavelengths; a fresh 2-D complex128 copy."""

    @property
    def wl(self) -> npt.NDArray[np.float64]:
        """Vacuum wavelengths (length unit of ``d``); a fresh 1-D float64 copy."""

    @property
    def theta(self) -> float:
        """Angle of incidence in the incidence medium, in radians (0 ≤ θ < π/2)."""

    @property
    def phi(self) -> float:
        """Polarisation mixing angle in radians (s weighted by cos²φ, p by sin²φ; π/4 is unpolarised)."""

    def simulate(self) -> Simulation:
        """Computes the reflectance and transmittance spectra of this stack.

        Spectra of more than 100 wavelengths are computed on a process-wide pool
        of worker threads; the interpreter lock is held throughout.
        """

@final
class Simulation:
    """Reflectance ``r`` and transmittance ``t``: one value per wavelength of ``wl``.

    Made only by :meth:`DataPy.simulate`; calling ``Simulation(...)`` is a type
    error here and raises ``TypeError`` at run time.
    """

    def __new__(cls, not_constructible_use_DataPy_simulate: Never, /) -> Simulation: ...
    @property
    def r(self) -> npt.NDArray[np.float64]:
        """Reflectance: the fraction of the incident power reflected (no unit); a
        fresh 1-D float64 array in the order of ``wl``."""

    @property
    def t(self) -> npt.NDArray[np.float64]:
        """Transmittance: the fraction of the incident power carried into the exit
        medium (no unit); a fresh 1-D float64 array in the order of ``wl``."""
