"""The installed type stub matches the module's own signatures."""
import ast
import inspect
import pathlib

import caustiqa

from conftest import FUNCTIONS


def stub_functions():
    stub = pathlib.Path(caustiqa.__file__).with_name("caustiqa.pyi")
    tree = ast.parse(stub.read_text())
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
            assert ast.unparse(argument.annotation) == (
                "Sequence[float]" if kind == "sequence" else "float")
        assert ast.unparse(node.returns) == returns[entry.result]
