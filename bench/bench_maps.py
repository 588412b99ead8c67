"""The parallel map and the integrated functions from Python: worker scaling,
overheads, a NumPy/SciPy comparison and peak memory.

    .venv/bin/python bench/bench_maps.py                          # full run, about a minute
    .venv/bin/python bench/bench_maps.py --build-dir build/bench  # module, bench_lensing of one build
    .venv/bin/python bench/bench_maps.py --quick                  # a few seconds, rough figures

What it measures, on the separations that bench_lensing uses (10^6 values of
l in [0, 10), re = 1, rstar = 0.1; --quick: 10^4):

  The conversion alone of those separations as a list, an array('d') and a
  float64 ndarray.

  witt_mao_magnification with RAYON_NUM_THREADS=1 and =2, each in a fresh
  subprocess (the pool is sized once per process). Per call: wall time, CPU
  time of all threads, and the critical path = CPU time of the calling thread
  (conversion, hand-off, the result list) + that of the busiest worker, read
  from the CPU clock of every thread in /proc/self/task. On an idle machine the critical path
  is the wall time; on a loaded one the wall time also holds the time the
  threads waited for a core, so the speed-up is given both ways.

  The ratio of the 1-worker call (process CPU time per element) to the bare
  C++ loop over the same separations (BM_uniform_disc_loop in bench_lensing).

  A vectorised NumPy/SciPy version of the same closed form (K, E from
  scipy.special, Pi(n, m) = R_F(0, 1-m, 1) + (n/3) R_J(0, 1-m, 1, 1-n)),
  checked against caustiqa and timed on a float64 array (array in, array out).

  Peak memory of one call on the 10^6 separations, in a fresh subprocess: the
  peak resident size (VmHWM, which counts C++ allocations as well) after the
  call minus that before it, against the sizes of the input and output lists
  (list objects plus their floats). The input list is built without a higher
  transient peak and the pool is started beforehand. ru_maxrss is shown too;
  it is no use here, as Linux carries the parent's peak over into it at exec.

  ns per element of the four integrated functions and of
  discrete_flux_map_heyrovsky_magnification on 10,000 separations spread over
  [0, 3], re = rstar = 1, with the 100-knot table of bench_lensing (as rings
  with weights bf / sum(bf) for the discrete sum); CPU time of this thread.

Every figure is the best of --repeat calls (integrated functions: of
--integrated-repeat calls). scipy is needed for the NumPy/SciPy comparison only;
without it that part is skipped.
"""

from __future__ import annotations

import argparse
import array
import gc
import json
import math
import os
import pathlib
import resource
import subprocess
import sys
import threading
import time

from bench_boundary import cxx_runs, find_bench_binary

# Inputs shared with bench_lensing.cpp (bench_util.h: scattered, spread; the
# table of bench_lensing): the same operations in the same order, so both
# programs see bit-identical separations.
MAP_RE, MAP_RSTAR, MAP_SPAN = 1.0, 0.1, 10.0
INTEGRATED_RE, INTEGRATED_RSTAR, INTEGRATED_SPAN = 1.0, 1.0, 3.0
TABLE_KNOTS = 100
GOLDEN_FRACTION = 0.6180339887498949
EDGE_BAND = 0.001  # the disc's edge branch: |u - rho| < 0.001 rho, i.e. |l - 1| < 0.001

TARGET_SPEEDUP = 1.8
TARGET_LOOP_RATIO = 1.10
TARGET_NUMPY_RATIO = 2.5
TARGET_MEMORY_RATIO = 3.0
AGREEMENT = 1e-9


def map_separations(count: int) -> list[float]:
    """MAP_SPAN * frac((i + 0.5) * GOLDEN_FRACTION), filled into a list made at its full size."""
    values = [0.0] * count
    for i in range(count):
        values[i] = MAP_SPAN * math.fmod((i + 0.5) * GOLDEN_FRACTION, 1.0)
    return values


def integrated_separations(count: int) -> list[float]:
    return [INTEGRATED_SPAN * (j + 0.5) / count for j in range(count)]


