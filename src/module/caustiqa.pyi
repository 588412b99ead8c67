"""Magnification of finite circular sources by a point-mass gravitational lens.

Lengths: ``re`` (Einstein radius) and ``rstar`` (source radius) share any unit;
separations ``l``, ring radii ``r`` and table radii ``bl`` are in source radii.
"""

from collections.abc import Sequence

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

def witt_mao_magnification(l: Sequence[float], re: float, rstar: float) -> list[float]:
    """Uniform disc, one value per separation (computed on the worker pool)."""

def multi_witt_mao_magnification(
    l: Sequence[float], re: Sequence[float], rstar: Sequence[float]
) -> list[list[float]]:
    """Uniform disc for every (re[i], rstar[j]), re-major: entry i * len(rstar) + j."""

def heyrovsky_magnification(l: float, r: float, re: float, rstar: float) -> float:
    """Thin ring of radius r whose centre lies at distance l from the lens."""

def integrated_heyrovsky_magnification(l: Sequence[float], re: float, rstar: float) -> list[float]:
    """Linearly limb-darkened disc (coefficient 0.6), integrated over thin rings."""

def integrated_witt_mao_magnification(l: Sequence[float], re: float, rstar: float) -> list[float]:
    """Linearly limb-darkened disc (coefficient 0.6), integrated over uniform discs."""

def integrated_flux_map_witt_mao_magnification(
    l: Sequence[float], re: float, rstar: float, bl: Sequence[float], bf: Sequence[float]
) -> list[float]:
    """Tabulated brightness profile (radii bl, brightness bf), integrated over annuli."""

def integrated_flux_map_heyrovsky_magnification(
    l: Sequence[float], re: float, rstar: float, bl: Sequence[float], bf: Sequence[float]
) -> list[float]:
    """Tabulated brightness profile (radii bl, brightness bf), integrated over thin rings."""

def discrete_flux_map_heyrovsky_magnification(
    l: Sequence[float], re: float, rstar: float, bl: Sequence[float], bf: Sequence[float]
) -> list[float]:
    """Weighted sum of thin rings of radii bl and weights bf (no normalisation)."""
