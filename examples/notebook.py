"""A notebook's session, cell by cell: simulate reads, fit them with intervals, look at the
table, the flags and the figures, compare two modes and write the run as the command would.

Run it as a script (`python examples/notebook.py [FOLDER]`) or paste the cells into Jupyter,
where a run shows itself as a short table. It needs the analysis extra
(`pip install ".[analysis]"`); with 2 x 300 reads and narrow bounds it takes seconds.
"""

# %% Simulated reads of two CpG-density bins from known parameters
import sys
import tempfile
from pathlib import Path

import korvel_analysis as ka

folder = Path(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="korvel-"))
folder.mkdir(parents=True, exist_ok=True)
density, meth = ka.simulate.simulate_reads([1.0], [3.0, 4.0], [4.0, 4.0], [2.0], [2.0], 2, 300,
                                           seed=1)
ka.write_reads(folder / "reads.tsv", density, meth)

# %% The fit of `korvel fit reads.tsv --mode independent --density-edges 0,1,2 --bootstrap 8`
bounds = dict(st_bounds=(0.1, 10.0), co_bounds=(0.1, 100.0))
run = ka.fit_reads(folder / "reads.tsv", mode="independent", density_edges=[0, 1, 2],
                   bootstrap=8, seed=0, **bounds)
print(run.table[["density_lo", "density_hi", "n_reads", "st", "st_lo", "st_hi", "cow", "coe",
                 "flags"]])
for name, (method, per_bin) in run.intervals.items():
    print(name, method, [(round(iv.lo, 3), round(iv.hi, 3)) for iv in per_bin])
for flag in run.flags:
    print("flag:", flag.parameter, flag.density_idx, flag.word, "-", flag.reason)

# %% Figures, drawn but not written (in Jupyter: show them)
figures = run.figures()
print(sorted(figures))

# %% Another mode on the same reads, and the comparison (AIC, likelihood-ratio test)
other = ka.fit_reads(folder / "reads.tsv", mode="shared-st", density_edges=[0, 1, 2], **bounds)
comparison = ka.gof.compare([run, other])
print([(m["mode"], round(m["aic"], 2)) for m in comparison.models])

# %% The files `korvel fit --out` writes: results.tsv, bootstrap.tsv, run.json, plots/
print("wrote", run.write(folder / "fit"))
