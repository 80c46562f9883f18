"""What the figures promise a reader: error bars from the reads, marks that are never
dropped, legends off the data."""

import types

import numpy as np
import pytest

pytest.importorskip("matplotlib")

from korvel_analysis import pl, tl  # noqa: E402

Z95 = 1.959963984540054  # the standard normal's 0.975 quantile


def test_fraction_bars_are_wilson_intervals_of_each_bins_reads():
    edges = np.linspace(0.0, 1.0, 4)
    counts = np.array([[0, 40, 360], [3000, 3000, 2000]])
    fitted = np.array([[0.01, 0.1, 0.89], [0.37, 0.38, 0.25]])
    data = types.SimpleNamespace(n_densities=2, density_lo=[0.0, 1.0], density_hi=[1.0, 2.0],
                                 meth_edges=edges, counts=counts,
                                 fractions=counts / counts.sum(axis=1, keepdims=True))
    fig = pl.fractions_figure(data, fitted)
    panels = [ax for ax in fig.axes if ax.containers]
    assert [ax.get_title().split(": ")[1] for ax in panels] == ["400 reads", "8,000 reads"]
    for ax, row in zip(panels, counts):
        n = row.sum()
        p = row / n
        centre = (p + Z95**2 / (2 * n)) / (1 + Z95**2 / n)
        half = Z95 * np.sqrt(p * (1 - p) / n + Z95**2 / (4 * n * n)) / (1 + Z95**2 / n)
        segments = ax.containers[0].lines[2][0].get_segments()
        got = np.array([[s[0][1], s[1][1]] for s in segments])
        np.testing.assert_allclose(got, np.c_[centre - half, centre + half], rtol=1e-12, atol=1e-15)
    # No read of 400 in a bin is still uncertain; 8,000 reads give the narrower bars.
    first, second = (ax.containers[0].lines[2][0].get_segments() for ax in panels)
    assert first[0][1][1] > 0.005
    assert first[1][1][1] - first[1][0][1] > second[1][1][1] - second[1][0][1]


def test_a_bin_off_the_phase_map_is_marked_at_its_edge():
    axis = np.linspace(-1.0, 2.0, 4)
    grids = {"log_cow": axis, "log_coe": axis, "bistability": np.zeros((4, 4))}
    ax = pl.phase(grids, "bistability", [(0.5, 0.5, "in"), (-3.0, 0.3, "low CoW")])
    marks = {line.get_marker(): line.get_xydata()[0].tolist() for line in ax.get_lines()}
    assert marks == {"o": [0.5, 0.5], "v": [0.3, -1.0]}  # (log10 CoE, log10 CoW)
    assert any("low CoW off the map: log10 CoW -3" in t.get_text() for t in ax.texts)


def test_parameter_panels_leave_no_empty_panel_and_no_legend_over_data():
    names = ["st", "cow", "coe", "n_u", "n_m"]
    shared = {"st": 1.7, "n_u": 3.0, "n_m": 2.9}
    params = {n: np.full(2, shared[n]) if n in shared else np.array([5.0, 0.001]) for n in names}
    ivs = {n: ("percentile bootstrap", [tl.Interval(0.5 * v, 2 * v) for v in params[n]])
           for n in names}
    ivs["cow"] = ("likelihood ratio (profile)",
                  [tl.Interval(4.0, 6.0), tl.Interval(np.nan, 0.5, lo_open=True)])
    result = types.SimpleNamespace(params=params)
    data = types.SimpleNamespace(n_densities=2, density_lo=[0.0, 1.0], density_hi=[1.0, 2.0])
    settings = types.SimpleNamespace(mode="shared-exp", normalize_stw=True)
    fig = pl.parameters_figure(data, result, settings, 0.95, ivs)
    visible = [ax for ax in fig.axes if ax.get_visible()]
    panels = [ax for ax in visible if ax.axison]
    assert len(panels) == 5 and all(ax.get_legend() is None for ax in panels)
    (legend_panel,) = [ax for ax in visible if not ax.axison]
    labels = [t.get_text() for t in legend_panel.get_legend().get_texts()]
    assert "open end: no bound up to the search bound (arrow)" in labels
    assert "shared ones as one line" not in fig.get_suptitle()
    assert "likelihood ratio (profile) and percentile bootstrap" in fig.get_suptitle()
    # The open end of CoW in bin 1: an arrow head beyond the panel's lower edge.
    heads = [a for a in panels[1].texts if a.arrow_patch and a.xy[1] < 0.0]
    assert len(heads) == 1 and heads[0].xy[0] == 1.5


def test_a_profile_at_a_bound_says_so_in_its_panel():
    grid = np.geomspace(1e-3, 10.0, 9)
    prof = [tl.Profile("cow", d, grid, (np.log10(grid) + 3.0 - d) ** 2, 1e-3 if d else 0.1,
                       tl.Interval(np.nan, 2.0, lo_open=True)) for d in (0, 1)]
    fig = pl.profile_figure(prof, at_bound={1})
    said = [any("bound" in t.get_text() for t in ax.texts) for ax in fig.axes[:2]]
    assert said == [False, True]
