#!/usr/bin/env python3
"""Light curve of a microlensing event whose source star is resolved by the lens.

A point lens passes a source star of radius rho (in Einstein radii) with
impact parameter u0 at time t0; tE is the Einstein-radius crossing time. The
lens-source separation in Einstein radii is

    u(t) = sqrt(u0^2 + ((t - t0) / tE)^2).

caustiqa measures separations in source radii and takes the Einstein and
source radii in one length unit, so with re = 1 and rstar = rho the
separation is l = u / rho.

The script computes the magnification as a point source, as a uniform disc,
as a limb-darkened disc (linear law, coefficient 0.6) by the disc and by the
ring method, with a tabulated brightness profile by both methods, and as a
set of discrete rings; it prints a summary table and writes two figures:
the light curves with a residual panel, and the peak magnification of a
uniform source over a grid of Einstein and source radii.
"""
from __future__ import annotations

import argparse
import math
import sys
import time
from pathlib import Path

try:
    import numpy as np
    import caustiqa
    from pointlens import count
except ImportError as missing:  # say how to install, rather than a traceback
    sys.exit(f"{missing.name} is not installed. From the project's root, ./scripts/demo sets up "
             "an environment with everything the examples need; or pip install '.[examples]'.")

LIMB_DARKENING = 0.6


def positive_float(text: str) -> float:
    value = float(text)
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a positive finite number, got {text}")
    return value


def finite_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text}")
    return value


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    event = parser.add_argument_group("event")
    event.add_argument("--t0", type=finite_float, default=0.0, help="time of closest approach (days)")
    event.add_argument("--u0", type=finite_float, default=0.02, help="impact parameter (Einstein radii)")
    event.add_argument("--tE", type=positive_float, default=20.0, help="Einstein crossing time (days)")
    event.add_argument("--rho", type=positive_float, default=0.05, help="source radius (Einstein radii)")
    grid = parser.add_argument_group("time grid")
    grid.add_argument("--span", type=positive_float, default=3.0,
                      help="half-width of the time grid around t0, in units of rho * tE")
    grid.add_argument("--points", type=count(2), default=301, help="number of epochs")
    model = parser.add_argument_group("source models")
    model.add_argument("--knots", type=count(2), default=40,
                       help="knots of the tabulated brightness profile")
    model.add_argument("--rings", type=count(1), default=40, help="rings of the discrete-ring source")
    output = parser.add_argument_group("output")
    output.add_argument("--output", type=Path, default=Path("out/lightcurve.png"),
                        help="light-curve figure (PNG)")
    output.add_argument("--grid-output", type=Path, default=Path("out/peak_grid.png"),
                        help="peak-magnification grid figure (PNG)")
    output.add_argument("--grid-size", type=count(2), default=40,
                        help="Einstein and source radii per axis of the grid figure")
    output.add_argument("--no-plot", action="store_true", help="print the table only")
    return parser.parse_args(argv)


def limb_darkened(r: np.ndarray) -> np.ndarray:
    """Surface brightness 1 - c (1 - mu) at fractional radius r, mu = sqrt(1 - r^2)."""
    return 1 - LIMB_DARKENING * (1 - np.sqrt(np.clip(1 - r * r, 0, None)))


def quadratic_limb_darkened(r: np.ndarray) -> np.ndarray:
    """A quadratic law, 1 - a (1 - mu) - b (1 - mu)^2, as a tabulated profile."""
    one_minus_mu = 1 - np.sqrt(np.clip(1 - r * r, 0, None))
    return 1 - 0.4 * one_minus_mu - 0.25 * one_minus_mu**2


def discrete_rings(count: int) -> tuple[list[float], list[float]]:
    """Ring radii at the middle of equal-width annuli, weighted by their share of the
    limb-darkened flux, so that the weights sum to 1."""
    edges = np.linspace(0.0, 1.0, count + 1)
    radii = 0.5 * (edges[1:] + edges[:-1])
    weights = limb_darkened(radii) * (edges[1:] ** 2 - edges[:-1] ** 2)
    return radii.tolist(), (weights / weights.sum()).tolist()


def point_source(u: np.ndarray) -> np.ndarray:
    return (u * u + 2) / (u * np.sqrt(u * u + 4))


