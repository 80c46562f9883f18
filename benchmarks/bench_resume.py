"""Runs killed at random moments, a chunk tampered with after each kill, then resumed.

Each trial starts `korvel fit --bootstrap` in a fresh folder, kills it
(SIGKILL) at a random moment, damages one of the chunk files it kept (another
trial's chunk copied over it, its values edited with their digest kept, or
the file cut short), and runs the same command with --resume to the end. The
resumed bootstrap.tsv must equal that of one uninterrupted run, byte for
byte. Prints how many trials did, how many chunks the resumed runs found
damaged and recomputed, and the time each took.

    python benchmarks/bench_resume.py [--trials 20] [--seed 1]
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from machine import describe  # noqa: E402

import korvel  # noqa: E402

EDGES = np.linspace(0.0, 1.0, 6)
N_BOOT = 16


def write_counts(path):
    fr = [korvel.py_compute_model_fracs(1.0, 1.0, cow, coe, EDGES) for cow, coe in
          ((3.0, 4.0), (4.0, 3.0))]
    counts = np.rint(np.asarray(fr) * 400).astype(np.int64)
    lines = ["density_lo\tdensity_hi\t" + "\t".join(f"m{j}" for j in range(5))]
    lines += [f"{d}\t{d + 1}\t" + "\t".join(map(str, row)) for d, row in enumerate(counts)]
    path.write_text("\n".join(lines) + "\n")


def argv(table, out, *extra):
    return [sys.executable, "-m", "korvel_analysis", "fit", str(table), "--counts", "--meth-bins",
            "5", "--out", str(out), "--mode", "independent", "--bootstrap", str(N_BOOT),
            "--chunk-resamples", "1", "--st-bounds", "0.5,2", "--co-bounds", "1,10",
            "--no-plots", "--quiet", *extra]


def tamper(chunk, other, rng):
    """Damages one chunk file: another run's chunk over it, an edit, or a cut."""
    how = rng.choice(["foreign", "edited", "cut short"])
    if how == "foreign" and other is not None:
        shutil.copyfile(other, chunk)
    elif how == "cut short":
        chunk.write_bytes(chunk.read_bytes()[: rng.randrange(1, 200)])
    else:
        how = "edited"
        with np.load(chunk) as z:
            rows, digest = z["rows"], z["digest"]
        rows[:, 2:5] *= 10.0
        np.savez(chunk, rows=rows, digest=digest)
    return how


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--trials", type=int, default=20)
    p.add_argument("--seed", type=int, default=1)
    a = p.parse_args()
    rng = random.Random(a.seed)
    env = dict(os.environ, KORVEL_NUM_THREADS="1")
    print(describe())
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        table = tmp / "counts.tsv"
        write_counts(table)
        # Another run's chunks (another seed) to copy in.
        quiet = dict(env=env, check=True, stderr=subprocess.DEVNULL)
        subprocess.run(argv(table, tmp / "other", "--seed", "9"), **quiet)
        t0 = time.perf_counter()
        subprocess.run(argv(table, tmp / "whole"), **quiet)
        whole_s = time.perf_counter() - t0
        want = (tmp / "whole" / "bootstrap.tsv").read_bytes()
        print(f"uninterrupted run: {whole_s:.2f} s, {N_BOOT} chunks")
        ok = recomputed = 0
        for trial in range(a.trials):
            out = tmp / f"trial{trial}"
            proc = subprocess.Popen(argv(table, out), env=env, stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(0.0, whole_s))
            proc.send_signal(signal.SIGKILL)
            proc.wait()
            kept = sorted(out.glob("chunks/resamples_*.npz"))
            how = "-"
            if kept:
                chunk = rng.choice(kept)
                how = tamper(chunk, tmp / "other" / "chunks" / chunk.name, rng)
            t0 = time.perf_counter()
            res = subprocess.run(argv(table, out, "--resume"), env=env, capture_output=True,
                                 text=True)
            said = [line for line in res.stderr.splitlines() if "computed again" in line]
            n_bad = int(said[0].split("warning: ")[1].split()[0]) if said else 0
            recomputed += n_bad
            same = res.returncode == 0 and (out / "bootstrap.tsv").read_bytes() == want
            ok += same
            print(f"trial {trial:2d}: killed with {len(kept):2d}/{N_BOOT} chunks kept, "
                  f"tampered: {how:9s} recomputed {n_bad}, resume {time.perf_counter() - t0:.2f} s,"
                  f" {'same bootstrap.tsv' if same else 'DIFFERENT: ' + res.stderr[-300:]}")
        print(f"{ok}/{a.trials} resumed runs ended with the uninterrupted run's bootstrap.tsv; "
              f"{recomputed} damaged chunks found and recomputed")
        if ok != a.trials:
            sys.exit(1)


if __name__ == "__main__":
    main()
