"""Every python block of the README runs as printed, and the light-curve example
stays true."""
import doctest
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SECONDS = 120  # the time limit of one script block


def readme_blocks():
    """(section, code) of every ```python block, in order."""
    section, blocks = "", []
    pattern = re.compile(r"^## (.*?)$|^ *```python\n(.*?)^ *```", re.M | re.S)
    for match in pattern.finditer((ROOT / "README.md").read_text()):
        if match.group(1):
            section = match.group(1)
        else:
            blocks.append((section, match.group(2)))
    return blocks


SCRIPTS = [(section, code) for section, code in readme_blocks()
           if not code.lstrip().startswith(">>>")]


def test_readme_sessions_run():
    # The interactive blocks, in order, as one doctest session.
    text = "\n".join(code for _, code in readme_blocks() if code.lstrip().startswith(">>>"))
    test = doctest.DocTestParser().get_doctest(text, {}, "README.md", "README.md", 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert len(test.examples) > 10 and runner.failures == 0


# What a script block must print, by section.
EXPECTED = {
    "Fitting": r"t0 = 2454656\.399\d+, u0 = 0\.00[23]\d+, tE = 1\d\.\d+, rho = 0\.00[45]\d+",
    "Scaling out": r"(event \d: tE [\d.]+ d, fitted [\d.]+ d\n){4}",
}


@pytest.mark.parametrize("section, code", SCRIPTS,
                         ids=[f"{section}-{k}" for k, (section, _) in enumerate(SCRIPTS)])
def test_readme_scripts_run(section, code, tmp_path, run_python):
    # As a user would: saved to a file and run from the project root, within a time limit.
    script = tmp_path / "block.py"
    script.write_text(code)
    out = run_python(script, timeout=SECONDS, cwd=ROOT)
    assert re.search(EXPECTED[section], out), out


def test_every_script_block_is_checked():
    assert {section for section, _ in SCRIPTS} == set(EXPECTED) and len(SCRIPTS) == 3


def test_lightcurve_example_writes_figures(tmp_path, run_python):
    pytest.importorskip("matplotlib")
    out = run_python(ROOT / "examples" / "lightcurve.py", "--points", "21", "--knots", "5",
                     "--rings", "4", "--grid-size", "3", "--output-dir", str(tmp_path), timeout=120)
    assert "limb-darkened, rings" in out and "discrete rings" in out
    for figure in ("lightcurve.png", "peak_grid.png"):
        assert (tmp_path / figure).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("arguments", [["--rho", "0"], ["--points", "1"], ["--tE", "nan"]])
def test_lightcurve_example_rejects_bad_arguments(arguments):
    done = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "lightcurve.py"), "--no-plot", *arguments],
        capture_output=True, text=True, timeout=60,
    )
    assert done.returncode == 2
    assert "error:" in done.stderr
