"""Fatal failures inside nested parallel maps, on workers and on the calling thread.

They are driven through `_caustiqa_probe`, a test-only extension built with the
C++ tests: `nested_map(n, failing)` maps an n x n grid (element (i, j) is
i * n + j) as n rows of a nested map on its own worker pool and returns the row
sums; the element equal to `failing` fails fatally on the thread evaluating it.
"""

import glob
import importlib.util
import os
import subprocess
import sys
import sysconfig
import threading

import caustiqa
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")


def probe_path():
    """The probe in CAUSTIQA_PROBE_DIR, else the one beside the caustiqa under test, else any
    build's (sanitized builds only when their runtime is loaded into this process)."""
    name = "_caustiqa_probe" + SUFFIX
    if "CAUSTIQA_PROBE_DIR" in os.environ:
        candidates = [os.path.join(os.environ["CAUSTIQA_PROBE_DIR"], name)]
    else:
        with open("/proc/self/maps") as maps:
            loaded = {s for s in ("asan", "tsan") if f"lib{s}" in maps.read()}
        build = os.path.dirname(os.path.dirname(os.path.abspath(caustiqa.__file__)))
        candidates = [os.path.join(build, "tests", "python", "probe", name)]
        for path in sorted(glob.glob(os.path.join(ROOT, "build", "*", "tests", "python", "probe", name)),
                           key=lambda p: "/build/cpp/" not in p):
            sanitizers = {s for s in ("asan", "tsan") if s in path.split(os.sep)[-5]}
            if sanitizers <= loaded:
                candidates.append(path)
    return next((p for p in candidates if os.path.isfile(p)), None)


PROBE = probe_path()
if PROBE is None:
    if "CAUSTIQA_PROBE_DIR" in os.environ:  # scripts/test built it: a missing probe is a fault
        raise RuntimeError(f"no _caustiqa_probe in {os.environ['CAUSTIQA_PROBE_DIR']}")
    pytest.skip("the _caustiqa_probe extension is not built", allow_module_level=True)


def load(path):
    location = importlib.util.spec_from_file_location("_caustiqa_probe", path)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


probe = load(PROBE)


def row_sums(n):
    return [float(i * n * n + n * (n - 1) // 2) for i in range(n)]


def fatal(n, failing):
    """The exception nested_map(n, failing) raises; `except Exception` must let it pass."""
    try:
        probe.nested_map(n, failing)
    except Exception as error:
        pytest.fail(f"`except Exception` caught {error!r}")
    except BaseException as error:
        return error
    pytest.fail(f"nested_map({n}, {failing}) returned")


def thread_name():
    with open(f"/proc/self/task/{threading.get_native_id()}/comm") as comm:
        return comm.read().strip()


@pytest.mark.parametrize("n, failing, thread", [
    (1, 0, None),  # a one-element map runs on the calling thread
    (2, 0, "<unnamed>"), (2, 3, "<unnamed>"),
    (9, 0, "<unnamed>"), (9, 40, "<unnamed>"), (9, 80, "<unnamed>"),
    (40, 0, "<unnamed>"), (40, 777, "<unnamed>"), (40, 1599, "<unnamed>"),
])
def test_failure_reaches_caller(n, failing, thread, capfd):
    thread = thread or thread_name()
    message = f"probe: element {failing} failed"
    for _ in range(25):
        error = fatal(n, failing)
        kind = type(error)
        assert kind.__mro__ == (kind, BaseException, object)
        assert (kind.__module__, kind.__qualname__) == ("tessel_runtime", "PanicException")
        assert error.args == (message,) and not hasattr(error, "__notes__")
        assert probe.nested_map(n, -1) == row_sums(n)  # the pool is still usable
    err = capfd.readouterr().err
    assert err.count(message + "\n") == 25
    assert err.count(f"thread '{thread}' failed") == 25, err


def test_failures_interleaved_with_successes():
    # Failures at many places, each followed by a complete map of another size.
    types = set()
    for step in range(60):
        n = 2 + step % 11
        failing = (step * 7919) % (n * n)
        types.add(type(fatal(n, failing)))
        assert probe.nested_map(n + 1, -1) == row_sums(n + 1)
    assert len(types) == 1
    assert probe.nested_map(0, -1) == []


FRESH = """
import importlib.util, sys
location = importlib.util.spec_from_file_location("_caustiqa_probe", sys.argv[1])
probe = importlib.util.module_from_spec(location)
location.loader.exec_module(probe)
n = int(sys.argv[2])
sums = [float(i * n * n + n * (n - 1) // 2) for i in range(n)]
for failing in [int(sys.argv[3]), 0, n * n - 1, n * n // 2, -1]:
    try:
        result = probe.nested_map(n, failing)
    except Exception:
        raise SystemExit("except Exception caught it")
    except BaseException as error:
        assert failing >= 0 and error.args == (f"probe: element {failing} failed",), error
        assert type(error).__bases__ == (BaseException,)
    else:
        assert failing < 0 and result == sums, result
    assert probe.nested_map(n, -1) == sums
print("ok")
"""


@pytest.mark.parametrize("threads", [None, "1", "3"])
@pytest.mark.parametrize("n, failing", [(1, 0), (2, 1), (16, 0), (16, 255), (16, 100)])
def test_first_call_fails_in_fresh_process(threads, n, failing):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    if threads:
        env["RAYON_NUM_THREADS"] = threads
    result = subprocess.run([sys.executable, "-c", FRESH, PROBE, str(n), str(failing)], env=env,
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr
    failures = [failing, 0, n * n - 1, n * n // 2]
    assert result.stderr.count(f"probe: element {failing} failed\n") == failures.count(failing)
    assert result.stderr.count("thread '<unnamed>' failed") == (len(failures) if n > 1 else 0)


@pytest.mark.parametrize("n", [-1.0, float("nan"), 1e300])
def test_probe_rejects_sizes_it_cannot_convert(n):
    with pytest.raises(ValueError):
        probe.nested_map(n, -1)
