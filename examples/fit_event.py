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
and optionally (--mcmc) a short emcee run on a process pool. It prints the
parameters with their uncertainties, chi^2 per data set and the cost of one
likelihood evaluation, and writes the figures named by --output-dir.
"""
from __future__ import annotations

import argparse
import json
import math
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
NAMES = ("t0", "u0", "tE", "rho")
UNITS = ("HJD - 2450000", "", "days", "")


def band_gamma(text: str) -> tuple[str, float]:
    band, _, value = text.partition("=")
    gamma = float(value)
    if not band or not 0 <= gamma < 1.5:
        raise argparse.ArgumentTypeError(f"expected BAND=GAMMA with 0 <= GAMMA < 1.5, got {text}")
    return band, gamma


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--data", type=Path, default=HERE / "data" / "MB08310",
                        help="directory of IPAC tables, one per data set")
    parser.add_argument("--method", choices=("rings", "discs"), default="rings",
                        help="caustiqa's limb-darkened function behind the model")
    parser.add_argument("--gamma", type=band_gamma, action="append", default=[],
                        metavar="BAND=GAMMA",
                        help="linear limb-darkening coefficient of a band (repeatable; "
                             f"defaults {pointlens.BAND_GAMMA})")
    parser.add_argument("--max-nfev", type=pointlens.count(1), default=None,
                        help="budget of model evaluations per least-squares run (default: none)")
    parser.add_argument("--surface", type=pointlens.count(0), default=11,
                        help="points per axis of the (u0, rho) chi^2 grid; 0 skips it")
    parser.add_argument("--mcmc", action="store_true", help="run emcee for posterior uncertainties")
    parser.add_argument("--walkers", type=pointlens.count(10), default=16)
    parser.add_argument("--steps", type=pointlens.count(2), default=400, help="emcee steps per walker")
    parser.add_argument("--workers", type=pointlens.count(1), default=2, help="processes of the pool")
    parser.add_argument("--start-method", choices=("fork", "forkserver", "spawn"),
                        default="fork",
                        help="how the pool's processes start ('fork' starts faster)")
    parser.add_argument("--timeout", type=float, default=3600.0,
                        help="seconds a pool's map may take before the run gives up")
    parser.add_argument("--output-dir", type=Path, default=Path("out"), help="where the PNGs go")
    parser.add_argument("--no-plot", action="store_true")
    parser.add_argument("--json", type=Path, help="also write the results as JSON here")
    return parser.parse_args(argv)


def with_error(value, upper, lower=None) -> str:
    """value ± error (or +upper -lower) with two significant digits of the error."""
    digits = max(0, 1 - math.floor(math.log10(min(upper, lower or upper))))
    if lower is None:
        return f"{value:.{digits}f} ± {upper:.{digits}f}"
    return f"{value:.{digits}f} +{upper:.{digits}f} -{lower:.{digits}f}"


def fit_event(model: pointlens.Model, max_nfev=None):
    """Point source, then finite source, then twice: scale the errors and refit."""
    point = pointlens.point_source_start(model)
    result = pointlens.fit_finite_source(model, point, max_nfev=max_nfev)
    raw_chi2 = model.chi2_per_set(result.x)
    for _ in range(2):
        model.rescale_errors(result.x)
        result = pointlens.fit(model, result.x, max_nfev=max_nfev)
    return point, result, raw_chi2


def likelihood_cost(model: pointlens.Model, p, repeats: int = 20) -> tuple[float, float]:
    """Seconds per chi^2 evaluation over all the data, and the magnification's share."""
    model.chi2(p)
    before = model.seconds_magnification
    start = time.perf_counter()
    for _ in range(repeats):
        model.chi2(p)
    total = (time.perf_counter() - start) / repeats
    return total, (model.seconds_magnification - before) / repeats


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
    if workers > 1:
        with pointlens.ProcessPool(model, workers, start_method, timeout) as pool:
            values = pool.map(pointlens.profiled_chi2, tasks)
    else:
        pointlens.install_model(model)
        values = list(map(pointlens.profiled_chi2, tasks))
    return u0_grid, rho_grid, np.array(values).reshape(size, size)


def run_mcmc(model, best, cov, walkers, steps, workers, start_method, timeout=3600.0, seed=1):
    """emcee's ensemble sampler from a small ball around the best fit; the first
    third of the chain is discarded. Returns the kept samples and the sampler."""
    import emcee

    rng = np.random.default_rng(seed)
    start = rng.multivariate_normal(best, 0.01 * cov, size=walkers)
    start[:, 1:] = np.abs(start[:, 1:])
    if workers > 1:
        with pointlens.ProcessPool(model, workers, start_method, timeout) as pool:
            sampler = emcee.EnsembleSampler(walkers, 4, pointlens.log_probability, pool=pool)
            sampler.run_mcmc(start, steps)
    else:
        pointlens.install_model(model)
        sampler = emcee.EnsembleSampler(walkers, 4, pointlens.log_probability)
        sampler.run_mcmc(start, steps)
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


