"""No object compiled for a lane target may give the linker code that others use.

An inline function used in an object built with -march=x86-64-v3 or -v4 is
emitted there as a weak symbol, in that object's instructions; when baseline
code uses the same function, the linker keeps one copy for both and may pick
that one (at -O0, where nothing is inlined, it often does), which crashes
baseline code on older CPUs. This lists every weak code symbol that an object
of a lane target defines and any other object of the build defines or
references. Weak data (constant tables) holds the same bytes whatever the
instruction set and is not counted.

    python isa_symbols.py BUILD_DIR TARGET...

A lane target's objects are those that define code in caustiqa::lensing::TARGET.
"""

import pathlib
import subprocess
import sys

WEAK_CODE = {"W", "w"}


def symbols(path):
    """(name, nm type) of every global or weak symbol, defined or referenced."""
    listing = subprocess.run(["nm", "-P", str(path)], capture_output=True, text=True, check=True)
    return [tuple(line.split()[:2]) for line in listing.stdout.splitlines() if line.strip()]


def main(build, targets):
    namespaces = {t: f"_ZN8caustiqa7lensing{len(t)}{t}" for t in targets}
    build = pathlib.Path(build)
    objects = {path: symbols(path) for path in sorted(build.rglob("*.o"))}
    lane_objects = {}
    for path, table in objects.items():
        for target, prefix in namespaces.items():
            if any(kind == "T" and name.startswith(prefix) for name, kind in table):
                lane_objects[path] = target
    missing = set(targets) - set(lane_objects.values())
    if missing:
        print(f"no objects found for {sorted(missing)} under {build}")
        return 1

    shared = {}  # (target, symbol) -> the other objects that have it
    for path, target in lane_objects.items():
        weak = {name for name, kind in objects[path] if kind in WEAK_CODE}
        for other, table in objects.items():
            if other == path:
                continue
            for name in weak & {name for name, _ in table}:
                shared.setdefault((target, name), []).append(other.relative_to(build))
    if shared:
        names = subprocess.run(["c++filt"], input="\n".join(name for _, name in shared),
                               capture_output=True, text=True).stdout.splitlines()
        for ((target, _), others), name in zip(shared.items(), names):
            print(f"{target}: {name} also in {len(others)} other objects, e.g. {others[0]}")
        return 1
    print(f"{len(lane_objects)} lane objects ({', '.join(targets)}) against "
          f"{len(objects) - len(lane_objects)} others: no shared weak code")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]))
