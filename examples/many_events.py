#!/usr/bin/env python3
"""Simulate and fit many finite-source microlensing events, on a process pool or a
Dask cluster.

Each event is seen in the I band by a survey network of three sites eight
hours of longitude apart (so that the sky is dark somewhere at all times):
nightly 8-hour windows per site with one exposure every --cadence minutes, a
third of each site's nights lost to weather, over t0 +- 2 tE; a source of magnitude 18 to 21 blended with
unrelated light (blend fraction 0 to 80 %); photon noise with a 0.4 % floor.
Parameters: tE from 5 to 40 days and rho from 1e-3 to 0.1 (both uniform in
the logarithm), u0 up to 1.5 rho, so that the lens passes over or close to
the source's face. Each fit starts from a point-source fit and uses no
knowledge of the truth.

The events are simulated in this process (which runs caustiqa's worker pool),
then fitted by --workers processes: a local pool started with --start-method
('fork' by default, the Linux default) or the workers of a Dask distributed
cluster (a LocalCluster, or the scheduler at --scheduler). It reports fits
per second and the fitted against the true parameters.
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

ROOT = Path(__file__).resolve().parents[1]
LIMB_DARKENING = {"I": pointlens.BAND_U["I"]}  # u of I(mu) = 1 - u (1 - mu)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=pointlens.HelpFormatter)
    parser.add_argument("--events", type=pointlens.count(1), default=24, help="number of events")
    parser.add_argument("--seed", type=int, default=2008,
                        help="seed of the simulation: a seed gives the same events and fits")
    parser.add_argument("--cadence", type=float, default=60.0,
                        help="minutes between exposures at each site")
    parser.add_argument("--backend", choices=("pool", "dask"), default="pool",
                        help="where the fits run: a local process pool or a Dask cluster")
    parser.add_argument("--workers", type=pointlens.count(1), default=2, help="processes")
    parser.add_argument("--start-method", choices=("fork", "forkserver", "spawn"), default="fork",
                        help="how the local pool's processes start (pool backend)")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (dask backend; "
                                            "default: start a LocalCluster)")
    parser.add_argument("--timeout", type=float, default=1800.0,
                        help="seconds to wait for all fits before giving up")
    parser.add_argument("--output-dir", type=Path, default=ROOT / "out",
                        help="where many_events.png (fitted against true parameters) goes")
    parser.add_argument("--no-plot", action="store_true", help="write no figure")
    parser.add_argument("--json", type=Path, help="also write the results as JSON here")
    return parser.parse_args(argv)


def simulate_event(seed: int, index: int, cadence_minutes: float = 60.0) -> dict:
    """One survey event: its true parameters and its photometry (a Photometry)."""
    rng = np.random.default_rng([seed, index])
    tE = math.exp(rng.uniform(math.log(5), math.log(40)))
    rho = math.exp(rng.uniform(math.log(1e-3), math.log(0.1)))
    u0 = rng.uniform(0, 1.5) * rho
    t0 = 5000 + rng.uniform(-0.5, 0.5)  # the night of the peak is random too
    source_mag = rng.uniform(18, 21)
    blending = rng.uniform(0, 0.8)  # share of the baseline light that is not the source's
    fs = 10 ** (-0.4 * (source_mag - 18))
    fb = fs * blending / (1 - blending)

    days = np.arange(math.floor(t0 - 2 * tE), math.ceil(t0 + 2 * tE))
    per_night = np.arange(0, 8 / 24, cadence_minutes / 1440)
    t = []
    for site in range(3):
        nights = days[rng.uniform(size=len(days)) > 1 / 3] + site / 3
        t.append((nights[:, None] + per_night[None, :]).ravel())
    t = np.sort(np.concatenate(t))
    t = t + rng.normal(0, 0.1 * cadence_minutes / 1440, size=t.size)

    model = pointlens.Model([pointlens.Photometry("survey", "I", t, np.ones_like(t),
                                                  np.ones_like(t))],
                            limb_darkening=LIMB_DARKENING)
    flux = fs * model.magnification((t0, u0, tE, rho)) + fb
    mag = 18 - 2.5 * np.log10(flux)
    relative_error = np.hypot(0.004, 0.015 * 10 ** (0.2 * (mag - 18)))
    sigma = relative_error * flux
    data = pointlens.Photometry("survey", "I", t, flux + rng.normal(0, sigma), sigma)
    return {"index": index, "true": [t0, u0, tE, rho], "fs": fs, "fb": fb, "data": data}


def fit_one(event: dict) -> dict:
    """Fit one event from a point-source start; what a worker runs."""
    start = time.perf_counter()
    model = pointlens.Model([event["data"]], limb_darkening=LIMB_DARKENING)
    point = pointlens.point_source_start(model, max_nfev=100)
    result = pointlens.fit_finite_source(model, point, max_nfev=100)
    try:
        errors = np.sqrt(np.diag(pointlens.covariance(result))).tolist()
    except np.linalg.LinAlgError:
        errors = [math.nan] * 4
    true_chi2 = model.chi2(event["true"])  # with the fluxes solved, as for the fit
    return {"index": event["index"], "true": event["true"], "fit": result.x.tolist(),
            "errors": errors, "chi2_dof": 2 * result.cost / (len(model.t) - 6),
            "chi2_true_minus_fit": true_chi2 - 2 * result.cost,
            "points": len(model.t), "evaluations": model.calls,
            "seconds": time.perf_counter() - start}


def progress_bar(total: int):
    from tqdm import tqdm

    return tqdm(total=total, desc="fits", unit="fit", file=sys.stderr, mininterval=0.5)


def run_pool(events, workers: int, start_method: str, timeout: float):
    import multiprocessing

    context = multiprocessing.get_context(start_method)
    start = time.perf_counter()
    deadline = time.monotonic() + timeout
    results = []
    with context.Pool(workers) as pool, progress_bar(len(events)) as bar:
        # The pool is terminated on leaving, also after a timeout.
        fits = pool.imap_unordered(fit_one, events, chunksize=1)
        for _ in events:
            results.append(fits.next(max(deadline - time.monotonic(), 0.0)))
            bar.update()
    return results, time.perf_counter() - start, 0.0


def run_dask(events, workers: int, scheduler: str | None, timeout: float):
    from dask.distributed import Client, LocalCluster, as_completed

    start = time.perf_counter()
    if scheduler:
        client, cluster = Client(scheduler, timeout=timeout), None
        # Workers elsewhere import the helper module by name, so it goes to them.
        client.upload_file(pointlens.__file__)
    else:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        startup = time.perf_counter() - start
        start = time.perf_counter()
        futures = client.map(fit_one, events, pure=False)
        results = []
        with progress_bar(len(events)) as bar:
            for future in as_completed(futures, timeout=timeout):
                results.append(future.result())
                bar.update()
        return results, time.perf_counter() - start, startup
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def recovery(results) -> str:
    lines = [f"{'event':>5} {'points':>6} {'u0 true':>9} {'u0 fit':>9} {'tE true':>8} {'tE fit':>8} "
             f"{'rho true':>9} {'rho fit':>9} {'(fit-true)/err: u0':>19} {'tE':>6} {'rho':>6} "
             f"{'chi2/dof':>8} {'chi2(true)-chi2(fit)':>20} {'s':>5}"]
    pulls = []
    for r in sorted(results, key=lambda r: r["index"]):
        true, fitted, errors = map(np.array, (r["true"], r["fit"], r["errors"]))
        pull = (fitted - true) / errors
        pulls.append(pull)
        lines.append(f"{r['index']:>5} {r['points']:>6} {true[1]:>9.2e} {fitted[1]:>9.2e} "
                     f"{true[2]:>8.2f} {fitted[2]:>8.2f} {true[3]:>9.2e} {fitted[3]:>9.2e} "
                     f"{pull[1]:>19.2f} {pull[2]:>6.2f} {pull[3]:>6.2f} {r['chi2_dof']:>8.3f} "
                     f"{r['chi2_true_minus_fit']:>20.2f} {r['seconds']:>5.1f}")
    pulls = np.abs(np.array(pulls))
    rho_error = np.array([abs(r["fit"][3] / r["true"][3] - 1) for r in results])
    found = np.mean([r["chi2_true_minus_fit"] > -1e-6 for r in results])
    lines.append(f"within 2 sigma: u0 {np.mean(pulls[:, 1] < 2):.0%}, tE {np.mean(pulls[:, 2] < 2):.0%},"
                 f" rho {np.mean(pulls[:, 3] < 2):.0%}; median |rho_fit / rho_true - 1| = "
                 f"{np.median(rho_error):.1%}; chi^2 at the fit no more than at the truth: "
                 f"{found:.0%}")
    return "\n".join(lines)


def plot_recovery(results, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    true = np.array([r["true"] for r in results])
    fitted = np.array([r["fit"] for r in results])
    errors = np.array([r["errors"] for r in results])
    figure, axes = plt.subplots(1, 3, figsize=(12, 4))
    for axis, k, name in zip(axes, (1, 2, 3), ("u0", "tE (days)", "ρ")):
        axis.errorbar(true[:, k], fitted[:, k], errors[:, k], fmt="o", ms=4, lw=0.8)
        low, high = np.min(true[:, k]) / 1.5, np.max(true[:, k]) * 1.5
        axis.plot([low, high], [low, high], color="0.5", lw=0.8)
        axis.set_xscale("log")
        axis.set_yscale("log")
        for ticks in (axis.xaxis, axis.yaxis):
            ticks.set_minor_formatter(matplotlib.ticker.NullFormatter())
            if k == 2:  # tE spans less than a decade: plain numbers at 5, 10, 20, 40 days
                ticks.set_major_locator(matplotlib.ticker.FixedLocator([5, 10, 20, 40]))
                ticks.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}"))
        axis.set_xlabel(f"true {name}")
        axis.set_ylabel(f"fitted {name}")
    u = LIMB_DARKENING["I"]
    figure.suptitle(f"{len(results)} simulated survey events: fitted against true (I band, "
                    f"I(μ) = 1 − u(1 − μ), u = {u:.2f}, Γ = 2u/(3 − u) = "
                    f"{float(pointlens.gamma_from_u(u)):.3f})")
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=120)
    plt.close(figure)


def main(argv=None) -> int:
    args = parse_arguments(argv)
    start = time.perf_counter()
    events = [simulate_event(args.seed, i, args.cadence) for i in range(args.events)]
    points = sum(len(event["data"].t) for event in events)
    print(f"simulated {args.events} events ({points} points) in {time.perf_counter() - start:.2f} s")
    if args.backend == "pool":
        results, seconds, startup = run_pool(events, args.workers, args.start_method, args.timeout)
        where = f"a local pool of {args.workers} '{args.start_method}' processes"
    else:
        results, seconds, startup = run_dask(events, args.workers, args.scheduler, args.timeout)
        where = (f"the Dask scheduler at {args.scheduler}" if args.scheduler else
                 f"a Dask LocalCluster of {args.workers} worker processes")
    print(recovery(results))
    rate = len(results) / seconds
    print(f"{len(results)} fits on {where} in {seconds:.1f} s: {rate:.2f} fits per second"
          + (f" (cluster started in {startup:.1f} s)" if startup else ""))
    if not args.no_plot:
        path = args.output_dir / "many_events.png"
        plot_recovery(results, path)
        print(f"wrote {path}")
    if args.json:
        u = LIMB_DARKENING["I"]
        limb_darkening = {"law": pointlens.LAWS,
                          "bands": {"I": {"u": u, "gamma": float(pointlens.gamma_from_u(u))}}}
        args.json.write_text(json.dumps({"fits_per_second": rate, "seconds": seconds,
                                         "startup_seconds": startup,
                                         "limb_darkening": limb_darkening,
                                         "results": sorted(results, key=lambda r: r["index"])},
                                        indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
