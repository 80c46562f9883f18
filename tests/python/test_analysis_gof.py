"""Goodness of fit per density bin, and comparison of fitting modes."""

import json
import math

import numpy as np
import pytest

from korvel_analysis import cli, gof, pp, simulate, tl
from model_draws import write_counts

EDGES = pp.meth_edges(10)


def model(st, cow, coe):
    p = simulate.model_fractions(st, cow, coe, EDGES)
    return p / p.sum()


def test_chi_square_tail_known_values():
    # The 95% points of chi-square with 1, 2 and 10 df, and a non-integer df
    # (a bin's share of shared parameters): Q(1.5, 1) = erfc(1) + 2 e^-1 / sqrt(pi).
    assert gof.chi2_sf(3.841458820694124, 1) == pytest.approx(0.05, rel=1e-12)
    assert gof.chi2_sf(5.991464547107979, 2) == pytest.approx(0.05, rel=1e-12)
    assert gof.chi2_sf(18.307038053275146, 10) == pytest.approx(0.05, rel=1e-12)
    assert gof.chi2_sf(2.0, 3.0) == pytest.approx(
        math.erfc(1.0) + 2.0 * math.exp(-1.0) / math.sqrt(math.pi), rel=1e-13)
    assert gof.chi2_sf(0.0, 4) == 1.0 and math.isnan(gof.chi2_sf(1.0, 0.0))


def test_perfect_fit_scores_zero_and_a_mixture_is_flagged():
    # A table that is exactly the fitted model's counts: G = 0, p = 1.
    truth = [(1.0, 3.0, 4.0), (1.0, 5.0, 4.0)]
    perfect = np.array([3000 * model(*t) for t in truth])
    params = {k: np.array(v) for k, v in zip(("st", "cow", "coe"), zip(*truth))}
    exact = tl.FitResult(tl.FitSettings(), params, np.zeros(2))
    fq = gof.goodness_of_fit(perfect, EDGES, exact)
    assert np.all(np.abs(fq.deviance) < 1e-9) and np.all(fq.p > 1 - 1e-9)
    assert fq.df.tolist() == [6.0, 6.0]  # 10 bins - 1 - (St, CoW, CoE)
    # Bin 1 drawn as a 50/50 mixture of two parameter sets: the model of one
    # set does not describe it, and only that bin is flagged.
    rng = np.random.default_rng(4)
    mixed = 0.5 * model(1.0, 2.0, 4.0) + 0.5 * model(1.0, 6.0, 4.0)
    counts = np.array([rng.multinomial(3000, model(1.0, 3.0, 4.0)),
                       rng.multinomial(3000, mixed)])
    settings = tl.FitSettings(n_reads=(3000, 3000))
    result = tl.fit(pp.observed_fractions(counts), EDGES, settings)
    fq = gof.goodness_of_fit(counts, EDGES, result)
    # The deviance is the reads' NLL above the saturated model's.
    f = pp.observed_fractions(counts)
    saturated = -np.sum(np.where(f > 0, f * np.log(np.where(f > 0, f, 1)), 0), axis=1)
    assert fq.deviance == pytest.approx(2 * 3000 * (result.nll - saturated), rel=1e-9)
    assert [(f.density_idx, f.word) for f in gof.poor_fit_flags(fq)] == [(1, "poor_fit")]
    # The parametric bootstrap agrees: no draw of the fit is as far off as the
    # mixed bin, so its p is the smallest there is, 1 / (draws + 1).
    boot = gof.goodness_of_fit(counts, EDGES, result, n_draws=5, seed=1, progress=False)
    assert boot.p[1] == pytest.approx(1 / 6) and boot.drawn_deviance.shape == (5, 2)
    assert np.all(boot.drawn_deviance[:, 1] < fq.deviance[1])


def fake_run(mode, nll, n_reads=(1000, 2000, 3000), **options):
    settings = tl.FitSettings(mode=mode, n_reads=n_reads, **options)
    names = tl.parameter_names(settings)
    result = tl.FitResult(settings, {n: np.ones(len(n_reads)) for n in names},
                          np.asarray(nll, dtype=np.float64))
    return gof.ComparedRun.of(result, n_reads, EDGES, name=mode)


def test_likelihood_ratio_of_a_nested_pair_by_hand():
    n = np.array([1000, 2000, 3000])
    small = fake_run("shared-st", [1.5, 1.6, 1.7], n_u=5.0, n_m=5.0)
    big = fake_run("independent", [1.499, 1.5985, 1.6992], n_u=5.0, n_m=5.0)
    far = fake_run("shared-exp", [1.4995, 1.599, 1.6999], exp_bounds=(1, 4))
    c = gof.compare([small, big, far])
    lr = 2 * (np.dot(n, [1.5, 1.6, 1.7]) - np.dot(n, [1.499, 1.5985, 1.6992]))  # = 11.8
    # Only shared-st inside independent: shared-exp searches exponents in
    # [1, 4], which does not hold shared-st's fixed 5.
    assert [(p["smaller"], p["larger"]) for p in c.pairs] == [("shared-st", "independent")]
    (pair,) = c.pairs
    assert pair["lr_statistic"] == pytest.approx(lr, rel=1e-12) and pair["df"] == 2
    assert pair["p_chi2"] == pytest.approx(math.exp(-lr / 2), rel=1e-12)  # chi2_2 tail
    k = [m["n_parameters"] for m in c.models]
    assert k == [7, 9, 9]  # 2 per bin + St; 3 per bin; 2 per bin + St, n_U, n_M
    aic = [2 * np.dot(n, r.result.nll) + 2 * kk for r, kk in zip(c.runs, k)]
    assert [m["aic"] for m in c.models] == pytest.approx(aic, rel=1e-12)
    assert sum(m["akaike_weight"] for m in c.models) == pytest.approx(1.0)
    # With the fixed exponents inside the bounds, shared-st is nested in shared-exp too.
    assert gof.nested_in(fake_run("shared-st", [1] * 3).result.settings, far.result.settings)
    assert gof.nested_in(fake_run("shared-co", [1] * 3).result.settings,
                         fake_run("shared-st-exp", [1] * 3).result.settings)


