"""Plotting: each function draws on the axes it is given (or on a new figure) and returns them.

Nothing is saved here; ``save(fig, path)`` writes a PNG through the Agg
canvas without touching pyplot's global state, which is what the command
uses. matplotlib comes with the ``analysis`` extra.
"""

from __future__ import annotations

import numpy as np


def _axes(ax):
    if ax is not None:
        return ax
    import matplotlib.pyplot as plt

    return plt.figure().add_subplot()


def figure(n_panels=1, width=5.0, height=3.8, rows=1):
    """A pyplot-free figure with ``n_panels`` axes side by side in each of ``rows`` rows
    (for files); the axes come row by row."""
    from matplotlib.figure import Figure

    fig = Figure(figsize=(width * n_panels, height * rows), layout="constrained")
    return fig, [fig.add_subplot(rows, n_panels, i + 1) for i in range(rows * n_panels)]


def save(fig, path):
    """Writes the figure as a PNG (Agg canvas)."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    FigureCanvasAgg(fig)
    fig.savefig(path, format="png", dpi=110)


def _density_labels(density_lo, density_hi):
    return [f"density [{a:.3g}, {b:.3g}]" for a, b in zip(density_lo, density_hi)]


def fractions(meth_bin_edges, observed, fitted, density_lo=None, density_hi=None, ax=None):
    """Observed (markers) against fitted (lines) methylation-bin fractions, one colour per density bin."""
    ax = _axes(ax)
    edges = np.asarray(meth_bin_edges)
    mid = (edges[:-1] + edges[1:]) / 2.0
    observed, fitted = np.atleast_2d(observed), np.atleast_2d(fitted)
    labels = (_density_labels(density_lo, density_hi) if density_lo is not None
              else [f"density bin {d}" for d in range(observed.shape[0])])
    for d in range(observed.shape[0]):
        line, = ax.plot(mid, fitted[d], "-", label=labels[d])
        ax.plot(mid, observed[d], "o", color=line.get_color(), markersize=4)
    ax.set_xlabel("methylated fraction of the read (bin centre)")
    ax.set_ylabel("fraction of reads")
    ax.set_title("observed (dots) and fitted (lines) bin fractions")
    ax.legend(fontsize="small")
    return ax


def bootstrap_distribution(values, name, estimate=None, interval=None, ax=None):
    """Histogram of one parameter's bootstrap values, with the estimate and the interval marked."""
    ax = _axes(ax)
    values = np.asarray(values, dtype=np.float64)
    ax.hist(values[np.isfinite(values)], bins=max(5, min(30, values.size // 3)), color="0.6")
    if estimate is not None:
        ax.axvline(estimate, color="C3", label=f"estimate {estimate:.4g}")
    if interval is not None:
        for v in (interval.lo, interval.hi):
            if np.isfinite(v):
                ax.axvline(v, color="C0", linestyle="--")
        ax.plot([], [], "--", color="C0", label=f"interval [{interval.lo:.4g}, {interval.hi:.4g}]")
    ax.set_xlabel(name)
    ax.set_ylabel("resamples")
    ax.set_title(f"bootstrap distribution of {name}")
    ax.legend(fontsize="small")
    return ax


def profile(prof, level=0.95, ax=None):
    """A profile NLL curve (tl.Profile) with its threshold and likelihood-ratio interval."""
    from .tl import chi2_1_quantile

    ax = _axes(ax)
    rise = prof.nll - np.nanmin(prof.nll)
    threshold = chi2_1_quantile(level) / 2.0
    ax.plot(prof.grid, rise, "o-", markersize=3)
    ax.axhline(threshold, color="0.5", linestyle=":")
    # Show the neighbourhood of the interval: far grid points rise by
    # thousands and would flatten the part that matters.
    near = np.flatnonzero(rise <= 6.0 * threshold)
    if near.size:
        i0, i1 = max(near[0] - 1, 0), min(near[-1] + 1, rise.size - 1)
        ax.set_xlim(prof.grid[i0], prof.grid[i1])
        ax.set_ylim(-0.05 * threshold, 6.0 * threshold)
    ax.axvline(prof.estimate, color="C3")
    iv = prof.interval
    for v, is_open in ((iv.lo, iv.lo_open), (iv.hi, iv.hi_open)):
        if not is_open:
            ax.axvline(v, color="C0", linestyle="--")
    text = "[{}, {}]".format("open" if iv.lo_open else f"{iv.lo:.4g}",
                             "open" if iv.hi_open else f"{iv.hi:.4g}")
    lo_x, hi_x = ax.get_xlim()
    if hi_x > 10.0 * lo_x:  # a log axis only where the view spans a decade
        ax.set_xscale("log")
    ax.set_xlabel(prof.parameter)
    ax.set_ylabel("NLL - minimum")
    where = "all density bins" if prof.density_idx is None else f"density bin {prof.density_idx}"
    ax.set_title(f"profile of {prof.parameter}, {where}: {text}", fontsize="small")
    return ax


def parameter_vs_density(density_lo, density_hi, values, name, lo=None, hi=None, ax=None,
                         flagged=None):
    """One parameter against the density bin centre, with interval bars where given;
    ``flagged`` (one bool per density bin) rings the estimates that carry a flag."""
    ax = _axes(ax)
    x = (np.asarray(density_lo) + np.asarray(density_hi)) / 2.0
    values = np.asarray(values, dtype=np.float64)
    if lo is not None and hi is not None:
        lo, hi = np.asarray(lo, dtype=np.float64), np.asarray(hi, dtype=np.float64)
        # An open interval end is drawn as no bar on that side.
        err = np.vstack([np.nan_to_num(values - lo), np.nan_to_num(hi - values)])
        ax.errorbar(x, values, yerr=np.clip(err, 0, None), fmt="o", capsize=3)
    else:
        ax.plot(x, values, "o")
    if flagged is not None and np.any(flagged):
        marked = np.asarray(flagged, dtype=bool)
        ax.plot(x[marked], values[marked], "o", markersize=13, markerfacecolor="none",
                markeredgecolor="C3", label="flagged (see results.tsv)")
        ax.legend(fontsize="small")
    if np.all(values > 0) and values.max() > 10.0 * values.min():
        ax.set_yscale("log")
    ax.set_xlabel("CpG density (bin centre)")
    ax.set_ylabel(name)
    return ax


def drift(ages, observed, predicted_ages, predicted, meth_bin_edges, ax=None):
    """Observed bin fractions (markers) and the drift model's prediction (lines) over age."""
    ax = _axes(ax)
    edges = np.asarray(meth_bin_edges)
    for j in range(edges.size - 1):
        line, = ax.plot(predicted_ages, predicted[:, j], "-",
                        label=f"[{edges[j]:.2g}, {edges[j + 1]:.2g}]")
        ax.plot(ages, observed[:, j], "o", color=line.get_color(), markersize=4)
    ax.set_xlabel("age (from the reference age)")
    ax.set_ylabel("fraction of reads in the bin")
    ax.set_title("drift: observed (dots) and predicted (lines)")
    ax.legend(fontsize="x-small", title="methylated fraction", ncol=2)
    return ax


def phase(grids, key="bistability", points=None, ax=None):
    """A phase-diagram grid (tl.phase_grids) over (log10 CoE, log10 CoW); ``points`` are
    (log10 CoW, log10 CoE, label) triples to mark, such as fitted density bins."""
    ax = _axes(ax)
    lc, le = grids["log_cow"], grids["log_coe"]
    im = ax.imshow(grids[key], origin="lower", extent=[le[0], le[-1], lc[0], lc[-1]],
                   aspect="auto", cmap="viridis")
    ax.figure.colorbar(im, ax=ax, label=key.replace("_", " "))
    for log_cow, log_coe, label in points or ():
        ax.plot(log_coe, log_cow, "o", color="white", markeredgecolor="black")
        ax.annotate(label, (log_coe, log_cow), textcoords="offset points", xytext=(4, 4),
                    color="white", fontsize="small")
    # Points outside the grid are not drawn: the axes keep the grid's extent.
    ax.set_xlim(le[0], le[-1])
    ax.set_ylim(lc[0], lc[-1])
    ax.set_xlabel("log10 CoE")
    ax.set_ylabel("log10 CoW")
    ax.set_title(key.replace("_", " "))
    return ax
