"""The Gillespie simulator against the module's stationary distribution."""

import numpy as np
import pytest

import korvel
from korvel_analysis import simulate

stats = pytest.importorskip("scipy.stats")

EDGES = np.linspace(0.0, 1.0, 11)
N = 4000
# Significance of the goodness-of-fit test: with three seeded cases a false
# alarm has probability 0.3% at most, and the seeds make it repeatable.
ALPHA = 1e-3


def chi_square_p(counts, fracs):
    """Pearson's test, bins with an expected count below 5 pooled into one."""
    expected = fracs * counts.sum()
    small = expected < 5
    obs = np.append(counts[~small], counts[small].sum())
    exp = np.append(expected[~small], expected[small].sum())
    keep = exp > 0
    return stats.chisquare(obs[keep], exp[keep]).pvalue


def simulated_counts(st, cow, coe, seed):
    _, meth = simulate.simulate_reads(st, cow, coe, reads_per_density=N, seed=seed)
    return np.histogram(meth, bins=EDGES)[0]


# Monostable parameter sets, whose chains relax within a few time units.
@pytest.mark.parametrize("st,cow,coe", [(1.0, 3.0, 4.0), (0.3, 3.0, 10.0), (2.0, 1.0, 3.0)])
def test_simulated_reads_follow_the_stationary_distribution(st, cow, coe):
    counts = simulated_counts(st, cow, coe, seed=11)
    fracs = korvel.py_compute_model_fracs(st, 1.0, cow, coe, EDGES)
    assert chi_square_p(counts, fracs) > ALPHA


def test_the_check_rejects_other_parameters():
    # The same test has the power to see a 30% change of one coefficient.
    counts = simulated_counts(1.0, 3.0, 4.0, seed=11)
    fracs = korvel.py_compute_model_fracs(1.0, 1.0, 3.9, 4.0, EDGES)
    assert chi_square_p(counts, fracs) < ALPHA


def test_too_slow_chains_are_refused():
    with pytest.raises(ValueError, match="relaxes too slowly"):
        simulate.simulate_reads(0.05, 50.0, 50.0, reads_per_density=10)
