"""The recorded bits of the disc and the integrated functions, from Python."""

import pathlib
import subprocess
import sys

import pytest

TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools"


@pytest.mark.parametrize("recorder", ["record_disc_snapshot.py", "record_integrated_snapshot.py"])
def test_recorded_bits_hold(recorder):
    run = subprocess.run([sys.executable, str(TOOLS / recorder), "--check"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
