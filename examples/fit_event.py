#!/usr/bin/env python3
"""Fit a finite-source point-lens model to the photometry of MOA-2008-BLG-310.

The event was observed by MOA, CTIO (I and H), Danish, Canopus, Bronberg and
Auckland; the lens passed over the face of the source star, so the peak is
shaped by the star's size and limb darkening. The model has four parameters
(t0, u0, tE, rho) and a source and blend flux per data set, solved linearly.

Steps: a point-source fit from the brightest point (scipy least squares), a
finite-source fit with linear limb darkening from it, the errors of each data
set scaled so that its chi^2 per degree of freedom is 1 and the fit repeated,
the chi^2 over a grid of (u0, rho) (minimised over t0 and tE at each point),
and optionally (--mcmc) an emcee run on a process pool, seeded by --seed. It
says what each stage found and shows a progress bar for the long ones, prints
the parameters with their uncertainties, chi^2 per data set and the cost of one
likelihood evaluation, and writes the figures to --output-dir (out/ in the
project's root by default).

The limb darkening is linear, I(mu) = 1 - u (1 - mu), with a coefficient u per
band (--u BAND=U), or equally I(mu) proportional to 1 - Gamma (1 - 3 mu / 2)
with Gamma = 2 u / (3 - u) (--gamma BAND=GAMMA).
"""
from __future__ import annotations

import argparse
import json
import math
import statistics
import sys
import time
from pathlib import Path

try:
    import numpy as np
    import pointlens
except ImportError as missing:  # say how to install, rather than a traceback
    sys.exit(f"{missing.name} is not installed. From the project's root, ./scripts/demo sets up "
             "an environment with everything the examples need; or pip install '.[examples]'.")

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
NAMES = ("t0", "u0", "tE", "rho")
UNITS = ("HJD - 2450000", "", "days", "")
# Days after t0 in which MOA-2008-BLG-310's planet shows in the data: marked on
# the peak figure of the bundled data set.
MB08310_ANOMALY = (0.07, 0.12)
# emcee's default chain: over 50 times the longest integrated autocorrelation
# time that the default run measures (about 23 steps with the differential-
# evolution moves, 56 with emcee's default stretch move), emcee's own criterion.
STEPS = 1500


def band_coefficient(name: str, convert):
    """An argparse type for BAND=VALUE, converted to u by `convert` (which raises
    ValueError outside the coefficient's range)."""
    def parse(text: str) -> tuple[str, float]:
        band, _, value = text.partition("=")
        try:
            if not band:
                raise ValueError("no band")
            return band, float(convert(float(value)))
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"expected BAND={name} with 0 <= {name} <= 1, got {text}") from None
    return parse


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=pointlens.HelpFormatter)
    parser.add_argument("--data", type=Path, default=HERE / "data" / "MB08310",
                        help="directory of IPAC tables, one per data set")
    parser.add_argument("--method", choices=("rings", "discs"), default="rings",
                        help="caustiqa's limb-darkened function behind the model")
    bands = ", ".join(f"{band} {u:g}" for band, u in pointlens.BAND_U.items())
    parser.add_argument("--u", type=band_coefficient("U", pointlens.check_u), action="append",
                        default=[], metavar="BAND=U", dest="coefficients",
                        help="limb-darkening coefficient u of a band, I(mu) = 1 - u (1 - mu) "
                             f"(repeatable; defaults: {bands}; {pointlens.LIBRARY_U:g} for "
                             "other bands)")
    parser.add_argument("--gamma", type=band_coefficient("GAMMA", pointlens.u_from_gamma),
                        action="append", dest="coefficients", metavar="BAND=GAMMA",
                        help="the same as Gamma of I(mu) ∝ 1 - Gamma (1 - 3 mu / 2), "
                             "Gamma = 2 u / (3 - u) (repeatable)")
    parser.add_argument("--exact", action="store_true",
                        help="evaluate the limb-darkened integral at every point instead of "
                             "interpolating it between 36 of them (which stays within 5e-8 of "
                             "it; about 30 times slower)")
    parser.add_argument("--max-nfev", type=pointlens.count(1),
                        help="budget of model evaluations per least-squares run (no limit if "
                             "not given)")
    parser.add_argument("--surface", type=pointlens.count(0), default=11,
                        help="points per axis of the (u0, rho) chi^2 grid; 0 skips it")
    parser.add_argument("--mcmc", action="store_true", help="run emcee for posterior uncertainties")
    parser.add_argument("--walkers", type=pointlens.count(10), default=16,
                        help="emcee walkers")
    parser.add_argument("--steps", type=pointlens.count(2), default=STEPS,
                        help="emcee steps per walker (the default is 65 times the longest "
                             "autocorrelation time of the default run; emcee asks for 50)")
    parser.add_argument("--seed", type=int, default=1,
                        help="seed of emcee's start and moves: a seed gives the same numbers")
    parser.add_argument("--workers", type=pointlens.count(1), default=2, help="processes of the pool")
    parser.add_argument("--start-method", choices=("fork", "forkserver", "spawn"),
                        default="fork",
                        help="how the pool's processes start ('fork' starts faster)")
    parser.add_argument("--timeout", type=float, default=3600.0,
                        help="seconds a pool's map may take before the run gives up")
    parser.add_argument("--output-dir", type=Path, default=ROOT / "out",
                        help="where the PNGs go")
    parser.add_argument("--no-plot", action="store_true", help="write no figures")
    parser.add_argument("--json", type=Path, help="also write the results as JSON here")
    return parser.parse_args(argv)