def profile_table() -> tuple[list[float], list[float]]:
    """Radii k / 99 and the linear limb-darkening law (coefficient 0.6) at them."""
    bl = [k / (TABLE_KNOTS - 1) for k in range(TABLE_KNOTS)]
    bf = [1.0 - 0.6 * (1.0 - math.sqrt(1.0 - b * b)) for b in bl]
    return bl, bf


# ---------------------------------------------------------------------------
# Subprocess parts (run as `bench_maps.py --child NAME`, print one JSON object).


def thread_times() -> dict[int, tuple[int, int]]:
    """(ns on a CPU, ns runnable but waiting for one) of every thread of this process.

    The CPU time comes from the thread's CPU clock (Linux encodes thread id
    TID as clock id (~TID << 3) | 6), which, unlike schedstat, includes the
    slice the thread is running in; the waiting time comes from schedstat.
    """
    times = {}
    for name in os.listdir("/proc/self/task"):
        tid = int(name)
        try:
            with open(f"/proc/self/task/{name}/schedstat") as f:
                waiting = int(f.read().split()[1])
            on_cpu = time.clock_gettime_ns(((~tid) << 3) | 6)
        except OSError:
            continue
        times[tid] = (on_cpu, waiting)
    return times


def child_map(size: int, repeat: int) -> dict:
    import caustiqa

    l = map_separations(size)
    caustiqa.witt_mao_magnification(l[:1000], MAP_RE, MAP_RSTAR)  # starts the pool
    caller = threading.get_native_id()
    runs = []
    for _ in range(repeat):
        before = thread_times()
        wall_start = time.perf_counter_ns()
        result = caustiqa.witt_mao_magnification(l, MAP_RE, MAP_RSTAR)
        wall = time.perf_counter_ns() - wall_start
        after = thread_times()
        del result
        delta = {tid: (on - before.get(tid, (0, 0))[0], wait - before.get(tid, (0, 0))[1])
                 for tid, (on, wait) in after.items()}
        workers = [d for tid, d in delta.items() if tid != caller]
        runs.append({
            "wall": wall,
            # The sum of the thread clocks: the process clock leaves out the
            # current slice of threads running on another core.
            "cpu": sum(on for on, _ in delta.values()),
            "caller": delta[caller][0],
            "workers": sorted((on for on, _ in workers), reverse=True),
            "waiting": sum(wait for _, wait in workers) + delta[caller][1],
        })
    return {"threads": len(thread_times()) - 1, "runs": runs}


def memory_status() -> dict[str, int]:
    """Resident size now (VmRSS) and its peak (VmHWM) of this process, in bytes."""
    status = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                status[key] = int(value.split()[0]) * 1024
    return status


def child_memory(size: int) -> dict:
    import caustiqa

    caustiqa.witt_mao_magnification([0.5] * 1000, MAP_RE, MAP_RSTAR)  # starts the pool
    l = map_separations(size)
    gc.collect()
    # ru_maxrss is the peak of the process, which Linux carries over from the
    # parent's memory image at exec; VmHWM is the peak of this image alone.
    before = memory_status()
    maxrss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    result = caustiqa.witt_mao_magnification(l, MAP_RE, MAP_RSTAR)
    maxrss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    after = memory_status()

    def list_bytes(values: list[float]) -> int:
        return sys.getsizeof(values) + sum(map(sys.getsizeof, values))

    return {
        "rss_before": before["VmRSS"],
        "peak_before": before["VmHWM"],
        "peak_after": after["VmHWM"],
        "maxrss_before": maxrss_before,
        "maxrss_after": maxrss_after,
        "input_bytes": list_bytes(l),
        "output_bytes": list_bytes(result),
    }


def run_child(name: str, args: argparse.Namespace, size: int, threads: str | None) -> dict:
    env = dict(os.environ)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = threads
    command = [sys.executable, __file__, "--child", name, "--size", str(size),
               "--repeat", str(args.repeat)]
    if args.build_dir:
        command += ["--build-dir", args.build_dir]
    output = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(output)


# ---------------------------------------------------------------------------
# NumPy/SciPy reference.


