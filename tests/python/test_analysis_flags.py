"""Flags on estimates: each rule pinned on a constructed case, and the command's report."""

import json

import numpy as np
import pytest

from korvel_analysis import cli, flags, tl

from model_draws import write_counts


def words(found):
    return sorted((f.parameter, f.density_idx, f.word) for f in found)


def result(mode="independent", **params):
    s = tl.FitSettings(mode=mode)
    p = {k: np.asarray(v, dtype=np.float64) for k, v in params.items()}
    return tl.FitResult(s, p, np.zeros(len(next(iter(p.values())))))


def test_at_bound_is_within_a_thousandth_of_the_search_width_from_a_bound():
    # St is searched as a plain value in the independent mode, CoW and CoE as
    # log10. St's bounds (1e-3, 10) are 9.999 wide: 9.991 is 9e-3 from 10, 9.989
    # 1.1e-2. CoW's are 6 decades wide: 1.013e-3 is 5.6e-3 decades from 1e-3,
    # 1.015e-3 6.5e-3.
    r = result(st=[9.991, 9.989], cow=[1.013e-3, 1.015e-3], coe=[1.0, 1.0])
    assert words(flags.flag_estimates(r)) == [("cow", 0, "at_bound"), ("st", 0, "at_bound")]
    # In a shared mode St is searched in log10 and flagged once, for every bin.
    r = result("shared-st", st=[9.99, 9.99], cow=[1.0, 1.0], coe=[1.0, 1.0])
    found = flags.flag_estimates(r)
    assert words(found) == [("st", None, "at_bound")]
    assert flags.words_of(found, 1) == "st:at_bound"


def test_outside_interval_and_open_and_flat_profiles():
    r = result("shared-st", st=[0.296, 0.296], cow=[2.0, 3.0], coe=[1.0, 1.0])
    boot_iv = {"st": ("percentile bootstrap", [tl.Interval(0.301, 0.461)] * 2),
               "cow": ("percentile bootstrap", [tl.Interval(1.5, 2.5), tl.Interval(np.nan, 2.9)])}
    assert words(flags.flag_estimates(r, intervals=boot_iv)) == [
        ("cow", 1, "outside_interval"), ("st", None, "outside_interval")]
    # A profile of CoE that rises to the threshold on the right only: its
    # interval is open on the left; one that never rises is flat too.
    grid = 10.0 ** np.linspace(-1.0, 1.0, 21)
    rising = np.where(grid > 1.0, 40.0 * np.log10(grid) ** 2, 0.0)
    flat = 0.5 * np.log10(grid) ** 2
    profs = [tl.Profile("coe", d, grid, nll, 1.0, tl.likelihood_ratio_interval(grid, nll))
             for d, nll in enumerate((rising, flat))]
    assert profs[0].interval.lo_open and not profs[0].interval.hi_open
    assert words(flags.flag_estimates(r, profiles=profs)) == [
        ("coe", 0, "open_interval"), ("coe", 1, "flat_profile"), ("coe", 1, "open_interval")]
    # Open at the upper end only; and a rise of 3 over the grid, above
    # chi2_1/2 = 1.92 though below chi2_1 = 3.84, bounds the parameter: not flat.
    upper_open = np.where(grid < 1.0, 40.0 * np.log10(grid) ** 2, 0.0)
    rises_3 = 3.0 * np.log10(grid) ** 2
    profs = [tl.Profile("cow", d, grid, nll, 1.0, tl.likelihood_ratio_interval(grid, nll))
             for d, nll in enumerate((upper_open, rises_3))]
    assert words(flags.flag_estimates(r, profiles=profs)) == [("cow", 0, "open_interval")]


def test_bootstrap_flags_bound_share_and_bimodality():
    rng = np.random.default_rng(0)
    r = result(st=[0.3], cow=[2.0], coe=[3.0])
    one = rng.normal(0.3, 0.01, 100)
    two = np.where(np.arange(100) < 70, 0.30, 0.45) + rng.normal(0.0, 0.01, 100)
    cow = 10.0 ** rng.normal(0.3, 0.05, 100)
    coe = 10.0 ** rng.normal(0.5, 0.05, 100)
    coe[:11] = 1e3  # 11% of refits at the upper bound: more than 10%
    cow[:10] = 1e3  # 10%: not more
    boot = {"st": two[:, None], "cow": cow[:, None], "coe": coe[:, None]}
    found = words(flags.flag_estimates(r, boot=boot))
    assert ("coe", 0, "boot_at_bound") in found and ("cow", 0, "boot_at_bound") not in found
    # The refits at the bound are a second group, three decades away.
    assert ("coe", 0, "bimodal_bootstrap") in found and ("st", 0, "bimodal_bootstrap") in found
    assert not flags.bimodal(one)
    # 5% of the values in a far group is a tail, not a second mode.
    assert not flags.bimodal(np.concatenate([one[:95], np.full(5, 0.6)]))
    # No false alarm on single-mode samples of the sizes bootstraps have.
    assert not any(flags.bimodal(rng.normal(size=n)) for n in (20, 100, 1000) for _ in range(50))
    assert not any(flags.bimodal(rng.lognormal(size=200)) for _ in range(50))


