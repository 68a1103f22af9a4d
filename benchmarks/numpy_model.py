# SPDX-License-Identifier: MIT
"""The transfer-matrix model in plain NumPy, vectorised over the wavelengths.

What a Python user would write instead of calling a compiled package: one
array operation per layer and matrix entry, every wavelength at once, in the
same arguments and conventions as lamiro.DataPy(d, n, wl, theta, phi)
(n: one row per medium, one column per wavelength; R and T of light mixed as
cos^2(phi) s + sin^2(phi) p). The benchmarks time it and the examples compare
their optimisation loops against it.
"""

from __future__ import annotations

import math

import numpy as np


def numpy_spectra(d, n, wl, theta, phi):
    """R and T by the transfer-matrix method, all wavelengths at once."""
    n0 = n[0]
    beta2 = (n0 * math.sin(theta)) ** 2
    kz = np.sqrt(n * n - beta2)  # n_j cos(theta_j), principal branch
    cos_j = kz / n
    phase = 2j * math.pi * kz[1:-1] / wl  # times thickness below

    def amplitudes(p_polarised):
        def interface(a):
            if p_polarised:
                u, v = n[a + 1] * cos_j[a], n[a] * cos_j[a + 1]
            else:
                u, v = kz[a], kz[a + 1]
            inv_tau = (u + v) / (2 * kz[a])
            rho_tau = (u - v) / (2 * kz[a])
            return inv_tau, rho_tau

        a, b = interface(0)
        m00, m01, m10, m11 = a, b, b, a
        for k in range(1, n.shape[0] - 1):
            e_plus = np.exp(phase[k - 1] * d[k - 1])
            e_minus = 1.0 / e_plus
            a, b = interface(k)
            x00, x01 = e_minus * m00, e_minus * m01
            x10, x11 = e_plus * m10, e_plus * m11
            m00, m01, m10, m11 = a * x00 + b * x10, a * x01 + b * x11, b * x00 + a * x10, b * x01 + a * x11
        return m01 / m00, 1.0 / m00

    rs, ts = amplitudes(False)
    rp, tp = amplitudes(True)
    cs2, sp2 = math.cos(phi) ** 2, math.sin(phi) ** 2
    reflectance = cs2 * np.abs(rs) ** 2 + sp2 * np.abs(rp) ** 2
    factor = (kz[-1] / (n0 * math.cos(theta))).real
    transmittance = factor * (cs2 * np.abs(ts) ** 2 + sp2 * np.abs(tp) ** 2)
    return reflectance, transmittance