def numpy_witt_mao(u, rho: float):
    """The uniform-disc closed form, vectorised over u (rho > 0); the edge band as the library's."""
    import numpy as np
    from scipy.special import ellipe, ellipk, elliprf, elliprj

    with np.errstate(all="ignore"):
        rho2 = rho * rho
        s = u + rho
        d = u - rho
        n = (4 * rho * u) / (s * s)
        q = np.sqrt(4 + d * d)
        k = np.sqrt(4 * n) / q
        m = k * k
        big_pi = elliprf(0.0, 1 - m, 1.0) + (n / 3) * elliprj(0.0, 1 - m, 1.0, 1 - n)
        d2 = d * d
        t_e = ellipe(m) * ((q * s) / (2 * rho2))
        t_k = ((d * ((u * u - rho2) * 0.5 + 4)) / (q * rho2)) * ellipk(m)
        t_p = big_pi * (((d2 + d2) * (1 + rho2)) / (q * (rho2 * s)))
        general = (t_p + (t_e - t_k)) / math.pi
    edge = (math.asin((rho2 - 1) / (rho2 + 1)) + math.pi / 2) * ((1 + rho2) / rho2) + 2 / rho
    return np.where(EDGE_BAND * abs(rho) > np.abs(u - rho), edge / math.pi, general)


def best_cpu_ns(call, repeat: int) -> float:
    """Best CPU time of this process for one call, in ns."""
    best = math.inf
    for _ in range(repeat):
        start = time.process_time_ns()
        call()
        best = min(best, time.process_time_ns() - start)
    return best


def best_thread_ns(call, repeat: int) -> float:
    """Best CPU time of this thread for one call, in ns."""
    best = math.inf
    for _ in range(repeat):
        start = time.thread_time_ns()
        call()
        best = min(best, time.thread_time_ns() - start)
    return best


def verdict(value: float | None, target: float, at_least: bool) -> str:
    if value is None:
        return ""
    sign = ">=" if at_least else "<="
    ok = value >= target if at_least else value <= target
    return f"target {sign} {target:g}: {'ok' if ok else 'MISSED'}"


