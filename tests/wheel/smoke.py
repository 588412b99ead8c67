"""Smoke test of an installed caustiqa wheel, run by scripts/wheels in a fresh
environment without a compiler: the module imports from the environment, each
function gives the recorded bits for a few arguments, and no compiler is
reachable. Prints one line per check; exits non-zero on any difference."""

import shutil
import sys
import sysconfig

import caustiqa

BL, BF = [0.0, 0.5, 1.0], [1.0, 0.9, 0.5]
L = [0.0, 0.5, 1.0, 2.0]
# (function, arguments, the results' float.hex), recorded from a source build.
SAMPLES = [
    ("witt_mao_magnification", ([0.0, 0.5, 0.999, 2.0, 10.0, 2500.0], 1.0, 0.1),
     ["0x1.4066560954a8ep+4", "0x1.2b6c18de5e8f7p+4", "0x1.9a6b249e081d9p+3", "0x1.50022214c5968p+2",
      "0x1.57d3e350d2146p+0", "0x1.0000000232ea0p+0"]),
    ("multi_witt_mao_magnification", ([0.0, 2.0], [1.0, 2.0], [0.1, 0.5]),
     [["0x1.4066560954a8ep+4", "0x1.50022214c5968p+2"], ["0x1.07e0f66afed07p+2", "0x1.61897931f72ecp+0"],
      ["0x1.4019989389b2ep+5", "0x1.4c5184728219ep+3"], ["0x1.01fe03f61bad1p+3", "0x1.20de480b97951p+1"]]),
    ("heyrovsky_magnification", (0.5, 0.3, 1.0, 1.0), "0x1.367db0e704944p+1"),
    ("integrated_heyrovsky_magnification", (L, 1.0, 0.1),
     ["0x1.5cdf3f20fc6ebp+4", "0x1.3add328e0b552p+4", "0x1.898d961858871p+3", "0x1.4ed13e10ba210p+2"]),
    ("integrated_witt_mao_magnification", (L, 1.0, 0.1),
     ["0x1.5cdf3f20fc748p+4", "0x1.3add64b82b82ep+4", "0x1.899265c09bdcfp+3", "0x1.4ed13e10ba229p+2"]),
    ("integrated_flux_map_witt_mao_magnification", (L, 1.0, 0.1, BL, BF),
     ["0x1.644f712f02721p+4", "0x1.3e185a3289f8ap+4", "0x1.88e507e965999p+3", "0x1.4ea5bf491d322p+2"]),
    ("integrated_flux_map_heyrovsky_magnification", (L, 1.0, 0.1, BL, BF),
     ["0x1.6453b2f7e87b7p+4", "0x1.3e37513fa51a4p+4", "0x1.89586040b5b41p+3", "0x1.4ea5bf47f1c10p+2"]),
    ("discrete_flux_map_heyrovsky_magnification", (L, 1.0, 0.1, [0.25, 0.75], [0.5, 0.5]),
     ["0x1.aaf76e83e3f47p+4", "0x1.2701b001bb644p+4", "0x1.6689f34912268p+3", "0x1.4b9ed47d09834p+2"]),
]


def hexed(result):
    if isinstance(result, float):
        return result.hex()
    return [hexed(r) for r in result]


def main():
    failures = 0
    site = sysconfig.get_paths()["platlib"]
    print(f"Python {sys.version.split()[0]}: caustiqa from {caustiqa.__file__}")
    if not caustiqa.__file__.startswith(site):
        print(f"FAIL: not the environment's ({site})")
        failures += 1
    compilers = [c for c in ("cc", "c++", "gcc", "g++", "clang", "clang++") if shutil.which(c)]
    print(f"compilers reachable: {compilers or 'none'}")
    failures += bool(compilers)
    for name, args, expected in SAMPLES:
        got = hexed(getattr(caustiqa, name)(*args))
        same = got == expected
        print(f"{name}: {'bit-exact' if same else 'DIFFERS: ' + repr(got)}")
        failures += not same
    print("smoke test:", "passed" if not failures else f"{failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
