"""The options of the ``korvel`` command: the parser and the check of each option's value.

The module takes its numbers as given: here is where a typo that no rate can have (a
negative rate, an infinite exponent) is caught, before anything is read. Defaults of the
fit and drift options are those of ``runs.FitOptions`` and ``runs.DriftOptions``.
"""

from __future__ import annotations

import argparse
import math

from . import chunks, modes, pp, readers, runs, simulate

DEFAULT_PROFILE_POINTS = runs.DEFAULT_PROFILE_POINTS
DEFAULT_PROFILE_SPAN = runs.DEFAULT_PROFILE_SPAN
FIT, DRIFT = runs.FitOptions(), runs.DriftOptions()

def _floats(text):
    try:
        values = [float(v) for v in text.split(",") if v.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a comma-separated list of numbers")
    if not values or not all(math.isfinite(v) for v in values):
        raise argparse.ArgumentTypeError(f"'{text}' needs finite numbers")
    return values


def _pair(text):
    values = _floats(text)
    if len(values) != 2 or not values[0] < values[1]:
        raise argparse.ArgumentTypeError(f"'{text}' is not LO,HI with LO < HI")
    return tuple(values)


def _positive_pair(text):
    """Bounds of a rate, coefficient, exponent or ceiling: 0 < LO < HI, both finite."""
    lo, hi = _pair(text)
    if lo <= 0:
        raise argparse.ArgumentTypeError(f"'{text}': bounds must be positive")
    return lo, hi


# The module takes its numbers as given: the command is where a typo that no
# rate can have (a negative rate, an infinite exponent) is caught.

def _number(text, allow_inf=False):
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
    if math.isnan(v) or (math.isinf(v) and not (allow_inf and v > 0)):
        raise argparse.ArgumentTypeError(f"'{text}' is not a finite number")
    return v


def _positive(text):
    v = _number(text)
    if not v > 0:
        raise argparse.ArgumentTypeError(f"'{text}' is not positive")
    return v


def _ceiling(text):
    """A Michaelis-Menten ceiling: positive, inf for none."""
    v = _number(text, allow_inf=True)
    if not v > 0:
        raise argparse.ArgumentTypeError(f"'{text}' is not positive (inf: no ceiling)")
    return v


def _positive_floats(text):
    values = _floats(text)
    if min(values) <= 0:
        raise argparse.ArgumentTypeError(f"'{text}' needs positive numbers")
    return values


def _non_negative_floats(text):
    values = _floats(text)
    if min(values) < 0:
        raise argparse.ArgumentTypeError(f"'{text}' needs numbers that are not negative")
    return values


def _count(text, minimum=0):
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number")
    if n < minimum:
        raise argparse.ArgumentTypeError(f"'{text}' is below {minimum}")
    return n


def _positive_count(text):
    return _count(text, 1)


def _mode_list(text):
    """--mode: one mode, a comma-separated list of modes, or all of them ("all")."""
    try:
        mode_names(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def mode_names(text):
    """The modes that --mode names, in the order given (every mode for "all")."""
    if text == "all":
        return list(modes.NAMES)
    names = [n.strip() for n in text.split(",")]
    for n in names:
        modes.get(n)
    if len(set(names)) != len(names):
        raise ValueError(f"'{text}' names a mode twice")
    return names


def _level(text):
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number")
    if not 0.0 < v < 1.0:
        raise argparse.ArgumentTypeError(f"'{text}' is not between 0 and 1")
    return v


def _add_table_options(p, drift=False):
    g = p.add_argument_group("reads table")
    g.add_argument("--density-column", default=readers.DENSITY_COLUMN, metavar="NAME",
                   help="column of the read's CpG density (default %(default)s)")
    g.add_argument("--methylation-column", default=readers.METHYLATION_COLUMN, metavar="NAME",
                   help="column of the read's methylated fraction, 0 to 1 (default %(default)s)")
    g.add_argument("--percent", action="store_true",
                   help="the methylation column holds percentages, 0 to 100: divide by 100")
    if drift:
        g.add_argument("--age-column", default=readers.AGE_COLUMN, metavar="NAME",
                       help="column of the read's age (default %(default)s)")
    d = g.add_mutually_exclusive_group()
    d.add_argument("--density-edges", type=_floats, metavar="E0,E1,...",
                   help="density bin edges, comma-separated; bin j is [Ej, Ej+1), the last closed")
    d.add_argument("--density-quantiles", type=_positive_count, metavar="N",
                   help=f"N density bins of equal read counts (default {pp.DEFAULT_DENSITY_QUANTILES})")
    m = g.add_mutually_exclusive_group()
    m.add_argument("--meth-bins", type=_positive_count, default=None, metavar="N",
                   help="N equal methylation bins over [0, 1] (default: one bin per site "
                        "count, 71 bins, whose edges lie midway between the fractions m/70; "
                        "coarser bins approximate the starting distribution)"
                   if drift else "N equal methylation bins over [0, 1] (default 10)")
    m.add_argument("--meth-edges", type=_floats, metavar="E0,E1,...",
                   help="methylation bin edges within [0, 1], comma-separated")


def _add_model_options(p):
    g = p.add_argument_group("model")
    g.add_argument("--normalize-stw", action=argparse.BooleanOptionalAction, default=True,
                   help="St is StE and StW is 1 (default); with --no-normalize-stw St is StW and "
                        "StE is 1")
    g.add_argument("--raw-count", action="store_true",
                   help="cooperative drives on raw site counts instead of fractions")
    g.add_argument("--vmax", type=_ceiling, default=math.inf, metavar="V",
                   help="Michaelis-Menten ceiling of the cooperative drives (default inf: none)")


def _add_out_options(p, level=True):
    p.add_argument("--out", required=True, metavar="DIR", help="output folder")
    p.add_argument("--force", action="store_true",
                   help="write into a non-empty output folder, replacing korvel's files there")
    p.add_argument("--no-plots", action="store_true", help="write no plots (no matplotlib needed)")
    p.add_argument("--seed", type=lambda t: _count(t, 0), default=0, metavar="S",
                   help="seed of the bootstrap resampling (default %(default)s)")
    if level:
        p.add_argument("--level", type=_level, default=0.95,
                       help="confidence level of the intervals (default %(default)s)")
    p.add_argument("--threads", type=_positive_count, metavar="N",
                   help="worker threads (sets KORVEL_NUM_THREADS; default: every logical CPU)")
    p.add_argument("--quiet", action="store_true",
                   help="print nothing but errors (warnings are kept in run.json and the tables)")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="korvel",
        description="Fit a stochastic model of CpG methylation to reads tables.",
        epilog="Exit codes: 0 success, 1 a failure inside korvel, 2 bad input or options "
               "(nothing written), 130 interrupted.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    s = sub.add_parser(
        "simulate", help="write a reads table simulated from chosen parameters",
        description="Simulate reads by exact Gillespie simulation of the 70-site process: each "
                    "region starts from a random state and runs for a burn-in of --burn-in "
                    "relaxation times (default 20) before it is read; a read's methylated "
                    "fraction is m/70. Density bin d's reads get CpG densities uniform in "
                    "[d, d+1). --st, --cow, --coe, --n-u, --n-m take one value or one per "
                    "density bin, comma-separated.")
    s.add_argument("--out", required=True, metavar="FILE",
                   help="reads table to write: CSV when the name ends in .csv, else TSV; "
                        "gzip-compressed when it ends in .gz")
    s.add_argument("--st", required=True, type=_positive_floats,
                   help="free spontaneous rate St")
    s.add_argument("--cow", required=True, type=_non_negative_floats,
                   help="cooperative writing coefficient")
    s.add_argument("--coe", required=True, type=_non_negative_floats,
                   help="cooperative erasing coefficient")
    s.add_argument("--n-u", type=_positive_floats, default=[2.0], help="exponent n_U (default 2)")
    s.add_argument("--n-m", type=_positive_floats, default=[2.0], help="exponent n_M (default 2)")
    s.add_argument("--densities", type=_positive_count,
                   help="number of density bins (default: the longest parameter list)")
    s.add_argument("--reads-per-density", type=_positive_count, default=1000, metavar="N",
                   help="reads (regions) per density bin (default %(default)s)")
    s.add_argument("--seed", type=lambda t: _count(t, 0), default=0, metavar="S",
                   help="random seed (default %(default)s)")
    s.add_argument("--burn-in", type=_positive, default=simulate.BURN_IN_RELAXATIONS, metavar="K",
                   help="burn-in in relaxation times of the chain (default %(default)s)")
    s.add_argument("--quiet", action="store_true", help="no progress messages")
    _add_model_options(s)

    f = sub.add_parser(
        "fit", help="fit a reads (or counts) table in one of the fitting modes",
        description="Fit observed methylation-bin fractions per CpG-density bin and write DIR/"
                    "results.tsv, DIR/bootstrap.tsv (with --bootstrap), DIR/profiles/ (with "
                    "--profile), DIR/run.json and DIR/plots/*.png.")
    f.add_argument("input", metavar="READS",
                   help="reads table (TSV/CSV, optionally gzipped; - reads the standard input)")
    f.add_argument("--counts", action="store_true",
                   help="READS is a counts table: density_lo, density_hi, then one read-count "
                        "column per methylation bin in bin order")
    f.add_argument("--mode", required=True, type=_mode_list, metavar="MODE",
                   help="; ".join(f"{m.name}: {m.summary}" for m in modes.REGISTRY.values())
                   + ". Several modes, comma-separated, or all: each into DIR/MODE/, "
                     "compared in DIR (as korvel compare)")
    f.add_argument("--bootstrap", type=lambda t: _count(t, 0), default=0, metavar="N",
                   help="N bootstrap resamples for percentile intervals (default 0)")
    f.add_argument("--profile", action="store_true",
                   help="likelihood-ratio intervals from profiles of every fitted parameter "
                        "(modes " + ", ".join(modes.names(lambda m: m.profileable)) + "), "
                        "every other parameter refitted at each grid point, the shared ones "
                        "and the other bins included. "
                        "Profile NLL = each bin's NLL per read times its reads (its likelihood "
                        "weight), the likelihood of a multinomial of binned reads")
    f.add_argument("--gof-bootstrap", type=lambda t: _count(t, 0), default=0, metavar="N",
                   help="p-values of the goodness of fit from N data sets drawn from the "
                        "fitted model and refitted (default 0: the chi-square approximation); "
                        "chunked and resumable like --bootstrap")
    f.add_argument("--profile-points", type=lambda t: _count(t, 3),
                   default=DEFAULT_PROFILE_POINTS, metavar="N",
                   help="profile grid points (default %(default)s)")
    f.add_argument("--profile-span", type=_positive, default=DEFAULT_PROFILE_SPAN, metavar="DECADES",
                   help="the first profile grid reaches this many decades either side of "
                        "the estimate; a profile that has not risen enough there is reached "
                        "further, a decade at a time, up to the bounds (default %(default)s)")
    b = f.add_argument_group("fit")
    b.add_argument("--st-bounds", type=_positive_pair, default=FIT.st_bounds, metavar="LO,HI",
                   help="bounds of St (default 0.001,10)")
    b.add_argument("--co-bounds", type=_positive_pair, default=FIT.co_bounds, metavar="LO,HI",
                   help="bounds of CoW and CoE (default 0.001,1000)")
    b.add_argument("--exp-bounds", type=_positive_pair, default=FIT.exp_bounds, metavar="LO,HI",
                   help="bounds of n_U and n_M where fitted (default 1,4)")
    b.add_argument("--vmax-bounds", type=_positive_pair, default=FIT.vmax_bounds, metavar="LO,HI",
                   help="bounds of a fitted Vmax (default 0.001,1000000)")
    b.add_argument("--fit-vmax", action="store_true",
                   help="fit one shared Vmax (modes shared-exp and shared-st-exp)")
    b.add_argument("--penalty", type=_number, default=FIT.penalty, metavar="W",
                   help="penalty on the coefficients: W>0 adds W*(CoW+CoE), W<0 adds "
                        "|W|*(log10 CoW + log10 CoE) (default 0)")
    b.add_argument("--weights", type=_floats, metavar="W1,W2,...",
                   help="relative weights of the density bins in the shared modes (default: "
                        "1 each). Each bin's NLL per read is weighted by its reads times its "
                        "weight, rescaled so that the weighted reads add up to the reads, so "
                        "with the default the fit is the reads' maximum-likelihood estimate; "
                        "only the ratios count (10,10 is 1,1). Fit, bootstrap and profiles "
                        "use the same weighted likelihood")
    b.add_argument("--n-u", type=_positive, default=FIT.n_u,
                   help="fixed n_U where not fitted (default 2)")
    b.add_argument("--n-m", type=_positive, default=FIT.n_m,
                   help="fixed n_M where not fitted (default 2)")
    _add_model_options(f)
    _add_table_options(f)
    _add_out_options(f)
    f.add_argument("--verbose", action="store_true",
                   help="the optimiser's trace of the shared-exp and shared-co fits on the "
                        "standard error stream")
    r = f.add_argument_group("long runs")
    r.add_argument("--chunk-resamples", type=_positive_count,
                   default=FIT.chunk_resamples, metavar="K",
                   help="resamples per bootstrap chunk, each kept in DIR/chunks/ when done "
                        "(default %(default)s); in the independent mode the rows depend on it")
    r.add_argument("--scheduler", metavar="ADDRESS",
                   help="run the bootstrap chunks on the Dask scheduler at ADDRESS, or on a "
                        "local cluster of N worker processes with local:N (needs "
                        "pip install 'korvel[dask]')")
    r.add_argument("--resume", action="store_true",
                   help="continue an interrupted run in DIR from its finished chunks; refused "
                        "(exit 2) when the input or an option that changes results differs")

    c = sub.add_parser(
        "compare", help="compare fits of one input in several modes",
        description="Read finished fit folders of the same input (the same SHA-256, "
                    "methylation edges, density bins and weights, else exit 2) and write "
                    "DIR/comparison.tsv (per mode: free parameters, the reads' NLL, AIC, BIC, "
                    "Akaike weights), DIR/nested.tsv (likelihood-ratio test of each nested "
                    "pair), DIR/run.json and DIR/plots/comparison.png.")
    c.add_argument("folders", nargs="+", metavar="FIT_DIR", help="folders of korvel fit")
    c.add_argument("--lrt-bootstrap", type=lambda t: _count(t, 0), default=0, metavar="N",
                   help="parametric-bootstrap p-value of each nested pair from N data sets "
                        "drawn from the smaller model's fit, refitted in both modes")
    c.add_argument("--chunk-resamples", type=_positive_count,
                   default=chunks.DEFAULT_CHUNK_RESAMPLES, metavar="K",
                   help="draws per chunk of --lrt-bootstrap (default %(default)s)")
    _add_out_options(c, level=False)

    d = sub.add_parser(
        "drift", help="fit the drift model (spontaneous writing and erasing over ages)",
        description="The reads of the youngest age form the starting distribution, the others "
                    "the observations; fits StE and StW, searched on a log scale and keyed "
                    "by --seed, so that a run repeats exactly. Writes DIR/drift.tsv, "
                    "DIR/drift_predicted.tsv, DIR/drift_bootstrap.tsv (with --bootstrap), "
                    "DIR/run.json and DIR/plots/drift.png.")
    d.add_argument("input", metavar="READS",
                   help="reads table with an age column (- reads the standard input)")
    d.add_argument("--density-bin", type=lambda t: _count(t, 0), metavar="K",
                   help="use only density bin K (0-based) of the density binning; default: "
                        "reads pooled over density")
    d.add_argument("--st-bounds", type=_positive_pair, default=DRIFT.st_bounds, metavar="LO,HI",
                   help="bounds of StE and StW, per unit of age, both positive: the rates are "
                        "searched on a log scale (default 0.0001,1)")
    d.add_argument("--bootstrap", type=lambda t: _count(t, 0), default=0, metavar="N",
                   help="N resamples of the reads within each age (default 0)")
    d.add_argument("--profile", action="store_true",
                   help="likelihood-ratio intervals of StE and StW from full profiles (the "
                        "other rate refitted at every point) of the reads' NLL; with "
                        "--bootstrap too, drift.tsv's _lo/_hi hold these and the bootstrap's "
                        "move to _boot_lo/_boot_hi")
    d.add_argument("--profile-points", type=lambda t: _count(t, 3),
                   default=DEFAULT_PROFILE_POINTS, metavar="N",
                   help="profile grid points (default %(default)s)")
    d.add_argument("--profile-span", type=_positive, default=DEFAULT_PROFILE_SPAN,
                   metavar="DECADES", help="the first profile grid's reach either side of the "
                                           "estimate (default %(default)s)")
    _add_table_options(d, drift=True)
    _add_out_options(d)

    ph = sub.add_parser(
        "phase", help="draw the phase diagram over (log10 CoW, log10 CoE)",
        description="Bistability and mean methylation of the stationary distribution over a "
                    "grid of cooperative coefficients; with --results each fitted density bin "
                    "is marked on the map of its own St and exponents. Give a negative range "
                    "as --range=-1,2.")
    ph.add_argument("--out", required=True, metavar="FILE.png", help="PNG to write")
    ph.add_argument("--st", type=_positive, help="St of the diagram (default 1; with --results "
                                                  "each bin's fitted St, and a different --st is "
                                                  "refused)")
    ph.add_argument("--grid", type=lambda t: _count(t, 2), default=61, metavar="N",
                    help="grid points per axis (default %(default)s)")
    ph.add_argument("--range", type=_pair, default=(-1.0, 2.0), metavar="LO,HI",
                    help="range of log10 CoW and log10 CoE (default -1,2)")
    ph.add_argument("--results", metavar="results.tsv",
                    help="a results table of korvel fit: each density bin is marked on the "
                         "map of its own fitted St, exponents and Vmax (one map per distinct "
                         "set), with the model options of the run.json beside it; options "
                         "that contradict them are refused (exit 2)")
    ph.add_argument("--n-u", type=_positive, help="exponent n_U (default 2)")
    ph.add_argument("--n-m", type=_positive, help="exponent n_M (default 2)")
    ph.add_argument("--quiet", action="store_true", help="no progress messages")
    _add_model_options(ph)
    # None: not given, so that a value from --results is not mistaken for a request.
    ph.set_defaults(normalize_stw=None, raw_count=None, vmax=None)
    _add_extract_parser(sub)
    return parser


def _add_extract_parser(sub):
    from . import extract

    e = sub.add_parser(
        "extract", help="write a reads table from BAM/CRAM files or per-CpG tables",
        description="A unit (one row) is a read, mates of a pair merged and a CpG covered by "
                    "both counted once; with --window-cpgs K each run of K consecutive CpG "
                    "calls along a read; from a per-CpG table (bedMethyl, or chrom, start, "
                    "end, percent, methylated, unmethylated) each run of K consecutive CpGs "
                    f"(K = {extract.DEFAULT_TABLE_CPGS} by default). meth_fraction = methylated "
                    "CpG calls / CpG calls of the unit; n_cpg = its calls. cpg_density = CpG "
                    "dinucleotides of --reference per 100 bp of the unit's reference span (or "
                    "of --density-window BP centred on it); without a reference, the unit's "
                    "own called CpG sites per 100 bp of its span, which misses CpGs without a "
                    "call. Also writes TABLE.json beside the table.")
    e.add_argument("inputs", nargs="+", metavar="INPUT",
                   help="BAM/CRAM with XM (bisulfite) or MM/ML (modified bases) tags, or a "
                        "per-CpG table, plain or gzipped")
    e.add_argument("--out", required=True, metavar="TABLE",
                   help="reads table to write: CSV when the name ends in .csv, else TSV; "
                        "gzip-compressed when it ends in .gz")
    e.add_argument("--reference", metavar="FASTA", help="indexed reference (.fai) for "
                   "cpg_density (and for CRAM)")
    e.add_argument("--window-cpgs", type=_positive_count, metavar="K",
                   help="units of K consecutive CpG calls along a read (the calls left over "
                        "are left out); for per-CpG tables the region size (default "
                        f"{extract.DEFAULT_TABLE_CPGS})")
    e.add_argument("--min-cpgs", type=_positive_count, default=1, metavar="N",
                   help="leave out (and count) units with fewer CpG calls (default %(default)s)")
    e.add_argument("--density-window", type=_positive_count, metavar="BP",
                   help="cpg_density over BP bases centred on the unit (needs --reference)")
    e.add_argument("--ages", type=_floats, metavar="A1,A2,...",
                   help="one age per input: adds an age column for korvel drift")
    e.add_argument("--min-mapq", type=lambda t: _count(t, 0), default=extract.DEFAULT_MIN_MAPQ,
                   metavar="Q", help="skip reads of lower mapping quality (default "
                   "%(default)s); secondary, supplementary, duplicate and QC-fail reads are "
                   "always skipped")
    e.add_argument("--mod-threshold", type=_number, default=extract.DEFAULT_MOD_THRESHOLD,
                   metavar="P", help="MM/ML: a call is methylated when its probability ((ML + "
                   "0.5) / 256) is at least P, unmethylated when at most 1 - P, else left out "
                   "(default %(default)s)")
    e.add_argument("--hydroxy", choices=extract.HYDROXY, default="unmethylated",
                   help="how C+h (5hmC) calls and bedMethyl's other-modification counts count "
                        "(default %(default)s)")
    e.add_argument("--min-coverage", type=_positive_count, default=extract.DEFAULT_MIN_COVERAGE,
                   metavar="N", help="per-CpG tables: leave out CpGs with fewer calls "
                   "(default %(default)s)")
    g = e.add_mutually_exclusive_group()
    g.add_argument("--region", metavar="CHR:START-END", help="only this region (1-based, "
                   "inclusive; the BAM needs an index); a unit belongs to the region its "
                   "leftmost base lies in")
    g.add_argument("--regions", metavar="BED", help="only these regions (overlaps merged)")
    e.add_argument("--threads", type=_positive_count, default=1, metavar="N",
                   help="processes over contigs or regions of indexed BAMs (the command's own "
                        "and N - 1 workers); the table is the same bytes for any N (default "
                        "%(default)s)")
    e.add_argument("--quiet", action="store_true", help="print nothing but errors")