def say(text: str) -> None:
    print(text, flush=True)


def progress_bar(total: int, description: str):
    """A progress bar on standard error (tqdm)."""
    from tqdm import tqdm

    return tqdm(total=total, desc=description, unit="fit" if "surface" in description else "step",
                file=sys.stderr, mininterval=0.5, dynamic_ncols=True)


def with_error(value, upper, lower=None) -> str:
    """value ± error (or +upper -lower) with two significant digits of the error."""
    digits = max(0, 1 - math.floor(math.log10(min(upper, lower or upper))))
    if lower is None:
        return f"{value:.{digits}f} ± {upper:.{digits}f}"
    return f"{value:.{digits}f} +{upper:.{digits}f} -{lower:.{digits}f}"


def fit_event(model: pointlens.Model, max_nfev=None):
    """Point source, then finite source, then twice: scale the errors and refit.
    Says what each stage found and how long it took."""
    start = time.perf_counter()
    point = pointlens.point_source_start(model)
    say(f"point-source fit: t0 = {point[0]:.5f}, u0 = {point[1]:.5f}, tE = {point[2]:.3f} "
        f"({time.perf_counter() - start:.1f} s)")
    result = pointlens.fit_finite_source(model, point, max_nfev=max_nfev, log=say)
    raw_chi2 = model.chi2_per_set(result.x)
    for refit in (1, 2):
        start, calls = time.perf_counter(), model.calls
        model.rescale_errors(result.x)
        result = pointlens.fit(model, result.x, max_nfev=max_nfev)
        say(f"errors scaled to chi^2/dof = 1 per data set, refit {refit} of 2: chi^2 = "
            f"{2 * result.cost:.1f} ({model.calls - calls} evaluations, "
            f"{time.perf_counter() - start:.1f} s)")
    return point, result, raw_chi2


def likelihood_cost(model: pointlens.Model, p, repeats: int = 30) -> dict[str, float]:
    """Milliseconds per chi^2 evaluation over all the data (the median of repeats;
    wall clock and the process's CPU time), with the model's interpolants built
    afresh each time, as for a new rho, and kept, as when only t0, u0 or tE
    change; and the magnification's share."""
    def median_ms(fresh):
        seconds, cpu, magnification = [], [], []
        for _ in range(repeats):
            if fresh:
                pointlens.excess_series.cache_clear()
            before, start, start_cpu = (model.seconds_magnification, time.perf_counter(),
                                        time.process_time())
            model.chi2(p)
            seconds.append(time.perf_counter() - start)
            cpu.append(time.process_time() - start_cpu)
            magnification.append(model.seconds_magnification - before)
        return [1e3 * statistics.median(x) for x in (seconds, cpu, magnification)]

    total, cpu, magnification = median_ms(fresh=True)
    return {"ms_per_likelihood": total, "cpu_ms_per_likelihood": cpu,
            "ms_magnification": magnification,
            "ms_per_likelihood_same_rho": median_ms(fresh=False)[0]}


