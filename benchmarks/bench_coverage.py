"""Coverage of korvel's bootstrap intervals on simulated data with known parameters.

Simulates replicate data sets (exact Gillespie simulation, seeded), fits each
with `korvel fit --bootstrap N` in the chosen mode, and prints how often the
truth lies inside the percentile interval, per parameter and density bin.
Exits with status 1 when any parameter's coverage falls below --min-covered
of --replicates (default 16 of 20 at the 95% level).

    python benchmarks/bench_coverage.py [--replicates 20] [--bootstrap 100] [--mode independent]
"""

import argparse
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from machine import describe  # noqa: E402

from korvel_analysis import cli  # noqa: E402

ST, COW, COE = 1.0, (3.0, 4.0), (4.0, 4.0)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--replicates", type=int, default=20)
    ap.add_argument("--bootstrap", type=int, default=100)
    ap.add_argument("--reads", type=int, default=5000, help="reads per density bin")
    ap.add_argument("--mode", default="independent", choices=("independent", "shared-st"))
    ap.add_argument("--level", type=float, default=0.95)
    ap.add_argument("--min-covered", type=int, default=16)
    args = ap.parse_args()
    print(f"machine: {describe()}")
    truth = {(name, d): value for d in range(2)
             for name, value in (("st", ST), ("cow", COW[d]), ("coe", COE[d]))}
    covered = dict.fromkeys(truth, 0)
    t0 = time.perf_counter()
    with tempfile.TemporaryDirectory() as tmp:
        for rep in range(args.replicates):
            reads = Path(tmp) / f"reads{rep}.tsv"
            out = Path(tmp) / f"fit{rep}"
            assert cli.main(["simulate", "--out", str(reads), "--st", str(ST), "--cow", "3,4",
                             "--coe", "4,4", "--reads-per-density", str(args.reads),
                             "--seed", str(1000 + rep), "--quiet"]) == 0
            assert cli.main(["fit", str(reads), "--out", str(out), "--mode", args.mode,
                             "--density-edges", "0,1,2", "--bootstrap", str(args.bootstrap),
                             "--seed", str(rep), "--level", str(args.level), "--no-plots",
                             "--quiet"]) == 0
            lines = (out / "results.tsv").read_text().splitlines()
            header = lines[0].split("\t")
            for d, line in enumerate(lines[1:]):
                row = dict(zip(header, line.split("\t")))
                for name in ("st", "cow", "coe"):
                    lo, hi = float(row[name + "_lo"]), float(row[name + "_hi"])
                    covered[(name, d)] += lo <= truth[(name, d)] <= hi
            print(f"  replicate {rep + 1}/{args.replicates} done "
                  f"({time.perf_counter() - t0:.0f} s)", flush=True)
    print(f"mode {args.mode}, {args.bootstrap} resamples, {args.reads} reads per density bin, "
          f"{args.level:g} percentile intervals:")
    ok = True
    for (name, d), n in covered.items():
        print(f"  {name:3} density bin {d}: truth {truth[(name, d)]:g} covered in "
              f"{n}/{args.replicates}")
        ok &= n >= args.min_covered
    print(f"total time {time.perf_counter() - t0:.1f} s")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
