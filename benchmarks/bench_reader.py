"""Reading reads tables at genome scale: korvel's reader against pandas, memory, the command.

In one run: writes a table of --rows reads (default 10^7; tabs, 17 significant
digits, as `korvel simulate` writes them) plain and gzip-compressed, then

- times `readers.read_reads` and the command's reading (binned as read, with
  density edges) against `pandas.read_csv` (C engine) on the same file, plain
  and gzip, --repeats times each (min and median, and the ratio of pandas'
  time to korvel's: above 1 korvel is faster);
- the peak resident set size (the child's VmHWM at exit) of `korvel fit
  --density-edges` on the first 10^6 rows and on all of them;
- `korvel fit --mode independent` on all rows: the command's wall time, the
  time of its fits (`tl.fit` on the same binned data), and the time outside
  the fits against pandas.read_csv.

Needs pandas (`pip install ".[analysis]"`). The machine is shared: run it with
`nice` and read the medians.

    nice python benchmarks/bench_reader.py [--rows N] [--repeats R] [--dir DIR]
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from machine import describe  # noqa: E402

from korvel_analysis import cli, pp, readers, tl  # noqa: E402

EDGES = "0,1,2"


def write_table(path, n, seed=0):
    rng = np.random.default_rng(seed)
    density = rng.integers(0, 2, n) + rng.random(n)
    meth = rng.integers(0, 71, n) / 70.0
    start = time.perf_counter()
    cli.write_reads(path, density, meth)
    return time.perf_counter() - start


def timed(fn, repeats):
    return alternating([fn], repeats)[0]


def cpu_seconds():
    """CPU time of this process (all its threads) and of its waited-for children."""
    own, children = (resource.getrusage(w) for w in (resource.RUSAGE_SELF,
                                                     resource.RUSAGE_CHILDREN))
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


# CPU seconds of each timed function, by name, beside its wall times: on a shared
# machine the wall time of a reader with threads depends on the cores left free, its
# CPU time much less.
CPU = {}


def alternating(fns, repeats, names=None):
    """The times of each of ``fns``, run in turn ``repeats`` times, so that a change in
    the machine's load falls on all of them alike; with ``names`` their CPU times go
    to CPU[name]."""
    times = [[] for _ in fns]
    for _ in range(repeats):
        for i, (fn, t) in enumerate(zip(fns, times)):
            cpu = cpu_seconds()
            start = time.perf_counter()
            fn()
            t.append(time.perf_counter() - start)
            if names is not None:
                CPU.setdefault(names[i], []).append(cpu_seconds() - cpu)
    return times


def load():
    return "load average " + " ".join(f"{x:.2f}" for x in os.getloadavg())


def command_reading(path):
    """What `korvel fit --density-edges` does before its fits."""
    blocks = readers.scan_reads(path)
    return pp.bin_read_blocks(blocks, str(path), readers.DENSITY_COLUMN, pp.meth_edges(10),
                              [float(e) for e in EDGES.split(",")])


# The command run by a child that says its peak resident set at exit. The child's
# ru_maxrss would count the pages it shared with this process between fork and exec.
PEAK = """
import atexit, os, runpy, sys
def peak():
    with open("/proc/self/status") as f:
        kb = [line.split()[1] for line in f if line.startswith("VmHWM:")][0]
    with open(os.environ["BENCH_PEAK_FILE"], "w") as f:
        f.write(kb)
