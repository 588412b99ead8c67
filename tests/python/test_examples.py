"""The fitting examples: the limb-darkening recipe, the fit of MOA-2008-BLG-310,
and many events on a forked process pool and on a Dask LocalCluster."""
import json
import pathlib
import pickle
import re
import sys

import numpy as np
import pytest

import caustiqa

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(EXAMPLES))
import pointlens  # noqa: E402

# A converged run of examples/fit_event.py (no evaluation budget) and its errors.
CONVERGED = {"t0": (4656.399049, 6.5e-05), "u0": (0.0028925, 1.44e-04),
             "tE": (11.182, 0.54), "rho": (0.0049298, 2.39e-04)}


def linear_law_table(u, knots=4000):
    # Knots at r = sin(theta): even in mu = cos(theta), dense at the limb where mu is steep.
    theta = np.linspace(0, np.pi / 2, knots)
    radius = np.sin(theta)
    radius[-1] = 1.0
    return radius.tolist(), (1 - u * (1 - np.cos(theta))).tolist()


@pytest.mark.parametrize("method, l, tolerance", [
    ("rings", [0.0, 0.3, 0.7, 0.95, 0.9995, 1.05, 1.5, 3.0, 10.0], 2e-8),
    ("discs", [0.0, 0.3, 0.7, 0.95, 1.05, 1.5, 3.0, 10.0], 3e-5),  # away from the limb
])
@pytest.mark.parametrize("u", [0.0, 0.3, 0.9])
@pytest.mark.parametrize("rho", [1e-3, 0.1])
def test_any_limb_darkening_matches_a_fine_table_of_the_law(method, l, tolerance, u, rho):
    bl, bf = linear_law_table(u)
    table = caustiqa.integrated_flux_map_heyrovsky_magnification(l, 1.0, rho, bl, bf)
    recipe = pointlens.limb_darkened_magnification(l, rho, u, method)
    np.testing.assert_allclose(recipe, table, rtol=tolerance)


# Separations dense at the limb, where the interpolated excess is least smooth,
# and across the far-field boundary.
SEPARATIONS = np.concatenate([np.linspace(0, 0.99, 60), 1 + np.geomspace(-0.01, -1e-4, 30),
                              1 + np.geomspace(1e-4, 0.01, 30), np.geomspace(1.01, 100, 80)])


@pytest.mark.parametrize("u", [0.0, 0.35, 1.0])
@pytest.mark.parametrize("rho", [1e-3, 0.02, 0.1])
def test_interpolated_model_matches_the_integral_at_every_point(u, rho):
    exact = pointlens.limb_darkened_magnification(SEPARATIONS, rho, u)
    np.testing.assert_allclose(pointlens.interpolated_magnification(SEPARATIONS, rho, u), exact,
                               rtol=1e-7, atol=0)
    # No more points in a region than its nodes: each point gets its integral.
    few = SEPARATIONS[::12][SEPARATIONS[::12] < pointlens.FAR]
    np.testing.assert_array_equal(pointlens.interpolated_magnification(few, rho, u),
                                  pointlens.limb_darkened_magnification(few, rho, u))


@pytest.mark.parametrize("u, gamma", [(0.0, 0.0), (0.35, 0.264151), (0.55, 0.448980),
                                      (0.6, 0.5), (0.63, 0.531646), (1.0, 1.0)])
def test_u_and_gamma_convert_both_ways(u, gamma):
    assert pointlens.gamma_from_u(u) == pytest.approx(gamma, abs=1e-6)
    assert pointlens.u_from_gamma(pointlens.gamma_from_u(u)) == pytest.approx(u, abs=1e-15)
    # The two laws describe one profile: I(mu) / I(1) agree at every mu.
    mu = np.linspace(0, 1, 5)
    g = pointlens.gamma_from_u(u)
    np.testing.assert_allclose(1 - u * (1 - mu), (1 - g * (1 - 1.5 * mu)) / (1 + g / 2))


@pytest.mark.parametrize("call", [
    lambda: pointlens.gamma_from_u(1.2),
    lambda: pointlens.u_from_gamma(-0.1),
    lambda: pointlens.limb_darkened_magnification([0.5], 0.01, float("nan")),
    lambda: pointlens.interpolated_magnification([0.5], 0.0, 0.5),
    lambda: pointlens.uniform_disc([0.5], -0.01),
    lambda: pointlens.Model(SETS, limb_darkening={"I": 1.5}),
    lambda: MODEL.magnification((0.0, 0.01, 10.0, -0.005)),
    lambda: MODEL.magnification((0.0, 0.01, 0.0, 0.005)),
    lambda: MODEL.variant(finite_source=False).magnification((0.0, 0.01, -1.0, 0.005)),
], ids=["u>1", "gamma<0", "u nan", "rho=0", "rho<0 disc", "model u>1", "model rho<0", "tE=0",
        "point tE<0"])
def test_models_reject_parameters_outside_their_range(call):
    with pytest.raises(ValueError):
        call()


