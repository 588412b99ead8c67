"""heyrovsky_magnification and discrete_flux_map_heyrovsky_magnification from Python."""

import math

import caustiqa
import pytest

INF, NAN = math.inf, math.nan
NAN_ERROR = "ellipk: Arguments cannot be NAN."
ring = caustiqa.heyrovsky_magnification
rings = caustiqa.discrete_flux_map_heyrovsky_magnification


def ring_mean(l, r, w):
    """The mean of the point-source magnification over the ring, by quadrature."""
    mp = pytest.importorskip("mpmath")
    with mp.workdps(30):
        l, r, w = mp.mpf(l), mp.mpf(r), mp.mpf(w)
        d2, lr4 = (r - l) ** 2, 4 * l * r

        def a_pt(t):  # t = pi - phi, so that x^2 = l^2 + r^2 + 2 l r cos(phi) has no cancellation
            x2 = d2 + lr4 * mp.sin(t / 2) ** 2
            return (x2 + 2 * w * w) / mp.sqrt(x2 * (x2 + 4 * w * w))

        cuts, t = [0], min(abs(r - l) / mp.sqrt(l * r), 1) if l * r else 1
        while t < 1:
            cuts, t = cuts + [t], t * 8
        return float(mp.quad(a_pt, cuts + [1, mp.pi]) / mp.pi)


@pytest.mark.parametrize("l, r, re, rstar, rel", [
    (0.5, 0.3, 1.0, 1.0, 1e-12),
    (2.0, 0.7, 1.5, 1.0, 1e-12),
    (0.0, 3e-6, 2.0, 1.0, 1e-12),             # centred on the lens, inside the old band
    (1e3, 1e3 + 3e-5, 1.0, 1.0, 1e-5),        # far rings grazing the lens
    (1e4, 1e4 + 2e-5, 1.0, 1.0, 1e-5),
    (1e3, 1e3 + 1.5e-5, 1.0, 1.0, 1e-5),
    (1e7, 1e7 - 150.0, 30.0, 0.3, 1e-5),      # just outside the band at l = 1e7
])
def test_matches_ring_mean(l, r, re, rstar, rel):
    value = ring(l, r, re, rstar)
    assert type(value) is float
    assert value == pytest.approx(ring_mean(l, r, re / rstar), rel=rel)


@pytest.mark.parametrize("l, r, re, expected", [
    (1.0, 1.0, 1.0, INF),       # ring through the lens
    (1e7, 1e7, 0.1, INF),
    (0.0, 0.0, 1.0, NAN),
    (1.0, 1.0 + 1e-6, NAN, NAN),  # NaN re inside the band is no error
])
def test_non_finite_values(l, r, re, expected):
    value = ring(l, r, re, 1.0)
    assert value == expected or (math.isnan(expected) and math.isnan(value))


@pytest.mark.parametrize("l, r, re", [(NAN, 1.0, 1.0), (1.0, NAN, 1.0), (1.0, 2.0, NAN)])
def test_nan_raises(l, r, re):
    with pytest.raises(RuntimeError) as raised:
        ring(l, r, re, 1.0)
    assert raised.value.args == (NAN_ERROR,)




def test_ring_sums():
    l = [0.0, 0.5, 0.9999995, 3.0]
    assert rings(l, 1.0, 0.5, [], []) == [0.0] * 4
    assert rings([], 1.0, 0.5, [0.5], [1.0]) == []
    assert rings(l, 1.0, 0.5, [1.0], [1.0]) == [ring(x, 1.0, 1.0, 0.5) for x in l]
    two = rings(l, 1.0, 0.5, [0.2, 1.0], [0.25, 0.75])
    assert two == pytest.approx([0.25 * ring(x, 0.2, 1.0, 0.5) + 0.75 * ring(x, 1.0, 1.0, 0.5)
                                 for x in l], rel=1e-15)
    assert rings([0.5], 1.0, 1.0, [0.5, 0.2], [1.0, 1.0]) == [INF]  # a ring through the lens
    assert math.isnan(rings([0.5], 1.0, 1.0, [0.2, 0.5], [1.0, 0.0])[0])


@pytest.mark.parametrize("l, bl, bf", [([0.5, NAN], [0.3], [1.0]), ([0.5], [0.3, NAN], [1.0, 0.0])])
def test_ring_sum_errors(l, bl, bf):
    with pytest.raises(RuntimeError) as raised:
        rings(l, 1.0, 1.0, bl, bf)
    assert raised.value.args == (NAN_ERROR,)
