"""witt_mao_magnification and multi_witt_mao_magnification from Python."""

import math
import os
import subprocess
import sys

import caustiqa
import pytest

INF, NAN = math.inf, math.nan
SEPARATIONS = [0.0, -0.0, 0.5, 1.0, 1.0005, 2.0, NAN, -3.0, INF]


def hexes(values):
    return [v.hex() for v in values]


@pytest.mark.parametrize("l, re, rstar, expected", [
    ([0.0], 1.0, 1.0, [math.sqrt(5)]),                    # centred on the lens
    ([1.0], 1.0, 1.0, [(2 + math.pi) / math.pi]),         # lens on the disc's edge
    ([0.0], 2.0, 1.0, [math.sqrt(4.25) / 0.5]),           # rho = rstar / re = 0.5
    ([100.0], 1.0, 1.0, [10002 / (100 * math.sqrt(10004))]),  # far: the point-source value
])
def test_values(l, re, rstar, expected):
    assert caustiqa.witt_mao_magnification(l, re, rstar) == pytest.approx(expected, rel=1e-10)


@pytest.mark.parametrize("l, re, rstar, expected", [
    ([], 1.0, 0.1, []),
    ([1.0, NAN, 0.3], 1.0, 0.1, [None, NAN, None]),       # NaN stays in its place
    ([0.0, -0.0, 2.0, -2.0], 1.0, 0.0, [INF, -INF, INF, -INF]),  # rstar = 0: u = +-0
    ([0.0, 1.0, -2.0], 0.0, 1.0, [NAN, NAN, NAN]),        # re = 0
])
def test_degenerate_arguments(l, re, rstar, expected):
    result = caustiqa.witt_mao_magnification(l, re, rstar)
    assert len(result) == len(expected) and all(type(v) is float for v in result)
    for value, want in zip(result, expected):
        if want is None:
            assert math.isfinite(value)
        elif math.isnan(want):
            assert math.isnan(value)
        else:
            assert value == want


def test_combinations_in_re_major_order():
    re, rstar = [1.0, 2.0, 1.0], [0.1, 0.5, 3.0, 0.1]
    result = caustiqa.multi_witt_mao_magnification(SEPARATIONS, re, rstar)
    expected = [caustiqa.witt_mao_magnification(SEPARATIONS, a, b) for a in re for b in rstar]
    assert [hexes(entry) for entry in result] == [hexes(entry) for entry in expected]
    assert hexes(result[0]) == hexes(result[3]) == hexes(result[8]) != hexes(result[1])


@pytest.mark.parametrize("l, re, rstar, expected", [
    ([0.5], [], [1.0, 2.0], []),
    ([0.5], [1.0, 2.0], [], []),
    ([], [1.0, 2.0], [0.1, 0.2, 0.3], [[]] * 6),
])
def test_combination_shapes(l, re, rstar, expected):
    assert caustiqa.multi_witt_mao_magnification(l, re, rstar) == expected


WORK = """
import caustiqa
l = [0.01 * i - 3.0 for i in range(2000)] + [float("nan"), 1.0]
print([v.hex() for v in caustiqa.witt_mao_magnification(l, 1.3, 0.4)])
print([[v.hex() for v in e] for e in
       caustiqa.multi_witt_mao_magnification(l, [1.0, 2.5], [0.05, 0.4, 1.0])])
"""


def test_results_do_not_depend_on_thread_count():
    outputs = []
    for threads in ("1", "2"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        run = subprocess.run([sys.executable, "-c", WORK], env=env, capture_output=True,
                             text=True, timeout=60, check=True)
        outputs.append(run.stdout)
    assert outputs[0] == outputs[1] and outputs[0].count("\n") == 2
