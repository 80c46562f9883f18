"""Does the model describe the reads? Goodness of fit per density bin, and comparison of modes.

Goodness of fit: each density bin's binned reads O_j against the counts the
fitted model expects, E_j = n * p_j (n the bin's reads, p the model's bin
fractions at the fit), scored by the deviance G = 2 sum_j O_j ln(O_j / E_j)
(a bin with O_j = 0 adds 0). The module's NLL per read of observed fractions
f is -sum_j f_j ln p_j, so G = 2 n (NLL - H(f)) with H(f) = -sum_j f_j ln f_j:
the deviance is the reads' NLL above that of the saturated model.

Degrees of freedom: a bin's reads span (its methylation bins that hold a
site count) - 1 dimensions; the parameters fitted from the bin alone take
one each, and a parameter shared by the n_d bins counts 1/n_d in each, so
the bins' df add up to those of the whole table. The chi-square reference
is an approximation (poor for sparse bins and for parameters at a bound);
``goodness_of_fit(..., n_draws=N)`` gives the parametric-bootstrap p-value
instead: each draw is a data set of the fitted multinomials, refitted with
the mode's bootstrap fit (the same fit of every density bin that the
bootstrap intervals use), and p = (k + 1) / (N + 1), k the draws whose bin
deviance is at least the observed one.

Comparison: finished fits of one input in several modes, by the reads' NLL,
the number of free parameters, AIC, BIC and Akaike weights, and for each
nested pair the likelihood-ratio statistic with its chi-square p-value and,
when asked, its parametric-bootstrap p-value (draws from the smaller model's
fit, each refitted in both modes).
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from . import chunks, modes, pp, readers, tl
from .flags import parameter_bounds

# A bin whose goodness-of-fit p-value is below this gets the poor_fit flag.
POOR_FIT_P = 0.01
# Seeds the draws from a fitted model apart from the bootstrap's resamples
# of the same --seed.
_DRAW_STREAM = 0x6F6F66


# ------------------------------------------------------------ chi-square

def chi2_sf(x, df):
    """P(X >= x) for X ~ chi-square with ``df`` (> 0, not necessarily whole) degrees of freedom.

    The regularised upper incomplete gamma Q(df/2, x/2): its series below
    x/2 = df/2 + 1, Lentz's continued fraction above, each to a relative 1e-15.
    NaN for df <= 0 or NaN input.
    """
    x, df = float(x), float(df)
    if not (df > 0) or math.isnan(x):
        return math.nan
    if x <= 0:
        return 1.0
    if math.isinf(x):
        return 0.0
    a, z = df / 2.0, x / 2.0
    log_front = a * math.log(z) - z - math.lgamma(a)
    if z < a + 1.0:
        term = total = 1.0 / a
        k = a
        while abs(term) > abs(total) * 1e-16:
            k += 1.0
            term *= z / k
            total += term
        return max(0.0, 1.0 - total * math.exp(log_front))
    tiny = 1e-300
    b = z + 1.0 - a
    c, d = 1.0 / tiny, 1.0 / b
    h = d
    for i in range(1, 10_000):
        an = -i * (i - a)
        b += 2.0
        d = an * d + b
        d = tiny if abs(d) < tiny else d
        c = b + an / c
        c = tiny if abs(c) < tiny else c
        d = 1.0 / d
        step = d * c
        h *= step
        if abs(step - 1.0) < 1e-16:
            break
    return math.exp(log_front) * h


def bootstrap_p(observed, drawn):
    """(k + 1) / (N + 1), k the finite draws at least ``observed``: never 0, and exact in
    level for a statistic whose draws and observation are exchangeable."""
    drawn = np.asarray(drawn, dtype=np.float64)
    drawn = drawn[np.isfinite(drawn)]
    return float((np.count_nonzero(drawn >= observed) + 1) / (drawn.size + 1))


# ------------------------------------------------------------ goodness of fit

def deviance(counts, expected_fractions):
    """G = 2 sum O ln(O / E) of each row of counts, E = the row's reads times the fractions.

    A bin with no reads adds 0; reads where the model puts none give inf.
    """
    o = np.atleast_2d(np.asarray(counts, dtype=np.float64))
    p = np.atleast_2d(np.asarray(expected_fractions, dtype=np.float64))
    e = o.sum(axis=1, keepdims=True) * p
    with np.errstate(divide="ignore", invalid="ignore"):
        terms = np.where(o > 0, o * np.log(o / e), 0.0)
    return 2.0 * terms.sum(axis=1)


def _entropy(fractions):
    f = np.asarray(fractions, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        return -np.where(f > 0, f * np.log(f), 0.0).sum(axis=-1)


def free_parameters(settings, n_densities):
    """(fitted per density bin, shared by every bin): the free parameters of a fit."""
    mode = modes.get(settings.mode)
    names = mode.parameter_names(settings.fit_vmax)
    shared = sum(1 for n in names if n in mode.shared)
    return len(names) - shared, shared


def degrees_of_freedom(settings, n_densities, meth_bin_edges):
    """Each density bin's df: (methylation bins holding a site count) - 1 - the parameters
    fitted from the bin alone - the shared parameters / n_densities; NaN when not positive."""
    cells = int(np.count_nonzero(pp.states_per_bin(np.asarray(meth_bin_edges, np.float64))))
    own, shared = free_parameters(settings, n_densities)
    df = cells - 1 - own - shared / n_densities
    return np.full(n_densities, df if df > 0 else math.nan)


@dataclass
class GoodnessOfFit:
    """Per density bin: the deviance, its df and p-value (``method`` says which)."""

    deviance: np.ndarray
    df: np.ndarray
    p: np.ndarray
    p_chi2: np.ndarray
    method: str  # "chi-square" or "parametric bootstrap"
    n_draws: int = 0
    drawn_deviance: np.ndarray | None = None  # (n_draws, n_densities)

    @property
    def poor(self):
        """Bins whose p-value is below POOR_FIT_P."""
        return np.asarray(self.p) < POOR_FIT_P

    def table(self):
        """(header, rows): one row per density bin."""
        return (["density_idx", "gof_deviance", "gof_df", "gof_p", "gof_p_chi2"],
                [[d, g, f, p, c] for d, (g, f, p, c) in
                 enumerate(zip(self.deviance, self.df, self.p, self.p_chi2))])

    def to_frame(self):
        import pandas as pd

        header, rows = self.table()
        return pd.DataFrame(rows, columns=header).set_index("density_idx")


def draw_fractions(n_reads, fractions, n_draws, seed):
    """Data sets drawn from fitted multinomials, as the bootstraps' rows of fractions:
    row b * n_densities + d holds draw b of density bin d (n_reads[d] reads)."""
    rng = np.random.default_rng([int(seed), _DRAW_STREAM])
    p = np.atleast_2d(np.asarray(fractions, dtype=np.float64))
    out = np.empty((int(n_draws),) + p.shape)
    for d, (n, row) in enumerate(zip(n_reads, p)):
        n = int(round(n))
        out[:, d, :] = rng.multinomial(n, row / row.sum(), size=int(n_draws)) / n
    return pp.stack_resamples(out)


def refit_nll(rows, n_draws, n_densities, meth_bin_edges, settings, warm, **run):
    """The per-read NLL of every drawn bin refitted in ``settings.mode``: (n_draws, n_d).

    ``run``: chunking, progress, Dask and checkpoints as chunks.run_bootstrap takes them.
    """
    run.setdefault("what", f"{settings.mode} refits of data drawn from a fit")
    out = chunks.run_bootstrap(rows, n_draws, n_densities, meth_bin_edges, settings, warm,
                               **run)
    col = modes.get(settings.mode).bootstrap_columns.index("nll")
    return out[:, col].reshape(int(n_draws), int(n_densities))


def goodness_of_fit(counts, meth_bin_edges, result, n_draws=0, seed=0, **run):
    """The goodness of fit of each density bin of a fit (tl.FitResult) to its read counts.

    With ``n_draws`` the p-values come from that many data sets drawn from
    the fit and refitted (``run`` as in chunks.run_bootstrap: chunk size,
    progress, client, checkpoint_dir, resume, report, on_start); else from
    the chi-square approximation.
    """
    counts = np.atleast_2d(np.asarray(counts, dtype=np.float64))
    edges = np.ascontiguousarray(meth_bin_edges, dtype=np.float64)
    n_d = counts.shape[0]
    fitted = tl.model_fractions(result, edges)
    g = deviance(counts, fitted)
    df = degrees_of_freedom(result.settings, n_d, edges)
    p_chi2 = np.array([chi2_sf(x, f) for x, f in zip(g, df)])
    if not n_draws:
        return GoodnessOfFit(g, df, p_chi2, p_chi2, "chi-square")
    n = counts.sum(axis=1)
    rows = draw_fractions(n, fitted, n_draws, seed)
    nll = refit_nll(rows, n_draws, n_d, edges, result.settings, tl.warm_start(result), **run)
    drawn = 2.0 * n * (nll - _entropy(pp.unstack_rows(rows, n_draws, n_d)))
    p = np.array([bootstrap_p(g[d], drawn[:, d]) for d in range(n_d)])
    return GoodnessOfFit(g, df, p, p_chi2, "parametric bootstrap", int(n_draws), drawn)


def poor_fit_flags(fit_quality):
    """A poor_fit flag (flags.Flag, parameter "fit") on each density bin whose p-value is
    below POOR_FIT_P: the model does not describe its reads, and every interval of the bin
    is conditional on a wrong model."""
    from .flags import Flag

    return [Flag("fit", int(d), "poor_fit", f"goodness of fit p = {fit_quality.p[d]:.3g} < "
                 f"{POOR_FIT_P:g} ({fit_quality.method}; deviance {fit_quality.deviance[d]:.4g}"
                 f", df {fit_quality.df[d]:.4g})")
            for d in np.flatnonzero(fit_quality.poor)]


def pearson_residuals(counts, expected_fractions):
    """(O - E) / sqrt(E) per methylation bin; NaN where the model expects no reads."""
    o = np.atleast_2d(np.asarray(counts, dtype=np.float64))
    e = o.sum(axis=1, keepdims=True) * np.atleast_2d(expected_fractions)
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(e > 0, (o - e) / np.sqrt(e), np.nan)


# ------------------------------------------------------------ finished fits

@dataclass
class ComparedRun:
    """A finished fit folder: its settings, estimates and the reads' NLL of each bin."""

    folder: str
    record: dict
    result: tl.FitResult
    n_reads: np.ndarray
    density_edges: np.ndarray
    meth_edges: np.ndarray

    @classmethod
    def of(cls, result, n_reads, meth_bin_edges, density_edges=None, name=None):
        """A ComparedRun of a fit made in Python (tl.fit), to compare without folders."""
        n_reads = np.asarray(n_reads, dtype=np.int64)
        dens = (np.arange(n_reads.size + 1, dtype=np.float64) if density_edges is None
                else np.asarray(density_edges, dtype=np.float64))
        return cls(name or result.settings.mode, {"inputs": []}, result, n_reads, dens,
                   np.asarray(meth_bin_edges, dtype=np.float64))

    @property
    def mode(self):
        return self.result.settings.mode

    @property
    def nll_reads(self):
        """The reads' NLL: each bin's NLL per read times its reads (up to the multinomial
        coefficient, the same for every fit of the input)."""
        return float(np.sum(self.n_reads * self.result.nll))

    @property
    def n_parameters(self):
        own, shared = free_parameters(self.result.settings, self.n_reads.size)
        return own * self.n_reads.size + shared