def light_curves(args: argparse.Namespace, t: np.ndarray) -> dict[str, tuple[np.ndarray, float]]:
    """Magnification per model at the epochs t, with the seconds each took."""
    u = np.hypot(args.u0, (t - args.t0) / args.tE)
    re, rstar = 1.0, args.rho
    l = (u / args.rho).tolist()
    knots = np.linspace(0.0, 1.0, args.knots)
    bl, bf = knots.tolist(), quadratic_limb_darkened(knots).tolist()
    radii, weights = discrete_rings(args.rings)

    models = {
        "point source": lambda: point_source(u),
        "uniform disc": lambda: caustiqa.witt_mao_magnification(l, re, rstar),
        "limb-darkened, discs": lambda: caustiqa.integrated_witt_mao_magnification(l, re, rstar),
        "limb-darkened, rings": lambda: caustiqa.integrated_heyrovsky_magnification(l, re, rstar),
        "tabulated, discs": lambda: caustiqa.integrated_flux_map_witt_mao_magnification(
            l, re, rstar, bl, bf),
        "tabulated, rings": lambda: caustiqa.integrated_flux_map_heyrovsky_magnification(
            l, re, rstar, bl, bf),
        f"{args.rings} discrete rings": lambda: caustiqa.discrete_flux_map_heyrovsky_magnification(
            l, re, rstar, radii, weights),
    }
    results = {}
    for name, compute in models.items():
        start = time.perf_counter()
        values = np.asarray(compute(), dtype=float)
        results[name] = (values, time.perf_counter() - start)
    return results


def summary(results: dict[str, tuple[np.ndarray, float]], points: int) -> str:
    point = results["point source"][0]
    lines = [
        f"{'model':<24} {'peak':>10} {'max |A - A_point|':>18} {'time (ms)':>10} {'us/epoch':>9}",
    ]
    for name, (values, seconds) in results.items():
        difference = np.max(np.abs(values - point))
        lines.append(
            f"{name:<24} {np.max(values):>10.4f} {difference:>18.4f} "
            f"{seconds * 1e3:>10.2f} {seconds * 1e6 / points:>9.1f}"
        )
    return "\n".join(lines)


def plot_light_curves(args, t, results, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (top, bottom) = plt.subplots(
        2, 1, sharex=True, figsize=(8, 6.5), gridspec_kw={"height_ratios": [3, 2]})
    uniform = results["uniform disc"][0]
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for colour, (name, (values, _)) in zip(colours, results.items()):
        style = "--" if name == "point source" else "-"
        top.plot(t, values, style, color=colour, lw=1.2, label=name)
        if name != "uniform disc":
            bottom.plot(t, values / uniform - 1, style, color=colour, lw=1.2)
    top.set_ylabel("magnification A")
    top.set_title(f"u0 = {args.u0:g}, tE = {args.tE:g} d, rho = {args.rho:g}")
    top.legend(fontsize=8)
    bottom.axhline(0, color="0.6", lw=0.8)
    bottom.set_ylabel("A / A_uniform - 1")
    bottom.set_xlabel("t - t0 (days)" if args.t0 == 0 else "t (days)")
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=120)
    plt.close(figure)


def plot_peak_grid(args, path: Path) -> float:
    """Peak magnification of a uniform source crossing at the event's impact
    parameter, over a grid of Einstein and source radii (one call)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    re = np.geomspace(0.5, 5.0, args.grid_size)
    rstar = np.geomspace(0.01, 1.0, args.grid_size)
    # A trajectory fixed in source radii: closest approach at 0.5 source radii.
    l = np.hypot(0.5, np.linspace(-5, 5, 201)).tolist()
    start = time.perf_counter()
    curves = caustiqa.multi_witt_mao_magnification(l, re.tolist(), rstar.tolist())
    seconds = time.perf_counter() - start
    peak = np.array([max(curve) for curve in curves]).reshape(len(re), len(rstar))

    figure, axes = plt.subplots(figsize=(6.5, 5))
    mesh = axes.pcolormesh(rstar, re, peak, shading="auto", norm=matplotlib.colors.LogNorm())
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("source radius rstar")
    axes.set_ylabel("Einstein radius re")
    axes.set_title("peak magnification, closest approach 0.5 source radii")
    figure.colorbar(mesh, ax=axes, label="peak A")
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=120)
    plt.close(figure)
    return seconds


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    half_width = args.span * args.rho * args.tE
    t = np.linspace(args.t0 - half_width, args.t0 + half_width, args.points)
    results = light_curves(args, t)
    print(f"event: t0 = {args.t0:g}, u0 = {args.u0:g}, tE = {args.tE:g} d, rho = {args.rho:g}; "
          f"{args.points} epochs over t0 ± {half_width:.3g} d")
    print(summary(results, args.points))
    if not args.no_plot:
        plot_light_curves(args, t, results, args.output)
        seconds = plot_peak_grid(args, args.grid_output)
        print(f"wrote {args.output} and {args.grid_output} "
              f"({args.grid_size}x{args.grid_size} grid in {seconds * 1e3:.1f} ms)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
