"""Point-lens light-curve models and their least-squares fits, built on caustiqa.

Shared by fit_event.py (one real event) and many_events.py (many simulated
ones). An event has four nonlinear parameters, p = (t0, u0, tE, rho): the time
of closest approach, the impact parameter and the source radius in Einstein
radii, and the Einstein crossing time in days. Each data set k adds a source
flux fs_k and a blend flux fb_k, which enter linearly,

    F_k(t) = fs_k A(u(t) / rho) + fb_k,   u(t) = sqrt(u0^2 + ((t - t0) / tE)^2),

and are solved exactly for every p, so the optimiser sees four parameters.

The source is limb-darkened with the linear law I(mu) = 1 - u (1 - mu), one
coefficient u per data set (per band); the same law is often written
I(mu) proportional to 1 - Gamma (1 - 3 mu / 2), with Gamma = 2 u / (3 - u)
(gamma_from_u and u_from_gamma convert). caustiqa's limb-darkened functions
use u = 0.6 (Gamma = 0.5); since the magnification is linear in the brightness
profile, any u follows exactly from them and the uniform disc (see
limb_darkened_magnification).
"""
from __future__ import annotations

import argparse
import functools
import math
import time
import dataclasses
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import caustiqa


# An argparse type: an integer of at least `minimum`.
def count(minimum: int):
    def parse(text: str) -> int:
        value = int(text)
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {text}")
        return value

    return parse


class HelpFormatter(argparse.ArgumentDefaultsHelpFormatter):
    """Shows a default only where there is one to show (not None, False or empty)."""

    def _get_help_string(self, action):
        default = action.default
        if default is None or default is False or default == [] or "%(default)" in (action.help or ""):
            return action.help
        return super()._get_help_string(action)


LIBRARY_U = 0.6  # the coefficient u of caustiqa's limb-darkened functions
LIMB = 1e-3  # |l - 1| below which witt_mao_magnification returns its value at the limb

# Linear limb-darkening coefficients u of I(mu) = 1 - u (1 - mu) for a star of
# about 5800 K and log g = 4.5, rounded: representative values, not fitted ones.
BAND_U = {"I": 0.55, "R": 0.63, "H": 0.35, "unfiltered": 0.60}
LAWS = "I(mu) = 1 - u (1 - mu); I(mu) ∝ 1 - Gamma (1 - 3 mu / 2), Gamma = 2 u / (3 - u)"


def check_u(u):
    """u as an array, or ValueError unless 0 <= u <= 1 (a brightness that is
    nowhere negative and falls towards the limb)."""
    u = np.asarray(u, dtype=float)
    if not np.all((u >= 0) & (u <= 1)):
        raise ValueError(f"limb-darkening coefficient u must be in [0, 1], got {u}")
    return u


def gamma_from_u(u):
    """Gamma of I(mu) ∝ 1 - Gamma (1 - 3 mu / 2) for u of I(mu) = 1 - u (1 - mu)."""
    u = check_u(u)
    return 2 * u / (3 - u)


def u_from_gamma(gamma):
    """u of I(mu) = 1 - u (1 - mu) for Gamma of I(mu) ∝ 1 - Gamma (1 - 3 mu / 2);
    ValueError unless 0 <= Gamma <= 1 (which is 0 <= u <= 1)."""
    gamma = np.asarray(gamma, dtype=float)
    if not np.all((gamma >= 0) & (gamma <= 1)):
        raise ValueError(f"limb-darkening coefficient Gamma must be in [0, 1], got {gamma}")
    return 3 * gamma / (2 + gamma)


def check_positive(**values: float) -> None:
    """ValueError for a parameter that is not a positive number (rho, tE)."""
    for name, value in values.items():
        if not value > 0:
            raise ValueError(f"{name} must be positive, got {value}")


def ld_weight(u):
    """Weight of the library's u = 0.6 profile in the profile of coefficient u:
    4 u / (3 - u), which is 2 Gamma."""
    u = check_u(u)
    return 4 * u / (3 - u)