def _number(v):
    return float(v)  # run.json writes inf as the string 'inf', which float() reads


def settings_of(record):
    """The FitSettings of a fit's run.json (its options, as the command had them)."""
    o = record["options"]
    mode = record.get("mode", o["mode"])
    m = modes.get(mode)
    weights = o.get("weights")
    return tl.FitSettings(
        mode=mode, normalize_stw=bool(o["normalize_stw"]),
        st_bounds=tuple(map(_number, o["st_bounds"])), co_bounds=tuple(map(_number, o["co_bounds"])),
        exp_bounds=tuple(map(_number, o["exp_bounds"])),
        vmax_bounds=tuple(map(_number, o["vmax_bounds"])),
        fit_vmax=bool(o["fit_vmax"]) and m.fits_vmax, co_penalty=_number(o["penalty"]),
        weights=tuple(map(_number, weights)) if weights is not None and m.weighted else None,
        n_u=_number(o["n_u"]), n_m=_number(o["n_m"]), raw_count=bool(o["raw_count"]),
        vmax=_number(o["vmax"]), n_reads=tuple(int(n) for n in record["n_reads"]))


def load_run(folder):
    """A ComparedRun from ``folder``'s results.tsv and run.json; InputError when they are not a
    finished korvel fit."""
    folder = Path(folder)
    run_path, results = folder / "run.json", folder / "results.tsv"
    try:
        record = json.loads(run_path.read_text(encoding="utf-8"))
        if record.get("command") != "fit" or record.get("status") != "finished":
            raise ValueError("not a finished fit")
        settings = settings_of(record)
    except (OSError, ValueError, KeyError, TypeError) as exc:
        raise readers.InputError(run_path, f"is not the record of a finished korvel fit "
                                 f"({exc})") from None
    names = tl.parameter_names(settings)
    try:
        arrays = readers.read_columns(str(results), names + ["n_reads", "nll"])
    except OSError as exc:
        raise readers.InputError(results, f"cannot be read ({exc})") from None
    n_d = arrays["nll"].size
    if n_d != len(record["n_reads"]):
        raise readers.InputError(results, f"has {n_d} density bins, its run.json "
                                 f"{len(record['n_reads'])}")
    result = tl.FitResult(settings, {c: arrays[c] for c in names}, arrays["nll"],
                          vmax_used=_number(record.get("vmax_used", settings.vmax)))
    return ComparedRun(str(folder), record, result, arrays["n_reads"].astype(np.int64),
                  np.asarray(record["density_edges"], np.float64),
                  np.asarray(record["meth_edges"], np.float64))


