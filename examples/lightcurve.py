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
as a limb-darkened disc (the library's linear law I(mu) = 1 - u (1 - mu) with
u = 0.6, which is I(mu) proportional to 1 - Gamma (1 - 3 mu / 2) with
Gamma = 2 u / (3 - u) = 0.5) by the disc and by the ring method, with a tabulated brightness profile by both methods, and as a
set of discrete rings; it prints a summary table and writes two figures:
the light curves with a residual panel, and the peak magnification of a
uniform source over a grid of Einstein and source radii. The discrete rings
spike where a ring passes the lens: a thin ring is infinitely magnified there
(logarithmically), which the integrated models smooth out.
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
    from pointlens import HelpFormatter, LIBRARY_U, check_positive, count, gamma_from_u
except ImportError as missing:  # say how to install, rather than a traceback
    sys.exit(f"{missing.name} is not installed. From the project's root, ./scripts/demo sets up "
             "an environment with everything the examples need; or pip install '.[examples]'.")

ROOT = Path(__file__).resolve().parents[1]


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
        formatter_class=HelpFormatter,
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
    output.add_argument("--output-dir", type=Path, default=ROOT / "out",
                        help="where lightcurve.png and peak_grid.png go")
    output.add_argument("--grid-size", type=count(2), default=40,
                        help="Einstein and source radii per axis of the grid figure")
    output.add_argument("--no-plot", action="store_true", help="print the table only")
    return parser.parse_args(argv)


def limb_darkened(r: np.ndarray) -> np.ndarray:
    """Surface brightness 1 - u (1 - mu), u = 0.6, at fractional radius r, mu = sqrt(1 - r^2)."""
    return 1 - LIBRARY_U * (1 - np.sqrt(np.clip(1 - r * r, 0, None)))


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


LIMB_RINGS, LIMB_DISCS = "limb-darkened, rings", "limb-darkened, discs"


def rings_name(rings: int) -> str:
    return f"{rings} discrete rings"


def light_curves(args: argparse.Namespace, t: np.ndarray) -> dict[str, tuple[np.ndarray, float]]:
    """Magnification per model at the epochs t, with the seconds each took;
    ValueError unless tE > 0 and rho > 0."""
    check_positive(tE=args.tE, rho=args.rho)
    u = np.hypot(args.u0, (t - args.t0) / args.tE)
    re, rstar = 1.0, args.rho
    l = (u / args.rho).tolist()
    knots = np.linspace(0.0, 1.0, args.knots)
    bl, bf = knots.tolist(), quadratic_limb_darkened(knots).tolist()
    radii, weights = discrete_rings(args.rings)

    models = {
        "point source": lambda: point_source(u),
        "uniform disc": lambda: caustiqa.witt_mao_magnification(l, re, rstar),
        LIMB_DISCS: lambda: caustiqa.integrated_witt_mao_magnification(l, re, rstar),
        LIMB_RINGS: lambda: caustiqa.integrated_heyrovsky_magnification(l, re, rstar),
        "tabulated, discs": lambda: caustiqa.integrated_flux_map_witt_mao_magnification(
            l, re, rstar, bl, bf),
        "tabulated, rings": lambda: caustiqa.integrated_flux_map_heyrovsky_magnification(
            l, re, rstar, bl, bf),
        rings_name(args.rings): lambda: caustiqa.discrete_flux_map_heyrovsky_magnification(
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
    """Light curves above, their ratio to the uniform disc below; the times at which
    the lens crosses the limb are marked, and the legend says what each law is."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (top, bottom) = plt.subplots(
        2, 1, sharex=True, figsize=(11.5, 7), gridspec_kw={"height_ratios": [3, 2]})
    uniform = results["uniform disc"][0]
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    notes = {LIMB_DISCS: f" (u = {LIBRARY_U:g}, Γ = {float(gamma_from_u(LIBRARY_U)):g})",
             LIMB_RINGS: " (the same source)",
             "tabulated, discs": f"\n(1 − 0.4(1 − μ) − 0.25(1 − μ)², {args.knots} knots)",
             "tabulated, rings": " (the same table)",
             rings_name(args.rings): "\n(infinite where a ring passes the lens)"}
    for colour, (name, (values, _)) in zip(colours, results.items()):
        style = "--" if name == "point source" else "-"
        top.plot(t, values, style, color=colour, lw=1.2, label=name + notes.get(name, ""))
        if name != "uniform disc":
            bottom.plot(t, values / uniform - 1, style, color=colour, lw=1.2)
    if abs(args.u0) < args.rho:  # the lens crosses the limb at t0 -+ tE sqrt(rho^2 - u0^2)
        crossing = args.tE * math.sqrt(args.rho ** 2 - args.u0 ** 2)
        for axis in (top, bottom):
            for x in (args.t0 - crossing, args.t0 + crossing):
                axis.axvline(x, color="0.3", lw=0.8, ls=(0, (1, 2)))
        top.plot([], [], color="0.3", lw=0.8, ls=(0, (1, 2)), label="lens on the limb")
    top.set_ylabel("magnification A")
    top.set_title(f"u0 = {args.u0:g}, tE = {args.tE:g} d, ρ = {args.rho:g}; "
                  "limb darkening I(μ) = 1 − u(1 − μ) ∝ 1 − Γ(1 − 3μ/2)", fontsize=10)
    top.legend(fontsize=7.5, loc="upper left", bbox_to_anchor=(1.01, 1.0))  # clear of the curves
    bottom.axhline(0, color="0.6", lw=0.8)
    bottom.set_ylabel("A / A_uniform − 1")
    bottom.set_xlabel("t − t0 (days)" if args.t0 == 0 else "t (days)")
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=120, bbox_inches="tight")
    plt.close(figure)


def plot_peak_grid(args, path: Path) -> float:
    """Peak magnification of a uniform source crossing at the event's impact
    parameter, over a grid of Einstein and source radii (one call)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

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
    # Plain numbers on the axes (the default labels the Einstein radii 4 x 10^0 and so on).
    axes.yaxis.set_major_locator(matplotlib.ticker.FixedLocator([0.5, 1, 2, 3, 5]))
    for axis in (axes.xaxis, axes.yaxis):
        axis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}"))
        axis.set_minor_formatter(matplotlib.ticker.NullFormatter())
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
        curves, grid = args.output_dir / "lightcurve.png", args.output_dir / "peak_grid.png"
        plot_light_curves(args, t, results, curves)
        seconds = plot_peak_grid(args, grid)
        print(f"wrote {curves} and {grid} "
              f"({args.grid_size}x{args.grid_size} grid in {seconds * 1e3:.1f} ms)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
