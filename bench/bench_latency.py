"""Latency of short pooled calls: witt_mao_magnification in runs of back-to-back
calls, as a fit makes them, beside the kernel-only floor; and the CPU an idle
pool burns after the last call.

    .venv/bin/python bench/bench_latency.py                          # about a minute
    .venv/bin/python bench/bench_latency.py --build-dir build/bench  # kernel floor from that build
    .venv/bin/python bench/bench_latency.py --quick                  # a few seconds, rough figures

For 1 and 2 workers (each in a fresh subprocess, RAYON_NUM_THREADS) and for
1, 2, 10, 100, 1,000 and 10,000 separations (the first ones of bench_lensing's
map separations, l in [0, 10), re = 1, rstar = 0.1, passed as a list), the
median time per call over batches of back-to-back calls. Beside it:

  kernel floor   n x k / workers, where k is the time per element of the
                 map's leaf kernel on one thread: BM_disc_map_chunk of
                 bench_lensing when its binary is found (CPU time), else the
                 per-element time of a 10^5-separation call on one worker;
  floats         creating the n result floats alone (array.tolist());
  excess         call - kernel floor, the hand-over and the interpreter's
                 share (target: at most 4 us from 2 to 100 separations);
  ratio          call / (kernel floor + floats) (target at 1,000: <= 1.3).

With one separation the call runs on the calling thread and the pool is not
involved. The idle figure is the CPU time of all the process's threads over
--idle seconds after the last call, in per cent of one core (target < 1 %).

With --interrupt, instead: how soon a signal whose handler raises ends a call
on 10^7 and 5 * 10^7 separations (a list of floats, 2 workers), the signal
sent 0.3 to 2 s into the call: the time from the signal to the handler and to
the exception (target: the exception within 0.2 s).
"""

from __future__ import annotations

import argparse
import array
import json
import os
import statistics
import subprocess
import sys
import time

from bench_boundary import cxx_runs, find_bench_binary
from bench_maps import MAP_RE, MAP_RSTAR, map_separations

SIZES = (1, 2, 10, 100, 1000, 10000)
TARGET_EXCESS_US = 4.0
TARGET_RATIO_1000 = 1.3
TARGET_IDLE_PERCENT = 1.0


