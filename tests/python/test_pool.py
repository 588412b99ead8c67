"""The worker pool seen from Python: its size from the environment, results
independent of it, and a pool whose threads cannot be started."""

import json
import os
import subprocess
import sys

import caustiqa
import pytest

L = [i * 0.0125 for i in range(800)] + [0.0, 1.0, 9.999, 10.0, 10.001, 1e6]
RE, RSTAR = [0.5, 1.0, 2.5], [0.01, 0.1, 1.0, 10.0]

# Run in a fresh interpreter: the worker threads the first (empty) map starts,
# then the results of both pooled functions.
PROBE = f"""
import json, os, caustiqa
def tasks():
    return len(os.listdir("/proc/self/task")) if os.path.isdir("/proc/self/task") else None
before = tasks()
assert caustiqa.witt_mao_magnification([], 1.0, 0.1) == []
after = tasks()
single = caustiqa.witt_mao_magnification({L!r}, 1.0, 0.1)
multi = caustiqa.multi_witt_mao_magnification({L!r}, {RE!r}, {RSTAR!r})
print(json.dumps({{"workers": None if before is None else after - before,
                  "results": repr((single, multi))}}))
"""

VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")
CPUS = os.sysconf("SC_NPROCESSORS_ONLN")


def run(code, variables, timeout=120):
    env = {k: v for k, v in os.environ.items() if k not in VARIABLES}
    env.update({k: v for k, v in zip(VARIABLES, variables) if v is not None})
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=timeout)


@pytest.fixture(scope="module")
def expected_results():
    return repr((caustiqa.witt_mao_magnification(L, 1.0, 0.1),
                 caustiqa.multi_witt_mao_magnification(L, RE, RSTAR)))


@pytest.mark.parametrize("num_threads, num_cpus, workers", [
    (None, None, CPUS), ("1", None, 1), ("2", None, 2), ("3", None, 3), ("8", None, 8),
    ("+4", None, 4), ("0", None, CPUS),
    ("0", "3", CPUS),  # 0 selects the default at once
    (None, "3", 3), ("", "3", 3), (" 4", "3", 3), ("-4", "3", 3), ("4x", "3", 3),
    ("\udcff", "3", 3),  # the byte 0xff: not Unicode
    ("18446744073709551616", "5", 5), (None, "0", CPUS), ("x", "x", CPUS),
])
def test_pool_size_from_environment(num_threads, num_cpus, workers, expected_results):
    result = run(PROBE, (num_threads, num_cpus))
    assert result.returncode == 0, result.stderr
    probe = json.loads(result.stdout)
    assert probe["results"] == expected_results
    if probe["workers"] is not None:
        assert probe["workers"] == workers


# With the address space limited to what the interpreter uses plus 512 MiB,
# the 65,535 stacks of 2 MiB cannot all be reserved.
FAILED_POOL = """
import json, resource, caustiqa
with open("/proc/self/status") as status:
    used = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) << 10
limit = used + (512 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
seen = []
for _ in range(2):
    try:
        caustiqa.witt_mao_magnification([1.0, 2.0], 1.0, 0.1)
        seen.append(None)
    except BaseException as error:
        seen.append([type(error).__module__, type(error).__qualname__, str(error)])
seen.append(caustiqa.heyrovsky_magnification(0.5, 0.3, 1.0, 1.0) > 0)
print(json.dumps(seen))
"""


@pytest.mark.skipif(not os.path.isfile("/proc/self/status"), reason="needs /proc and RLIMIT_AS")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer needs an unlimited address space")
def test_pool_that_cannot_start_fails_every_map():
    result = run(FAILED_POOL, ("100000", None))
    assert result.returncode == 0, result.stderr
    first, second, ring_still_works = json.loads(result.stdout)
    assert first[:2] == ["tessel_runtime", "PanicException"]
    assert first[2].startswith("The global thread pool has not been initialized."), first
    assert second == first
    assert ring_still_works
    assert result.stderr.count("The global thread pool has not been initialized.") == 2


KERNELS = """
import caustiqa
print(caustiqa.integrated_witt_mao_magnification([0.0, 0.5, 2.0], 1.0, 0.1))
print(caustiqa.witt_mao_magnification([0.5, 2.0] * 3000, 1.0, 0.1)[:2])
"""


@pytest.mark.parametrize("value, reported", [
    ("scalar", False), ("sse2", False), ("avx512", False),
    ("avx", True), ("Scalar", True), (" scalar", True), ("", True),
])
def test_kernel_path_from_environment(value, reported):
    # Every path gives the same bits; a value that names none is reported once.
    env = dict(os.environ, CAUSTIQA_KERNELS=value)
    runs = [subprocess.run([sys.executable, "-c", KERNELS], env=e, capture_output=True,
                           text=True, timeout=60)
            for e in (env, {k: v for k, v in os.environ.items() if k != "CAUSTIQA_KERNELS"})]
    assert runs[0].stdout == runs[1].stdout and runs[1].stderr == ""
    assert runs[0].stderr.count("names no kernel path (scalar, sse2, avx2, avx512)") == reported