def ld_far_coefficient(u):
    """c in A_u = A_uniform - c rho^2 laplacian(A_point)(u) + O(rho^4) for a lens
    outside the source: the second-order finite-source terms differ by the
    profiles' second moments, <r^2> = (1 - 7 u / 15) / (1 - u / 3) / 2
    against 1 / 2, which gives c = u / (60 - 20 u)."""
    u = check_u(u)
    return u / (60 - 20 * u)


def point_lens_laplacian(u: np.ndarray) -> np.ndarray:
    """A'' + A' / u of the point-source magnification A(u): 32 (u^2 + 1) / (u^3 (u^2 + 4)^(5/2))."""
    return 32 * (u * u + 1) / (u ** 3 * (u * u + 4) ** 2.5)


def uniform_disc(l, rho: float, accurate: bool = False) -> np.ndarray:
    """Uniform-disc magnification at separations l (source radii). With accurate=True
    the few separations within LIMB of the limb come from the ring integral instead."""
    check_positive(rho=rho)
    l = np.asarray(l, dtype=float)
    values = np.asarray(caustiqa.witt_mao_magnification(l, 1.0, rho))
    if accurate:
        limb = np.abs(l - 1) < LIMB
        if limb.any():
            values[limb] = caustiqa.integrated_flux_map_heyrovsky_magnification(
                l[limb], 1.0, rho, [0.0], [1.0])
    return values


INTEGRALS = {"rings": caustiqa.integrated_heyrovsky_magnification,
             "discs": caustiqa.integrated_witt_mao_magnification}


def limb_darkened_magnification(l, rho: float, u, method: str = "rings",
                                uniform: np.ndarray | None = None) -> np.ndarray:
    """Magnification of the linearly limb-darkened source I(mu) = 1 - u (1 - mu),
    one integral per separation.

    The profile is (1 - u) + u mu. A uniform disc has flux pi, the profile mu
    has flux 2 pi / 3, so with A_U and A_mu the magnifications of each
    (flux-normalised),

        A_u = [(1 - u) A_U + (2 u / 3) A_mu] / (1 - u / 3).

    The library's profile gives A_0.6 = (A_U + A_mu) / 2, hence A_mu = 2 A_0.6 - A_U and

        A_u = A_U + w (A_0.6 - A_U),   w = 4 u / (3 - u) = 2 Gamma.

    method "rings" uses integrated_heyrovsky_magnification for A_0.6 (the accurate
    pair), "discs" integrated_witt_mao_magnification (about twice as fast inside the
    source, less accurate near the limb). u may be one value or one per l;
    `uniform` may pass A_U if it is at hand.
    """
    l = np.asarray(l, dtype=float)
    weight = ld_weight(u)
    if uniform is None:
        uniform = uniform_disc(l, rho, accurate=method == "rings")
    library = np.asarray(INTEGRALS[method](l, 1.0, rho))
    return uniform + weight * (library - uniform)


# The interpolated model. Inside and outside the source, the relative excess
# g(l) = (A_0.6 - A_U) / A_U of the library's limb-darkened disc over the
# uniform one is an analytic function of l at fixed rho, singular only at the
# limb, where it goes as (l - 1) log|l - 1| and |l - 1|^(3/2). In the variable
# x = log(l - 1) outside, x = log(1 - l^2) inside, those terms are smooth, and a
# Chebyshev series in x through a few exact integrals reproduces the model to
# 5e-8 for rho up to 0.1 (6e-7 at rho = 1) and 0 <= u <= 1. Points within LIMB_BAND of the limb get their
# own integral; from FAR source radii on, the second-order term suffices
# (below 2e-8 there for u <= 1).
LIMB_BAND = 3e-3
FAR = 30.0
REGIONS = {  # nodes, x(l), l(x), the range of l
    "inside": (12, lambda l: np.log1p(-l * l), lambda x: np.sqrt(-np.expm1(x)),
               (0.0, 1 - LIMB_BAND)),
    "outside": (24, lambda l: np.log(l - 1), lambda x: 1 + np.exp(x), (1 + LIMB_BAND, FAR)),
}


def relative_excess(l, rho: float, method: str = "rings") -> np.ndarray:
    """(A_0.6 - A_U) / A_U at separations l, one integral each."""
    uniform = uniform_disc(l, rho, accurate=method == "rings")
    return (np.asarray(INTEGRALS[method](np.asarray(l, dtype=float), 1.0, rho)) - uniform) / uniform


