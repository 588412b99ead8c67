"""Many threads calling every function at once, from the first call on.

The worker pool, the PanicException type and the Sequence type are created on
first use under once-only guards, so each run starts in a fresh interpreter
whose threads are released together into those first calls. Every outcome
under load must equal the single-threaded outcome computed afterwards in the
same process, bit for bit. CAUSTIQA_CONCURRENCY_SECONDS sets the length of
each run (default 2).
"""

import ast
import os
import subprocess
import sys
import tempfile

import pytest

SECONDS = float(os.environ.get("CAUSTIQA_CONCURRENCY_SECONDS", "2"))
PANIC = "assertion `left == right` failed\n  left: 3\n right: 2"
NOT_A_SEQUENCE = "'float' object is not an instance of 'Sequence'"

CHILD = r'''
import collections, faulthandler, os, sys, threading, time
import caustiqa

seconds, watchdog, PANIC = float(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
threads = 16
faulthandler.dump_traceback_later(watchdog, exit=True)  # stacks on a hang
NAN = float("nan")
L = [0.0, 0.5, 0.999, 1.0, 1.001, 2.0, 10.0, NAN]
LONG = [i / 37 for i in range(300)]
BL, BF, UNEQUAL = [0.2, 0.6, 1.0], [1.0, 0.8, 0.5], ([1.0, 2.0, 3.0], [1.0, 2.0])
# The first three are the first calls, in turn: the Sequence type, the
# exception type and the worker pool are each created under contention.
CASES = [
    ("witt_mao_magnification", (1.5, 1.0, 0.1)),
    ("integrated_flux_map_heyrovsky_magnification", ([], 1.0, 1.0) + UNEQUAL),
    ("witt_mao_magnification", (LONG, 1.0, 0.1)),
    ("multi_witt_mao_magnification", (L, [1.0, 2.0], [0.1, 0.5, 1.0])),
    ("heyrovsky_magnification", (0.5, 0.3, 1.0, 1.0)),
    ("heyrovsky_magnification", (NAN, 0.3, 1.0, 1.0)),
    ("integrated_heyrovsky_magnification", ([0.5, 2.0], 1.0, 0.1)),
    ("integrated_witt_mao_magnification", (L, 1.0, 0.1)),
    ("integrated_flux_map_witt_mao_magnification", ([0.5, 2.0], 1.0, 0.1, BL, BF)),
    ("integrated_flux_map_heyrovsky_magnification", ([0.5, 2.0], 1.0, 0.1, BL, BF)),
    ("discrete_flux_map_heyrovsky_magnification", (L[:-1], 1.0, 0.1, BL, BF)),
    ("discrete_flux_map_heyrovsky_magnification", ([1.0, NAN], 1.0, 0.1, BL, BF)),
    ("integrated_flux_map_witt_mao_magnification", ([0.5], 1.0, 0.1) + UNEQUAL),
    ("discrete_flux_map_heyrovsky_magnification", ([0.5], 1.0, 0.1) + UNEQUAL),
    ("integrated_heyrovsky_magnification", (0.5, 1.0, 0.1)),
    ("multi_witt_mao_magnification", (L, 1.0, [0.1])),
]

def exact(value):
    if type(value) is float:
        return value.hex()
    assert type(value) is list, type(value)
    return tuple(map(exact, value))

def outcome(case):
    name, args = CASES[case]
    try:
        return "value", exact(getattr(caustiqa, name)(*args))
    except BaseException as error:  # the type object itself: one per process
        return type(error), error.args, tuple(getattr(error, "__notes__", ()))

seen = [collections.Counter() for _ in range(threads)]
broken = []
barrier = threading.Barrier(threads)

def run(index):
    try:
        barrier.wait()
        deadline, case = time.monotonic() + seconds, index % 3
        while True:
            seen[index][case, outcome(case)] += 1
            case = (case + 1) % len(CASES)
            if case == index % 3 and time.monotonic() > deadline:
                break
    except BaseException as error:
        broken.append(repr(error))

workers = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
for w in workers:
    w.start()
for w in workers:
    w.join()
reference = [outcome(case) for case in range(len(CASES))]
again = [outcome(case) for case in range(len(CASES))]
together = sum(seen, collections.Counter())

def plain(o):
    if o[0] == "value":
        return "value"
    kind = o[0]
    return (kind.__module__, kind.__qualname__, tuple(t.__qualname__ for t in kind.__mro__[1:]),
            o[1], o[2])

wrong = [(CASES[c][0], plain(o), n, plain(reference[c]))
         for (c, o), n in together.items() if o != reference[c]]
def panic(o):
    return o[0] != "value" and o[1] == (PANIC,)
panics = sum(n for (c, o), n in together.items() if panic(o))
panics += 2 * sum(map(panic, reference))
faulthandler.cancel_dump_traceback_later()  # and with it the watchdog thread
for _ in range(200):  # the joined threads may take a moment to leave
    tasks = len(os.listdir("/proc/self/task"))
    if tasks <= 1 + int(os.environ["RAYON_NUM_THREADS"]):
        break
    time.sleep(0.01)
print(repr(dict(broken=broken, wrong=wrong[:5], stable=again == reference, panics=panics,
                tasks=tasks, calls=sum(together.values()), reference=list(map(plain, reference)))))
'''

MESSAGE_ERROR = ("builtins", "RuntimeError", ("Exception", "BaseException", "object"))
TYPE_ERROR = ("builtins", "TypeError", ("Exception", "BaseException", "object"))
PANIC_TYPE = ("tessel_runtime", "PanicException", ("BaseException", "object"))
EXPECTED_FAILURES = {
    0: TYPE_ERROR + ((NOT_A_SEQUENCE,), ("while processing 'l'",)),
    1: PANIC_TYPE + ((PANIC,), ()),
    5: MESSAGE_ERROR + (("ellipk: Arguments cannot be NAN.",), ()),
    11: MESSAGE_ERROR + (("ellipk: Arguments cannot be NAN.",), ()),
    12: PANIC_TYPE + ((PANIC,), ()),
    13: PANIC_TYPE + ((PANIC,), ()),
    14: TYPE_ERROR + ((NOT_A_SEQUENCE,), ("while processing 'l'",)),
    15: TYPE_ERROR + ((NOT_A_SEQUENCE,), ("while processing 're'",)),
}


@pytest.mark.parametrize("workers", [1, 3])
def test_sixteen_threads_from_first_use(workers):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    env.pop("RAYON_RS_NUM_CPUS", None)
    timeout = 60 + SECONDS
    command = [sys.executable, "-c", CHILD, str(SECONDS), str(timeout - 5), PANIC]
    with tempfile.TemporaryFile("w+") as stderr:
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=stderr, text=True, env=env,
                                timeout=timeout)
        stderr.seek(0)
        errors = stderr.read()
    assert result.returncode == 0, errors[-3000:]
    report = ast.literal_eval(result.stdout)
    assert report["broken"] == [] and report["wrong"] == [], report
    assert report["stable"] and report["calls"] >= 16 * 16
    failures = {i: o for i, o in enumerate(report["reference"]) if o != "value"}
    assert failures == EXPECTED_FAILURES
    # One report on stderr per fatal failure, none lost or torn.
    assert errors.count(PANIC) == report["panics"] > 0
    # The joined callers are gone; the one pool remains (and ThreadSanitizer's
    # own background thread, when it is loaded).
    sanitizer_threads = int("tsan" in os.environ.get("LD_PRELOAD", ""))
    assert report["tasks"] == 1 + workers + sanitizer_threads
