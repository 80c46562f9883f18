"""Resident set size over long runs (run after `pip install .`).

Calls every registered function 10^4 times on each of its paths (a result,
a conversion TypeError, a raising __float__, the internal error; see
tests/python/kind_values.py) and prints, per function and path, the calls
made, the calls per second and the growth of the resident set size between
the end of a warm-up (2 % of the calls) and the end of the run. Checks that
each growth is below 1 MB and that the reference counts of the arguments
are unchanged; exits with status 1 otherwise. A path stops early after
--seconds (default 120): the shared-exponent and global fits take most of a
second per call even on these one-row inputs. Progress lines of the fits go
to /dev/null.

    python benchmarks/bench_rss.py [--calls N] [--seconds S]
"""

import argparse
import contextlib
import os
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import korvel  # noqa: E402
from kind_values import call, cases, tracked  # noqa: E402
from machine import describe  # noqa: E402

LIMIT_BYTES = 1 << 20


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@contextlib.contextmanager
def quiet_stderr():
    saved = os.dup(2)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def run(func, args, calls, seconds):
    """Calls made, within the time allowed."""
    deadline = time.perf_counter() + seconds
    for done in range(1, calls + 1):
        call(func, args)
        if time.perf_counter() > deadline:
            return done
    return calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=10_000)
    parser.add_argument("--seconds", type=float, default=120.0)
    opts = parser.parse_args()
    print(f"machine: {describe()}")
    print(f"{'function':34} {'path':18} {'calls':>6} {'calls/s':>9} {'RSS growth':>11}")
    failures = 0
    for fn in korvel.__all__:
        func = getattr(korvel, fn)
        for path, args in cases(fn):
            with quiet_stderr():
                run(func, args, max(1, opts.calls // 50), opts.seconds / 50)
                objects = tracked(args)
                refs = [sys.getrefcount(o) for o in objects]
                rss = rss_bytes()
                start = time.perf_counter()
                done = run(func, args, opts.calls, opts.seconds)
                elapsed = time.perf_counter() - start
                growth = rss_bytes() - rss
            signal.signal(signal.SIGINT, signal.default_int_handler)
            ok = growth < LIMIT_BYTES and [sys.getrefcount(o) for o in objects] == refs
            failures += not ok
            print(f"{fn:34} {path:18} {done:6} {done / elapsed:9.0f} {growth / 1024:8.0f} KB"
                  f"{'' if ok else '  FAILED'}", flush=True)
    print("all flat" if not failures else f"{failures} paths grew")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
