"""Reflectance and transmittance spectra of thin-film stacks (transfer-matrix method)."""

from typing import final

import numpy as np
import numpy.typing as npt

__all__ = ["DataPy", "Simulation"]

@final
class DataPy:
    """One optical problem: a stack of media, its wavelengths and two angles.

    ``d`` holds the thicknesses of the layers between the incidence and the exit
    medium, ``n`` the complex refractive index of every medium (rows, incidence
    medium first) at every wavelength (columns), ``wl`` the vacuum wavelengths
    (same unit as ``d``), ``theta`` the angle of incidence and ``phi`` the
    polarisation mixing angle (s weighted by cos², p by sin²), both in radians.
    """

    def __new__(
        cls,
        d: npt.NDArray[np.float64],
        n: npt.NDArray[np.complex128],
        wl: npt.NDArray[np.float64],
        theta: float,
        phi: float,
    ) -> DataPy: ...
    @property
    def d(self) -> npt.NDArray[np.float64]: ...
    @property
    def n(self) -> npt.NDArray[np.complex128]: ...
    @property
    def wl(self) -> npt.NDArray[np.float64]: ...
    @property
    def theta(self) -> float: ...
    @property
    def phi(self) -> float: ...
    def simulate(self) -> Simulation: ...

@final
class Simulation:
    """The reflectance ``r`` and transmittance ``t`` spectra, one value per wavelength."""

    def __new__(cls, *args: object, **kwargs: object) -> Simulation: ...
    @property
    def r(self) -> npt.NDArray[np.float64]: ...
    @property
    def t(self) -> npt.NDArray[np.float64]: ...
