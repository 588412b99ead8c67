"""Tabulated brightness profiles: both flux-map methods against the closed-form
disc, the limb-darkened functions, each other and their own invariances."""

import math

import caustiqa
import pytest

ANNULI = caustiqa.integrated_flux_map_witt_mao_magnification
RINGS = caustiqa.integrated_flux_map_heyrovsky_magnification
METHODS = [pytest.param(ANNULI, id="annuli"), pytest.param(RINGS, id="rings")]
NAN = float("nan")
UNIFORM = ([0.0, 1.0], [1.0, 1.0])
SOURCES = [(1.0, 1.0), (1.0, 0.1)]  # (re, rstar)

# Relative accuracy of the annulus method against the exact disc, by separation:
# the finite annulus width (2e-4) blurs the peak of the annulus through the lens
# (worst near the limb); outside the source it is set by the quadrature alone.
ANNULUS_TOL = {0.0: 1e-4, 0.25: 1e-4, 0.5: 5e-4, 0.75: 2e-3, 0.99: 4e-3, 1.0: 3e-3,
               1.01: 1e-7, 1.5: 1e-9, 2.0: 1e-9}
SEPARATIONS = list(ANNULUS_TOL)
RING_TOL = 1e-9


def rel(actual, expected):
    return [abs(a - e) / abs(e) for a, e in zip(actual, expected, strict=True)]


def within(actual, expected, tols):
    errors = rel(actual, expected)
    assert all(e <= t for e, t in zip(errors, tols)), list(zip(SEPARATIONS, errors))


@pytest.mark.parametrize("re, rstar", SOURCES)
def test_uniform_table_matches_closed_form(re, rstar):
    exact = caustiqa.witt_mao_magnification(SEPARATIONS, re, rstar)
    within(ANNULI(SEPARATIONS, re, rstar, *UNIFORM), exact, ANNULUS_TOL.values())
    within(RINGS(SEPARATIONS, re, rstar, *UNIFORM), exact, [RING_TOL] * len(SEPARATIONS))


@pytest.mark.parametrize("bl, bf", [([0.3], [2.0]), ([0.9], [0.5]), ([5.0], [1e-3])])
@pytest.mark.parametrize("re, rstar", SOURCES)
def test_one_row_table_is_a_uniform_disc(bl, bf, re, rstar):
    # A constant profile, whatever the knot: the ring method reproduces the
    # disc (not the ring at the rim, about 1.24 at l = 1.5 for re = rstar = 1).
    exact = caustiqa.witt_mao_magnification(SEPARATIONS, re, rstar)
    within(RINGS(SEPARATIONS, re, rstar, bl, bf), exact, [RING_TOL] * len(SEPARATIONS))
    within(ANNULI(SEPARATIONS, re, rstar, bl, bf), ANNULI(SEPARATIONS, re, rstar, *UNIFORM),
           [1e-10] * len(SEPARATIONS))  # the quadratures may stop at another level


def limb_darkened_table(n):
    bl = [k / (n - 1) for k in range(n)]
    return bl, [1 - 0.6 * (1 - math.sqrt(1 - r * r)) for r in bl]


@pytest.mark.parametrize("re, rstar", SOURCES)
def test_sampled_limb_darkening(re, rstar):
    # integrated_heyrovsky_magnification agrees with a direct two-dimensional
    # quadrature to ~1e-11, so it is the reference; the sampled table falls short
    # of the true profile mostly in the last interval, where sqrt(1 - r^2) bends.
    table = limb_darkened_table(1000)
    integrated = caustiqa.integrated_heyrovsky_magnification(SEPARATIONS, re, rstar)
    rings = RINGS(SEPARATIONS, re, rstar, *table)
    within(rings, integrated, [5e-5] * len(SEPARATIONS))
    within(ANNULI(SEPARATIONS, re, rstar, *table), integrated,
           [t + 5e-5 for t in ANNULUS_TOL.values()])
    # The disc-integral variant carries its own error of up to ~5e-5 at the limb.
    discs = caustiqa.integrated_witt_mao_magnification(SEPARATIONS, re, rstar)
    within(rings, discs, [1.5e-4] * len(SEPARATIONS))


def test_finer_table_converges():
    # The table error falls like n^-1.5 (the square-root limb): ten times the
    # knots must cut it by much more than ten.
    l = [0.0, 0.5, 1.5]
    integrated = caustiqa.integrated_heyrovsky_magnification(l, 1.0, 1.0)
    coarse, fine = (rel(RINGS(l, 1.0, 1.0, *limb_darkened_table(n)), integrated)
                    for n in (100, 1000))
    assert all(c > 15 * f for c, f in zip(coarse, fine)), (coarse, fine)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("factor", [3.7, 1e-3, 1e5])
def test_brightness_scale_cancels(method, factor):
    bl, bf = limb_darkened_table(300)
    scaled = method(SEPARATIONS, 1.0, 0.5, bl, [factor * f for f in bf])
    within(scaled, method(SEPARATIONS, 1.0, 0.5, bl, bf), [1e-12] * len(SEPARATIONS))


@pytest.mark.parametrize("re, rstar", SOURCES)
def test_methods_agree_on_an_uneven_profile(re, rstar):
    table = ([0.0, 0.3, 0.7, 1.0], [0.2, 1.0, 0.5, 0.9])
    within(ANNULI(SEPARATIONS, re, rstar, *table), RINGS(SEPARATIONS, re, rstar, *table),
           ANNULUS_TOL.values())


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("re, rstar", SOURCES)
def test_dark_inner_half(method, re, rstar):
    # Bright only for 0.5 <= r <= 1: the ring of two uniform discs. The step at
    # r = 0.5 lies inside the quadrature interval, hence the loose tolerance.
    wm = caustiqa.witt_mao_magnification
    expected = [(wm([l], re, rstar)[0] - 0.25 * wm([2 * l], re, 0.5 * rstar)[0]) / 0.75
                for l in SEPARATIONS]
    result = method(SEPARATIONS, re, rstar, [0.5, 1.0], [1.0, 1.0])
    within(result, expected, [2e-2] * len(SEPARATIONS))
    full = wm([0.0], re, rstar)[0]
    assert result[0] < 0.8 * full  # the lens at the centre sees the dark part


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("bl, bf", [([], []), ([0.0, 0.5, 1.0], [0.0, 0.0, 0.0]),
                                    ([2.0, 3.0], [1.0, 1.0])], ids=["empty", "zero", "beyond"])
def test_dark_profiles_give_nan(method, bl, bf):
    assert all(math.isnan(v) for v in method([0.0, 0.5, 1.0, 2.0, NAN], 1.0, 1.0, bl, bf))


# Unequal table lengths: test_boundary.py (the exception) and the C++ tests.
