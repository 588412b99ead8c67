"""Magnification of finite circular sources by a point-mass gravitational lens.

Units. ``re`` (the Einstein radius) and ``rstar`` (the source radius) are two
lengths in one unit of your choice; only their ratio matters. Separations
``l`` between the lens and the source's centre, ring radii ``r`` and table
radii ``bl`` are in source radii: ``l = 1`` puts the lens on the limb. With a
light curve in Einstein radii, u(t) = sqrt(u0**2 + ((t - t0) / tE)**2) and
source radius rho, pass ``re = 1``, ``rstar = rho`` and ``l = u / rho``.

Domain: ``l``, ``r`` and ``bl`` at least 0, ``re`` and ``rstar`` positive and
finite. Outside it the formulas are evaluated as written and are not
magnifications (a negative ``re`` or ``rstar`` gives negative values from the
disc functions); a negative separation gives NaN, or RuntimeError from the
single-ring functions.

Sequence parameters take any sequence of real numbers (list, tuple, range,
bytes, array.array('d'), a one-dimensional NumPy array, memoryview), but not
str; float parameters take any real number (an object with ``__float__`` or
``__index__``).
"""

from collections.abc import Iterator, Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias

# A real number as the functions convert it (float(x) or operator.index(x)).
_Real: TypeAlias = SupportsFloat | SupportsIndex

class _RealArray(Protocol):
    """An indexable, sized iterable of real numbers, such as a one-dimensional
    NumPy array (described by its methods, so NumPy is no dependency here)."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_Real]: ...
    def __getitem__(self, index: int, /) -> Any: ...

# A sequence of real numbers (list, tuple, range, bytes, array.array,
# memoryview) or an array of them.
_Reals: TypeAlias = Sequence[_Real] | _RealArray

__all__ = [
    "witt_mao_magnification",
    "multi_witt_mao_magnification",
    "heyrovsky_magnification",
    "integrated_heyrovsky_magnification",
    "integrated_witt_mao_magnification",
    "integrated_flux_map_witt_mao_magnification",
    "integrated_flux_map_heyrovsky_magnification",
    "discrete_flux_map_heyrovsky_magnification",
]

def witt_mao_magnification(l: _Reals, re: _Real, rstar: _Real) -> list[float]:
    """Magnification of a uniformly bright disc, one value per separation.

    l: separations in source radii (l = u / rho), at least 0; re, rstar: the
    Einstein and source radii in one unit (re = 1, rstar = rho). Within 0.001
    of the limb (|l - 1| < 0.001) the value at the limb is returned. l < 0
    gives NaN; a negative re or rstar gives the formula's negative value.
    Computed on the worker pool.
    """

def multi_witt_mao_magnification(l: _Reals, re: _Reals, rstar: _Reals) -> list[list[float]]:
    """witt_mao_magnification(l, re[i], rstar[j]) for every pair, Einstein radius
    major: entry i * len(rstar) + j, each equal bit for bit to the single call.

    Units and domain as for witt_mao_magnification. Computed on the worker pool.
    """

def heyrovsky_magnification(l: _Real, r: _Real, re: _Real, rstar: _Real) -> float:
    """Magnification of a thin, uniformly bright ring of radius r whose centre
    lies at distance l from the lens: the mean point-lens magnification over
    the ring.

    l and r in source radii, at least 0; re, rstar positive, in one unit. A
    ring through the lens (r == l > 0) gives inf. Raises RuntimeError where
    the elliptic integrals cannot be evaluated (NaN arguments, l or r < 0).
    """

def integrated_heyrovsky_magnification(l: _Reals, re: _Real, rstar: _Real) -> list[float]:
    """Magnification of a linearly limb-darkened disc, I(mu) = 1 - 0.6 (1 - mu)
    (u = 0.6, Gamma = 2u / (3 - u) = 0.5), integrated over thin rings.

    l in source radii (l = u / rho), at least 0; re, rstar positive, in one
    unit. l < 0 gives NaN; never raises for numeric trouble (NaN instead).
    """

def integrated_witt_mao_magnification(l: _Reals, re: _Real, rstar: _Real) -> list[float]:
    """The limb-darkened disc of integrated_heyrovsky_magnification, integrated
    over concentric uniform discs: faster, less accurate within 1 % of the limb.

    Units and domain as for integrated_heyrovsky_magnification.
    """

def integrated_flux_map_witt_mao_magnification(
    l: _Reals, re: _Real, rstar: _Real, bl: _Reals, bf: _Reals
) -> list[float]:
    """Magnification of a source with a tabulated radial brightness profile:
    brightness bf[k] at fractional radius bl[k] (ascending from 0, the centre,
    to 1, the limb; linear in between), integrated over annuli of uniform discs
    and divided by the profile's unmagnified flux.

    l and bl in source radii, at least 0; re, rstar positive, in one unit; bl
    and bf of equal length (unequal lengths end in a fatal PanicException).
    """

def integrated_flux_map_heyrovsky_magnification(
    l: _Reals, re: _Real, rstar: _Real, bl: _Reals, bf: _Reals
) -> list[float]:
    """The tabulated profile of integrated_flux_map_witt_mao_magnification,
    integrated over thin rings: the more accurate method inside the source.

    Units and domain as for integrated_flux_map_witt_mao_magnification; a
    profile of zero flux gives NaN.
    """

def discrete_flux_map_heyrovsky_magnification(
    l: _Reals, re: _Real, rstar: _Real, bl: _Reals, bf: _Reals
) -> list[float]:
    """Sum over the thin rings of radii bl and weights bf of
    heyrovsky_magnification(l, bl[i], re, rstar) * bf[i], per separation; not
    normalised (weights summing to 1 give a mean magnification).

    l and bl in source radii, at least 0; a ring through the lens gives inf.
    Raises RuntimeError like heyrovsky_magnification.
    """
