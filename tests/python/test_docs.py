"""The README's examples and the worked light-curve example stay true."""
import doctest
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_readme_examples_run():
    # The ```python blocks, in order, as one doctest session.
    blocks = re.findall(r"^ *```python\n(.*?)^ *```", (ROOT / "README.md").read_text(),
                        re.M | re.S)
    text = "\n".join(blocks)
    test = doctest.DocTestParser().get_doctest(text, {}, "README.md", "README.md", 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert test.examples and len(test.examples) > 10
    assert runner.failures == 0


def test_lightcurve_example_writes_figures(tmp_path):
    pytest.importorskip("matplotlib")
    curve, grid = tmp_path / "curve.png", tmp_path / "grid.png"
    done = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "lightcurve.py"), "--points", "21",
         "--knots", "5", "--rings", "4", "--grid-size", "3",
         "--output", str(curve), "--grid-output", str(grid)],
        capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert "limb-darkened, rings" in done.stdout and "discrete rings" in done.stdout
    for figure in (curve, grid):
        assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("arguments", [["--rho", "0"], ["--points", "1"], ["--tE", "nan"]])
def test_lightcurve_example_rejects_bad_arguments(arguments):
    done = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "lightcurve.py"), "--no-plot", *arguments],
        capture_output=True, text=True, timeout=60,
    )
    assert done.returncode == 2
    assert "error:" in done.stderr
