"""korvel demo: evaluate the methylation model and draw a phase diagram.

Prints the binned stationary distribution and its NLL for a few parameter
sets, then writes phase_diagram.png: bistability and mean methylation over a
grid of cooperative coefficients (log10 CoW, log10 CoE).
"""

import sys

import numpy as np

import korvel

edges = np.linspace(0.0, 1.0, 11)  # ten methylation-fraction bins

print("Binned stationary distribution (StE, StW, CoW, CoE; exponents 2):")
for ste, stw, cow, coe in [(1.0, 1.0, 0.0, 0.0), (0.2, 1.0, 5.0, 5.0), (1.0, 0.05, 50.0, 50.0)]:
    fracs = korvel.py_compute_model_fracs(ste, stw, cow, coe, edges)
    print(f"  ({ste:5.2f}, {stw:5.2f}, {cow:5.1f}, {coe:5.1f}):",
          " ".join(f"{f:.3f}" for f in fracs))

# Score a distribution against "observed" fractions drawn near the model.
observed = korvel.py_compute_model_fracs(0.2, 1.0, 5.0, 5.0, edges)
for params in ([0.2, 5.0, 5.0], [1.0, 1.0, 1.0]):
    nll = korvel.py_compute_nll(np.array(params), observed, edges, True)
    print(f"NLL at (St, CoW, CoE) = {params}: {nll:.6f}")

log_cow = np.linspace(-1.0, 2.0, 61)
log_coe = np.linspace(-1.0, 2.0, 61)
bistability, avg_meth, entropy, frac_inter = korvel.py_compute_phase_grids(
    1.0, True, log_cow, log_coe, n_u=2.0, n_m=2.0
)
print(f"Phase grid {bistability.shape}: max bistability {bistability.max():.3f}, "
      f"mean methylation from {avg_meth.min():.3f} to {avg_meth.max():.3f}")

try:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    print("matplotlib is not installed (pip install 'korvel[demo]'): no picture written")
    sys.exit(0)

from korvel_analysis import pl

# The same panels as `korvel phase` draws: filled contours with labelled colour bars.
grids = {"log_cow": log_cow, "log_coe": log_coe, "bistability": bistability,
         "avg_meth": avg_meth}
fig, axes = plt.subplots(1, 2, figsize=(10, 4.2), constrained_layout=True)
for ax, key in zip(axes, ("bistability", "avg_meth")):
    pl.phase(grids, key, ax=ax)
    ax.set_title(f"{pl.PHASE_LABELS[key].splitlines()[0]}: St = 1, n_U = 2, n_M = 2",
                 fontsize="small")
fig.savefig("phase_diagram.png", dpi=120)
print("wrote phase_diagram.png")
