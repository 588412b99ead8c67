"""The library in real workflows: forked children, Ctrl-C, interpreter exit,
memory exhaustion and a failing len(). Scenarios that could hang or kill the
interpreter run in a child interpreter with a time limit."""

import gc
import os
import pathlib
import signal
import subprocess
import sys
import time

import caustiqa
import pytest

from conftest import FUNCTIONS

SANITIZED = any(name in os.environ.get("LD_PRELOAD", "") for name in ("asan", "tsan"))
# The module built against libc++, whose runtime cannot rethrow the unwinding
# that ends a thread (support/thread_exit.h).
MAPS = pathlib.Path("/proc/self/maps")
LIBCXX = MAPS.exists() and "/libc++.so" in MAPS.read_text()

# Both pooled functions on inputs long enough to need the pool; printed as
# hex floats so that a child's bits can be compared with the parent's.
POOLED = """
import caustiqa
def pooled():
    l = [i / 97 for i in range(3000)]
    single = caustiqa.witt_mao_magnification(l, 1.0, 0.1)
    grid = caustiqa.multi_witt_mao_magnification(l[:500], [1.0, 2.0], [0.05, 0.5])
    return " ".join(x.hex() for x in single + sum(grid, []))

# The result of work() in a child made by os.fork.
import os
def forked(work):
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.write(write, work().encode()); os._exit(0)
    os.close(write)
    out = b"".join(iter(lambda: os.read(read, 1 << 16), b""))
    assert os.waitpid(pid, 0)[1] == 0
    return out.decode()
"""

FORK_SCENARIOS = {
    "os.fork": """
def in_child():
    return forked(pooled)
""",
    "multiprocessing fork pool": """
import multiprocessing
def run(_): return pooled()
def in_child():
    with multiprocessing.get_context("fork").Pool(2) as pool:
        results = pool.map(run, range(4))
    assert len(set(results)) == 1
    return results[0]
""",
    "ProcessPoolExecutor": """
import concurrent.futures, multiprocessing
def in_child():
    context = multiprocessing.get_context("fork")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as executor:
        return executor.submit(pooled).result(timeout=60)
""",
    "fork while another thread maps": """
import threading
def in_child():
    stop = threading.Event()
    def busy():
        while not stop.is_set():
            caustiqa.witt_mao_magnification([0.5] * 200000, 1.0, 0.1)
    thread = threading.Thread(target=busy); thread.start()
    try:
        return forked(pooled)
    finally:
        stop.set(); thread.join()
""",
    "fork in a child of a child": """
def in_child():
    return forked(lambda: (pooled(), forked(pooled))[1])
""",
}


@pytest.mark.parametrize("scenario", FORK_SCENARIOS)
def test_forked_children_use_the_pool(scenario, run_python):
    # The parent uses the pool first: the child inherits it, but not its threads.
    code = POOLED + FORK_SCENARIOS[scenario] + """
parent = pooled()
child = in_child()
print(parent == child, pooled() == parent)
"""
    assert run_python("-W", "ignore", "-c", code, timeout=90).split() == ["True", "True"]


# Calls that would run for many seconds; a signal 0.1 s in must end them.
# Built on demand: some inputs are large.
BL, BF = [0.0, 0.5, 1.0], [1.0, 0.9, 0.5]
LONG_CALLS = {
    "witt_mao_magnification": lambda l: ([0.5] * 20_000_000, 1.0, 0.1),
    "multi_witt_mao_magnification": lambda l: ([0.5] * 2000, [1.0] * 100, [0.1] * 100),
    "integrated_heyrovsky_magnification": lambda l: (l, 1.0, 0.1),
    "integrated_witt_mao_magnification": lambda l: (l, 1.0, 0.1),
    "integrated_flux_map_witt_mao_magnification": lambda l: (l, 1.0, 0.1, BL, BF),
    "integrated_flux_map_heyrovsky_magnification": lambda l: (l, 1.0, 0.1, BL, BF),
    "discrete_flux_map_heyrovsky_magnification": lambda l: (l * 20, 1.0, 0.1, BL * 10, BF * 10),
}


class Interrupted(Exception):
    pass


