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


# What each parameter is, for axis labels: its name and its meaning.
_MEANINGS = {
    "ste": "StE (spontaneous erasing rate)",
    "stw": "StW (spontaneous writing rate)",
    "cow": "CoW (cooperative writing coefficient)",
    "coe": "CoE (cooperative erasing coefficient)",
    "n_u": "n_U (exponent of the unmethylated share)",
    "n_m": "n_M (exponent of the methylated share)",
    "vmax": "Vmax (ceiling of the cooperative drives)",
}
# Rates and coefficients span decades: they are drawn on log axes.
LOG_PARAMETERS = ("st", "ste", "stw", "cow", "coe", "vmax")


def parameter_label(name, normalize_stw=True):
    """An axis label: "St (spontaneous erasing rate, StW = 1)", "CoW (cooperative ...)"."""
    if name == "st":
        return ("St (spontaneous erasing rate, StW = 1)" if normalize_stw
                else "St (spontaneous writing rate, StE = 1)")
    return _MEANINGS.get(name, name)


def log_axis(ax, which="y"):
    """A log axis whose tick labels stay readable over any span.

    Over a decade or more matplotlib labels the powers of ten; over less it
    labels minor ticks too, whose long labels run into each other. Here the
    labelled ticks are 1, 2 and 5 times the powers of ten (only the powers
    over several decades), written plainly, and the other ticks are unlabelled.
    """
    from matplotlib import ticker

    axis = ax.yaxis if which == "y" else ax.xaxis
    (ax.set_yscale if which == "y" else ax.set_xscale)("log")
    lo, hi = sorted(ax.get_ylim() if which == "y" else ax.get_xlim())
    decades = np.log10(hi / lo) if lo > 0 and hi > 0 else 0.0
    subs = (1.0,) if decades > 3 else (1.0, 2.0, 5.0) if decades > 0.7 else (
        1.0, 1.5, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0)
    axis.set_major_locator(ticker.LogLocator(base=10.0, subs=subs))
    axis.set_major_formatter(ticker.FuncFormatter(lambda v, _: f"{v:g}"))
    axis.set_minor_formatter(ticker.NullFormatter())


def _density_labels(density_lo, density_hi):
    return [f"density [{a:.3g}, {b:.3g}]" for a, b in zip(density_lo, density_hi)]


def binomial_interval(k, n, level=0.95):
    """(lo, hi) Wilson score interval of a share of ``k`` in ``n`` reads at ``level``.

    Unlike the normal approximation it stays inside [0, 1] and does not shrink
    to nothing at 0 or n of n, so a bin with no reads of 400 still gets a bar.
    Where n is 0 both ends are NaN.
    """
    from .flags import chi2_1_quantile

    k, n = np.asarray(k, dtype=np.float64), np.asarray(n, dtype=np.float64)
    z2 = chi2_1_quantile(level)
    with np.errstate(invalid="ignore", divide="ignore"):
        p = k / n
        centre = (p + z2 / (2.0 * n)) / (1.0 + z2 / n)
        half = np.sqrt(z2 * p * (1.0 - p) / n + z2 * z2 / (4.0 * n * n)) / (1.0 + z2 / n)
    return centre - half, centre + half


def fractions(meth_bin_edges, observed, fitted, density_lo=None, density_hi=None, ax=None,
              counts=None, level=0.95, first_colour=0):
    """Observed (markers) against fitted (lines) methylation-bin fractions, one colour per
    density bin. ``counts`` (reads per density and methylation bin) adds a binomial
    ``level`` interval to each observed fraction: a bin of 400 reads is seen to be less
    certain than one of 8,000. ``first_colour``: the colour cycle's index of the first
    density bin."""
    ax = _axes(ax)
    edges = np.asarray(meth_bin_edges)
    mid = (edges[:-1] + edges[1:]) / 2.0
    observed, fitted = np.atleast_2d(observed), np.atleast_2d(fitted)
    labels = (_density_labels(density_lo, density_hi) if density_lo is not None
              else [f"density bin {d}" for d in range(observed.shape[0])])
    for d in range(observed.shape[0]):
        line, = ax.plot(mid, fitted[d], "-", label=labels[d],
                        color=f"C{(first_colour + d) % 10}")
        if counts is None:
            ax.plot(mid, observed[d], "o", color=line.get_color(), markersize=4)
            continue
        row = np.asarray(np.atleast_2d(counts)[d], dtype=np.float64)
        lo, hi = binomial_interval(row, row.sum(), level)
        ax.errorbar(mid, observed[d], yerr=[np.maximum(observed[d] - lo, 0.0),
                                             np.maximum(hi - observed[d], 0.0)],
                    fmt="o", color=line.get_color(), markersize=4, capsize=2, elinewidth=1)
    ax.set_xlabel("methylated fraction of the read (bin centre)")
    ax.set_ylabel("fraction of reads")
    bars = "" if counts is None else f", {level:g} binomial intervals from the reads"
    ax.set_title(f"observed (dots{bars}) and fitted (lines)", fontsize="small")
    if observed.shape[0] > 1:
        ax.legend(fontsize="small")
    return ax