def two_inputs(tmp_path):
    return [write_counts(tmp_path / f"{name}.tsv", 1.0, (3.0, 4.0), (4.0, 4.0), (800, 800),
                         seed=seed) for name, seed in (("a", 1), ("b", 2))]


def test_compare_refuses_fits_of_other_inputs(tmp_path, capsys):
    a, b = two_inputs(tmp_path)
    for name, path, mode in (("a", a, "independent"), ("b", b, "shared-st")):
        assert cli.main(["fit", str(path), "--counts", "--out", str(tmp_path / name), "--mode",
                         mode, "--quiet", "--no-plots"]) == 0
    capsys.readouterr()
    refused = tmp_path / "refused"
    assert cli.main(["compare", str(tmp_path / "a"), str(tmp_path / "b"), "--out",
                     str(refused)]) == 2
    assert "differ in the input's SHA-256" in capsys.readouterr().err
    assert not refused.exists()


@pytest.mark.slow
def test_mode_list_fits_into_subfolders_and_compares_them(tmp_path):
    a, _ = two_inputs(tmp_path)
    out = tmp_path / "modes"
    assert cli.main(["fit", str(a), "--counts", "--out", str(out), "--mode",
                     "independent,shared-st", "--gof-bootstrap", "2", "--quiet"]) == 0
    for mode in ("independent", "shared-st"):
        header = (out / mode / "results.tsv").read_text().splitlines()[0].split("\t")
        assert header[-5:] == ["nll", "gof_deviance", "gof_df", "gof_p", "flags"]
        run = json.loads((out / mode / "run.json").read_text())
        assert run["goodness_of_fit"]["p_value"] == "parametric bootstrap"
    rows = (out / "comparison.tsv").read_text().splitlines()
    assert [r.split("\t")[0] for r in rows[1:]] == ["independent", "shared-st"]
    nested = (out / "nested.tsv").read_text().splitlines()
    assert nested[1].split("\t")[:2] == ["shared-st", "independent"]
    assert (out / "plots" / "comparison.png").is_file()
    # The parametric-bootstrap p of the pair: (k + 1) / (draws + 1).
    again = tmp_path / "again"
    assert cli.main(["compare", str(out / "independent"), str(out / "shared-st"), "--out",
                     str(again), "--lrt-bootstrap", "2", "--quiet", "--no-plots"]) == 0
    row = (again / "nested.tsv").read_text().splitlines()[1].split("\t")
    assert row[:2] == ["shared-st", "independent"] and row[-1] == "2"
    assert float(row[-2]) in (1 / 3, 2 / 3, 1.0)


def test_degrees_of_freedom_count_shared_parameters_and_bins_that_hold_a_site_count():
    # Shared parameters spread over the bins: the bins' df add up to the table's.
    s = tl.FitSettings(mode="shared-exp", fit_vmax=True)
    assert gof.degrees_of_freedom(s, 3, EDGES).tolist() == [9 - 2 - 4 / 3] * 3
    # [0.001, 0.01) holds no fraction m/70: the model can put no read there.
    edges = np.concatenate([[0.0, 0.001, 0.01], EDGES[1:]])
    assert gof.degrees_of_freedom(tl.FitSettings(), 2, edges).tolist() == [7.0, 7.0]
    assert math.isnan(gof.degrees_of_freedom(tl.FitSettings(), 1, EDGES[:4])[0])
    # Reads where the model expects none are infinitely unlikely.
    assert gof.deviance([[5, 1]], [[1.0, 0.0]])[0] == math.inf


def test_comparison_names_what_differs():
    a = fake_run("shared-st", [1.0] * 3, weights=(1, 1, 2))
    b = fake_run("shared-exp", [1.0] * 3, weights=(2, 2, 4))  # the same shares
    assert gof.comparison_refusal([a, b]) is None
    c = fake_run("shared-co", [1.0] * 3, weights=(1, 1, 1))
    assert "differ in the density bins' weights" in gof.comparison_refusal([a, c])
    d = fake_run("independent", [1.0] * 3)
    d.meth_edges = pp.meth_edges(5)
    assert "differ in methylation edges" in gof.comparison_refusal([a, d])
    assert "both fits in mode shared-st" in gof.comparison_refusal([a, a])


def test_goodness_of_fit_draws_resume_to_the_rows_of_an_uninterrupted_run(tmp_path):
    a, _ = two_inputs(tmp_path)
    argv = ["fit", str(a), "--counts", "--mode", "independent", "--gof-bootstrap", "4",
            "--chunk-resamples", "2", "--quiet", "--no-plots", "--out"]
    assert cli.main(argv + [str(tmp_path / "whole")]) == 0
    out = tmp_path / "resumed"
    assert cli.main(argv + [str(out)]) == 0
    chunk = sorted((out / "gof_chunks").glob("*.npz"))
    assert len(chunk) == 2
    chunk[1].unlink()  # as if the run had been stopped after its first chunk
    assert cli.main(argv + [str(out), "--resume"]) == 0
    whole = (tmp_path / "whole" / "results.tsv").read_text()
    assert (out / "results.tsv").read_text() == whole
    assert "gof_p" in whole.splitlines()[0]