def plot_light_curve(model, p, point, path, half_width, title, whole=False, model_points=3000):
    """Data as magnifications with the model above, residuals below: in magnitudes
    for the peak, in units of each point's (scaled) error for the whole event,
    whose time axis is then linear near t0 and logarithmic beyond."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t0 = p[0]
    _, observed, error, delta, delta_error = observed_magnification(model, p)
    if whole:
        delta, delta_error = model.residuals(p), np.ones_like(delta)
    figure, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(9, 7),
                                         gridspec_kw={"height_ratios": [3, 1.4]})
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for k, data in enumerate(model.sets):
        inside = (model.index == k) & (np.abs(model.t - t0) < half_width)
        if not inside.any():
            continue
        colour = colours[k % len(colours)]
        label = f"{data.name} ({data.band}, Γ = {model.set_gamma[k]:.2f})"
        x = model.t[inside] - t0
        top.errorbar(x, observed[inside], error[inside], fmt="o", ms=2.5, lw=0.5, color=colour,
                     alpha=0.8, label=label)
        bottom.errorbar(x, delta[inside], delta_error[inside], fmt="o", ms=2.5, lw=0.5,
                        color=colour, alpha=0.8)
    t = t0 + np.sinh(np.linspace(-1, 1, model_points) * np.arcsinh(half_width / (p[2] * p[3]))) \
        * p[2] * p[3]
    bands = {data.band: k for k, data in reversed(list(enumerate(model.sets)))}
    for style, (band, k) in zip(("-", "--", "-.", ":"), sorted(bands.items())):
        top.plot(t - t0, model.magnification(p, t, index=k), style, color="k", lw=1,
                 label=f"model, {band}")
    u = np.hypot(p[1], (t - t0) / p[2])
    top.plot(t - t0, pointlens.point_source(u), color="0.55", lw=1,
             label="point source, same t0, u0, tE")
    if point is not None:
        u = np.hypot(point[1], (t - point[0]) / point[2])
        top.plot(t - t0, pointlens.point_source(u), ":", color="0.55", lw=1,
                 label="point-source fit")
    top.set_yscale("log")
    shown = observed[np.abs(model.t - t0) < half_width]
    top.set_ylim(0.5 if whole else 0.8 * np.min(shown), 1.3 * np.max(shown))
    top.set_ylabel("magnification (F − fb) / fs")
    top.set_title(title)
    top.legend(fontsize=7, ncol=2)
    bottom.axhline(0, color="0.5", lw=0.8)
    bottom.set_xlabel(f"t − t0 (days), t0 = HJD 245{t0:.4f}")
    spread = np.nanpercentile(np.abs(delta[np.abs(model.t - t0) < half_width]), 98)
    if whole:
        bottom.set_ylabel("(data − model) / σ")
        bottom.set_ylim(-1.5 * spread, 1.5 * spread)
        bottom.set_xscale("asinh", linear_width=2 * p[2] * p[3])
    else:
        bottom.set_ylabel("data − model (mag)")
        bottom.set_ylim(1.5 * spread, -1.5 * spread)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=120)
    plt.close(figure)


def plot_surface(u0, rho, chi2, best, best_chi2, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    delta = chi2 - min(chi2.min(), best_chi2)
    figure, axes = plt.subplots(figsize=(6.5, 5.2))
    mesh = axes.pcolormesh(u0 * 1e3, rho * 1e3, delta, shading="gouraud", cmap="viridis_r",
                           vmin=0, vmax=min(delta.max(), 40))
    levels = [2.30, 6.18, 11.83]  # 1, 2 and 3 sigma for two parameters
    contours = axes.contour(u0 * 1e3, rho * 1e3, delta, levels=levels, colors="w", linewidths=1)
    axes.clabel(contours, fmt={2.30: "1σ", 6.18: "2σ", 11.83: "3σ"}, fontsize=8)
    axes.plot(best[1] * 1e3, best[3] * 1e3, "r+", ms=12, label="best fit")
    axes.set_xlabel("u0 (10⁻³ Einstein radii)")
    axes.set_ylabel("ρ (10⁻³ Einstein radii)")
    axes.set_title("Δχ² over (u0, ρ), minimised over t0 and tE")
    axes.legend(fontsize=8, loc="upper left")
    figure.colorbar(mesh, ax=axes, label="Δχ²")
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


def main(argv=None) -> int:
    args = parse_arguments(argv)
    gamma = dict(pointlens.BAND_GAMMA, **dict(args.gamma))
    sets = pointlens.load_event(args.data)
    model = pointlens.Model(sets, gamma=gamma, method=args.method)
    print(f"{len(model.t)} points in {len(sets)} data sets: "
          + ", ".join(f"{s.name} {len(s.t)}" for s in sets))

    start = time.perf_counter()
    point, result, raw_chi2 = fit_event(model, args.max_nfev)
    seconds_fit = time.perf_counter() - start
    best = result.x
    cov = pointlens.covariance(result)
    sigma = np.sqrt(np.diag(cov))
    print(f"point-source start: t0 = {point[0]:.5f}, u0 = {point[1]:.5f}, tE = {point[2]:.3f}")
    print(f"finite-source fit ({model.method}, {model.calls} model evaluations, "
          f"{seconds_fit:.1f} s), uncertainties from the Jacobian:")
    for name, unit, value, error in zip(NAMES, UNITS, best, sigma):
        print(f"  {name:<4} = {with_error(value, error)} {unit}")
    print(table(model, best, raw_chi2))
    total, magnification = likelihood_cost(model, best)
    near = np.count_nonzero(np.hypot(best[1], (model.t - best[0]) / best[2]) < model.near * best[3])
    print(f"one likelihood evaluation: {total * 1e3:.2f} ms ({magnification * 1e3:.2f} ms "
          f"magnification, {(total - magnification) * 1e3:.2f} ms fluxes and chi^2; {near} of "
          f"{len(model.t)} points within {model.near:g} source radii)")

    results = {"parameters": dict(zip(NAMES, best.tolist())),
               "errors": dict(zip(NAMES, sigma.tolist())),
               "chi2": float(model.chi2(best)),
               "chi2_per_set": dict(zip([s.name for s in sets], model.chi2_per_set(best).tolist())),
               "error_scale": dict(zip([s.name for s in sets], model.scale.tolist())),
               "ms_per_likelihood": total * 1e3, "ms_magnification": magnification * 1e3}

    surface = None
    if args.surface:
        start = time.perf_counter()
        surface = chi2_surface(model, best, cov, args.surface, args.workers, args.start_method,
                               args.timeout)
        print(f"chi^2 surface: {args.surface}x{args.surface} points in "
              f"{time.perf_counter() - start:.1f} s; least chi^2 on the grid "
              f"{surface[2].min() - results['chi2']:+.3f} from the fit's")

    if args.mcmc:
        start = time.perf_counter()
        samples, sampler = run_mcmc(model, best, cov, args.walkers, args.steps, args.workers,
                                    args.start_method, args.timeout)
        seconds = time.perf_counter() - start
        evaluations = args.walkers * args.steps
        print(f"emcee: {args.walkers} walkers x {args.steps} steps on {args.workers} "
              f"{args.start_method} workers in {seconds:.1f} s ({seconds / evaluations * 1e3:.1f} ms "
              f"per evaluation), acceptance {np.mean(sampler.acceptance_fraction):.2f}")
        tau = sampler.get_autocorr_time(quiet=True)
        print("  autocorrelation times (steps): " + ", ".join(f"{n} {t:.0f}" for n, t in zip(NAMES, tau))
              + f"; {len(samples)} samples kept after discarding {args.steps // 3} steps")
        low, median, high = np.percentile(samples, [15.87, 50, 84.13], axis=0)
        for name, unit, m, lo, hi in zip(NAMES, UNITS, median, low, high):
            print(f"  {name:<4} = {with_error(m, hi - m, m - lo)} {unit}")
        results["mcmc"] = {name: [float(m), float(hi - m), float(m - lo)]
                           for name, m, lo, hi in zip(NAMES, median, low, high)}

    if not args.no_plot:
        out = args.output_dir
        paths = [out / "fit_event.png", out / "fit_event_peak.png"]
        plot_light_curve(model, best, point, paths[0], 3 * best[2],
                         "MOA-2008-BLG-310: finite-source point-lens fit", whole=True)
        plot_light_curve(model, best, None, paths[1], 4 * best[3] * best[2],
                         "the peak: the lens crosses the source's face")
        if surface is not None:
            paths.append(out / "fit_event_surface.png")
            plot_surface(*surface, best, results["chi2"], paths[-1])
        print("wrote " + ", ".join(map(str, paths)))
    if args.json:
        args.json.write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