@pytest.mark.parametrize("name", LONG_CALLS)
def test_a_signal_ends_a_long_call(name):
    function = getattr(caustiqa, name)
    args = LONG_CALLS[name]([0.5 + i * 1e-7 for i in range(200000)])
    short = [a[:50] if isinstance(a, list) and len(a) > 1000 else a for a in args]
    before = function(*short)

    def handler(*_):
        raise Interrupted

    previous = signal.signal(signal.SIGALRM, handler)
    # Python code that runs inside the call (here pytest's gc callbacks, when
    # the result lists trigger a collection) would take the signal itself and
    # its exception would be lost as unraisable.
    gc.disable()
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        start = time.monotonic()
        with pytest.raises(Interrupted):
            function(*args)
        elapsed = time.monotonic() - start
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        gc.enable()
    # Uninterrupted, each call takes well over 5 s; interrupted, it ends
    # within milliseconds of the signal (a wide margin for loaded machines).
    assert elapsed < 2.5
    assert function(*short) == before


# Daemon threads still converting items with a Python __float__ when the
# interpreter exits: the interpreter ends them by unwinding their stacks.
DAEMONS_AT_EXIT = """
import threading, time, caustiqa
class Slow:
    def __float__(self):
        s = 0
        for i in range(50): s += i
        return 0.5
items = [Slow()] * 2000
def work():
    while True:
        caustiqa.integrated_witt_mao_magnification(items[:3], 1.0, 0.1)
        caustiqa.witt_mao_magnification(items, 1.0, 0.1)
for _ in range(8):
    threading.Thread(target=work, daemon=True).start()
time.sleep(0.1)
"""


# The sanitizers do not follow the unwinding that ends a thread: AddressSanitizer
# reports the unwinder's own stack writes into frames it still has poisoned,
# and UndefinedBehaviorSanitizer the (object-less) catch of that unwinding.
@pytest.mark.skipif(SANITIZED, reason="sanitizers cannot follow forced unwinding")
@pytest.mark.skipif(LIBCXX and sys.version_info < (3, 14),
                    reason="libc++ cannot let the unwinding that ends a thread pass")
def test_interpreter_exit_with_busy_daemon_threads():
    runs = [subprocess.Popen([sys.executable, "-c", DAEMONS_AT_EXIT], stderr=subprocess.PIPE)
            for _ in range(40)]
    failures = [(p.wait(timeout=60), p.stderr.read().decode()[-300:]) for p in runs]
    assert [f for f in failures if f[0] != 0] == []


# Address space limited a little above what the interpreter already uses,
# after the pool exists; each case must raise, never end the process.
MEMORY_LIMIT = """
import resource, caustiqa
caustiqa.witt_mao_magnification([0.5] * 1000, 1.0, 0.1)
size = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, ((size << 10) + (200 << 20), resource.RLIM_INFINITY))
grid = [0.1 + i * 1e-4 for i in range(3000)]
cases = [
    lambda: caustiqa.multi_witt_mao_magnification([0.5], grid, grid),        # the combinations
    lambda: caustiqa.multi_witt_mao_magnification([0.5] * 20000, grid[:60], grid[:60]),  # on workers
    lambda: caustiqa.witt_mao_magnification(range(30_000_000), 1.0, 0.1),    # the converted array
]
for case in cases:
    try:
        case()
        print("returned")
    except MemoryError:
        print("MemoryError")
    except BaseException as error:  # a failed float or list is a fatal failure
        print(type(error).__name__, error)
print(caustiqa.witt_mao_magnification([0.5, 2.0], 1.0, 0.1))
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer reserves more address space than the limit")
def test_memory_exhaustion_raises(run_python):
    lines = run_python("-W", "ignore", "-c", MEMORY_LIMIT, timeout=90).splitlines()
    # The workers' vectors and the floats made meanwhile compete for memory.
    assert lines[0] == lines[2] == "MemoryError"
    assert lines[1] in ("MemoryError", "PanicException PyObject pointer is null")
    assert lines[3] == repr(caustiqa.witt_mao_magnification([0.5, 2.0], 1.0, 0.1))


@pytest.mark.parametrize("raised, propagates", [
    (KeyboardInterrupt, True), (SystemExit, True), (ValueError, False), (OverflowError, False),
])
def test_len_failure(raised, propagates):
    # len() only sizes the array: an ordinary failure is ignored, an
    # interruption of the user's propagates with the parameter's note.
    class Separations:
        def __len__(self):
            raise raised

        def __getitem__(self, i):
            if i < 2:
                return 0.5
            raise IndexError

    for f in (f for f in FUNCTIONS if f.kinds["l"] == "sequence"):
        if propagates:
            with pytest.raises(raised) as info:
                f.call_with(l=Separations())
            assert info.value.__notes__ == ["while processing 'l'"]
        else:
            assert f.call_with(l=Separations()) == f.call_with(l=[0.5, 0.5])
