"""Cost of calling caustiqa from Python, against the same work done in C++.

    .venv/bin/python bench/bench_boundary.py            # full run, about 10 s
    .venv/bin/python bench/bench_boundary.py --quick    # smoke pass, about 1 s

How the boundary cost is estimated, for each case in CASES:

    python  = best per-call time of the statement under timeit, minus the
              per-iteration cost of timeit's own loop (an empty statement);
    c++     = best per-call time of the benchmark in bench_special that runs
              the same computation on the same arguments;
    boundary = python - c++: argument binding and conversion, the result
              object, and the interpreter's call itself.

Both sides count CPU time of the calling thread (time.thread_time, Google
Benchmark's cpu_time), not wall time, so that other processes holding the core
inflate the figures less. For context the table also shows math.hypot with
four float arguments: a C builtin of the same arity and calling convention
that returns a new float, about the least any four-argument call can cost.
--quick only checks that every case runs; its figures are rough.

The C++ figures come from running bench_special (given with --bench-binary,
else from --build-dir, else the newest build/*/bench/bench_special); without
it the boundary column shows "n/a". With --build-dir DIR the module is imported
from DIR/src as well, so both sides come from the same sources.
To add a function, append a Case to CASES (and, for a boundary figure, a
benchmark with the same arguments to bench/bench_special.cpp).
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import pathlib
import subprocess
import sys
import time
import timeit

ROOT = pathlib.Path(__file__).resolve().parent.parent


@dataclasses.dataclass(frozen=True)
class Case:
    name: str
    # Runs once in timeit's setup; the names it binds are locals of the timed loop.
    setup: str
    stmt: str
    # Benchmark in bench_special timing the same C++ work, or None.
    cxx_benchmark: str | None = None
    # Per-element figures: unit name -> elements per call.
    elements: dict[str, int] = dataclasses.field(default_factory=dict)
    # Upper bound for the boundary cost per call, in ns, if there is one.
    target_ns: float | None = None


# The arguments must match BM_thin_ring_fixed and BM_discrete_rings_10000x10.
CASES = [
    Case(
        name="math.hypot (4 floats, floor)",
        setup="from math import hypot as f; a, b, c, d = 0.5, 0.3, 1.0, 1.0",
        stmt="f(a, b, c, d)",
    ),
    Case(
        name="heyrovsky_magnification",
        setup="from caustiqa import heyrovsky_magnification as f\n"
        "l, r, re, rstar = 0.5, 0.3, 1.0, 1.0",
        stmt="f(l, r, re, rstar)",
        cxx_benchmark="BM_thin_ring_fixed",
        target_ns=100.0,
    ),
    Case(
        name="heyrovsky_magnification, keywords",
        setup="from caustiqa import heyrovsky_magnification as f",
        stmt="f(l=0.5, r=0.3, re=1.0, rstar=1.0)",
        cxx_benchmark="BM_thin_ring_fixed",
    ),
    Case(
        name="discrete_flux_map_heyrovsky_magnification 10000x10",
        setup=(
            "from caustiqa import discrete_flux_map_heyrovsky_magnification as f\n"
            "l = [3.0 * (j + 0.5) / 10000 for j in range(10000)]\n"
            "bl = [(i + 0.5) / 10 for i in range(10)]\n"
            "bf = [0.1] * 10"
        ),
        stmt="f(l, 1.0, 1.0, bl, bf)",
        cxx_benchmark="BM_discrete_rings_10000x10",
        elements={"separation": 10000, "ring evaluation": 100000},
    ),
]


def best_ns_per_call(setup: str, stmt: str, seconds: float, repeat: int) -> float:
    timer = timeit.Timer(stmt, setup, timer=time.thread_time)
    number, elapsed = timer.autorange()
    number = max(1, int(number * seconds / max(elapsed, 1e-9)))
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def find_bench_binary(given: str | None, build_dir: str | None,
                      program: str = "bench_special") -> pathlib.Path | None:
    """--bench-binary, else BUILD_DIR/bench, else the newest build/*/bench/PROGRAM."""
    if given:
        return pathlib.Path(given)
    if build_dir:
        return pathlib.Path(build_dir) / "bench" / program
    found = list(ROOT.glob(f"build/*/bench/{program}"))
    return max(found, key=lambda p: p.stat().st_mtime) if found else None


