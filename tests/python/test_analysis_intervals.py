"""Profile interval ends found exactly, reached to the bounds, and shown before the bootstrap's."""

import math

import numpy as np
import pytest

import korvel
from korvel_analysis import pp, readers, tl

from model_draws import write_counts

Q = tl.chi2_1_quantile(0.95)


def fake_scan(profile, calls=None):
    """A module-like scan of a table of grids: NaN padding stays NaN."""
    def scan(table):
        if calls is not None:
            calls.append(table.shape)
        with np.errstate(invalid="ignore"):
            return np.where(np.isnan(table), np.nan, profile(np.log10(table)))
    return scan


def test_ends_are_found_between_grid_points_and_reached_to_the_bounds():
    # Row 0: flat to x = 0.93 then a wall rising 40 per decade, between grid
    # points 1/7 decade apart; the left end is a parabola. Row 1 rises only
    # 2.5 decades out (beyond the first reach of one decade) on the right and
    # never on the left, down to the bound 1e-3.
    def profile(x):
        wall = np.where(x > 0.93, 40.0 * (x - 0.93), 0.0)
        row0 = wall + np.where(x < 0.0, 3.0 * x ** 2, 0.0)
        row1 = np.where(x > 2.5, 5.0 * (x - 2.5) ** 2, 0.0)
        return np.where(np.arange(2)[:, None] == 0, row0, row1)

    calls = []
    curves = tl._profile_rows(fake_scan(profile, calls), [1.0, 1.0], (1e-3, 1e6), 0.95, 15, 1.0)
    # Every step scanned both rows in one call.
    assert all(shape[0] == 2 for shape in calls)
    for d, c in enumerate(curves):
        iv = tl.likelihood_ratio_interval(c.g, c.nll)
        for end, is_open in ((iv.lo, iv.lo_open), (iv.hi, iv.hi_open)):
            if not is_open:
                rise = 2.0 * (profile(np.array([math.log10(end)]))[d, 0] - c.nll.min())
                assert abs(rise - Q) <= tl.ROOT_TOLERANCE, (d, end, rise)
        closed = (not iv.lo_open, not iv.hi_open)
        assert closed == ((True, True) if d == 0 else (False, True)), (d, iv)
    # The open end is open at the bound, not at the first grid's end.
    assert curves[1].g.min() == pytest.approx(1e-3)
    assert 2.5 < math.log10(tl.likelihood_ratio_interval(curves[1].g, curves[1].nll).hi) < 3.5


def test_profiles_run_side_by_side_are_those_run_one_after_another(monkeypatch):
    # Three calls at once (St, CoW and CoE of each step) give the same bits as the
    # same calls in turn: what a call returns does not depend on what runs beside it.
    rng = np.random.default_rng(5)
    edges = pp.meth_edges(10)
    counts = np.array([rng.multinomial(2000, korvel.py_compute_model_fracs(
        1.0, 1.0, 3.0, 4.0, edges, 2.0, 2.0))])
    fr, n = pp.observed_fractions(counts), counts.sum(axis=1)
    result = tl.fit(fr, edges, tl.FitSettings())

    def curves():
        return [(p.parameter, p.density_idx, p.grid.tobytes(), p.nll.tobytes())
                for p in tl.profiles(fr, edges, result, n, points=5, progress=False)]

    monkeypatch.setattr(korvel, "py_thread_count", lambda: 3)
    together = curves()
    monkeypatch.setattr(tl, "_side_by_side", lambda calls, threads: [c() for c in calls])
    assert together == curves()


@pytest.mark.slow
def test_low_methylation_ends_sit_at_the_threshold(tmp_path):
    # The regime where the grid's interpolation put 9 of 20 closed ends at a
    # rise below 1.2: St 1, (CoW, CoE) = (0.5, 8) and (1.5, 12), 2000 reads a bin.
    table = readers.read_counts(write_counts(tmp_path / "c.tsv", 1.0, (0.5, 1.5), (8.0, 12.0),
                                             (2000, 2000), 1), 10)
    edges, fr = pp.meth_edges(10), pp.observed_fractions(table.counts)
    s = tl.FitSettings()
    n = table.counts.sum(axis=1)
    profs = tl.profiles(fr, edges, tl.fit(fr, edges, s), n)
    closed = 0
    for p in profs:
        for end, is_open in ((p.interval.lo, p.interval.lo_open),
                             (p.interval.hi, p.interval.hi_open)):
            if is_open:
                continue
            g = np.full((2, 1), np.nan)
            g[p.density_idx, 0] = end
            nll = korvel.py_profile_density(fr, edges, True, tl.PROFILE_PARAMETER[p.parameter],
                                            g, s.st_bounds, s.co_bounds, 2.0, 2.0)
            rise = 2.0 * (nll[p.density_idx, 0] * n[p.density_idx] - p.nll.min())
            assert 3.79 <= rise <= 3.89, (p.parameter, p.density_idx, end, rise)
            closed += 1
    assert closed >= 5


def test_exponent_modes_profile_every_fitted_parameter_through_their_record(monkeypatch):
    # A stand-in for the module's profile function: a parabola in log10 about
    # a per-(parameter, bin) centre, 2*dNLL = 3.84 a tenth of a decade out.
    import dataclasses

    from korvel_analysis import modes

    calls = []

    def profile(fracs, edges, s, w, k, rows, grid, start=None):
        (d,) = rows
        calls.append((k, d, grid.size))
        centre = 1.5 + 0.25 * k + 0.5 * d
        return Q / 2 * (np.log10(grid / centre) / 0.1) ** 2

    for mode in ("shared-exp", "shared-st-exp", "shared-co"):
        record = dataclasses.replace(modes.get(mode), profilers=(modes.Profiler(
            modes.PARAMETERS, profile, "stand-in", per_row=True, stops_on_ctrl_c=True),))
        monkeypatch.setitem(modes.REGISTRY, mode, record)
        s = tl.FitSettings(mode=mode, fit_vmax=record.fits_vmax, n_reads=(100, 100))
        names = tl.profiled_parameters(s)
        params = {n: np.array([1.5 + 0.25 * tl.PROFILE_PARAMETER[n]] * 2) for n in names}
        params = {n: v if n in record.shared else v + [0.0, 0.5] for n, v in params.items()}
        result = tl.FitResult(s, params, np.zeros(2))
        calls.clear()
        profs = tl.profiles(np.full((2, 3), 1 / 3), np.linspace(0, 1, 4), result, (100, 100))
        assert sorted({(p.parameter, p.density_idx) for p in profs}) == sorted(
            (n, None) if n in record.shared else (n, d) for n in names
            for d in ((None,) if n in record.shared else (0, 1)))
        for p in profs:
            d = p.density_idx or 0
            centre = 1.5 + 0.25 * tl.PROFILE_PARAMETER[p.parameter] + 0.5 * d
            assert p.interval.lo == pytest.approx(centre / 10 ** 0.1, rel=1e-3), (mode, p)
            assert p.interval.hi == pytest.approx(centre * 10 ** 0.1, rel=1e-3), (mode, p)
        # Shared parameters go to the module with bin 0, per-bin ones with their bin.
        assert {d for k, d, _ in calls} == {0, 1} and all(n > 0 for *_, n in calls)
        assert ("vmax" in names) == record.fits_vmax