def model_error(model: pointlens.Model, p) -> float:
    """The largest relative difference, over every data point, between the model
    and the limb-darkened integral evaluated at every point."""
    exact = model.variant(exact=True).magnification(p)
    return float(np.max(np.abs(model.magnification(p) / exact - 1)))


def chi2_surface(model, best, cov, size, workers, start_method, timeout=3600.0):
    """chi^2 over a grid in (u0, rho) that follows the fit's error ellipse: u0 within
    +-4 sigma, and at each u0 rho within +-4 sigma of its expected value given u0
    (the two are strongly correlated, so a rectangular grid would be mostly empty).
    At each point chi^2 is minimised over t0 and tE, starting from their expected
    values given u0 and rho. Returns the u0 and rho of every point (size x size)
    and chi^2 there."""
    sigma = np.sqrt(np.diag(cov))
    steps = np.linspace(-4, 4, size)
    u0 = best[1] + steps * sigma[1]
    slope = cov[3, 1] / cov[1, 1]
    spread = math.sqrt(cov[3, 3] - slope * cov[3, 1])
    u0_grid, offsets = np.meshgrid(u0, steps)
    rho_grid = best[3] + slope * (u0_grid - best[1]) + offsets * spread
    regression = cov[np.ix_([0, 2], [1, 3])] @ np.linalg.inv(cov[np.ix_([1, 3], [1, 3])])
    tasks = []
    for u, r in zip(u0_grid.ravel(), rho_grid.ravel()):
        t0, tE = best[[0, 2]] + regression @ (np.array([u, r]) - best[[1, 3]])
        tasks.append((t0, u, tE, r, 30))
    with progress_bar(len(tasks), "chi^2 surface") as bar:
        if workers > 1:
            with pointlens.ProcessPool(model, workers, start_method, timeout) as pool:
                values = pool.map(pointlens.profiled_chi2, tasks, progress=bar.update)
        else:
            pointlens.install_model(model)
            values = []
            for task in tasks:
                values.append(pointlens.profiled_chi2(task))
                bar.update()
    return u0_grid, rho_grid, np.array(values).reshape(size, size)


