"""The two limb-darkened magnifications through the Python interface, and the
generators of the tables the quadrature and the elliptic integrals are built on."""

import math
import pathlib
import subprocess
import sys

import caustiqa
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
WITT_MAO = caustiqa.integrated_witt_mao_magnification
HEYROVSKY = caustiqa.integrated_heyrovsky_magnification
NAN, INF = math.nan, math.inf


@pytest.mark.parametrize("rstar, expected", [
    (0.1, [21.80450356, 19.67900329, 12.29853348, 5.231521145, 1.342933003]),
    (1.0, [2.401378221, 2.227093123, 1.586640761, 1.074913941, 1.000195629]),
])
def test_ring_sum_values(rstar, expected):
    result = HEYROVSKY([0.0, 0.5, 1.0, 2.0, 10.0], 1.0, rstar)
    assert type(result) is list and all(type(v) is float for v in result)
    assert result == pytest.approx(expected, rel=1e-8)


# The two routes agree to ~1e-11 outside the source, to ~2e-5 inside it, and to
# ~1e-3 within 0.001 of the rim, where the disc sum's uniform part takes its edge value.
@pytest.mark.parametrize("l, rel", [(0.0, 1e-12), (0.5, 3e-5), (0.9995, 2e-3), (1.0, 1e-4),
                                    (1.5, 1e-11), (10.0, 1e-11)])
@pytest.mark.parametrize("rstar", [0.01, 1.0])
def test_routes_agree(l, rel, rstar):
    assert WITT_MAO([l], 1.0, rstar) == pytest.approx(HEYROVSKY([l], 1.0, rstar), rel=rel)


@pytest.mark.parametrize("method", [WITT_MAO, HEYROVSKY], ids=["witt_mao", "heyrovsky"])
def test_elements_independent(method):
    assert method([], 1.0, 0.1) == []
    l = [0.2, NAN, 1.0, 3.0]
    together = method(l, 1.0, 0.1)
    alone = [method([x], 1.0, 0.1)[0] for x in l]
    assert list(map(repr, together)) == list(map(repr, alone))
    assert list(map(repr, method(l[::-1], 1.0, 0.1))) == list(map(repr, alone[::-1]))
    assert [math.isnan(v) for v in together] == [False, True, False, False]


def test_source_of_no_size():
    # Every separation l * rho is 0: the point source on the lens.
    assert WITT_MAO([0.5, 2.0], 1.0, 0.0) == [INF, INF]
    # No ring value is finite, so there is nothing to integrate.
    assert all(math.isnan(v) for v in HEYROVSKY([0.5, 2.0], 1.0, 0.0))


GENERATORS = ["generate_tanh_sinh_nodes.py", "generate_complete_tables.py"]


@pytest.mark.parametrize("generator", GENERATORS)
def test_generated_tables_are_current(generator):
    pytest.importorskip("mpmath")
    run = subprocess.run([sys.executable, str(ROOT / "tools" / generator), "--check"],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
