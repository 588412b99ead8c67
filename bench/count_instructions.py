#!/usr/bin/env python3
"""Instructions per element of the module's functions, counted by callgrind.

Instruction counts do not depend on the load of a shared machine, so they
show costs of a fraction of a percent that timings cannot, such as the
interruption checks of the calls. Each case runs in a fresh interpreter
under `valgrind --tool=callgrind` on one worker thread; the count of an
interpreter that only builds the input is subtracted.

    python bench/count_instructions.py                       # the installed module
    python bench/count_instructions.py build/a/src build/b/src   # two builds compared
"""
import argparse
import os
import subprocess
import sys

CASE = r"""
import sys, caustiqa
name, n = sys.argv[1], int(sys.argv[2])
l = [0.5 + i * 1e-5 for i in range(n)]
calls = {
    "witt_mao_magnification": lambda: caustiqa.witt_mao_magnification(l, 1.0, 0.1),
    "integrated_heyrovsky_magnification": lambda: caustiqa.integrated_heyrovsky_magnification(l, 1.0, 0.1),
    "integrated_witt_mao_magnification": lambda: caustiqa.integrated_witt_mao_magnification(l, 1.0, 0.1),
    "discrete_flux_map_heyrovsky_magnification (1 ring)":
        lambda: caustiqa.discrete_flux_map_heyrovsky_magnification(l, 1.0, 0.1, [0.5], [1.0]),
}
if name != "none":
    calls[name]()
"""
SIZES = {
    "witt_mao_magnification": 200000,
    "integrated_heyrovsky_magnification": 300,
    "integrated_witt_mao_magnification": 300,
    "discrete_flux_map_heyrovsky_magnification (1 ring)": 200000,
}


def instructions(path, name, n):
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    if path:
        env["PYTHONPATH"] = path
    result = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-c",
         CASE, name, str(n)], env=env, capture_output=True, text=True, check=True)
    line = next(line for line in result.stderr.splitlines() if "Collected :" in line)
    return int(line.split()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="*", help="directories holding a built caustiqa module")
    paths = parser.parse_args().paths or [""]
    print("case".ljust(52) + "".join(f"{p or 'installed':>22}" for p in paths))
    for name, n in SIZES.items():
        row = []
        for path in paths:
            work = instructions(path, name, n) - instructions(path, "none", n)
            row.append(work / n)
        extra = f"   {100 * (row[-1] / row[0] - 1):+.2f} %" if len(row) > 1 else ""
        print(name.ljust(52) + "".join(f"{r:22.1f}" for r in row) + extra)


if __name__ == "__main__":
    main()
