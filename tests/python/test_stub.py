"""The installed stub package matches the module's own signatures, and type
checkers find it: correct calls pass, wrong ones are reported."""
import ast
import inspect
import pathlib
import subprocess
import sys
import textwrap

import pytest

import caustiqa

from conftest import FUNCTIONS

ROOT = pathlib.Path(__file__).resolve().parents[2]


def stub_path():
    # The stub package beside the installed module; the source's for a module run
    # from a build directory (the sanitizer scripts).
    installed = pathlib.Path(caustiqa.__file__).parent / "caustiqa-stubs" / "__init__.pyi"
    return installed if installed.exists() else ROOT / "src/module/caustiqa-stubs/__init__.pyi"


def stub_functions():
    tree = ast.parse(stub_path().read_text())
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    exported = next(
        ast.literal_eval(node.value) for node in tree.body
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"
    )
    return functions, exported


def test_stub_lists_the_module_functions_in_order():
    functions, exported = stub_functions()
    assert exported == caustiqa.__all__ == list(functions)


def test_stub_signatures_match_text_signatures():
    functions, _ = stub_functions()
    for name, node in functions.items():
        runtime = inspect.signature(getattr(caustiqa, name))
        assert [a.arg for a in node.args.args] == list(runtime.parameters), name
        assert f"({', '.join(runtime.parameters)})" == getattr(caustiqa, name).__text_signature__


def test_stub_types_follow_parameter_kinds():
    functions, _ = stub_functions()
    returns = {"float": "float", "list": "list[float]", "lists": "list[list[float]]"}
    for entry in FUNCTIONS:
        node = functions[entry.name]
        for argument in node.args.args:
            kind = entry.kinds[argument.arg]
            assert ast.unparse(argument.annotation) == ("_Reals" if kind == "sequence" else "_Real")
        assert ast.unparse(node.returns) == returns[entry.result]
        assert "source radii" in ast.get_docstring(node) or "as for" in ast.get_docstring(node)


USER_CODE = """\
import array
import numpy as np
import caustiqa

a: list[float] = caustiqa.witt_mao_magnification(np.array([0.5, 2.0]), 1, np.float64(0.1))
b: list[list[float]] = caustiqa.multi_witt_mao_magnification(range(3), (1.0, 2.0), [0.1])
c: float = caustiqa.heyrovsky_magnification(0.5, 0.3, 1.0, 1.0)
d = caustiqa.integrated_heyrovsky_magnification(array.array("d", [0.5]), 1.0, 0.1)
e = caustiqa.integrated_witt_mao_magnification(memoryview(array.array("d", [0.5])), 1.0, 0.1)
f = caustiqa.discrete_flux_map_heyrovsky_magnification([0.5], 1.0, 0.1, [0.25], np.ones(1))
"""
# One wrong call per line, each of which the checker must report.
WRONG_CALLS = [
    'caustiqa.witt_mao_magnification("0.5", 1.0, 0.1)',
    "caustiqa.witt_mao_magnification([0.5], 1.0)",
    'caustiqa.heyrovsky_magnification(0.5, "0.3", 1.0, 1.0)',
    "caustiqa.integrated_heyrovsky_magnification({0.5}, 1.0, 0.1)",
    "x: str = caustiqa.heyrovsky_magnification(0.5, 0.3, 1.0, 1.0)",
]
CHECKERS = {
    "mypy": ["-m", "mypy", "--strict", "--no-incremental", "--python-executable", sys.executable],
    "pyright": ["-m", "pyright", "--pythonpath", sys.executable],
}


@pytest.mark.parametrize("checker", CHECKERS)
def test_type_checker_finds_the_stub(checker, tmp_path):
    pytest.importorskip(checker)
    (tmp_path / "user.py").write_text(USER_CODE)
    (tmp_path / "wrong.py").write_text("import caustiqa\n" + "\n".join(WRONG_CALLS) + "\n")

    def check(name):
        return subprocess.run([sys.executable, *CHECKERS[checker], name], cwd=tmp_path,
                              capture_output=True, text=True, timeout=300)

    good = check("user.py")
    assert good.returncode == 0, good.stdout + good.stderr
    wrong = check("wrong.py")
    reported = {line for line in range(2, 2 + len(WRONG_CALLS)) if f"wrong.py:{line}:" in wrong.stdout}
    assert wrong.returncode == 1 and reported == set(range(2, 2 + len(WRONG_CALLS))), wrong.stdout
