"""The same chunked bootstrap locally and on a Dask LocalCluster (needs korvel[dask]).

    python benchmarks/bench_dask.py [--resamples 80] [--chunk 20] [--densities 4]

Local: one process whose korvel pool has 2 threads. Cluster: a LocalCluster
of 2 worker processes with one thread each (korvel's pool in each sized to
it), bound to 127.0.0.1. Both run the same chunks of the independent mode;
the figures are wall and CPU times (of every process taking part) after a
warm-up on each side (pool started, module imported on the workers), the
work per chunk, and the cluster's overhead over the local run. Chunks of a second of work or more should keep
that overhead under 10%. The rows of the two runs are checked to be equal.
"""

import argparse
import os
import time

os.environ["KORVEL_NUM_THREADS"] = "2"  # before korvel starts its pool

import numpy as np  # noqa: E402

import korvel  # noqa: E402
from korvel_analysis import chunks, distributed, pp, tl  # noqa: E402
from machine import describe  # noqa: E402


def data(n_densities):
    edges = np.linspace(0.0, 1.0, 11)
    fr = [korvel.py_compute_model_fracs(1.0, 1.0, 2.0 + 0.5 * d, 4.0 - 0.4 * d, edges)
          for d in range(n_densities)]
    return np.rint(np.asarray(fr) * 2000).astype(np.int64), edges


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--resamples", type=int, default=80)
    ap.add_argument("--chunk", type=int, default=20)
    ap.add_argument("--densities", type=int, default=4)
    a = ap.parse_args()
    counts, edges = data(a.densities)
    settings = tl.FitSettings(mode="independent")
    rows = pp.bootstrap_fracs(counts, a.resamples, seed=1)
    n_chunks = len(chunks.chunk_bounds(a.resamples, a.chunk))

    def cpu(client):
        # CPU seconds of this process and of every worker process: on a
        # shared machine the wall times move with the load, these much less.
        return time.process_time() + (sum(client.run(time.process_time).values())
                                      if client else 0.0)

    def run(client=None, n=a.resamples):
        t, c = time.perf_counter(), cpu(client)
        out = chunks.run_bootstrap(rows[:n * a.densities], n, a.densities, edges, settings,
                                   chunk_resamples=a.chunk, progress=False, client=client)
        return out, time.perf_counter() - t, cpu(client) - c

    print(describe())
    print(f"independent mode, {a.resamples} resamples x {a.densities} density bins, "
          f"{n_chunks} chunks of {a.chunk} resamples")
    run(n=1)
    local, t_local, c_local = run()
    print(f"local, 2 korvel threads:                 {t_local:8.3f} s wall {c_local:8.3f} s CPU "
          f"({c_local / n_chunks:.3f} s of work per chunk)")
    with distributed.connect("local:2", threads_per_worker=1) as client:
        chunks.run_bootstrap(rows[:2 * a.densities], 2, a.densities, edges, settings,
                             chunk_resamples=1, progress=False, client=client)
        remote, t_remote, c_remote = run(client)
    print(f"LocalCluster, 2 workers x 1 thread:      {t_remote:8.3f} s wall {c_remote:8.3f} s CPU")
    print(f"overhead of the cluster:                 {100 * (t_remote / t_local - 1):+8.1f} % wall "
          f"{100 * (c_remote / c_local - 1):+8.1f} % CPU")
    if remote.tobytes() != local.tobytes():
        raise SystemExit("the cluster's rows differ from the local rows")
    print("rows of both runs identical")


if __name__ == "__main__":
    main()