@functools.lru_cache(maxsize=16)
def excess_series(region: str, rho: float, method: str) -> np.polynomial.Chebyshev:
    """The Chebyshev interpolant of relative_excess in the region's x, through the
    region's nodes; kept for the last few rho (a fit varies t0, u0 and tE at
    fixed rho as often as rho itself)."""
    nodes, to_x, to_l, limits = REGIONS[region]
    domain = sorted(float(to_x(np.float64(limit))) for limit in limits)
    return np.polynomial.Chebyshev.interpolate(
        lambda x: relative_excess(to_l(x), rho, method), nodes - 1, domain=domain)


def interpolated_magnification(l, rho: float, u, method: str = "rings",
                               uniform: np.ndarray | None = None) -> np.ndarray:
    """limb_darkened_magnification to within 5e-8 (relative) for rho up to 0.1 (6e-7
    at rho = 1) and 0 <= u <= 1, with the ring method. Costs one integral per point
    within LIMB_BAND of the limb, and per region (inside and outside the source)
    the fewer of its nodes (12 and 24, once per rho) and its points: a region
    with no more points than nodes gets the integral at each point."""
    check_positive(rho=rho)
    l = np.asarray(l, dtype=float)
    u = np.broadcast_to(check_u(u), l.shape)
    if uniform is None:
        uniform = uniform_disc(l, rho, accurate=method == "rings")
    values = np.array(uniform, dtype=float)
    far = l >= FAR
    values[far] -= ld_far_coefficient(u[far]) * rho ** 2 * point_lens_laplacian(l[far] * rho)
    limb = np.abs(l - 1) < LIMB_BAND
    if limb.any():
        values[limb] = limb_darkened_magnification(l[limb], rho, u[limb], method, uniform[limb])
    for region, (nodes, to_x, *_) in REGIONS.items():
        inside = region_mask(region, l)
        count = np.count_nonzero(inside)
        if count > nodes:
            excess = excess_series(region, float(rho), method)(to_x(l[inside]))
            values[inside] = uniform[inside] * (1 + ld_weight(u[inside]) * excess)
        elif count:  # as few points as nodes: their own integrals cost no more
            values[inside] = limb_darkened_magnification(l[inside], rho, u[inside], method,
                                                         uniform[inside])
    return values


def region_mask(region: str, l: np.ndarray) -> np.ndarray:
    """The separations that fall in the region's range (inside: up to and including
    its upper limit; outside: from its lower limit, below FAR)."""
    low, high = REGIONS[region][3]
    return (l >= low) & (l <= high) if region == "inside" else (l >= low) & (l < high)


def integrals_per_evaluation(l) -> int:
    """Integrals that interpolated_magnification evaluates at separations l, with
    no interpolant kept from an earlier call at the same rho."""
    l = np.asarray(l, dtype=float)
    total = np.count_nonzero(np.abs(l - 1) < LIMB_BAND)
    for region, (nodes, *_) in REGIONS.items():
        total += min(nodes, np.count_nonzero(region_mask(region, l)))
    return int(total)


def point_source(u: np.ndarray) -> np.ndarray:
    """Point-source magnification at separations u (Einstein radii)."""
    return (u * u + 2) / (u * np.sqrt(u * u + 4))


@dataclass
class Photometry:
    """One data set: times (HJD - 2450000), fluxes and their errors, on a common
    zero point (magnitude 18 is flux 1)."""
    name: str
    band: str
    t: np.ndarray
    flux: np.ndarray
    sigma: np.ndarray
    telescope: str = ""

    @classmethod
    def from_magnitudes(cls, name, band, t, mag, mag_error, telescope=""):
        flux = 10 ** (-0.4 * (np.asarray(mag) - 18))
        return cls(name, band, np.asarray(t, dtype=float), flux,
                   0.4 * math.log(10) * flux * np.asarray(mag_error), telescope)


