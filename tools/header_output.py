"""The command line shared by the table generators: write the header, or
with --check compare it with the committed one (exit status 1 on a difference)."""
import argparse
import math
import pathlib
import sys
from typing import Callable



def literal(x: float) -> str:
    """A C++ literal of exactly the double x: hexadecimal, or NAN / INFINITY."""
    if math.isnan(x):
        return "NAN"
    if math.isinf(x):
        return "INFINITY" if x > 0 else "-INFINITY"
    return x.hex()


def main(doc: str, header: pathlib.Path, render: Callable[[], str]) -> int:
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare with the committed header")
    check = parser.parse_args().check
    text = render()
    if check:
        if not header.exists() or header.read_text() != text:
            print(f"{header} differs from the generator's output", file=sys.stderr)
            return 1
        print(f"{header} is up to date")
        return 0
    header.parent.mkdir(parents=True, exist_ok=True)
    header.write_text(text)
    return 0