def _normalised(weights, n):
    w = np.ones(n) if weights is None else np.asarray(weights, dtype=np.float64)
    return w / w.sum()


def comparison_refusal(runs):
    """Why ``runs`` are not fits of one input alike enough to compare, or None: the input's
    SHA-256, the methylation edges, the density bins and the bins' weights must agree (the
    independent mode takes no weights and agrees with any)."""
    if len(runs) < 2:
        return "compare needs at least two fit folders"
    first = runs[0]
    diffs = []
    for r in runs[1:]:
        def differ(what, a, b):
            diffs.append(f"{first.folder} and {r.folder} differ in {what} ({a} and {b})")

        sha = [[i.get("sha256") for i in x.record.get("inputs", [])] for x in (first, r)]
        if sha[0] != sha[1]:
            differ("the input's SHA-256", *sha)
        for what, a, b in (("methylation edges", first.meth_edges, r.meth_edges),
                           ("density bins", first.density_edges, r.density_edges),
                           ("reads per density bin", first.n_reads, r.n_reads)):
            if a.shape != b.shape or not np.array_equal(a, b):
                differ(what, a.tolist(), b.tolist())
    weighted = [r for r in runs if modes.get(r.mode).weighted]
    for r in weighted[1:]:
        a, b = (_normalised(x.result.settings.weights, x.n_reads.size) for x in (weighted[0], r))
        if a.shape != b.shape or not np.allclose(a, b, rtol=1e-12, atol=0):
            diffs.append(f"{weighted[0].folder} and {r.folder} differ in the density bins' "
                         f"weights ({weighted[0].result.settings.weights} and "
                         f"{r.result.settings.weights})")
    seen = {}
    for r in runs:
        if r.mode in seen:
            diffs.append(f"{seen[r.mode]} and {r.folder} are both fits in mode {r.mode}")
        seen.setdefault(r.mode, r.folder)
    return "; ".join(diffs) or None