SETS = [pointlens.Photometry("x", "I", np.linspace(-1, 1, 5), np.ones(5), np.ones(5))]
MODEL = pointlens.Model(SETS)


def test_module_functions_pickle_by_reference():
    cloudpickle = pytest.importorskip("cloudpickle")  # what Dask sends functions with
    for name in caustiqa.__all__:
        function = getattr(caustiqa, name)
        for dumps in (pickle.dumps, cloudpickle.dumps):
            data = dumps(function)
            assert name.encode() in data and len(data) < 200
            assert pickle.loads(data) is function
    assert pickle.loads(pickle.dumps(pointlens.profiled_chi2)) is pointlens.profiled_chi2


def test_fit_event_converges_and_writes_its_figures(tmp_path, run_python):
    out = run_python(EXAMPLES / "fit_event.py", "--max-nfev", "8", "--surface", "3", "--mcmc", "--walkers", "10",
              "--steps", "2", "--gamma", "H=0.2", "--timeout", "60", "--output-dir", str(tmp_path),
              "--json", str(tmp_path / "fit.json"), timeout=150)
    results = json.loads((tmp_path / "fit.json").read_text())
    for name, (value, error) in CONVERGED.items():
        assert abs(results["parameters"][name] - value) < 0.2 * error, name
        assert results["errors"][name] == pytest.approx(error, rel=0.1)
    chi2 = results["chi2_per_set"]
    assert set(chi2) == {"Auck", "Bron", "CTIO_H", "CTIO_I", "Canopus", "Danish", "MOA"}
    assert results["error_scale"]["CTIO_I"] > 2  # the peak's residuals exceed its errors
    assert results["model_error"] < 1e-6 and results["integrals_per_likelihood"] < 60
    bands = results["limb_darkening"]["bands"]
    assert bands["I"] == {"u": 0.55, "gamma": pytest.approx(0.44898, abs=1e-5)}
    assert bands["H"] == {"u": pytest.approx(0.6 / 2.2), "gamma": pytest.approx(0.2)}
    assert "emcee: 10 walkers x 2 steps on 2 fork workers" in out
    for stage in ("point-source fit", "uniform-disc fits", "limb-darkened fit", "refit 2 of 2"):
        assert stage in out
    for name in ("fit_event.png", "fit_event_peak.png", "fit_event_surface.png"):
        assert (tmp_path / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


# The threads are caustiqa's own workers, and forking past them is what the
# example does and what the pool's fork handlers make safe.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_seed_gives_the_same_chain_on_any_pool():
    import fit_event

    model = pointlens.Model(pointlens.load_event(EXAMPLES / "data" / "MB08310"))
    best = np.array([value for value, _ in CONVERGED.values()])
    cov = np.diag([error ** 2 for _, error in CONVERGED.values()])

    def chain(seed, workers):
        return fit_event.run_mcmc(model, best, cov, 10, 3, workers, "fork", 60, seed)[0]

    first = chain(7, 1)
    np.testing.assert_array_equal(first, chain(7, 2))
    assert not np.array_equal(first, chain(8, 1))


@pytest.mark.parametrize("script", ["fit_event", "many_events", "lightcurve"])
def test_examples_help_is_clean_and_output_goes_to_the_project(script, capsys):
    module = __import__(script)
    with pytest.raises(SystemExit):
        module.parse_arguments(["--help"])
    text = capsys.readouterr().out
    assert "(default: None)" not in text and "(default: [])" not in text
    # Every option has a help text, after its names or on the lines below them.
    for entry in re.split(r"\n(?=  -)", text.split("options:", 1)[1])[1:]:
        names, _, description = entry.strip().partition("  ")
        assert description.strip(), names
    assert module.parse_arguments([]).output_dir == ROOT / "out"


def test_fit_event_takes_u_or_gamma():
    import fit_event

    arguments = fit_event.parse_arguments(["--u", "I=0.5", "--gamma", "H=0.5"])
    assert arguments.coefficients == [("I", 0.5), ("H", pytest.approx(0.6))]
    for wrong in (["--u", "I=1.2"], ["--gamma", "H=-0.1"], ["--u", "=0.5"]):
        with pytest.raises(SystemExit):
            fit_event.parse_arguments(wrong)


@pytest.mark.parametrize("backend, events", [("dask", 2), ("pool", 2)])
def test_many_events_recovers_parameters(tmp_path, backend, events, run_python):
    # The pool forks after the parent has run caustiqa's worker pool to simulate.
    out = run_python(EXAMPLES / "many_events.py", "--events", str(events), "--backend", backend,
              "--start-method", "fork", "--workers", "2", "--cadence", "120", "--timeout", "60",
              "--no-plot", "--json", str(tmp_path / "many.json"), timeout=150)
    results = json.loads((tmp_path / "many.json").read_text())["results"]
    assert [r["index"] for r in results] == list(range(events))
    for r in results:
        # The fit is at least as good as the truth, and close to it in tE.
        assert r["chi2_true_minus_fit"] > -1e-6
        assert abs(r["fit"][2] / r["true"][2] - 1) < 0.1
    assert "fits per second" in out