def cxx_runs(binary: pathlib.Path, names: set[str], min_time: float,
             extra_args: tuple[str, ...] = ()) -> dict[str, list[dict]]:
    """The JSON record of every repetition of each named benchmark (3 repetitions)."""
    pattern = "^(" + "|".join(sorted(names)) + ")$"
    output = subprocess.run(
        [str(binary), *extra_args, f"--benchmark_filter={pattern}", "--benchmark_format=json",
         f"--benchmark_min_time={min_time}", "--benchmark_repetitions=3"],
        check=True, capture_output=True, text=True,
    ).stdout
    runs: dict[str, list[dict]] = {}
    for run in json.loads(output)["benchmarks"]:
        if run.get("run_type") == "iteration":
            runs.setdefault(run["run_name"], []).append(run)
    return runs


def cxx_ns_per_call(binary: pathlib.Path, names: set[str], min_time: float) -> dict[str, float]:
    """Best CPU time per iteration, in ns, of each named benchmark."""
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    return {
        name: min(run["cpu_time"] * scale[run["time_unit"]] for run in runs)
        for name, runs in cxx_runs(binary, names, min_time).items()
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short smoke pass")
    parser.add_argument("--bench-binary", help="path of bench_special (default: search build/)")
    parser.add_argument(
        "--build-dir",
        help="import caustiqa from BUILD_DIR/src and take bench_special from BUILD_DIR/bench "
        "(default: the installed module)",
    )
    parser.add_argument("--no-cxx", action="store_true", help="do not run bench_special")
    args = parser.parse_args()
    seconds, repeat, cxx_min_time = (0.02, 3, 0.01) if args.quick else (0.2, 5, 0.2)

    if args.build_dir:
        sys.path.insert(0, str(pathlib.Path(args.build_dir).resolve() / "src"))
    import caustiqa

    print(f"caustiqa from {caustiqa.__file__}")
    print(f"Python {sys.version.split()[0]}")

    cxx: dict[str, float] = {}
    wanted = {c.cxx_benchmark for c in CASES if c.cxx_benchmark}
    binary = None if args.no_cxx else find_bench_binary(args.bench_binary, args.build_dir)
    if binary is not None and wanted:
        print(f"C++ figures from {binary}")
        cxx = cxx_ns_per_call(binary, wanted, cxx_min_time)
    else:
        print("C++ figures: none (bench_special not found or --no-cxx)")

    loop_ns = best_ns_per_call("", "pass", seconds, repeat)
    print(f"timeit loop cost {loop_ns:.1f} ns per iteration, subtracted below\n")

    header = f"{'case':<52} {'python ns':>12} {'c++ ns':>12} {'boundary ns':>12}  target"
    print(header)
    print("-" * len(header))
    per_element: list[tuple[str, str, float, float | None]] = []
    for case in CASES:
        python_ns = best_ns_per_call(case.setup, case.stmt, seconds, repeat) - loop_ns
        cxx_ns = cxx.get(case.cxx_benchmark) if case.cxx_benchmark else None
        boundary = python_ns - cxx_ns if cxx_ns is not None else None
        verdict = ""
        if case.target_ns is not None:
            verdict = f"< {case.target_ns:g}"
            if boundary is not None:
                verdict += " ok" if boundary < case.target_ns else " EXCEEDED"
        print(f"{case.name:<52} {python_ns:>12.1f} {fmt(cxx_ns):>12} {fmt(boundary):>12}  "
              f"{verdict}")
        for unit, count in case.elements.items():
            per_element.append((case.name, unit, python_ns / count,
                                boundary / count if boundary is not None else None))

    if per_element:
        print(f"\n{'case':<52} {'per':>16} {'python ns':>12} {'boundary ns':>12}")
        for name, unit, python_ns, boundary in per_element:
            print(f"{name:<52} {unit:>16} {python_ns:>12.2f} {fmt(boundary, 2):>12}")
    return 0


def fmt(value: float | None, digits: int = 1) -> str:
    return "n/a" if value is None else f"{value:.{digits}f}"


if __name__ == "__main__":
    sys.exit(main())