def run_mcmc(model, best, cov, walkers, steps, workers, start_method, timeout=3600.0, seed=1):
    """emcee's ensemble sampler from a small ball around the best fit, its start and
    its moves drawn from `seed`; the first third of the chain is discarded.
    Differential-evolution moves (80 % plain, 20 % snooker) mix this nearly
    Gaussian posterior in about a third of the steps of the stretch move.
    Returns the kept samples and the sampler."""
    import emcee

    rng = np.random.default_rng(seed)
    start = rng.multivariate_normal(best, 0.01 * cov, size=walkers)
    start[:, 1:] = np.abs(start[:, 1:])

    def sample(pool=None):
        moves = [(emcee.moves.DEMove(), 0.8), (emcee.moves.DESnookerMove(), 0.2)]
        sampler = emcee.EnsembleSampler(walkers, 4, pointlens.log_probability, pool=pool,
                                        moves=moves)
        sampler.random_state = np.random.RandomState(seed).get_state()
        sampler.run_mcmc(start, steps, progress=True,
                         progress_kwargs={"desc": "emcee", "file": sys.stderr, "mininterval": 0.5})
        return sampler

    if workers > 1:
        with pointlens.ProcessPool(model, workers, start_method, timeout) as pool:
            sampler = sample(pool)
    else:
        pointlens.install_model(model)
        sampler = sample()
    return sampler.get_chain(discard=steps // 3, flat=True), sampler


def observed_magnification(model, p):
    """Each data point as a magnification, (F - fb) / fs, with its error, and the
    model's magnification and residual in magnitudes at each point."""
    magnification = model.magnification(p)
    fs, fb = model.fluxes(magnification)
    k = model.index
    observed = (model.flux - fb[k]) / fs[k]
    error = model.sigma / fs[k]
    delta_mag = -2.5 * np.log10(model.flux / (fs[k] * magnification + fb[k]))
    delta_error = 2.5 / math.log(10) * model.sigma / model.flux
    return magnification, observed, error, delta_mag, delta_error


# Model lines of the bands on the peak figure: a band observed by one data set
# takes that set's colour; I, observed by four, is black.
BAND_STYLES = ("-", "--", "-.", ":")


def plot_light_curve(model, p, point, path, title, half_width=None, anomaly=None,
                     model_points=3000):
    """Data as magnifications with the model above, residuals below. With
    half_width, t0 +- half_width on linear axes, residuals in magnitudes, one
    model line per band, the times at which the lens crosses the limb and, if
    given, the anomaly window (days after t0); without, every point on a time axis
    that is linear within two source-crossing times of t0 and logarithmic beyond,
    residuals in units of each point's (scaled) error."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker as ticker

    t0, u0, tE, rho = p
    whole = half_width is None
    _, observed, error, delta, delta_error = observed_magnification(model, p)
    if whole:
        delta, delta_error = model.residuals(p), np.ones_like(delta)
        shown = np.ones(len(model.t), dtype=bool)
    else:
        shown = np.abs(model.t - t0) < half_width
    figure, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(9 if whole else 11.5, 7),
                                         gridspec_kw={"height_ratios": [3, 1.4]})
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    counts = [np.count_nonzero(shown & (model.index == k)) for k in range(len(model.sets))]
    for rank, k in enumerate(sorted(range(len(model.sets)), key=lambda k: -counts[k])):
        # The data set with the most points shown is drawn first, beneath the others.
        inside = shown & (model.index == k)
        if not inside.any():
            continue
        data, x = model.sets[k], model.t[inside] - t0
        style = dict(fmt="o", ms=2.5, lw=0.5, color=colours[k % len(colours)], alpha=0.8,
                     zorder=2 + rank)
        top.errorbar(x, observed[inside], error[inside], label=f"{data.name} ({data.band})", **style)
        bottom.errorbar(x, delta[inside], delta_error[inside], **style)

    width = tE * rho  # the source-radius crossing time
    if whole:
        ends = np.arcsinh((np.array([model.t.min(), model.t.max()]) - t0) / width)
    else:
        ends = np.arcsinh(np.array([-half_width, half_width]) / width)
    t = t0 + width * np.sinh(np.linspace(*ends, model_points))
    bands = {}
    for k, data in enumerate(model.sets):
        bands.setdefault(data.band, []).append(k)
    if whole:  # the bands' models differ visibly only at the peak
        band = max(bands, key=lambda b: sum(len(model.sets[k].t) for k in bands[b]))
        top.plot(t - t0, model.magnification(p, t, index=bands[band][0]), color="k", lw=1,
                 zorder=20, label=f"model ({band}; the bands differ at the peak only)")
    else:
        for style, (band, sets) in zip(BAND_STYLES, sorted(bands.items())):
            k = sets[0]
            u = model.set_u[k]
            colour = colours[k % len(colours)] if len(sets) == 1 else "k"
            top.plot(t - t0, model.magnification(p, t, index=k), style, color=colour, lw=1.3,
                     zorder=20, label=f"model {band}: u = {u:.2f}, Γ = "
                                      f"{float(pointlens.gamma_from_u(u)):.3f}")
    separation = np.hypot(u0, (t - t0) / tE)
    top.plot(t - t0, pointlens.point_source(separation), color="0.55", lw=1, zorder=19,
             label="point source, same t0, u0, tE")
    if point is not None:
        separation = np.hypot(point[1], (t - point[0]) / point[2])
        top.plot(t - t0, pointlens.point_source(separation), ":", color="0.55", lw=1, zorder=19,
                 label="point-source fit")
    if not whole:
        if abs(u0) < rho:  # the lens crosses the limb at t0 -+ tE sqrt(rho^2 - u0^2)
            crossing = tE * math.sqrt(rho ** 2 - u0 ** 2)
            for axis in (top, bottom):
                for x in (-crossing, crossing):
                    axis.axvline(x, color="0.3", lw=0.8, ls=(0, (1, 2)), zorder=1)
            top.plot([], [], color="0.3", lw=0.8, ls=(0, (1, 2)), label="lens on the limb")
        if anomaly is not None:
            for axis in (top, bottom):
                axis.axvspan(*anomaly, color="gold", alpha=0.25, lw=0, zorder=0)
            top.fill_between([], [], color="gold", alpha=0.25, lw=0,
                             label="planetary anomaly (not modelled)")

    values = observed[shown]
    if whole:
        top.set_yscale("log")
        top.set_ylim(0.5, 1.3 * np.max(values))
    else:
        top.set_ylim(0.8 * np.min(values), 1.1 * np.max(values))
    top.set_ylabel("magnification (F − fb) / fs")
    top.set_title(title)
    # The whole event leaves the upper left empty; at the peak the legend goes
    # beside the axes, clear of the data.
    place = dict(loc="upper left", ncol=2) if whole else dict(loc="upper left", ncol=1,
                                                              bbox_to_anchor=(1.01, 1.0))
    points = f"{np.count_nonzero(shown)} of {len(model.t)} points"
    laws = ("limb darkening I(μ) = 1 − u(1 − μ) ∝ 1 − Γ(1 − 3μ/2)" if whole else
            "limb darkening\nI(μ) = 1 − u(1 − μ) ∝ 1 − Γ(1 − 3μ/2),\nΓ = 2u/(3 − u)")
    legend = top.legend(fontsize=7, **place, title=f"{points}; {laws}" if whole else
                        f"{points}\n{laws}", title_fontsize=7)
    legend.set_zorder(30)
    bottom.axhline(0, color="0.5", lw=0.8)
    bottom.set_xlabel(f"t − t0 (days), t0 = HJD 245{t0:.4f}")
    spread = np.nanpercentile(np.abs(delta[shown]), 98)
    if whole:
        bottom.set_ylabel("(data − model) / σ")
        bottom.set_ylim(-1.5 * spread, 1.5 * spread)
        bottom.set_xscale("asinh", linear_width=2 * width)
        low, high = bottom.get_xlim()
        marks = [x for x in (-1000, -100, -10, -1, -0.1, 0, 0.1, 1, 10, 100, 1000) if low <= x <= high]
        bottom.xaxis.set_major_locator(ticker.FixedLocator(marks))
        bottom.xaxis.set_minor_locator(ticker.NullLocator())
        bottom.xaxis.set_major_formatter(ticker.FuncFormatter(lambda x, _: f"{x:g}".replace("-", "−")))
    else:
        bottom.set_ylabel("data − model (mag)")
        bottom.set_ylim(1.5 * spread, -1.5 * spread)
        bottom.set_xlim(-half_width, half_width)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=120, bbox_inches="tight")
    plt.close(figure)


def plot_surface(u0, rho, chi2, best, best_chi2, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    delta = chi2 - min(chi2.min(), best_chi2)
    top = min(delta.max(), 40)
    figure, axes = plt.subplots(figsize=(6.5, 5.4))
    axes.set_facecolor("0.88")  # outside the grid
    mesh = axes.pcolormesh(u0 * 1e3, rho * 1e3, delta, shading="gouraud", cmap="viridis_r",
                           vmin=0, vmax=top)
    levels = [2.30, 6.18, 11.83]  # 1, 2 and 3 sigma for two parameters
    contours = axes.contour(u0 * 1e3, rho * 1e3, delta, levels=levels, colors="w", linewidths=1)
    axes.clabel(contours, fmt={2.30: "1σ", 6.18: "2σ", 11.83: "3σ"}, fontsize=8)
    axes.plot(best[1] * 1e3, best[3] * 1e3, "r+", ms=12, label="best fit")
    axes.set_xlabel("u0 (10⁻³ Einstein radii)")
    axes.set_ylabel("ρ (10⁻³ Einstein radii)")
    axes.set_title("Δχ² over (u0, ρ), minimised over t0 and tE", fontsize=11)
    axes.text(0.5, -0.13, "grey: outside the grid, which follows the fit's error ellipse "
                         "(±4σ in u0, and in ρ at each u0)",
              transform=axes.transAxes, ha="center", va="top", fontsize=7.5, color="0.3")
    axes.legend(fontsize=8, loc="upper left")
    figure.colorbar(mesh, ax=axes, label="Δχ²", extend="max" if delta.max() > top else "neither")
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=120)
    plt.close(figure)


def table(model, p, raw_chi2) -> str:
    chi2 = model.chi2_per_set(p)
    magnification = model.magnification(p)
    fs, fb = model.fluxes(magnification)
    lines = [f"{'data set':<9} {'band':<10} {'N':>5} {'chi2/dof raw':>13} {'scale':>6} "
             f"{'chi2/dof':>9} {'fs':>8} {'fb':>8}"]
    for k, data in enumerate(model.sets):
        dof = len(data.t) - 2
        lines.append(f"{data.name:<9} {data.band:<10} {len(data.t):>5} {raw_chi2[k] / dof:>13.3f} "
                     f"{model.scale[k]:>6.3f} {chi2[k] / dof:>9.3f} {fs[k]:>8.4f} {fb[k]:>8.4f}")
    total_dof = len(model.t) - 2 * len(model.sets) - 4
    lines.append(f"{'all':<9} {'':<10} {len(model.t):>5} {raw_chi2.sum() / total_dof:>13.3f} "
                 f"{'':>6} {chi2.sum() / total_dof:>9.3f}   (dof = N - 2 per set, - 4 overall)")
    return "\n".join(lines)


def limb_darkening_summary(model: pointlens.Model) -> dict:
    """The law and each band's coefficient under both conventions."""
    bands = {s.band: float(u) for s, u in zip(model.sets, model.set_u)}
    return {"law": pointlens.LAWS,
            "bands": {band: {"u": u, "gamma": float(pointlens.gamma_from_u(u))}
                      for band, u in sorted(bands.items())}}


def main(argv=None) -> int:
    args = parse_arguments(argv)
    coefficients = dict(pointlens.BAND_U, **dict(args.coefficients or []))
    sets = pointlens.load_event(args.data)
    model = pointlens.Model(sets, limb_darkening=coefficients, method=args.method,
                            exact=args.exact)
    limb_darkening = limb_darkening_summary(model)
    say(f"{len(model.t)} points in {len(sets)} data sets: "
        + ", ".join(f"{s.name} {len(s.t)}" for s in sets))
    say("limb darkening " + pointlens.LAWS + ": " + ", ".join(
        f"{band} u = {c['u']:.3f} (Gamma = {c['gamma']:.3f})"
        for band, c in limb_darkening["bands"].items()))

    start = time.perf_counter()
    point, result, raw_chi2 = fit_event(model, args.max_nfev)
    seconds_fit = time.perf_counter() - start
    best = result.x
    cov = pointlens.covariance(result)
    sigma = np.sqrt(np.diag(cov))
    say(f"finite-source fit ({model.method}{', exact' if model.exact else ''}, {model.calls} "
        f"model evaluations, {seconds_fit:.1f} s), uncertainties from the Jacobian:")
    for name, unit, value, error in zip(NAMES, UNITS, best, sigma):
        say(f"  {name:<4} = {with_error(value, error)} {unit}")
    say(table(model, best, raw_chi2))
    cost = likelihood_cost(model, best)
    separations = model.separations(best) / best[3]
    integrals = (len(model.t) if model.exact else pointlens.integrals_per_evaluation(separations))
    error = model_error(model, best)
    say(f"one likelihood evaluation: {cost['ms_per_likelihood']:.2f} ms, "
        f"{cost['cpu_ms_per_likelihood']:.2f} ms of CPU ("
        f"{cost['ms_magnification']:.2f} ms magnification with {integrals} limb-darkened "
        f"integrals; {cost['ms_per_likelihood_same_rho']:.2f} ms at the same rho), median of "
        f"30; largest difference from the integral at every point: {error:.1e} (relative)")

    results = {"parameters": dict(zip(NAMES, best.tolist())),
               "errors": dict(zip(NAMES, sigma.tolist())),
               "chi2": float(model.chi2(best)),
               "chi2_per_set": dict(zip([s.name for s in sets], model.chi2_per_set(best).tolist())),
               "error_scale": dict(zip([s.name for s in sets], model.scale.tolist())),
               "limb_darkening": limb_darkening, **cost, "integrals_per_likelihood": integrals,
               "model_error": error}

    surface = None
    if args.surface:
        start = time.perf_counter()
        surface = chi2_surface(model, best, cov, args.surface, args.workers, args.start_method,
                               args.timeout)
        say(f"chi^2 surface: {args.surface}x{args.surface} points in "
            f"{time.perf_counter() - start:.1f} s; least chi^2 on the grid "
            f"{surface[2].min() - results['chi2']:+.3f} from the fit's")

    if args.mcmc:
        start = time.perf_counter()
        samples, sampler = run_mcmc(model, best, cov, args.walkers, args.steps, args.workers,
                                    args.start_method, args.timeout, args.seed)
        seconds = time.perf_counter() - start
        evaluations = args.walkers * args.steps
        say(f"emcee: {args.walkers} walkers x {args.steps} steps on {args.workers} "
            f"{args.start_method} workers in {seconds:.1f} s ({seconds / evaluations * 1e3:.2f} ms "
            f"per evaluation), acceptance {np.mean(sampler.acceptance_fraction):.2f}, "
            f"seed {args.seed}")
        tau = sampler.get_autocorr_time(quiet=True)
        say("  autocorrelation times (steps): " + ", ".join(f"{n} {t:.0f}" for n, t in zip(NAMES, tau))
            + f"; the chain is {args.steps / np.max(tau):.0f} times the longest (emcee asks for 50)"
            + f"; {len(samples)} samples kept after discarding {args.steps // 3} steps")
        low, median, high = np.percentile(samples, [15.87, 50, 84.13], axis=0)
        for name, unit, m, lo, hi in zip(NAMES, UNITS, median, low, high):
            say(f"  {name:<4} = {with_error(m, hi - m, m - lo)} {unit}")
        results["mcmc"] = {name: [float(m), float(hi - m), float(m - lo)]
                           for name, m, lo, hi in zip(NAMES, median, low, high)}
        results["mcmc_settings"] = {"walkers": args.walkers, "steps": args.steps,
                                    "seed": args.seed, "autocorrelation_steps": tau.tolist()}

    if not args.no_plot:
        out = args.output_dir
        paths = [out / "fit_event.png", out / "fit_event_peak.png"]
        plot_light_curve(model, best, point, paths[0],
                         "MOA-2008-BLG-310: finite-source point-lens fit, every data point")
        anomaly = MB08310_ANOMALY if args.data.resolve() == (HERE / "data" / "MB08310") else None
        plot_light_curve(model, best, None, paths[1],
                         "the peak: the lens crosses the source's face", 4 * best[3] * best[2],
                         anomaly)
        if surface is not None:
            paths.append(out / "fit_event_surface.png")
            plot_surface(*surface, best, results["chi2"], paths[-1])
        say("wrote " + ", ".join(map(str, paths)))
    if args.json:
        args.json.write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