def residuals(meth_bin_edges, pearson, fit_quality=None, density_lo=None, density_hi=None,
              ax=None):
    """Pearson residuals (O - E) / sqrt(E) of each methylation bin, one line per density bin
    in the colours of ``fractions``; a bin's goodness of fit (gof.GoodnessOfFit) in the
    legend. Under a model that holds they scatter about 0 with variance a little below 1,
    so the dotted lines at +-2 frame the usual range."""
    ax = _axes(ax)
    edges = np.asarray(meth_bin_edges)
    mid = (edges[:-1] + edges[1:]) / 2.0
    pearson = np.atleast_2d(pearson)
    labels = (_density_labels(density_lo, density_hi) if density_lo is not None
              else [f"density bin {d}" for d in range(pearson.shape[0])])
    for d in range(pearson.shape[0]):
        label = labels[d]
        if fit_quality is not None:
            label += (f": G = {fit_quality.deviance[d]:.3g}, df {fit_quality.df[d]:.3g}, "
                      f"p = {fit_quality.p[d]:.2g}")
        ax.plot(mid, pearson[d], "o-", markersize=4, label=label)
    ax.axhline(0.0, color="0.3", linewidth=0.8)
    for level in (-2.0, 2.0):
        ax.axhline(level, color="0.5", linestyle=":")
    ax.set_xlabel("methylated fraction of the read (bin centre)")
    ax.set_ylabel("Pearson residual (O - E) / sqrt(E)")
    how = "" if fit_quality is None else f" (p: {fit_quality.method})"
    ax.set_title(f"residuals of each density bin's reads against the fit{how}",
                 fontsize="medium")
    ax.legend(fontsize="x-small")
    return ax


def comparison(models, pairs=(), axes=None):
    """Fits of one input in several modes (gof.Comparison's ``models`` and ``pairs``): AIC
    and BIC above the lowest, with Akaike weights, and the p-values of the nested pairs'
    likelihood-ratio tests. ``axes``: two axes (default a new figure)."""
    if axes is None:
        import matplotlib.pyplot as plt

        axes = plt.figure(figsize=(10, 4)).subplots(1, 2)
    ax, lr_ax = axes
    names = [m["mode"] for m in models]
    x = np.arange(len(models))
    aic = np.array([m["aic"] for m in models])
    bic = np.array([m["bic"] for m in models])
    ax.bar(x - 0.2, aic - aic.min(), 0.4, label="AIC - lowest AIC")
    ax.bar(x + 0.2, bic - bic.min(), 0.4, label="BIC - lowest BIC")
    for i, m in enumerate(models):
        ax.annotate(f"w = {m['akaike_weight']:.2g}\nk = {m['n_parameters']}", (x[i], 0.0),
                    textcoords="offset points", xytext=(0, 3), ha="center",
                    fontsize="x-small")
    ax.set_xticks(x, names, rotation=20, fontsize="small")
    ax.set_ylabel("difference from the lowest (0: preferred)")
    ax.set_title("information criteria (w: Akaike weight, k: parameters)", fontsize="medium")
    ax.legend(fontsize="small")
    if pairs:
        labels = [f"{p['smaller']} in\n{p['larger']} (df {p['df']})" for p in pairs]
        y = np.arange(len(pairs))
        p_chi2 = np.array([max(p["p_chi2"], 1e-300) for p in pairs])
        lr_ax.barh(y - 0.2, -np.log10(p_chi2), 0.4, label="chi-square")
        boot = np.array([p["p_bootstrap"] for p in pairs], dtype=np.float64)
        if np.any(np.isfinite(boot)):
            lr_ax.barh(y + 0.2, -np.log10(boot), 0.4, label="parametric bootstrap")
        lr_ax.axvline(-np.log10(0.05), color="C3", linestyle=":", label="p = 0.05")
        lr_ax.set_yticks(y, labels, fontsize="x-small")
        lr_ax.set_xlabel("-log10 p of the likelihood-ratio test")
        lr_ax.legend(fontsize="small")
        lr_ax.set_title("nested pairs: does the larger model fit better?", fontsize="medium")
    else:
        lr_ax.set_axis_off()
        lr_ax.set_title("no nested pair among these fits", fontsize="medium")
    return axes


