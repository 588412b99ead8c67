"""Python code that runs on the calling thread in the middle of a pooled call
(signal handlers, finalizers run by the garbage collector) and calls the
library again, or forks. Each scenario runs in a child interpreter with a time
limit, so that a regression fails instead of hanging."""

import os

import pytest

SANITIZED = any(name in os.environ.get("LD_PRELOAD", "") for name in ("asan", "tsan"))
SCALE = 10 if SANITIZED else 1  # sanitized builds run 10 to 50 times slower

COMMON = f"""
import faulthandler, os, signal, caustiqa
faulthandler.dump_traceback_later(100, exit=True)  # the stacks, should it hang
SCALE = {SCALE}
S = [0.5, 1.5] * 1000
QUIET_INNER = caustiqa.witt_mao_magnification(S, 1.0, 0.1)
state = dict(nested=0, bad=0, inside=False, outer=False)

def nested_call():
    # Counts calls made while an outer call runs, and wrong results.
    if state["inside"] or not state["outer"]:
        return
    state["inside"] = True
    try:
        state["nested"] += 1
        state["bad"] += caustiqa.witt_mao_magnification(S, 1.0, 0.1) != QUIET_INNER
    finally:
        state["inside"] = False

def outer(function, *args):
    state["outer"] = True
    try:
        return function(*args)
    finally:
        state["outer"] = False
"""

SCENARIOS = {
    # A timer's handler calls the library while the main thread waits for
    # maps of 10^5 separations.
    "signal handler": """
L = [i / 1e5 for i in range(10**5 // SCALE)]
quiet = caustiqa.witt_mao_magnification(L, 1.0, 0.1)
signal.signal(signal.SIGALRM, lambda *_: nested_call())
signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
for _ in range(250 // SCALE):
    state["bad"] += outer(caustiqa.witt_mao_magnification, L, 1.0, 0.1) != quiet
signal.setitimer(signal.ITIMER_REAL, 0)
""",
    # Finalizers of cyclic garbage call the library while the outer call
    # creates its result lists, which triggers the collector.
    "finalizer": """
class Garbage:
    def __init__(self):
        self.cycle = self
    def __del__(self):
        nested_call()

L = [0.5 + i / 50 for i in range(100)]
grid = [0.05 + i * 0.01 for i in range(60)]
quiet = caustiqa.multi_witt_mao_magnification(L, grid, grid)
for _ in range(20 // SCALE):
    garbage = [Garbage() for _ in range(300)]
    del garbage
    state["bad"] += outer(caustiqa.multi_witt_mao_magnification, L, grid, grid) != quiet
""",
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_nested_calls_give_quiet_bits(scenario, run_python):
    out = run_python("-c", COMMON + SCENARIOS[scenario] + "print(state['bad'], state['nested'])",
                     timeout=120)
    bad, nested = map(int, out.split())
    assert bad == 0 and nested > 0


# A signal handler forks while the call waits for the pool: the child has none
# of the parent's workers, so its copy of the call can never finish. It raises
# at once; the parent's call is unaffected and the child's next call works.
FORK_IN_CALL = """
import array, os, signal, sys, time, caustiqa
L = array.array("d", [0.5 + i * 1e-3 for i in range(1000)]) * (2 * 10**4)
sample = caustiqa.witt_mao_magnification(L[::100003], 1.0, 0.1)
forked = []
signal.signal(signal.SIGALRM, lambda *_: forked.append(os.fork()))
signal.setitimer(signal.ITIMER_REAL, 0.1)
start = time.monotonic()
try:
    outcome = caustiqa.witt_mao_magnification(L, 1.0, 0.1)[::100003] == sample
except RuntimeError as error:
    outcome = str(error)
if forked == [0]:
    print("child", round(time.monotonic() - start, 1) < 5, outcome,
          caustiqa.witt_mao_magnification(L[::100003], 1.0, 0.1) == sample, flush=True)
    os._exit(0)
for _ in range(300):  # the child's verdict, or its hang
    if os.waitpid(forked[0], os.WNOHANG)[0]:
        break
    time.sleep(0.1)
else:
    os.kill(forked[0], signal.SIGKILL)
    print("child hung")
print("parent", outcome, flush=True)
"""


def test_fork_during_a_pooled_call(run_python):
    out = run_python("-c", FORK_IN_CALL, timeout=120)
    assert out.splitlines() == [
        "child True the worker pool was lost to fork during this call True", "parent True"]