def read_ipac(path: Path) -> tuple[dict[str, str], np.ndarray]:
    """The keywords (\\KEY = "value") and the numeric rows of an IPAC table."""
    keywords, rows = {}, []
    for line in Path(path).read_text().splitlines():
        if line.startswith("\\"):
            key, _, value = line[1:].partition("=")
            keywords[key.strip()] = value.strip().strip('"')
        elif line.strip() and not line.startswith("|"):
            rows.append([float(x) for x in line.split()])
    return keywords, np.array(rows)


def load_event(directory: Path) -> list[Photometry]:
    """Every *.tbl in directory (columns JD, magnitude, magnitude error), one data set
    each, named by the file's first word; the band from TIME_SERIES_DATA_FILTER."""
    sets = []
    for path in sorted(Path(directory).glob("*.tbl")):
        keywords, rows = read_ipac(path)
        name = path.name.split("_0")[0]
        band = keywords.get("TIME_SERIES_DATA_FILTER", "I")
        sets.append(Photometry.from_magnitudes(name, band, rows[:, 0] - 2450000, rows[:, 1],
                                               rows[:, 2], keywords.get("TELESCOPE", "")))
    if not sets:
        raise FileNotFoundError(f"no *.tbl files in {directory}")
    return sets


@dataclass
class Model:
    """All data sets as one array, with what the model needs per point.

    limb_darkening maps a band to its coefficient u (BAND_U by default; LIBRARY_U
    for a band not listed). With exact=False (the default) the limb-darkened
    source comes from interpolated_magnification, within 5e-8 of the
    integral at every point for rho <= 0.1; exact=True evaluates the
    integral at every point (limb_darkened_magnification), the reference.
    """
    sets: list[Photometry]
    limb_darkening: dict[str, float] = field(default_factory=lambda: dict(BAND_U))
    method: str = "rings"
    exact: bool = False
    finite_source: bool = True
    uniform: bool = False  # a uniform disc instead of the limb-darkened source
    calls: int = 0
    seconds_magnification: float = 0.0

    def __post_init__(self):
        self.t = np.concatenate([s.t for s in self.sets])
        self.flux = np.concatenate([s.flux for s in self.sets])
        self.index = np.concatenate([np.full(len(s.t), k) for k, s in enumerate(self.sets)])
        self.scale = np.ones(len(self.sets))  # error scaling per data set
        self.set_u = check_u([self.limb_darkening.get(s.band, LIBRARY_U) for s in self.sets])
        self._sigma = np.concatenate([s.sigma for s in self.sets])

    def variant(self, **changes) -> "Model":
        """The same data and error scaling with other model settings."""
        other = dataclasses.replace(self, calls=0, seconds_magnification=0.0, **changes)
        other.scale = self.scale.copy()
        return other

    @property
    def sigma(self) -> np.ndarray:
        return self._sigma * self.scale[self.index]

    def separations(self, p, t=None) -> np.ndarray:
        """u(t) in Einstein radii at the data's epochs or at the epochs t;
        ValueError unless tE > 0."""
        t0, u0, tE, _ = p
        check_positive(tE=tE)
        times = self.t if t is None else np.asarray(t, dtype=float)
        return np.hypot(u0, (times - t0) / tE)

    def magnification(self, p, t=None, index: int = 0) -> np.ndarray:
        """A at the data's epochs, or at the epochs t with the limb darkening of data
        set index. ValueError unless tE > 0 and (for a finite source) rho > 0."""
        rho = p[3]
        start = time.perf_counter()
        u = self.separations(p, t)
        if not self.finite_source:
            return self._count(point_source(u), start)
        check_positive(rho=rho)
        ld = self.set_u[self.index] if t is None else np.full(len(u), self.set_u[index])
        l = u / rho
        values = uniform_disc(l, rho, accurate=self.method == "rings")
        if not self.uniform:
            model = limb_darkened_magnification if self.exact else interpolated_magnification
            values = model(l, rho, ld, self.method, values)
        return self._count(values, start)

    def _count(self, values, start):
        self.calls += 1
        self.seconds_magnification += time.perf_counter() - start
        return values

    def fluxes(self, magnification: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Source and blend flux per data set minimising chi^2 for this magnification
        (weighted linear least squares, the 2x2 normal equations of every set at once)."""
        w = self.sigma ** -2
        sums = [np.bincount(self.index, weights=x, minlength=len(self.sets))
                for x in (w, w * magnification, w * magnification ** 2, w * self.flux,
                          w * magnification * self.flux)]
        s, sa, saa, sf, saf = sums
        determinant = s * saa - sa * sa
        fs = (s * saf - sa * sf) / determinant
        fb = (saa * sf - sa * saf) / determinant
        return fs, fb

    def residuals(self, p) -> np.ndarray:
        """(data - model) / sigma at every point, fluxes solved linearly."""
        magnification = self.magnification(p)
        fs, fb = self.fluxes(magnification)
        return (self.flux - fs[self.index] * magnification - fb[self.index]) / self.sigma

    def chi2_per_set(self, p) -> np.ndarray:
        return np.bincount(self.index, weights=self.residuals(p) ** 2, minlength=len(self.sets))

    def chi2(self, p) -> float:
        return float(np.sum(self.residuals(p) ** 2))

    def rescale_errors(self, p) -> None:
        """Scale each set's errors so that its chi^2 per degree of freedom (N_k - 2) is 1."""
        dof = np.bincount(self.index, minlength=len(self.sets)) - 2
        self.scale = self.scale * np.sqrt(np.maximum(self.chi2_per_set(p), 1e-300) / dof)


# Bounds of the fitted variables: 1 + t0 - t0_start (days), ln u0, ln tE, ln rho.
LOWER = np.array([-np.inf, math.log(1e-7), math.log(0.1), math.log(1e-5)])
UPPER = np.array([np.inf, math.log(10.0), math.log(1e4), math.log(10.0)])
DIFF_STEP = 1e-6  # relative finite-difference step of the fitted variables


def fit(model: Model, start, free=None, max_nfev: int | None = None, tolerance: float = 1e-10):
    """scipy.optimize.least_squares from start (t0, u0, tE, rho), over the parameters
    whose indices are in free (default: all four, or t0, u0, tE for a point-source
    model). Returns the optimiser's result with the parameters in x and the
    Jacobian with respect to the free ones in jac.

    least_squares steps each variable by DIFF_STEP times its value, so the
    variables are chosen to make that step meaningful: 1 + t0 - t0_start (a step
    of 1e-6 days; a step relative to an epoch of thousands of days would be as
    large as t0's error) and the logarithms of u0, tE and rho (also keeping them
    positive). The model is exact to about 1e-10 of A, so far smaller steps let
    that show in the Jacobian."""
    from scipy.optimize import least_squares

    start = np.asarray(start, dtype=float)
    free = np.asarray(free if free is not None else range(4 if model.finite_source else 3))
    epoch = start[0] - 1
    y0 = np.clip(np.concatenate([[1.0], np.log(start[1:])]), LOWER + 1e-9, UPPER - 1e-9)

    def parameters(x):
        y = y0.copy()
        y[free] = x
        return np.concatenate([[y[0] + epoch], np.exp(y[1:])])

    result = least_squares(lambda x: model.residuals(parameters(x)), y0[free],
                           bounds=(LOWER[free], UPPER[free]), x_scale="jac", diff_step=DIFF_STEP,
                           ftol=tolerance, xtol=tolerance, gtol=tolerance, max_nfev=max_nfev)
    p = parameters(result.x)
    result.x, result.jac = p, result.jac / np.concatenate([[1.0], p[1:]])[free]
    return result


def point_source_start(model: Model, tE: float = 20.0, max_nfev: int = 200):
    """A point-source fit from the brightest point of the largest data set, tried
    from several impact parameters: the start of a finite-source fit."""
    largest = max(range(len(model.sets)), key=lambda k: len(model.sets[k].t))
    data = model.sets[largest]
    t0 = data.t[np.argmax(data.flux)]
    point = model.variant(finite_source=False)
    fits = [fit(point, (t0, u0, tE, 1.0), max_nfev=max_nfev) for u0 in (1e-3, 1e-2, 0.1, 0.5)]
    return min(fits, key=lambda result: result.cost).x[:3]


def fit_finite_source(model: Model, point_start, rho_starts=None, explore_nfev: int = 100,
                      max_nfev: int | None = None, log: Callable[[str], None] | None = None):
    """A finite-source fit from a point-source solution (t0, u0, tE): fits of a
    uniform disc (some hundred times cheaper) from several source radii, then the
    model itself from the best of them. The default radii are 1e-3 to 0.1 and 1
    and 2 times the point-source u0 (a uniform disc crossed by the lens peaks near
    2 / rho, which a point source matches with u0 near rho / 2); u0 starts at no
    less than 0.05 rho. `log`, if given, receives one line per stage."""
    t0, u0, tE = point_start
    if rho_starts is None:
        rho_starts = [*np.geomspace(1e-3, 0.1, 5), *([u0, 2 * u0] if u0 > 1e-4 else [])]
    disc = model.variant(uniform=True)
    start = time.perf_counter()
    trials = [fit(disc, (t0, max(u0, 0.05 * rho), tE, rho), max_nfev=explore_nfev)
              for rho in rho_starts]
    best = min(trials, key=lambda result: result.cost)
    if log:
        log(f"uniform-disc fits from {len(trials)} source radii: best rho = {best.x[3]:.5f}, "
            f"chi^2 = {2 * best.cost:.1f} ({disc.calls} evaluations, "
            f"{time.perf_counter() - start:.1f} s)")
    model.calls += disc.calls
    model.seconds_magnification += disc.seconds_magnification
    calls, start = model.calls, time.perf_counter()
    result = fit(model, best.x, max_nfev=max_nfev)
    if log:
        log(f"limb-darkened fit: rho = {result.x[3]:.5f}, chi^2 = {2 * result.cost:.1f} "
            f"({model.calls - calls} evaluations, {time.perf_counter() - start:.1f} s)")
    return result


def covariance(result) -> np.ndarray:
    """Covariance of the free parameters from the Jacobian at the optimum (the
    errors already scaled): the pseudo-inverse of J^T J."""
    _, s, vt = np.linalg.svd(result.jac, full_matrices=False)
    keep = s > s[0] * 1e-12
    return (vt[keep].T / s[keep] ** 2) @ vt[keep]


# Process pools: each worker holds one Model, installed by the pool's initializer
# (inherited as is under 'fork'); the functions below are what the workers run,
# pickled by reference (module and name).
_worker_model: Model | None = None


def install_model(model: Model) -> None:
    global _worker_model
    _worker_model = model


class ProcessPool:
    """A multiprocessing pool whose workers each hold `model`. Its map gives up
    after `timeout` seconds, so that a worker that hangs fails the run instead of
    stalling it; leaving the `with` block terminates the workers."""

    def __init__(self, model: Model, workers: int, start_method: str, timeout: float = 3600.0):
        import multiprocessing

        context = multiprocessing.get_context(start_method)
        self.pool = context.Pool(workers, initializer=install_model, initargs=(model,))
        self.timeout = timeout

    def map(self, function, iterable, progress=None):
        """[function(x) for x in iterable] in order; progress, if given, is called
        once per finished item (a progress bar's update)."""
        deadline = time.monotonic() + self.timeout
        results = []
        for_each = self.pool.imap(function, iterable, chunksize=1)
        for _ in range(len(iterable)):
            # A multiprocessing.TimeoutError once the deadline has passed.
            results.append(for_each.next(max(deadline - time.monotonic(), 0.0)))
            if progress:
                progress()
        return results

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.pool.terminate()
        self.pool.join()


def log_probability(p) -> float:
    """ln L = -chi^2 / 2 with the fluxes solved linearly; flat priors, u0, tE, rho > 0."""
    if not (p[1] > 0 and p[2] > 0 and p[3] > 0):
        return -np.inf
    return -0.5 * _worker_model.chi2(p)


def profiled_chi2(task) -> float:
    """chi^2 at fixed u0 and rho, minimised over t0 and tE from the start given:
    task = (t0, u0, tE, rho, max_nfev)."""
    *start, max_nfev = task
    return 2 * fit(_worker_model, start, free=[0, 2], max_nfev=max_nfev, tolerance=1e-6).cost
