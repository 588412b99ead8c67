"""The fitting examples: the limb-darkening recipe, the fit of MOA-2008-BLG-310,
and many events on a forked process pool and on a Dask LocalCluster."""
import json
import os
import pathlib
import pickle
import re
import signal
import subprocess
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


def run(script, *arguments, timeout):
    """Runs an example in its own process group, killed whole if it overruns."""
    process = subprocess.Popen([sys.executable, str(EXAMPLES / script), *arguments],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, err = process.communicate()
        pytest.fail(f"{script} did not finish in {timeout} s\n{out}\n{err}")
    assert process.returncode == 0, err
    return out


def linear_law_table(gamma, knots=4000):
    # Knots at r = sin(theta): even in mu = cos(theta), dense at the limb where mu is steep.
    theta = np.linspace(0, np.pi / 2, knots)
    radius = np.sin(theta)
    radius[-1] = 1.0
    return radius.tolist(), (1 - gamma * (1 - np.cos(theta))).tolist()


@pytest.mark.parametrize("method, l, tolerance", [
    ("rings", [0.0, 0.3, 0.7, 0.95, 0.9995, 1.05, 1.5, 3.0, 10.0], 2e-8),
    ("discs", [0.0, 0.3, 0.7, 0.95, 1.05, 1.5, 3.0, 10.0], 3e-5),  # away from the limb
])
@pytest.mark.parametrize("gamma", [0.0, 0.3, 0.9])
@pytest.mark.parametrize("rho", [1e-3, 0.1])
def test_any_limb_darkening_matches_a_fine_table_of_the_law(method, l, tolerance, gamma, rho):
    bl, bf = linear_law_table(gamma)
    table = caustiqa.integrated_flux_map_heyrovsky_magnification(l, 1.0, rho, bl, bf)
    recipe = pointlens.limb_darkened_magnification(l, rho, gamma, method)
    np.testing.assert_allclose(recipe, table, rtol=tolerance)


@pytest.mark.parametrize("gamma", [0.35, 0.9])
@pytest.mark.parametrize("rho", [1e-3, 0.1])
def test_far_approximation_is_close_to_the_integral(gamma, rho):
    data = pointlens.Photometry("x", "I", np.zeros(1), np.ones(1), np.ones(1))
    model = pointlens.Model([data], gamma={"I": gamma})
    u = rho * np.array([5.01, 7.0, 20.0])
    t = np.sqrt(u ** 2 - (rho / 3) ** 2)  # t0 = 0, u0 = rho / 3, tE = 1
    approximate = model.magnification((0.0, rho / 3, 1.0, rho), t)
    exact = pointlens.limb_darkened_magnification(u / rho, rho, gamma)
    np.testing.assert_allclose(approximate, exact, rtol=2.5e-5)


def test_module_functions_pickle_by_reference():
    cloudpickle = pytest.importorskip("cloudpickle")  # what Dask sends functions with
    for name in caustiqa.__all__:
        function = getattr(caustiqa, name)
        for dumps in (pickle.dumps, cloudpickle.dumps):
            data = dumps(function)
            assert name.encode() in data and len(data) < 200
            assert pickle.loads(data) is function
    assert pickle.loads(pickle.dumps(pointlens.profiled_chi2)) is pointlens.profiled_chi2


def test_readme_fitting_code_fits_the_event(monkeypatch):
    section = (ROOT / "README.md").read_text().split("\n## Fitting\n", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    monkeypatch.chdir(ROOT)
    scope = {}
    exec(code, scope)
    fit = scope["fit"]
    # Published errors and one coefficient for all bands: near the example's fit only.
    t0, u0, tE, rho = fit.x
    assert fit.success and abs(t0 + 4656 - CONVERGED["t0"][0]) < 5 * CONVERGED["t0"][1]
    assert rho == pytest.approx(CONVERGED["rho"][0], rel=0.1)


def test_fit_event_converges_and_writes_its_figures(tmp_path):
    out = run("fit_event.py", "--max-nfev", "8", "--surface", "3", "--mcmc", "--walkers", "10",
              "--steps", "2", "--timeout", "60", "--output-dir", str(tmp_path), "--json", str(tmp_path / "fit.json"),
              timeout=150)
    results = json.loads((tmp_path / "fit.json").read_text())
    for name, (value, error) in CONVERGED.items():
        assert abs(results["parameters"][name] - value) < 0.2 * error, name
        assert results["errors"][name] == pytest.approx(error, rel=0.1)
    chi2 = results["chi2_per_set"]
    assert set(chi2) == {"Auck", "Bron", "CTIO_H", "CTIO_I", "Canopus", "Danish", "MOA"}
    assert results["error_scale"]["CTIO_I"] > 2  # the peak's residuals exceed its errors
    assert "emcee: 10 walkers x 2 steps on 2 fork workers" in out
    for name in ("fit_event.png", "fit_event_peak.png", "fit_event_surface.png"):
        assert (tmp_path / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("backend, events", [("dask", 4), ("pool", 2)])
def test_many_events_recovers_parameters(tmp_path, backend, events):
    # The pool forks after the parent has run caustiqa's worker pool to simulate.
    out = run("many_events.py", "--events", str(events), "--backend", backend,
              "--start-method", "fork", "--workers", "2", "--cadence", "120", "--timeout", "60",
              "--no-plot", "--json", str(tmp_path / "many.json"), timeout=150)
    results = json.loads((tmp_path / "many.json").read_text())["results"]
    assert sorted(r["index"] for r in results) == list(range(events))
    for r in results:
        # The fit is at least as good as the truth, and close to it in tE.
        assert r["chi2_true_minus_fit"] > -1e-6
        assert abs(r["fit"][2] / r["true"][2] - 1) < 0.1
    assert "fits per second" in out
