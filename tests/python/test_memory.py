"""Many succeeding and failing calls leave memory and argument reference counts unchanged."""

import gc
import os
import sys
import time

CALLS = int(os.environ.get("CAUSTIQA_LEAK_CALLS", 100_000))
SECONDS_PER_CASE = 0.25 * max(1, CALLS / 100_000)  # at most, for a case that computes for long


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Raises:
    def __float__(self):
        raise ZeroDivisionError("a fresh exception every time")


def cases(fn):
    """(args, kwargs) of a call that succeeds and of calls that fail in every way."""
    long = [0.25] * 256
    valid = fn.args(**({"l": long[:16]} if fn.kinds["l"] == "sequence" else {}))
    yield valid, {}
    yield valid + [1.0], {}
    yield valid[:1], {}
    yield valid, {"".join(["x", "y"]): 1.0}
    yield [], dict(zip(fn.names, valid))
    yield valid[:1], {fn.names[0]: valid[0]}
    for index, kind in enumerate(fn.kinds.values()):  # converts up to 256 items, then fails
        yield valid[:index] + [long + ["x"] if kind == "sequence" else Raises()] + valid[index + 1:], {}
    if fn.error:
        yield fn.args(**fn.error), {}
    if fn.panic:
        yield fn.args(**fn.panic), {}


def call(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except BaseException:
        pass


def test_no_leaks(function_table, record_property):
    plan = [(fn, *case) for fn in function_table for case in cases(fn)]
    for case in plan:  # creates the process-wide objects
        call(*case)
    objects = [o for _, args, kwargs in plan for o in (*args, *kwargs, *kwargs.values())]
    objects += [item for o in objects if isinstance(o, list) for item in o]
    gc.collect()
    references = [sys.getrefcount(o) for o in objects]
    blocks, resident = sys.getallocatedblocks(), resident_bytes()

    stderr, devnull = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)  # silences the report of every fatal failure
    try:
        spent, calls = [0.0] * len(plan), 0
        while calls < CALLS:  # the cases interleaved, until each has used its time
            if min(spent) >= SECONDS_PER_CASE:
                break
            for i, case in enumerate(plan):
                if spent[i] < SECONDS_PER_CASE:
                    start = time.perf_counter()
                    call(*case)
                    spent[i] += time.perf_counter() - start
                    calls += 1
    finally:
        os.dup2(stderr, 2)
        os.close(stderr)
        os.close(devnull)

    gc.collect()
    growth = resident_bytes() - resident
    for key, value in [("calls", calls), ("resident bytes before", resident), ("growth", growth)]:
        record_property(key, value)
    assert [sys.getrefcount(o) for o in objects] == references
    assert sys.getallocatedblocks() - blocks < 500  # one object leaked per 200 calls
    assert growth < 2 << 20  # 20 bytes leaked per call at 100,000 calls