# ------------------------------------------------------------ nesting

def _structure(settings):
    """name -> ("fixed", value) | ("shared", bounds) | ("per_bin", bounds) for every
    parameter of the model, fitted or not."""
    mode = modes.get(settings.mode)
    fitted = mode.parameter_names(settings.fit_vmax)
    fixed = {"n_u": settings.n_u, "n_m": settings.n_m, "vmax": settings.vmax}
    out = {}
    for name in modes.PARAMETERS:
        if name in fitted:
            out[name] = ("shared" if name in mode.shared else "per_bin",
                         tuple(parameter_bounds(settings, name)))
        else:
            out[name] = ("fixed", fixed[name])
    return out


def _inside(small, big):
    """Whether every parameter value of the model ``small`` is one of the model ``big``."""
    kind_s, v_s = small
    kind_b, v_b = big
    if kind_b == "fixed":
        return kind_s == "fixed" and v_s == v_b
    lo, hi = v_b
    if kind_s == "fixed":
        return lo <= v_s <= hi
    if kind_s == "per_bin" and kind_b == "shared":
        return False
    return lo <= v_s[0] and v_s[1] <= hi


def nested_in(small, big):
    """Whether the fit ``small`` (FitSettings) is a special case of ``big``: the same model
    options, and each parameter fixed, shared or per bin in ``small`` can take the same
    values in ``big`` (a fixed value within big's bounds, a shared one where big has it
    shared or per bin, with bounds that contain small's)."""
    if (small.normalize_stw, small.raw_count) != (big.normalize_stw, big.raw_count):
        return False
    s, b = _structure(small), _structure(big)
    return all(_inside(s[n], b[n]) for n in s)