def process_cpu_seconds() -> float:
    with open("/proc/self/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def per_call_us(call, batch_seconds: float, batches: int) -> float:
    """Median over `batches` of the mean time per call in a batch of back-to-back calls."""
    count, start = 0, time.perf_counter()
    while time.perf_counter() - start < batch_seconds / 4:  # warm-up, and a batch size
        call()
        count += 1
    size = max(1, int(count * 4))
    means = []
    for _ in range(batches):
        start = time.perf_counter_ns()
        for _ in range(size):
            call()
        means.append((time.perf_counter_ns() - start) / size / 1e3)
    return statistics.median(means)


def child(args: argparse.Namespace) -> None:
    import caustiqa

    f = caustiqa.witt_mao_magnification
    separations = map_separations(max(SIZES))
    f(separations[:1000], MAP_RE, MAP_RSTAR)  # the pool exists and its workers ran
    figures = {}
    for n in SIZES:
        l = separations[:n]
        values = array.array("d", f(l, MAP_RE, MAP_RSTAR))
        figures[n] = {
            "call_us": per_call_us(lambda: f(l, MAP_RE, MAP_RSTAR), args.batch, args.batches),
            "floats_us": per_call_us(values.tolist, args.batch, args.batches),
        }
    long = map_separations(10**5)
    start = time.perf_counter()
    f(long, MAP_RE, MAP_RSTAR)
    one_call_ns = (time.perf_counter() - start) * 1e9 / len(long)
    idle = None
    if args.idle > 0:
        before = process_cpu_seconds()
        time.sleep(args.idle)
        idle = 100 * (process_cpu_seconds() - before) / args.idle
    print(json.dumps({"figures": figures, "long_call_ns": one_call_ns, "idle_percent": idle}))


INTERRUPT = """
import array, gc, signal, sys, time, caustiqa
n, delays = int(float(sys.argv[1])), [float(d) for d in sys.argv[2:]]
l = list(array.array("d", [0.5 + i * 1e-3 for i in range(1000)]) * (n // 1000))
class Stop(Exception):
    pass
handled = []
def handler(*_):
    handled.append(time.monotonic())
    raise Stop
signal.signal(signal.SIGALRM, handler)
caustiqa.witt_mao_magnification(l[:5000], 1.0, 0.1)
for delay in delays:
    handled.clear()
    gc.disable()  # no collection of the floats while the call is timed
    start = time.monotonic()
    signal.setitimer(signal.ITIMER_REAL, delay)
    try:
        caustiqa.witt_mao_magnification(l, 1.0, 0.1)
    except Stop:
        pass
    end = time.monotonic()
    gc.enable()
    sent = start + delay
    print(n, delay, handled[0] - sent if handled else float("nan"), end - sent, flush=True)
    time.sleep(0.5)  # the released floats of the interrupted call
"""


def interrupt() -> None:
    print(f"{'n':>10} {'signal at s':>11} {'to handler s':>12} {'to exception s':>14}")
    env = dict(os.environ, RAYON_NUM_THREADS="2")
    for n, delays in (("1e7", ("0.3",)), ("5e7", ("0.3", "0.5", "1.0", "2.0"))):
        output = subprocess.run([sys.executable, "-c", INTERRUPT, n, *delays], env=env,
                                check=True, capture_output=True, text=True).stdout
        for line in output.splitlines():
            count, delay, handler, exception = line.split()
            print(f"{float(count):>10.0e} {float(delay):>11.1f} {float(handler):>12.3f} "
                  f"{float(exception):>14.3f}")


def kernel_ns(build_dir: str | None) -> tuple[float | None, str]:
    binary = find_bench_binary(None, build_dir, "bench_lensing")
    if binary is None or not binary.exists():
        return None, ""
    runs = cxx_runs(binary, {"BM_disc_map_chunk"}, 0.2)["BM_disc_map_chunk"]
    return min(r["ns_per_eval"] for r in runs), f"BM_disc_map_chunk of {binary}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", help="a build with the benchmarks (for the kernel floor)")
    parser.add_argument("--quick", action="store_true", help="short batches, no idle figure")
    parser.add_argument("--interrupt", action="store_true",
                        help="time from a signal to the exception instead (about 30 s, 2.5 GB)")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--batch", type=float, default=0.05, help=argparse.SUPPRESS)
    parser.add_argument("--batches", type=int, default=15, help=argparse.SUPPRESS)
    parser.add_argument("--idle", type=float, default=10.0,
                        help="seconds to watch the idle pool after the last call (default 10)")
    args = parser.parse_args()
    if args.child:
        child(args)
        return 0
    if args.interrupt:
        interrupt()
        return 0
    if args.quick:
        args.batch, args.batches, args.idle = 0.01, 3, 0.0

    kernel, source = kernel_ns(args.build_dir)
    results = {}
    for workers in (1, 2):
        env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
        output = subprocess.run(
            [sys.executable, __file__, "--child", "--batch", str(args.batch),
             "--batches", str(args.batches), "--idle", str(args.idle if workers == 2 else 0)],
            env=env, check=True, capture_output=True, text=True).stdout
        results[workers] = json.loads(output)
    if kernel is None:
        kernel = results[1]["long_call_ns"]
        source = "a 10^5-separation call on one worker, per element"
    print(f"kernel per element: {kernel:.1f} ns ({source})\n")
    print(f"{'n':>6} {'workers':>7} {'call us':>9} {'floor us':>9} {'floats us':>9} "
          f"{'excess us':>9} {'ratio':>6}")
    for n in SIZES:
        for workers in (1, 2):
            figure = results[workers]["figures"][str(n)]
            floor = n * kernel / (1 if n == 1 else workers) / 1e3
            call, floats = figure["call_us"], figure["floats_us"]
            print(f"{n:>6} {workers:>7} {call:>9.2f} {floor:>9.2f} {floats:>9.2f} "
                  f"{call - floor:>9.2f} {call / (floor + floats):>6.2f}")
    print(f"\ntargets: excess <= {TARGET_EXCESS_US} us for 2 to 100 separations; "
          f"ratio <= {TARGET_RATIO_1000} at 1,000")
    idle = results[2]["idle_percent"]
    if idle is not None:
        print(f"idle pool (2 workers), {args.idle:.0f} s after the last call: {idle:.2f} % of a core "
              f"(target < {TARGET_IDLE_PERCENT} %)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
