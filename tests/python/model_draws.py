"""Data drawn from the model's stationary distribution, for tests that check numbers against a known truth."""

import numpy as np

from korvel_analysis import pp, simulate


def write_counts(path, st, cows, coes, n_reads, seed, n_bins=10):
    """A counts table drawn from the model's stationary distribution (multinomial reads)."""
    edges = pp.meth_edges(n_bins)
    rng = np.random.default_rng(seed)
    lines = ["density_lo\tdensity_hi\t" + "\t".join(f"b{j}" for j in range(n_bins))]
    for d, (cow, coe, n) in enumerate(zip(cows, coes, n_reads)):
        p = simulate.model_fractions(st, cow, coe, edges)
        lines.append(f"{d}\t{d + 1}\t" + "\t".join(map(str, rng.multinomial(n, p / p.sum()))))
    path.write_text("\n".join(lines) + "\n")
    return path
