"""The caustiqa functions, described once for all boundary tests, and a
bounded runner of Python scripts.

Each entry lists the parameters in order (``:s`` marks a sequence, the others
take a float) and one valid argument set. A test that asks for ``fn``,
``error_fn`` or ``panic_fn`` (and optionally ``param``, ``seq_param`` or
``float_param``) runs once per function (and parameter).
"""

import os
import signal
import subprocess
import sys

import caustiqa
import pytest

L, NAN = [0.5, 2.0], float("nan")
DISC = dict(l=L, re=1.0, rstar=0.1)
FLUX, FLUX_ARGS = "l:s re rstar bl:s bf:s", dict(DISC, bl=[0.2, 0.6, 1.0], bf=[1.0, 0.8, 0.5])
UNEQUAL = dict(l=[], bl=[1.0, 2.0, 3.0], bf=[1.0, 2.0])


class Function:
    def __init__(self, name, parameters, result, valid, error=None, panic=None):
        self.name, self.result, self.valid = name, result, valid
        self.error, self.panic = error, panic  # overrides that raise the NaN error / fail fatally
        self.kinds = {p.removesuffix(":s"): "sequence" if p.endswith(":s") else "float"
                      for p in parameters.split()}
        self.names = tuple(self.kinds)
        self.signature = "(" + ", ".join(self.names) + ")"
        # A Python function with the same signature: the interpreter's own
        # messages for binding its arguments are the expected ones.
        exec(f"def {name}{self.signature}: pass", scope := {})
        self.reference = scope[name]

    def __repr__(self):
        return self.name

    def args(self, **overrides):
        """The valid arguments in parameter order (lists copied), with overrides."""
        values = {**self.valid, **overrides}
        return [list(v) if isinstance(v, list) else v for v in map(values.get, self.names)]

    def __call__(self, *args, **kwargs):
        return getattr(caustiqa, self.name)(*args, **kwargs)

    def call_with(self, **overrides):
        return self(*self.args(**overrides))


FUNCTIONS = [
    Function("witt_mao_magnification", "l:s re rstar", "list", DISC),
    Function("multi_witt_mao_magnification", "l:s re:s rstar:s", "lists",
             dict(l=L, re=[1.0, 2.0], rstar=[0.1, 0.5, 1.0])),
    Function("heyrovsky_magnification", "l r re rstar", "float",
             dict(l=0.5, r=0.3, re=1.0, rstar=1.0), error=dict(l=NAN)),
    Function("integrated_heyrovsky_magnification", "l:s re rstar", "list", DISC),
    Function("integrated_witt_mao_magnification", "l:s re rstar", "list", DISC),
    Function("integrated_flux_map_witt_mao_magnification", FLUX, "list", FLUX_ARGS, panic=UNEQUAL),
    Function("integrated_flux_map_heyrovsky_magnification", FLUX, "list", FLUX_ARGS, panic=UNEQUAL),
    Function("discrete_flux_map_heyrovsky_magnification", FLUX, "list", FLUX_ARGS,
             error=dict(l=[1.0, NAN]), panic=UNEQUAL),
]

_FUNCTIONS = {"fn": lambda f: True, "error_fn": lambda f: f.error, "panic_fn": lambda f: f.panic}
_PARAMETERS = {"param": ("sequence", "float"), "seq_param": ("sequence",), "float_param": ("float",)}


def pytest_generate_tests(metafunc):
    names = [n for n in (*_FUNCTIONS, *_PARAMETERS) if n in metafunc.fixturenames]
    if not names:
        return
    kinds = _PARAMETERS.get(names[-1])  # None without a per-parameter fixture
    cases = []
    for f in filter(_FUNCTIONS[names[0]], FUNCTIONS):
        params = [(p,) for p in f.names if f.kinds[p] in kinds] if kinds else [()]
        cases += [pytest.param(f, *p, id="-".join((f.name, *p))) for p in params]
    metafunc.parametrize(names, cases)


@pytest.fixture
def function_table():
    return FUNCTIONS


@pytest.fixture
def run_python():
    """run(script, *arguments, timeout, cwd=None) runs a Python script (or
    interpreter options, as "-c", code) in its own process group, killed whole, with any children it
    forked, if it overruns; a timeout or a non-zero exit fails the test.
    Returns what the script printed."""
    def run(script, *arguments, timeout, cwd=None):
        process = subprocess.Popen([sys.executable, str(script), *arguments], cwd=cwd,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   start_new_session=True)
        try:
            out, err = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            out, err = process.communicate()
            command = " ".join(map(str, (script, *arguments)))[:80]
            pytest.fail(f"python {command} did not finish in {timeout} s\n{out}\n{err}")
        assert process.returncode == 0, err
        return out
    return run


def pytest_terminal_summary(terminalreporter):
    """Lists what tests recorded with record_property, such as the number of fuzzed calls."""
    reports = [r for r in terminalreporter.stats.get("passed", []) + terminalreporter.stats.get("failed", [])
               if r.when == "call" and r.user_properties]
    if reports:
        terminalreporter.write_sep("-", "recorded properties")
        for report in reports:
            for key, value in report.user_properties:
                terminalreporter.write_line(f"{report.nodeid}: {key} = {value}")