@dataclass
class Comparison:
    """Per mode and per nested pair; ``notes`` says what the numbers assume and did not get."""

    runs: list
    models: list  # dicts, one per run, in the order given
    pairs: list  # dicts, one per nested pair (smaller, larger)
    notes: list = field(default_factory=list)

    MODEL_COLUMNS = ("mode", "folder", "n_parameters", "nll_reads", "aic", "bic", "delta_aic",
                     "akaike_weight")
    PAIR_COLUMNS = ("smaller", "larger", "lr_statistic", "df", "p_chi2", "p_bootstrap",
                    "n_draws")

    def tables(self):
        """((header, rows) of the modes, (header, rows) of the nested pairs)."""
        return ((list(self.MODEL_COLUMNS), [[m[c] for c in self.MODEL_COLUMNS]
                                            for m in self.models]),
                (list(self.PAIR_COLUMNS), [[p[c] for c in self.PAIR_COLUMNS]
                                           for p in self.pairs]))


def compare(runs, n_draws=0, seed=0, **run):
    """AIC, BIC and Akaike weights of each fit and the likelihood-ratio test of each nested
    pair. ``runs``: ComparedRun objects, runs.FitRun objects or their folders.
    ``n_draws``: parametric-bootstrap draws for each nested pair's p-value (``run`` as in
    chunks.run_bootstrap). ValueError when the runs are not fits of one input (see comparison_refusal)."""
    runs = [r if isinstance(r, ComparedRun) else r.compared() if hasattr(r, "compared")
            else load_run(r) for r in runs]
    refusal = comparison_refusal(runs)
    if refusal:
        raise ValueError(refusal)
    n_total = float(runs[0].n_reads.sum())
    models = []
    for r in runs:
        k, nll = r.n_parameters, r.nll_reads
        models.append(dict(mode=r.mode, folder=r.folder, n_parameters=k, nll_reads=nll,
                           aic=2.0 * nll + 2.0 * k, bic=2.0 * nll + k * math.log(n_total)))
    best = min(m["aic"] for m in models)
    for m in models:
        m["delta_aic"] = m["aic"] - best
    total = sum(math.exp(-m["delta_aic"] / 2.0) for m in models)
    for m in models:
        m["akaike_weight"] = math.exp(-m["delta_aic"] / 2.0) / total
    notes = []
    for r in runs:
        s = r.result.settings
        if s.co_penalty or (modes.get(s.mode).weighted and s.weights is not None
                            and len(set(s.weights)) > 1):
            notes.append(f"{r.mode} was fitted with a penalty or unequal --weights: its "
                         "estimates are not the reads' maximum-likelihood ones, which AIC, "
                         "BIC and the likelihood-ratio tests assume")
    pairs = []
    for a in runs:
        for b in runs:
            if a is b or not nested_in(a.result.settings, b.result.settings):
                continue
            df = b.n_parameters - a.n_parameters
            if df <= 0:
                continue
            lr = 2.0 * (a.nll_reads - b.nll_reads)
            if lr < 0:
                notes.append(f"{b.mode} fits worse than {a.mode}, a special case of it "
                             f"(LR {lr:.4g}): its fit missed its optimum")
            pair = dict(smaller=a.mode, larger=b.mode, lr_statistic=lr, df=df,
                        p_chi2=chi2_sf(max(lr, 0.0), df), p_bootstrap=math.nan, n_draws=0)
            if n_draws:
                drawn = lr_draws(a, b, n_draws, seed, **run)
                pair.update(p_bootstrap=bootstrap_p(lr, drawn), n_draws=int(n_draws))
            pairs.append(pair)
    return Comparison(runs, models, pairs, notes)


def lr_draws(small, big, n_draws, seed, **run):
    """Likelihood-ratio statistics of data sets drawn from the fit of ``small`` and refitted
    in both modes: 2 sum_d n_d (NLL_small - NLL_big) of each draw."""
    n_d = small.n_reads.size
    edges = small.meth_edges
    rows = draw_fractions(small.n_reads, tl.model_fractions(small.result, edges), n_draws, seed)
    nll = [refit_nll(rows, n_draws, n_d, edges, r.result.settings, tl.warm_start(r.result),
                     **run) for r in (small, big)]
    return 2.0 * ((nll[0] - nll[1]) * small.n_reads).sum(axis=1)