def bootstrap_distribution(values, name, estimate=None, interval=None, ax=None, label=None,
                           method=None):
    """Histogram of one parameter's bootstrap values, with the estimate and the interval marked.

    Rates and coefficients are binned and drawn on a log axis. ``label`` is
    the axis label (default ``parameter_label(name)``), ``method`` names the
    interval in the legend, such as "95% percentile bootstrap".
    """
    ax = _axes(ax)
    values = np.asarray(values, dtype=np.float64)
    values = values[np.isfinite(values)]
    n_bins = max(5, min(30, values.size // 3))
    log = name in LOG_PARAMETERS and values.size and values.min() > 0
    if log and values.max() > values.min():
        bins = np.geomspace(values.min(), values.max(), n_bins + 1)
    else:
        bins = n_bins
    ax.hist(values, bins=bins, color="0.6", label=f"{values.size} resamples")
    if estimate is not None:
        ax.axvline(estimate, color="C3", label=f"estimate {estimate:.4g}")
    if interval is not None:
        for v in (interval.lo, interval.hi):
            if np.isfinite(v):
                ax.axvline(v, color="C0", linestyle="--")
        ax.plot([], [], "--", color="C0", label=(f"{method} interval" if method else "interval")
                + f" [{interval.lo:.4g}, {interval.hi:.4g}]")
    if log:
        log_axis(ax, "x")
    ax.set_xlabel(label or parameter_label(name))
    ax.set_ylabel("resamples")
    ax.set_title(f"bootstrap distribution of {_short(name)}")
    ax.legend(fontsize="small")
    return ax


def _short(name):
    return parameter_label(name).split(" (")[0]


def profile(prof, level=0.95, ax=None, label=None, at_bound=False, legend=True):
    """A profile NLL curve (tl.Profile) with its threshold, estimate and likelihood-ratio
    interval; the values are in the title, the legend names the marks (``legend`` False
    leaves it to the caller). ``label`` is the x axis label; ``at_bound``: the estimate
    lies on a bound of the search, which the panel says."""
    from .tl import chi2_1_quantile

    ax = _axes(ax)
    rise = prof.nll - np.nanmin(prof.nll)
    threshold = chi2_1_quantile(level) / 2.0
    ax.plot(prof.grid, rise, "o-", markersize=3, label="profile: NLL rise above its minimum")
    ax.axhline(threshold, color="0.5", linestyle=":",
               label=f"threshold chi2_1({level:g})/2 = {threshold:.3g}")
    # Show the neighbourhood of the interval: far grid points rise by
    # thousands and would flatten the part that matters.
    near = np.flatnonzero(rise <= 6.0 * threshold)
    if near.size:
        i0, i1 = max(near[0] - 1, 0), min(near[-1] + 1, rise.size - 1)
        ax.set_xlim(prof.grid[i0], prof.grid[i1])
        ax.set_ylim(-0.05 * threshold, 6.0 * threshold)
    ax.axvline(prof.estimate, color="C3", label="estimate")
    iv = prof.interval
    for v, is_open in ((iv.lo, iv.lo_open), (iv.hi, iv.hi_open)):
        if not is_open:
            ax.axvline(v, color="C0", linestyle="--")
    text = "[{}, {}]".format("open" if iv.lo_open else f"{iv.lo:.4g}",
                             "open" if iv.hi_open else f"{iv.hi:.4g}")
    ax.plot([], [], "--", color="C0", label=f"{level:g} likelihood-ratio interval end")
    log_axis(ax, "x")  # the profile grids are log grids
    ax.set_xlabel(label or parameter_label(prof.parameter))
    if legend:
        ax.legend(fontsize="x-small", loc="upper center")  # a profile is low in the middle
    ax.set_ylabel("NLL - minimum")
    where = "all density bins" if prof.density_idx is None else f"density bin {prof.density_idx}"
    kind = "profile" if not prof.conditional_on else (
        "conditional profile (" + ", ".join(prof.conditional_on) + " held at fit)")
    ax.set_title(f"{kind} of {_short(prof.parameter)}, {where}\nestimate {prof.estimate:.4g}, "
                 f"interval {text}", fontsize="small")
    if at_bound:
        ax.text(0.5, 0.97, "estimate at a bound of the search", transform=ax.transAxes,
                ha="center", va="top", color="C3", fontsize="small",
                bbox=dict(facecolor="white", edgecolor="C3", alpha=0.9))
    return ax


def profile_figure(profs, level=0.95, label=None, at_bound=()):
    """profile_NAME.png: the profiles of one parameter (one per density bin, or one of a
    shared parameter) as a grid of panels with one legend; ``at_bound``: the density
    indices whose estimate lies on a bound of the search."""
    fig, axes, spare = grid_figure(len(profs), 4.4, 3.4, below=0.0 if len(profs) % 3 else 0.8)
    for ax, p in zip(axes, profs):
        profile(p, level, ax=ax, label=label, at_bound=p.density_idx in at_bound
                or (p.density_idx is None and bool(at_bound)), legend=False)
    _figure_legend(fig, axes, spare)
    return fig


def parameter_vs_density(density_lo, density_hi, values, name, lo=None, hi=None, ax=None,
                         flagged=None, shared=False, at_bound=None, label=None,
                         interval_label="interval", beside=None, legend=True):
    """One parameter against CpG density, with its interval where given.

    A parameter of each density bin is a point at the bin's centre with its
    interval as a bar; a ``shared`` parameter (one value for every bin) is
    drawn once, as a line across the density range with its interval as a
    band. An open interval end (NaN) is drawn as an arrow from the estimate
    to the plot's edge: the data bound the parameter nowhere on that side.
    ``beside``: (lo, hi, label) of a second interval per density bin (the
    bootstrap's beside a profile's), drawn as a grey bar just right of the
    first.
    ``at_bound`` (one bool per density bin) marks estimates that lie on a
    bound of the search, ``flagged`` rings estimates that carry any flag.
    Rates and coefficients get a log axis. ``label`` is the y axis label
    (default ``parameter_label(name)``), ``interval_label`` names the
    interval in the legend, such as "95% percentile bootstrap interval". ``legend``
    False leaves the legend to the caller (one for a figure of several panels); the
    legend's labels name kinds of marks, not values, so that panels share them.
    """
    ax = _axes(ax)
    dlo, dhi = np.asarray(density_lo, dtype=np.float64), np.asarray(density_hi, dtype=np.float64)
    x = (dlo + dhi) / 2.0
    values = np.asarray(values, dtype=np.float64)
    has_interval = lo is not None and hi is not None
    open_ends = []
    if has_interval:
        lo, hi = np.asarray(lo, dtype=np.float64), np.asarray(hi, dtype=np.float64)
        open_ends = [(i, edge) for edge, ends in ((0.0, lo), (1.0, hi))
                     for i in np.flatnonzero(np.isnan(ends))]
        lo, hi = np.where(np.isnan(lo), values, lo), np.where(np.isnan(hi), values, hi)
    if shared:
        span, v = [dlo[0], dhi[-1]], values[0]
        ax.plot(span, [v, v], "-", color="C0", label="shared estimate (one for every bin)")
        if has_interval:
            ax.fill_between(span, lo[0], hi[0], color="C0", alpha=0.2, linewidth=0,
                            label=f"{interval_label} of a shared estimate")
        # Marks of a shared estimate sit at the middle of the density range.
        x = np.full_like(x, (dlo[0] + dhi[-1]) / 2.0)
    elif has_interval:
        # The interval is drawn from its own ends, not as error bars about the
        # estimate, so that an estimate outside its interval is seen to be.
        ax.vlines(x, lo, hi, color="C0", label=interval_label)
        ax.plot(np.concatenate([x, x]), np.concatenate([lo, hi]), "_", color="C0",
                markersize=8)
        ax.plot(x, values, "o", color="C0", label="estimate")
    else:
        ax.plot(x, values, "o", label="estimate")
    if beside is not None:
        b_lo, b_hi = (np.asarray(v, dtype=np.float64) for v in beside[:2])
        keep = ~(np.isnan(b_lo) | np.isnan(b_hi))
        step = 0.12 * (float(np.min(dhi - dlo)) if dlo.size else 1.0)
        xb = (x[:1] if shared else x) + step
        keep = keep[:1] if shared else keep
        ax.vlines(xb[keep], b_lo[:xb.size][keep], b_hi[:xb.size][keep], color="0.55",
                  label=beside[2])
    _open_end_arrows(ax, x, values, open_ends, shared)
    if at_bound is not None and np.any(at_bound):
        on = np.asarray(at_bound, dtype=bool)
        ax.plot(x[on][:1] if shared else x[on], values[on][:1] if shared else values[on], "X",
                color="C3", markersize=9, label="at a bound of the search")
    if flagged is not None and np.any(flagged):
        marked = np.asarray(flagged, dtype=bool)
        ax.plot(x[marked][:1] if shared else x[marked],
                values[marked][:1] if shared else values[marked], "o", markersize=13,
                markerfacecolor="none", markeredgecolor="C3", label="flagged (see results.tsv)")
    if name in LOG_PARAMETERS and np.all(values > 0):
        log_axis(ax, "y")
    ax.set_xlabel("CpG density (bin centre)")
    ax.set_ylabel(label or parameter_label(name))
    if legend:
        ax.legend(fontsize="x-small")
    return ax


def _open_end_arrows(ax, x, values, open_ends, shared):
    """An arrow from the estimate to the plot's edge for each open interval end
    ((bin, 0.0 for the lower end or 1.0 for the upper)), and its legend entry."""
    for i, edge in open_ends:
        if shared and i:
            continue  # a shared interval is the same in every bin: one arrow
        # Data x, axes-fraction y: the line runs from the estimate to the plot's edge
        # whatever the limits, and ends in an arrow head of its own length, so that an
        # estimate at the edge (an open end at the search bound) still shows one.
        ax.annotate("", xy=(x[i], edge), xycoords=ax.get_xaxis_transform(),
                    xytext=(x[i], values[i]), textcoords="data",
                    arrowprops=dict(arrowstyle="-", color="C0", linewidth=1.2))
        # The head pokes out through the frame, above any marker of the estimate.
        ax.annotate("", xy=(x[i], -0.04 if edge == 0.0 else 1.04),
                    xycoords=ax.get_xaxis_transform(), annotation_clip=False,
                    xytext=(0.0, 26.0 if edge == 0.0 else -26.0), textcoords="offset points",
                    arrowprops=dict(arrowstyle="-|>", color="C0", linewidth=1.5,
                                    mutation_scale=14), zorder=6)
    if open_ends:
        ax.plot([], [], linestyle="none", marker=r"$\uparrow$", color="C0", markersize=10,
                label="open end: no bound up to the search bound (arrow)")


# What the phase maps show, for their colour bars. The classes: a read is low
# below a methylated fraction of 0.2, high above 0.8.
PHASE_LABELS = {
    "bistability": "bistability 4 P(low) P(high)\n(1: half the regions below 0.2, half above 0.8)",
    "avg_meth": "mean methylated fraction",
    "entropy": "entropy of the distribution of m (nats)",
    "frac_inter": "share of regions between 0.2 and 0.8",
}


def phase(grids, key="bistability", points=None, ax=None):
    """A phase-diagram grid (tl.phase_grids) over (log10 CoE, log10 CoW); ``points`` are
    (log10 CoW, log10 CoE, label) triples to mark, such as fitted density bins.

    The map is drawn as filled contours between the grid points, so that it
    reads smoothly at any grid size instead of as coarse pixels, with a
    labelled colour bar.
    """
    ax = _axes(ax)
    lc, le = grids["log_cow"], grids["log_coe"]
    z = np.asarray(grids[key], dtype=np.float64)
    shares = key in ("bistability", "avg_meth", "frac_inter")
    if shares:
        # Rounding leaves values a hair below 0 or above 1; drawn beyond the
        # levels they would speckle a flat region.
        z = np.clip(z, 0.0, 1.0)
    levels = np.linspace(0.0, 1.0, 21) if shares else 20
    filled = ax.contourf(le, lc, z, levels=levels, cmap="viridis",
                         extend="neither" if shares else "both")
    bar = ax.figure.colorbar(filled, ax=ax)
    bar.set_label(PHASE_LABELS.get(key, key.replace("_", " ")), fontsize="small")
    for log_cow, log_coe, label in points or ():
        x, y = min(max(log_coe, le[0]), le[-1]), min(max(log_cow, lc[0]), lc[-1])
        off_map = (x, y) != (log_coe, log_cow)
        if not off_map:
            ax.plot(x, y, "o", color="white", markeredgecolor="black")
        else:
            # A bin off the map (a coefficient at a bound of the fit's search, far
            # outside the range) is drawn at the edge, pointing the way it lies.
            marker = ("<" if log_coe < le[0] else ">" if log_coe > le[-1] else
                      "v" if log_cow < lc[0] else "^")
            ax.plot(x, y, marker, color="C3", markeredgecolor="white", markersize=11,
                    clip_on=False, zorder=5)
            off = [f"log10 {name} {v:.2g}" for name, v, lim in (("CoE", log_coe, le),
                                                                 ("CoW", log_cow, lc))
                   if not lim[0] <= v <= lim[-1]]
            label += " off the map: " + ", ".join(off)
        # The label stays inside the map: a long one of a bin off the map is
        # centred over its marker unless that sits near a side.
        share = (x - le[0]) / (le[-1] - le[0])
        ha = ("right" if share >= 1.0 or (off_map and share > 2 / 3) else
              "center" if off_map and share > 1 / 3 else "left")
        inward = ({"right": -4, "center": 0, "left": 4}[ha], -10 if y >= lc[-1] else 6)
        ax.annotate(label, (x, y), textcoords="offset points", xytext=inward, color="white",
                    ha=ha, fontsize="small",
                    bbox=dict(facecolor="black", alpha=0.35, edgecolor="none", pad=1))
    # The axes keep the grid's extent; points outside it sit on its edge.
    ax.set_xlim(le[0], le[-1])
    ax.set_ylim(lc[0], lc[-1])
    ax.set_xlabel("log10 CoE (cooperative erasing coefficient)")
    ax.set_ylabel("log10 CoW (cooperative writing coefficient)")
    ax.set_title(PHASE_LABELS.get(key, key).split("\n")[0])
    return ax


# ------------------------------------------------------------ the figures of a run
# Each returns pyplot-free Figures and writes nothing: the command saves them
# under the names given here, a notebook shows them.

def fit_figures(data, result, settings, level, boot=None, intervals=None, profiles=(),
                flagged=(), boot_ivs=None, fit_quality=None):
    """The figures of a fit, keyed by file name: fractions.png, parameters.png, a
    bootstrap_NAME.png per shared parameter of a bootstrap (``boot``: the run's bootstrap
    estimates, name -> (resamples, density bins) array), a profile_NAME.png per
    profiled parameter."""
    from . import tl

    intervals = intervals or {}
    fitted = tl.model_fractions(result, data.meth_edges)
    figures = {"fractions.png": fractions_figure(data, fitted, level, fit_quality)}
    figures["parameters.png"] = parameters_figure(data, result, settings, level, intervals,
                                                   flagged, boot_ivs)
    if boot is not None:
        figures.update(_bootstrap_figures(result, settings, level, boot, boot_ivs))
    for name in dict.fromkeys(p.parameter for p in profiles):
        bound = {f.density_idx for f in flagged if f.parameter == name and f.word == "at_bound"}
        figures[f"profile_{name}.png"] = profile_figure(
            [p for p in profiles if p.parameter == name], level,
            parameter_label(name, settings.normalize_stw), bound)
    return figures


def grid_figure(n_panels, width, height, max_cols=3, below=0.0):
    """A pyplot-free figure of ``n_panels`` axes in rows of at most ``max_cols``, and
    ``below`` inches more for a legend under them; returns (figure, axes, spare axes)."""
    from matplotlib.figure import Figure

    cols = max(1, min(n_panels, max_cols))
    rows = -(-n_panels // cols)
    fig = Figure(figsize=(width * cols, height * rows + below), layout="constrained")
    axes = [fig.add_subplot(rows, cols, i + 1) for i in range(rows * cols)]
    return fig, axes[:n_panels], axes[n_panels:]


def fractions_figure(data, fitted, level=0.95, fit_quality=None):
    """fractions.png: a panel per density bin (its reads and goodness of fit in the title,
    binomial intervals on the observed fractions) above the residuals of every bin."""
    from matplotlib.figure import Figure

    from . import gof

    n_d = data.n_densities
    cols = min(n_d, 3)
    rows = -(-n_d // cols)
    fig = Figure(figsize=(4.4 * max(cols, 2), 3.2 * rows + 3.6), layout="constrained")
    top, bottom = fig.subfigures(2, 1, height_ratios=[3.2 * rows, 3.6])
    axes = top.subplots(rows, cols, squeeze=False).ravel()
    labels = _density_labels(data.density_lo, data.density_hi)
    for d, ax in enumerate(axes[:n_d]):
        # Each bin in its colour of the residuals panel.
        fractions(data.meth_edges, data.fractions[d], fitted[d], ax=ax,
                  counts=data.counts[d], level=level, first_colour=d)
        title = f"{labels[d]}: {int(np.sum(data.counts[d])):,} reads"
        if fit_quality is not None:
            title += f"\nG = {fit_quality.deviance[d]:.3g}, df {fit_quality.df[d]:.3g}, " \
                     f"p = {fit_quality.p[d]:.2g}"
        ax.set_title(title, fontsize="small")
        if d % cols:
            ax.set_ylabel("")
    for ax in axes[n_d:]:
        ax.set_axis_off()
    top.suptitle(f"observed (dots, {level:g} binomial intervals from each bin's reads) and "
                 "fitted (lines) fractions", fontsize="medium")
    res_ax = bottom.subplots()
    residuals(data.meth_edges, gof.pearson_residuals(data.counts, fitted), fit_quality,
              data.density_lo, data.density_hi, ax=res_ax)
    res_ax.legend(fontsize="x-small", loc="upper left", bbox_to_anchor=(1.01, 1.0))
    return fig


def bootstrap_beside(intervals, boot_ivs):
    """The parameters whose bootstrap intervals are not the ones shown (a profile's are)."""
    from .tl import PERCENTILE

    return [name for name in boot_ivs if intervals.get(name, (None,))[0] != PERCENTILE]


def _interval_text(iv):
    return "[{}, {}]".format(*("open" if not np.isfinite(v) else f"{v:.3g}"
                               for v in (iv.lo, iv.hi)))


def parameters_figure(data, result, settings, level, intervals, flagged=(), boot_ivs=None):
    """parameters.png: a panel per parameter against CpG density with its intervals (both
    methods' where both exist), one legend for all panels off the data."""
    from . import modes
    from .tl import PERCENTILE

    s = settings
    names = list(result.params)
    shared = [n for n in names if n in modes.get(s.mode).shared]
    fig, axes, spare = grid_figure(len(names), 4.4, 3.6, below=0.0 if len(names) % 3 else 1.0)
    methods = set()
    beside = bootstrap_beside(intervals, boot_ivs or {})
    for ax, name in zip(axes, names):
        lo = hi = beside_ivs = None
        interval = "interval"
        if name in intervals:
            lo = [iv.lo for iv in intervals[name][1]]
            hi = [iv.hi for iv in intervals[name][1]]
            methods.add(intervals[name][0])
            interval = f"{level:g} {intervals[name][0]} interval"
        if name in beside:
            beside_ivs = ([iv.lo for iv in boot_ivs[name][1]], [iv.hi for iv in boot_ivs[name][1]],
                          f"{level:g} {PERCENTILE} interval")
            methods.add(PERCENTILE)
        # A bin the model does not fit (poor_fit) rings every estimate of the bin.
        mine = [f for f in flagged if f.parameter in (name, "fit")]
        marked = [any(f.density_idx in (None, d) for f in mine) for d in range(data.n_densities)]
        at_bound = [any(f.word == "at_bound" and f.density_idx in (None, d) for f in mine)
                    for d in range(data.n_densities)]
        parameter_vs_density(data.density_lo, data.density_hi, result.params[name], name,
                             lo, hi, ax=ax, flagged=marked, at_bound=at_bound,
                             shared=name in shared,
                             label=parameter_label(name, s.normalize_stw),
                             interval_label=interval, beside=beside_ivs, legend=False)
        if name in shared:
            # The values of a shared estimate are in its panel's title, the legend names marks.
            text = f"{_short(name)} shared: {result.params[name][0]:.4g}"
            for method, ivs in ((intervals.get(name) or (None, None)),
                                ((PERCENTILE, boot_ivs[name][1]) if name in beside
                                 else (None, None))):
                if method is not None:
                    text += f", {method} {_interval_text(ivs[0])}"
            ax.set_title(text, fontsize="small")
    _figure_legend(fig, axes, spare)
    how = (f"{level:g} intervals: " + " and ".join(sorted(methods)) if methods
           else "no intervals (ask for --bootstrap N or --profile)")
    what = "estimates per CpG-density bin" + (
        "; a shared one is a line across every bin" if shared else "")
    fig.suptitle(f"mode {s.mode}: {what}\n{how}", fontsize="medium")
    return fig


def _figure_legend(fig, axes, spare=()):
    """One legend for the marks of every panel: in a spare panel of the grid when there is
    one, else under the panels, never over the data."""
    seen = {}
    for ax in axes:
        for handle, label in zip(*ax.get_legend_handles_labels()):
            seen.setdefault(label, handle)
    for ax in spare[1:]:
        ax.set_visible(False)
    if spare:
        spare[0].set_axis_off()
        spare[0].legend(seen.values(), seen.keys(), loc="center", fontsize="small",
                        frameon=False)
    elif seen:
        fig.legend(seen.values(), seen.keys(), loc="outside lower center", fontsize="small",
                   ncols=min(3, len(seen)), frameon=False)


def _bootstrap_figures(result, settings, level, boot, boot_ivs):
    from . import modes

    s = settings
    figures = {}
    for name in modes.get(s.mode).shared:
        if name in boot:
            fig, (ax,) = figure()
            iv = boot_ivs[name][1][0] if boot_ivs and name in boot_ivs else None
            bootstrap_distribution(boot[name][:, 0], name, result.shared_value(name), iv,
                                   ax=ax, label=parameter_label(name, s.normalize_stw),
                                   method=f"{level:g} percentile bootstrap")
            figures[f"bootstrap_{name}.png"] = fig
    return figures


def comparison_figure(models, pairs=()):
    """comparison.png of fits of one input in several modes."""
    fig, axes = figure(2, 5.0, 4.0)
    comparison(models, pairs, axes=axes)
    return fig


# Words that name a unit of time, for an age column called only by its unit.
_TIME_WORDS = ("years", "year", "yrs", "yr", "months", "month", "weeks", "week", "days", "day",
               "hours", "hour", "h", "d", "y", "generations", "passages", "divisions")


def age_unit(column):
    """The unit an age column's name gives ("age_years", "age (days)", "Age[y]", "months"),
    or None when it gives none ("age")."""
    import re

    name = column.strip().lower()
    match = re.fullmatch(r"age[\s_\-.]*(?:in[\s_]+)?[(\[]?\s*([a-z]+)\s*[)\]]?", name)
    if match:
        return match.group(1)
    return name if name in _TIME_WORDS else None


def drift_figure(res, data, edges, level, age_column, n_bootstrap, max_ages=4):
    """drift.png of a drift fit (tl.drift_fit's result over pp's drift data): the mean
    methylated fraction against age, observed with its spread over the reads and
    predicted with the band of the bootstrap refits, above the observed and predicted
    distributions of up to ``max_ages`` ages."""
    from matplotlib.figure import Figure

    n_ages = data.ages.size
    show = sorted({int(round(i)) for i in np.linspace(0, n_ages - 1, min(n_ages, max_ages))})
    fig = Figure(figsize=(3.3 * max(len(show), 2), 7.6), layout="constrained")
    top, bottom = fig.subfigures(2, 1, height_ratios=[4.2, 3.4])
    unit = age_unit(age_column)
    per = f"per {unit.rstrip('s') if unit and len(unit) > 2 else unit}" if unit \
        else f"per unit of '{age_column}'"
    rates = []
    for name, value in (("StE", res.ste), ("StW", res.stw)):
        iv = res.intervals.get(name.lower())
        rates.append(f"{name} = {value:.3g}"
                     + (f" [{iv.lo:.3g}, {iv.hi:.3g}]" if iv is not None else ""))
    how = (f"{level:g} likelihood-ratio (profile) intervals" if res.profiles else
           f"{level:g} percentile bootstrap intervals, {n_bootstrap} resamples"
           if res.intervals else "no intervals (ask for --bootstrap N or --profile)")
    fig.suptitle(f"drift fitted {per}: {', '.join(rates)}\n({how})", fontsize="medium")
    drift_mean(res, data, edges, level, ax=top.subplots(),
               age_label=(f"{age_column} ({unit})" if unit else
                          f"{age_column} (in the unit of the '{age_column}' column)"))
    axes = bottom.subplots(1, len(show), sharey=True, squeeze=False)[0]
    drift_distributions(res, data, edges, show, axes)
    return fig


def _bin_centres(edges):
    edges = np.asarray(edges, dtype=np.float64)
    return (edges[:-1] + edges[1:]) / 2.0


def drift_mean(res, data, edges, level=0.95, ax=None, age_label="age"):
    """Mean methylated fraction (bin centres) against age: observed at each age with a
    ``level`` normal interval of the mean over its reads, the fitted model's curve, and
    the band its bootstrap refits span (``level`` of them) where there are any."""
    import types

    from . import tl

    ax = _axes(ax)
    mid = _bin_centres(edges)
    counts = np.asarray(data.counts, dtype=np.float64)
    n = counts.sum(axis=1)
    mean = counts @ mid / n
    sd = np.sqrt(np.maximum(counts @ (mid * mid) / n - mean * mean, 0.0))
    z = np.sqrt(tl.chi2_1_quantile(level))
    fine = np.linspace(0.0, data.fit_ages.max(), 101)
    curve = tl.drift_predict(res, data, fine) @ mid
    if res.boot is not None and len(res.boot):
        means = np.array([tl.drift_predict(types.SimpleNamespace(ste=b[0], stw=b[1]), data,
                                           fine) @ mid for b in res.boot])
        lo, hi = np.quantile(means, [(1.0 - level) / 2.0, (1.0 + level) / 2.0], axis=0)
        ax.fill_between(fine + data.ages[0], lo, hi, color="C0", alpha=0.25, linewidth=0,
                        label=f"{level:g} of {len(res.boot)} bootstrap refits")
    ax.plot(fine + data.ages[0], curve, "-", color="C0", label="fitted drift")
    ax.errorbar(data.ages, mean, yerr=z * sd / np.sqrt(n), fmt="o", color="C3", capsize=3,
                label=f"observed, {level:g} interval of the mean")
    ax.axvline(data.ages[0], color="0.6", linestyle=":", label="reference age (the start)")
    ax.set_xlabel(age_label)
    ax.set_ylabel("mean methylated fraction")
    ax.legend(fontsize="x-small", loc="upper left", bbox_to_anchor=(1.01, 1.0))
    return ax


def drift_distributions(res, data, edges, indices, axes):
    """The reads' methylated fractions at the ages ``indices`` (rows of data): observed
    shares (bars) against the prediction (line), one panel per age."""
    from . import pp, tl

    mid = _bin_centres(edges)
    width = np.diff(np.asarray(edges, dtype=np.float64))
    observed = pp.observed_fractions(data.counts)
    predicted = tl.drift_predict(res, data)
    for ax, i in zip(axes, indices):
        ax.bar(mid, observed[i], width=width, color="0.75", label="observed")
        ax.plot(mid, predicted[i], "-", color="C0", label="predicted")
        what = ("the reference, the start" if i == 0
                else f"{data.ages[i] - data.ages[0]:g} after the reference")
        ax.set_title(f"age {data.ages[i]:g} ({what})\n{int(data.counts[i].sum()):,} reads",
                     fontsize="small")
        ax.set_xlabel("methylated fraction")
    axes[0].set_ylabel("share of reads")
    axes[-1].legend(fontsize="x-small", loc="upper left", bbox_to_anchor=(1.01, 1.0))
    return axes


def phase_figure(maps, normalize_stw, raw_count, log_range, grid, points=()):
    """The phase maps of `korvel phase` (tl.phase_maps), two panels (bistability, mean
    methylation) per map; ``points``: (log10 CoW, log10 CoE, label) of each fitted density
    bin, marked on the maps of its bins."""
    import math

    from . import tl

    fig, axes = figure(2, 5.0, 4.2, rows=len(maps))
    for i, m in enumerate(maps):
        tl.apply_run_settings(tl.FitSettings(raw_count=raw_count, vmax=m.vmax))
        grids = tl.phase_grids(m.st, normalize_stw, log_range, grid, m.n_u, m.n_m)
        mine = [points[d] for d in m.density_idx] if points else []
        title = (f"St = {m.st:.4g}, n_U = {m.n_u:.3g}, n_M = {m.n_m:.3g}"
                 + (f", Vmax = {m.vmax:.4g}" if math.isfinite(m.vmax) else ""))
        for ax, key in zip(axes[2 * i:2 * i + 2], ("bistability", "avg_meth")):
            phase(grids, key, mine, ax=ax)
            ax.set_title(f"{PHASE_LABELS[key].split(chr(10))[0]}: {title}", fontsize="small")
    return fig
