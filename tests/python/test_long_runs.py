"""Long runs stay flat: repeated calls of every registered function, through
its success and failure paths, leave the reference counts of their arguments
exactly where they were.

Calls per path: 10^4, or fewer for a function whose call is slow (at least
5), so that each path takes about half a second here; benchmarks/bench_rss.py runs
the full 10^4 of every function and checks the resident set size as well.
"""

import signal
import sys
import time

import pytest

import korvel
from kind_values import call, cases, tracked

BUDGET_SECONDS = 0.3
MAX_CALLS = 10_000


@pytest.mark.parametrize("fn,path,args", [(fn, path, args) for fn in korvel.__all__
                                          for path, args in cases(fn)],
                         ids=lambda x: x if isinstance(x, str) else "")
def test_reference_counts_do_not_grow(fn, path, args):
    func = getattr(korvel, fn)
    start = time.perf_counter()
    for _ in range(2):  # first-use allocations (types, pool, caches)
        call(func, args)
    per_call = (time.perf_counter() - start) / 2
    calls = max(3, min(MAX_CALLS, int(BUDGET_SECONDS / max(per_call, 1e-9))))
    objects = tracked(args)
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(calls):
        call(func, args)
    after = [sys.getrefcount(o) for o in objects]
    signal.signal(signal.SIGINT, signal.default_int_handler)
    assert after == before, f"{fn} ({path}) after {calls} calls"