# ---------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, a few seconds")
    parser.add_argument("--build-dir", help="import caustiqa from BUILD_DIR/src and take "
                        "bench_lensing from BUILD_DIR/bench (default: the installed module)")
    parser.add_argument("--bench-binary", help="path of bench_lensing (default: search build/)")
    parser.add_argument("--no-cxx", action="store_true", help="do not run bench_lensing")
    parser.add_argument("--repeat", type=int, default=3, help="calls per map figure (best counts)")
    parser.add_argument("--integrated-repeat", type=int, default=2,
                        help="calls per integrated-function figure")
    parser.add_argument("--child", choices=["map", "memory"], help=argparse.SUPPRESS)
    parser.add_argument("--size", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.build_dir:
        sys.path.insert(0, str(pathlib.Path(args.build_dir).resolve() / "src"))
    if args.child == "map":
        print(json.dumps(child_map(args.size, args.repeat)))
        return 0
    if args.child == "memory":
        print(json.dumps(child_memory(args.size)))
        return 0

    if args.quick:
        args.repeat, args.integrated_repeat = 2, 1
    map_size = 10_000 if args.quick else 1_000_000
    integrated_size = 100 if args.quick else 10_000

    import caustiqa

    print(f"caustiqa from {caustiqa.__file__}")
    print(f"Python {sys.version.split()[0]}; load average {os.getloadavg()[0]:.2f} "
          f"on {os.cpu_count()} CPUs")

    # -- the map on 1 and 2 workers ------------------------------------------
    print(f"\nwitt_mao_magnification on {map_size} separations, best of {args.repeat} "
          "(ns per element)")
    header = (f"{'workers':>7} {'wall':>9} {'cpu':>9} {'critical':>9} {'caller':>9} "
              f"{'busiest':>9} {'waited':>8}")
    print(header)
    print("-" * len(header))
    figures: dict[int, dict[str, float]] = {}
    for threads in (1, 2):
        child = run_child("map", args, map_size, str(threads))
        runs = child["runs"]
        per = {
            "wall": min(r["wall"] for r in runs) / map_size,
            "cpu": min(r["cpu"] for r in runs) / map_size,
            "critical": min(r["caller"] + r["workers"][0] for r in runs) / map_size,
            "caller": min(r["caller"] for r in runs) / map_size,
            "busiest": min(r["workers"][0] for r in runs) / map_size,
            # Time the threads spent waiting for a core / wall time, mean of the calls.
            "waited": sum(r["waiting"] / r["wall"] for r in runs) / len(runs),
        }
        figures[child["threads"]] = per
        print(f"{child['threads']:>7} {per['wall']:>9.1f} {per['cpu']:>9.1f} "
              f"{per['critical']:>9.1f} {per['caller']:>9.1f} {per['busiest']:>9.1f} "
              f"{per['waited']:>8.2f}")
    print("(critical = caller + busiest worker, CPU time; waited = time runnable but off a core,"
          " summed over threads, / wall, mean)")
    one, two = figures.get(1), figures.get(2)
    if one and two:
        by_wall = one["wall"] / two["wall"]
        by_cpu = one["critical"] / two["critical"]
        print(f"speed-up of 2 workers over 1: {by_cpu:.2f}x by critical path, {by_wall:.2f}x by "
              f"wall time  [{verdict(by_cpu, TARGET_SPEEDUP, True)}]")
        print(f"speed-up of the workers' part alone (busiest worker): "
              f"{one['busiest'] / two['busiest']:.2f}x")
        print(f"CPU time of all threads, 2 workers / 1 worker: {two['cpu'] / one['cpu']:.3f} "
              "(parallel overhead)")

    # The caller's serial part against what CPython itself needs to read a list
    # of floats into doubles and to build one from doubles.
    l = map_separations(map_size)
    doubles = array.array("d", l)
    read_ns = best_thread_ns(lambda: array.array("d", l), args.repeat) / map_size
    build_ns = best_thread_ns(doubles.tolist, args.repeat) / map_size
    del doubles
    print(f"CPython floor of the caller's part: array('d', l) {read_ns:.1f} + array.tolist() "
          f"{build_ns:.1f} = {read_ns + build_ns:.1f} ns per element")

    # Conversion alone: a wrong `re` stops the call right after `l` is converted.
    def converted(value):
        try:
            caustiqa.witt_mao_magnification(value, "not a float", MAP_RSTAR)
        except TypeError:
            pass

    inputs = {"list": l, "array('d')": array.array("d", l)}
    try:
        import numpy as np
    except ImportError:
        pass
    else:
        inputs["float64 ndarray"] = np.asarray(l)
    print(f"conversion of {map_size} separations (ms per call, CPU time of this thread):")
    for name, value in inputs.items():
        ms = best_thread_ns(lambda: converted(value), args.repeat) / 1e6
        print(f"  {name:<16} {ms:8.2f}")
    del inputs

    # -- against the bare C++ loop -------------------------------------------
    binary = None if args.no_cxx else find_bench_binary(args.bench_binary, args.build_dir,
                                                        "bench_lensing")
    if binary is not None and binary.exists() and one:
        extra = ("--quick",) if args.quick else ()
        runs = cxx_runs(binary, {"BM_uniform_disc_loop"}, 0.01 if args.quick else 0.5, extra)
        loop_ns = min(r["ns_per_element"] for r in runs["BM_uniform_disc_loop"])
        ratio = one["cpu"] / loop_ns
        print(f"\nbare C++ loop (BM_uniform_disc_loop, {binary}): {loop_ns:.1f} ns per element")
        print(f"caustiqa on 1 worker (process CPU) / bare loop: {ratio:.3f}  "
              f"[{verdict(ratio, TARGET_LOOP_RATIO, False)}]")
    else:
        print("\nbare C++ loop: bench_lensing not found or --no-cxx")

    # -- NumPy/SciPy ---------------------------------------------------------
    try:
        import numpy as np
        import scipy
    except ImportError:
        print("\nNumPy/SciPy comparison skipped: scipy is not installed")
    else:
        rho = MAP_RSTAR / MAP_RE
        u = np.asarray(l) * rho
        reference = np.asarray(caustiqa.witt_mao_magnification(l, MAP_RE, MAP_RSTAR))
        ours = numpy_witt_mao(u, rho)
        relative = np.abs(ours - reference) / np.abs(reference)
        distance = np.abs(np.asarray(l) - 1)
        away = relative[distance >= 10 * EDGE_BAND]
        near = relative[(distance >= EDGE_BAND) & (distance < 10 * EDGE_BAND)]
        agree = away.size > 0 and float(away.max()) <= AGREEMENT
        print(f"\nNumPy {np.__version__} / SciPy {scipy.__version__}: max relative difference "
              f"{away.max():.2e} for |l - 1| >= {10 * EDGE_BAND:g} "
              f"({'agrees' if agree else 'DISAGREES'} to {AGREEMENT:g}), "
              f"{near.max() if near.size else float('nan'):.2e} just outside the edge band")
        numpy_ns = best_cpu_ns(lambda: numpy_witt_mao(u, rho), args.repeat) / map_size
        numpy_wall = math.inf
        for _ in range(args.repeat):
            start = time.perf_counter_ns()
            numpy_witt_mao(u, rho)
            numpy_wall = min(numpy_wall, time.perf_counter_ns() - start)
        numpy_wall /= map_size
        print(f"NumPy/SciPy: {numpy_ns:.1f} ns per element (CPU), {numpy_wall:.1f} (wall)")
        if two:
            by_cpu = numpy_ns / two["critical"]
            by_wall = numpy_wall / two["wall"]
            print(f"caustiqa on 2 workers is {by_cpu:.2f}x faster by critical path, "
                  f"{by_wall:.2f}x by wall time  [{verdict(by_cpu, TARGET_NUMPY_RATIO, True)}]")

    # -- peak memory ---------------------------------------------------------
    memory = run_child("memory", args, map_size, None)
    lists = memory["input_bytes"] + memory["output_bytes"]
    extra_peak = memory["peak_after"] - memory["peak_before"]
    mib = 1 << 20
    print(f"\npeak memory of one call on {map_size} separations: +{extra_peak / mib:.1f} MiB "
          f"(peak resident size {memory['peak_before'] / mib:.1f} -> "
          f"{memory['peak_after'] / mib:.1f} MiB, resident before the call "
          f"{memory['rss_before'] / mib:.1f} MiB; ru_maxrss {memory['maxrss_before'] / mib:.1f} "
          f"-> {memory['maxrss_after'] / mib:.1f} MiB)")
    print(f"input list {memory['input_bytes'] / mib:.1f} MiB + output list "
          f"{memory['output_bytes'] / mib:.1f} MiB; extra peak / lists = {extra_peak / lists:.2f}"
          f"  [{verdict(extra_peak / lists, TARGET_MEMORY_RATIO, False)}]")

    # -- integrated functions ------------------------------------------------
    l = integrated_separations(integrated_size)
    bl, bf = profile_table()
    total = sum(bf)
    weights = [f / total for f in bf]
    re, rstar = INTEGRATED_RE, INTEGRATED_RSTAR
    cases = [
        ("integrated_witt_mao_magnification",
         lambda: caustiqa.integrated_witt_mao_magnification(l, re, rstar)),
        ("integrated_heyrovsky_magnification",
         lambda: caustiqa.integrated_heyrovsky_magnification(l, re, rstar)),
        ("integrated_flux_map_witt_mao_magnification",
         lambda: caustiqa.integrated_flux_map_witt_mao_magnification(l, re, rstar, bl, bf)),
        ("integrated_flux_map_heyrovsky_magnification",
         lambda: caustiqa.integrated_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)),
        ("discrete_flux_map_heyrovsky_magnification (100 rings)",
         lambda: caustiqa.discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, weights)),
    ]
    print(f"\nintegrated functions on {integrated_size} separations, best of "
          f"{args.integrated_repeat} (CPU time of this thread)")
    for name, call in cases:
        ns = best_thread_ns(call, args.integrated_repeat) / integrated_size
        print(f"{name:<56} {ns:>12.0f} ns per element")
    print(f"\nload average at the end {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
