"""One likelihood for fit and interval: the density bins' NLLs weighted by their reads."""

import json

import numpy as np
import pytest

from korvel_analysis import cli, pp, readers, tl

from model_draws import write_counts


def test_likelihood_weights_are_the_reads_times_normalised_user_weights():
    n = (20000, 300)
    assert tl.likelihood_weights(n).tolist() == [20000.0, 300.0]
    assert tl.likelihood_weights(n, (10, 10)).tolist() == [20000.0, 300.0]
    w = tl.likelihood_weights(n, (1, 3))
    # The shares move 3:1 towards the small bin and the weighted reads still add up to N.
    assert w[1] / w[0] == pytest.approx(3 * 300 / 20000, rel=1e-15)
    assert w.sum() == pytest.approx(20300, rel=1e-15)
    for bad in ((1,), (1, -1), (0, 0), (1, np.nan)):
        with pytest.raises(ValueError):
            tl.likelihood_weights(n, bad)
    # The settings hand the same weights to every module call; without read
    # counts or weights the module keeps its default of 1 per bin.
    s = tl.FitSettings(mode="shared-st", n_reads=n, weights=(10, 10))
    assert s.weights_array().tolist() == [20000.0, 300.0]
    assert tl.FitSettings(mode="shared-st").weights_array() is None
    assert tl.FitSettings(mode="independent", n_reads=n).weights_array() is None


@pytest.mark.slow
def test_unequal_bins_keep_the_shared_st_inside_its_interval(tmp_path):
    # 20000 and 300 reads at St = 1. Summing the bins' per-read NLLs with equal
    # weights put the estimate of these data at 0.75, outside its profile
    # interval [0.84, 1.13]; and weights 10,10 shrank that interval by sqrt(10).
    counts = write_counts(tmp_path / "counts.tsv", 1.0, (3.0, 4.0), (4.0, 4.0), (20000, 300), 3)
    found = {}
    for weights in ("1,1", "10,10"):
        out = tmp_path / weights
        assert cli.main(["fit", str(counts), "--counts", "--mode", "shared-st", "--out", str(out),
                         "--profile", "--no-plots", "--quiet", "--weights", weights]) == 0
        row = (out / "results.tsv").read_text().splitlines()[1].split("\t")
        st, lo, hi = (float(v) for v in row[3:6])
        assert lo < st < hi and lo < 1.0 < hi, (weights, lo, st, hi)
        assert json.loads((out / "run.json").read_text())["likelihood_weights"] == [20000, 300]
        found[weights] = (st, lo, hi)
    # The inner fits draw entropy seeds, so repeated runs agree to about 1e-5.
    assert found["10,10"] == pytest.approx(found["1,1"], rel=1e-3)


def test_profiles_are_the_negative_log_likelihood_of_each_bins_reads(tmp_path):
    # Bins of 900 and 300 reads: at the estimate, each profile is the
    # multinomial NLL of that bin's reads, -sum(count * ln p), by hand.
    table = readers.read_counts(write_counts(tmp_path / "c.tsv", 1.0, (3.0, 4.0), (4.0, 4.0),
                                             (900, 300), 5, n_bins=5), 5)
    edges = pp.meth_edges(5)
    s = tl.FitSettings(st_bounds=(0.5, 2.0), co_bounds=(1.0, 10.0))
    result = tl.fit(pp.observed_fractions(table.counts), edges, s)
    model = tl.model_fractions(result, edges)
    n_reads = table.counts.sum(axis=1)
    for p in tl.profiles(pp.observed_fractions(table.counts), edges, result, n_reads, points=3,
                         span=0.2):
        d = p.density_idx
        by_hand = -float(np.sum(table.counts[d] * np.log(model[d])))
        at_estimate = p.nll[np.flatnonzero(p.grid == p.estimate)[0]]
        assert at_estimate == pytest.approx(by_hand, rel=1e-4), (p.parameter, d)


@pytest.mark.slow
def test_user_weights_reach_the_fit_and_every_shared_st_profile(tmp_path):
    # --weights 1,3 on bins of 900 and 300 reads: run.json records the weights
    # the module got, and each CoW and CoE profile of the shared-St fit, at
    # the estimate, is the weighted sum of the bins' per-read NLLs there.
    counts = write_counts(tmp_path / "c.tsv", 1.0, (3.0, 4.0), (4.0, 4.0), (900, 300), 5,
                          n_bins=5)
    out = tmp_path / "fit"
    assert cli.main(["fit", str(counts), "--counts", "--meth-bins", "5", "--mode", "shared-st",
                     "--out", str(out), "--weights", "1,3", "--profile", "--profile-points", "3",
                     "--profile-span", "0.2", "--st-bounds", "0.5,2", "--co-bounds", "1,10",
                     "--no-plots", "--quiet"]) == 0
    w = tl.likelihood_weights((900, 300), (1, 3))
    assert json.loads((out / "run.json").read_text())["likelihood_weights"] == w.tolist()
    rows = (out / "results.tsv").read_text().splitlines()
    col = rows[0].split("\t").index("nll")
    total = float(np.dot(w, [float(r.split("\t")[col]) for r in rows[1:]]))
    for name in ("cow", "coe"):
        lines = (out / "profiles" / f"{name}.tsv").read_text().splitlines()[1:]
        ests = [float(r.split("\t")[rows[0].split("\t").index(name)]) for r in rows[1:]]
        for d, est in enumerate(ests):
            at = [float(v[2]) for v in (line.split("\t") for line in lines)
                  if v[0] == str(d) and float(v[1]) == est]
            assert at and at[0] == pytest.approx(total, rel=1e-3), (name, d)