atexit.register(peak)
sys.argv = ["korvel"] + sys.argv[1:]
runpy.run_module("korvel_analysis", run_name="__main__")
"""


def child(args, scratch):
    """Wall time and peak RSS (MB, VmHWM at exit) of `korvel ARGS` in a child process."""
    peak_file = Path(scratch) / "peak"
    start = time.perf_counter()
    proc = subprocess.run([sys.executable, "-c", PEAK, *args], stdout=subprocess.DEVNULL,
                          env=dict(os.environ, BENCH_PEAK_FILE=str(peak_file)))
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        raise SystemExit(f"korvel {args} failed")
    return wall, int(peak_file.read_text()) / 1024.0


def fit_command(path, out):
    return ["fit", str(path), "--out", str(out), "--mode", "independent", "--density-edges",
            EDGES, "--no-plots", "--quiet", "--force"]


def show(name, times, cpu=None):
    text = f"{name}: min {min(times):.2f} s, median {statistics.median(times):.2f} s"
    if cpu in CPU:
        text += f" (CPU: min {min(CPU[cpu]):.2f} s, median {statistics.median(CPU[cpu]):.2f} s)"
    return text


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=10**7)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--dir", default=None, help="keep the tables in DIR and use those found "
                    "there (written for as many rows) again (default: a temporary folder, "
                    "removed at the end)")
    args = ap.parse_args()
    import pandas as pd

    print(describe())
    with tempfile.TemporaryDirectory() as scratch:
        tmp = Path(args.dir or scratch)
        plain, packed, small = (tmp / f"reads{args.rows}.tsv", tmp / f"reads{args.rows}.tsv.gz",
                                tmp / "reads1000000.tsv")
        for path, n in ((plain, args.rows), (packed, args.rows), (small, min(args.rows, 10**6))):
            if path.exists() and args.dir:
                continue
            t = write_table(path, n)
            print(f"wrote {n} rows to {path.name} ({path.stat().st_size / 1e6:.0f} MB) in "
                  f"{t:.2f} s ({n / t / 1e6:.2f} M rows/s)")

        for path in (plain, packed):
            print(f"\n{path.name} ({load()}):")
            names = [f"{path.name} {n}" for n in ("ours", "binned", "pandas")]
            ours, binned, theirs = alternating(
                [lambda p=path: readers.read_reads(p), lambda p=path: command_reading(p),
                 lambda p=path: pd.read_csv(p, sep="\t", engine="c")], args.repeats, names)
            print("  " + show("read_reads", ours, names[0]))
            print("  " + show("reading binned as read (the command's)", binned, names[1]))
            print("  " + show("pandas.read_csv (C engine)", theirs, names[2]))
            for name, t, cpu in (("read_reads", ours, names[0]), ("binned as read", binned,
                                                                  names[1])):
                print(f"  pandas / {name}: {statistics.median(theirs) / statistics.median(t):.2f}"
                      f" (medians), {min(theirs) / min(t):.2f} (minima); CPU time "
                      f"{statistics.median(CPU[names[2]]) / statistics.median(CPU[cpu]):.2f}"
                      " (medians)")

        print("\npeak RSS of korvel fit --density-edges (the child's VmHWM):")
        rss = {}
        for name, path in (("10^6 rows", small), (f"{args.rows} rows", plain)):
            wall, rss[name] = child(fit_command(path, Path(scratch) / "out"), scratch)
            print(f"  {name}: {rss[name]:.0f} MB ({wall:.2f} s)")
        a, b = rss.values()
        print(f"  difference: {b - a:.0f} MB")

        print(f"\nkorvel fit --mode independent on {args.rows} rows ({load()}):")
        walls, pandas_t = alternating(
            [lambda: child(fit_command(plain, Path(scratch) / "out"), scratch),
             lambda: pd.read_csv(plain, sep="\t", engine="c")], args.repeats,
            ["command", "pandas"])
        data = command_reading(plain)
        fits = timed(lambda: tl.fit(data.fractions, data.meth_edges,
                                    tl.FitSettings(mode="independent"), progress=False),
                     args.repeats)
        outside = [w - statistics.median(fits) for w in walls]
        print("  " + show("command (wall)", walls, "command"))
        print("  " + show("its fits", fits))
        print("  " + show("outside the fits", outside))
        print("  " + show("pandas.read_csv", pandas_t, "pandas"))
        print(f"  outside the fits / pandas.read_csv: "
              f"{statistics.median(outside) / statistics.median(pandas_t):.2f} (medians), "
              f"{min(outside) / min(pandas_t):.2f} (minima)")
        print(f"done ({load()})")


if __name__ == "__main__":
    main()
