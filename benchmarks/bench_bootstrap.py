"""Bootstrap benchmarks from Python (run after `pip install .`).

Runs, each in a fresh interpreter with KORVEL_NUM_THREADS=1 and again with the
machine's thread count:
- py_fit_bootstrap, independent mode, 20 resamples x 4 densities;
- py_fit_bootstrap_exp with a warm start, 10 resamples x 4 densities;
and prints the wall times, the speed-ups and the busy cores (process CPU time
over wall time). Both calls are seeded from row or density indices, so the
benchmark checks that every thread count returns the same bits.

With --ctrl-c it also sends SIGINT to a long bootstrap of each mode and prints
the seconds until the call has raised KeyboardInterrupt.
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

from machine import describe

SETUP = """
import numpy as np, korvel
EDGES = np.linspace(0.0, 1.0, 11)
ST, CO, NEXP = (0.05, 5.0), (0.1, 100.0), (1.0, 3.0)
TRUE = [(0.3, 5.0, 2.0), (0.6, 3.0, 3.0), (1.0, 2.0, 5.0), (1.5, 1.0, 8.0)]

def resamples(n_boot, seed=11):
    # Multinomial resamples of 200 regions from each density's model fractions.
    rng = np.random.default_rng(seed)
    model = [korvel.py_compute_model_fracs(st, 1.0, cow, coe, EDGES) for st, cow, coe in TRUE]
    rows = [rng.multinomial(200, p / p.sum()) / 200.0 for _ in range(n_boot) for p in model]
    return np.array(rows)
"""

WORKER = SETUP + """
import hashlib, json, time

def timed(fn):
    wall, cpu = time.perf_counter(), time.process_time()
    out = fn()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    # Every fit ended in the box (the vmax column is +inf: no saturation).
    assert np.isfinite(out[:, :8]).all() and (out[:, 2] >= ST[0]).all() and (out[:, 2] <= ST[1]).all()
    return {"wall": wall, "busy": cpu / wall, "digest": hashlib.sha256(out.tobytes()).hexdigest()}

f20, f10 = resamples(20), resamples(10)
print(json.dumps({
    "independent": timed(lambda: korvel.py_fit_bootstrap(
        f20, 20, 4, EDGES, True, False, False, ST, CO)),
    "exp": timed(lambda: korvel.py_fit_bootstrap_exp(
        f10, 10, 4, EDGES, True, ST, CO, NEXP, warm_start=(0.6, 2.0, 2.0, 1e3))),
}))
"""

CALLS = {
    "independent (py_fit_bootstrap, 20 resamples x 4 densities)": "independent",
    "exp, warm start (py_fit_bootstrap_exp, 10 resamples x 4 densities)": "exp",
}


def run_worker(threads):
    env = dict(os.environ, KORVEL_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", WORKER], env=env, capture_output=True,
                         text=True, check=True).stdout
    return json.loads(out)


def bench_speed():
    n = os.cpu_count() or 1
    one, many = run_worker(1), run_worker(n)
    for label, key in CALLS.items():
        a, b = one[key], many[key]
        assert a["digest"] == b["digest"], f"{key}: results differ between 1 and {n} threads"
        print(f"{label}:")
        print(f"  1 thread  {a['wall']:8.2f} s  busy cores {a['busy']:.2f}")
        print(f"  {n} threads {b['wall']:8.2f} s  busy cores {b['busy']:.2f}"
              f"  speed-up {a['wall'] / b['wall']:.2f}  (results identical)")


CHILD = SETUP + """
import sys
fracs = resamples(2000)  # hours of work: only Ctrl+C ends these calls
calls = {
    "independent": lambda: korvel.py_fit_bootstrap(fracs, 2000, 4, EDGES, True, False, False, ST, CO),
    "fixed_st": lambda: korvel.py_fit_bootstrap(fracs, 2000, 4, EDGES, True, False, True, ST, CO),
    "shared_st": lambda: korvel.py_fit_bootstrap(fracs, 2000, 4, EDGES, True, True, False, ST, CO),
    "exp": lambda: korvel.py_fit_bootstrap_exp(fracs, 2000, 4, EDGES, True, ST, CO, NEXP),
    "exp_perdensity shared_st": lambda: korvel.py_fit_bootstrap_exp_perdensity(
        fracs, 2000, 4, EDGES, True, True, ST, CO, NEXP),
    "exp_perdensity shared_st fit_vmax": lambda: korvel.py_fit_bootstrap_exp_perdensity(
        fracs, 2000, 4, EDGES, True, True, ST, CO, NEXP, fit_vmax=True),
    "exp_perdensity independent": lambda: korvel.py_fit_bootstrap_exp_perdensity(
        fracs, 2000, 4, EDGES, True, False, ST, CO, NEXP),
    "co": lambda: korvel.py_fit_bootstrap_co(fracs, 2000, 4, EDGES, True, ST, CO, NEXP),
}
for name, call in calls.items():
    print("ready", flush=True)
    try:
        call()
        print("finished", flush=True)
    except KeyboardInterrupt as exc:
        print("interrupted:", exc, flush=True)
"""

CTRL_C_MODES = ["independent", "fixed_st", "shared_st", "exp", "exp_perdensity shared_st",
                "exp_perdensity shared_st fit_vmax", "exp_perdensity independent", "co"]


def bench_ctrl_c(settle=3.0):
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True)
    print(f"Ctrl+C, {os.cpu_count()} threads: seconds from SIGINT to KeyboardInterrupt"
          f" ({settle:.0f} s into each call)")
    try:
        for mode in CTRL_C_MODES:
            assert child.stdout.readline().strip() == "ready"
            time.sleep(settle)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            line = child.stdout.readline().strip()
            delay = time.monotonic() - sent
            assert line == "interrupted: Interrupted by Ctrl+C", (mode, line)
            print(f"  {mode:36s} {delay:6.2f} s")
        assert child.wait(timeout=60) == 0
    finally:
        if child.poll() is None:
            child.kill()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ctrl-c", action="store_true", help="also measure Ctrl+C delays")
    args = parser.parse_args()
    print("machine:", describe())
    bench_speed()
    if args.ctrl_c:
        bench_ctrl_c()