def test_intervals_bent_by_a_stuck_parameter_or_disagreeing_or_below_the_fit():
    iv = {n: ("percentile bootstrap", [tl.Interval(0.5, 5.0)] * 2)
          for n in ("st", "cow", "coe", "n_u", "n_m")}
    # shared-exp: n_M on its lower bound holds every other interval of the fit.
    r = result("shared-exp", st=[1.0, 1.0], cow=[2.0, 3.0], coe=[2.0, 2.0], n_u=[2.0, 2.0],
               n_m=[1.0, 1.0])
    found = words(flags.flag_estimates(r, intervals=iv))
    assert ("n_m", None, "at_bound") in found
    assert [w for w in found if w[2] == "conditional_on_bound"] == [
        ("coe", 0, "conditional_on_bound"), ("coe", 1, "conditional_on_bound"),
        ("cow", 0, "conditional_on_bound"), ("cow", 1, "conditional_on_bound"),
        ("n_u", None, "conditional_on_bound"), ("st", None, "conditional_on_bound")]
    # Independent bins: bin 0's St on its bound bends bin 0's coefficients only,
    # and nothing without an interval.
    r = result(st=[10.0, 1.0], cow=[2.0, 3.0], coe=[2.0, 2.0])
    found = words(flags.flag_estimates(r, intervals=iv))
    assert [w for w in found if w[2] == "conditional_on_bound"] == [
        ("coe", 0, "conditional_on_bound"), ("cow", 0, "conditional_on_bound")]
    assert not [w for w in words(flags.flag_estimates(r)) if w[2] == "conditional_on_bound"]
    # Profile [1, 2] against bootstrap [1.8, 3] (overlap 0.05 decades, 0.3 the
    # shorter) disagree; against [1.2, 2.5] (0.22 decades) they do not. A profile
    # 0.5 below the NLL at the estimate found a better point than the fit.
    grid = np.array([0.5, 1.0, 1.5, 2.0, 4.0])
    boot = {"cow": ("percentile bootstrap", [tl.Interval(1.8, 3.0), tl.Interval(1.2, 2.5)])}
    profs = [tl.Profile("cow", d, grid, np.array([9.0, 0.0, 0.1, 0.2, 9.0]), 1.5,
                        tl.Interval(1.0, 2.0), below_estimate=b)
             for d, b in enumerate((0.5, 0.05))]
    r = result(st=[1.0, 1.0], cow=[1.5, 1.5], coe=[2.0, 2.0])
    assert words(flags.flag_estimates(r, profiles=profs, boot_intervals=boot)) == [
        ("cow", 0, "intervals_disagree"), ("cow", 0, "outside_interval"),
        ("cow", 0, "profile_below_fit")]


@pytest.mark.slow
def test_the_command_flags_a_coefficient_pressed_against_its_bound(tmp_path, capsys):
    # Bin 0 drawn with CoE = 0.3, fitted inside --co-bounds 1,100: its CoE
    # can only land on the bound 1. Bin 1 (CoE = 4) fits freely.
    counts = write_counts(tmp_path / "c.tsv", 1.0, (3.0, 3.0), (0.3, 4.0), (2000, 2000), 7)
    out = tmp_path / "fit"
    assert cli.main(["fit", str(counts), "--counts", "--mode", "independent", "--co-bounds",
                     "1,100", "--out", str(out), "--profile", "--profile-points", "7"]) == 0
    rows = [line.split("\t") for line in (out / "results.tsv").read_text().splitlines()]
    assert rows[0][-1] == "flags"
    assert "coe:at_bound" in rows[1][-1].split(",") and rows[2][-1] == ""
    run = json.loads((out / "run.json").read_text())
    assert {"parameter": "coe", "density_idx": 0, "flag": "at_bound"} in [
        {k: f[k] for k in ("parameter", "density_idx", "flag")} for f in run["flags"]]
    err = capsys.readouterr().err
    assert "flags on the estimates" in err and "coe (density bin 0): at_bound" in err
