"""The korvel command end to end: simulated data in, tables, run.json and plots out."""

import gzip
import hashlib
import importlib.metadata
import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import korvel
from korvel_analysis import cli, modes, progress, readers

PNG = b"\x89PNG\r\n\x1a\n"
ST, COW, COE = 1.0, (3.0, 4.0), (4.0, 4.0)


def korvel_cmd(*argv):
    return cli.main([str(a) for a in argv])


@pytest.fixture(scope="module")
def reads(tmp_path_factory):
    """Two density bins of 5000 simulated reads each, gzip-compressed."""
    path = tmp_path_factory.mktemp("sim") / "reads.tsv.gz"
    assert korvel_cmd("simulate", "--out", path, "--st", ST, "--cow", "3,4", "--coe", "4,4",
                      "--reads-per-density", 5000, "--seed", 5, "--quiet") == 0
    return path


def read_tsv(path):
    lines = path.read_text().splitlines()
    header = lines[0].split("\t")
    return header, [dict(zip(header, line.split("\t"))) for line in lines[1:]]


def assert_png(path):
    assert path.read_bytes()[:8] == PNG, path


def test_fit_recovers_the_truth_and_writes_its_folder(reads, tmp_path, capfd):
    out = tmp_path / "fit"
    argv = ("fit", reads, "--out", out, "--mode", "independent", "--density-edges", "0,1,2",
            "--bootstrap", 3, "--profile", "--profile-points", 7, "--quiet")
    assert korvel_cmd(*argv) == 0
    assert capfd.readouterr() == ("", "")  # --quiet: nothing but errors
    # With both methods the profile's intervals are the ones shown; the
    # bootstrap's stand beside them.
    header, rows = read_tsv(out / "results.tsv")
    assert header == ["density_lo", "density_hi", "n_reads"] + [
        c for n in ("st", "cow", "coe")
        for c in (n, n + "_lo", n + "_hi", n + "_boot_lo", n + "_boot_hi")] + ["nll", "gof_deviance", "gof_df", "gof_p", "flags"]
    _, ivs = read_tsv(out / "profiles" / "intervals.tsv")
    for r in ivs:
        assert rows[int(r["density_idx"])][r["parameter"] + "_lo"] == r["lo"]
    assert [int(r["n_reads"]) for r in rows] == [5000, 5000]
    for d, row in enumerate(rows):
        # Replicate data sets of this size scatter the three-parameter fit by
        # up to about 20% (St and the coefficients trade off); 35% catches a
        # wrong mapping or layout, which lands far away.
        for name, truth in (("st", ST), ("cow", COW[d]), ("coe", COE[d])):
            assert float(row[name]) == pytest.approx(truth, rel=0.35), (d, name)
            assert float(row[name + "_lo"]) <= float(row[name + "_hi"])
            assert float(row[name + "_boot_lo"]) <= float(row[name + "_boot_hi"])
    header, boot = read_tsv(out / "bootstrap.tsv")
    assert header == ["boot_idx", "density_idx", "st", "cow", "coe", "nll"]
    assert [(r["boot_idx"], r["density_idx"]) for r in boot] == [
        (str(b), str(d)) for b in range(3) for d in range(2)]
    header, ivs = read_tsv(out / "profiles" / "intervals.tsv")
    assert header[:5] == ["parameter", "density_idx", "estimate", "lo", "hi"]
    assert sorted((r["parameter"], r["density_idx"]) for r in ivs) == [
        (p, str(d)) for p in ("coe", "cow", "st") for d in range(2)]
    for name in ("st", "cow", "coe"):
        assert read_tsv(out / "profiles" / f"{name}.tsv")[0] == ["density_idx", name,
                                                                 "nll_reads"]
    run = json.loads((out / "run.json").read_text())
    assert run["reproducible"]["results"] is True
    assert run["intervals"] == dict.fromkeys(("st", "cow", "coe"), "likelihood ratio (profile)")
    assert run["bootstrap_interval_columns"] == ["coe", "cow", "st"]
    assert run["options"]["mode"] == "independent" and run["seed"] == 0
    assert len(run["inputs"][0]["sha256"]) == 64 and run["threads"] >= 1
    assert sorted(p.name for p in (out / "plots").iterdir()) == [
        "fractions.png", "parameters.png", "profile_coe.png", "profile_cow.png",
        "profile_st.png"]
    for png in (out / "plots").iterdir():
        assert_png(png)
    # Seeded mode: the same command gives the same table, to the last digit
    # (the profiles' own intervals are in profiles/, not in the table).
    first = (out / "results.tsv").read_bytes()
    assert korvel_cmd(*argv, "--force", "--no-plots") == 0
    assert (out / "results.tsv").read_bytes() == first


def test_profile_intervals_hold_the_truth_and_agree_with_the_bootstrap(reads, tmp_path, capfd):
    # The shared St of both density bins: its likelihood-ratio interval (from
    # reads-scaled profiles) and its bootstrap interval cover the truth.
    out = tmp_path / "shared"
    assert korvel_cmd("fit", reads, "--out", out, "--mode", "shared-st", "--density-edges",
                      "0,1,2", "--profile", "--profile-points", 7, "--no-plots", "--quiet") == 0
    assert capfd.readouterr() == ("", "")
    _, (row, _) = read_tsv(out / "results.tsv")
    assert float(row["st_lo"]) < ST < float(row["st_hi"])
    assert float(row["st_hi"]) / float(row["st_lo"]) < 1.5  # 10000 reads pin St to ~10%
    run = json.loads((out / "run.json").read_text())
    assert run["reproducible"]["results"] is False
    assert run["intervals"]["st"] == "likelihood ratio (profile)"


def test_quick_start_profiles_are_full_and_hold_the_truth(tmp_path):
    # The README's quick start. Profiles that held St at its fit missed the
    # truth with three of these four coefficients (CoW of bin 0: [3.276,
    # 3.488] against 3); refitting St at every grid point widens them to hold it.
    reads, out = tmp_path / "reads.tsv", tmp_path / "fit"
    assert korvel_cmd("simulate", "--out", reads, "--st", ST, "--cow", "3,4", "--coe", "4,4",
                      "--reads-per-density", 5000, "--quiet") == 0
    assert korvel_cmd("fit", reads, "--out", out, "--mode", "independent", "--density-edges",
                      "0,1,2", "--profile", "--quiet") == 0
    header, ivs = read_tsv(out / "profiles" / "intervals.tsv")
    assert header[-1] == "conditional_on" and len(ivs) == 6
    truth = {"st": (ST, ST), "cow": COW, "coe": COE}
    for r in ivs:
        assert float(r["lo"]) < truth[r["parameter"]][int(r["density_idx"])] < float(r["hi"]), r
        assert r["conditional_on"] == ""
    run = json.loads((out / "run.json").read_text())
    assert run["profiles"] == dict.fromkeys(("st", "cow", "coe"),
                                            {"kind": "full", "conditional_on": []})
    assert run["module_calls"][-1] == "py_profile_density"
    # Seeded from their grid points, the profile intervals repeat too.
    assert run["reproducible"]["results"] is True


# Narrow boxes keep the nested fits of the exponent modes short.
FAST = ("--exp-bounds", "1.8,2.2", "--co-bounds", "1,10", "--st-bounds", "0.5,2")


@pytest.mark.parametrize("mode,params,shared", [
    ("shared-exp", ["st", "cow", "coe", "n_u", "n_m"], ["st", "n_u", "n_m"]),
    ("shared-st-exp", ["st", "cow", "coe", "n_u", "n_m"], ["st"]),
    ("shared-co", ["st", "cow", "coe", "n_u", "n_m"], ["st", "cow", "coe"]),
])
def test_exponent_modes_write_their_layout(reads, tmp_path, capfd, mode, params, shared):
    out = tmp_path / mode
    # Profiles of every parameter of these fits take minutes: the slow test
    # below runs them.
    assert korvel_cmd("fit", reads, "--out", out, "--mode", mode, "--density-edges", "0,1,2",
                      "--bootstrap", 1, "--quiet", *FAST) == 0
    # --quiet: not even the module's optimiser trace.
    assert capfd.readouterr() == ("", "")
    header, rows = read_tsv(out / "results.tsv")
    expected = ["density_lo", "density_hi", "n_reads"]
    for name in params:
        expected += [name, name + "_lo", name + "_hi"]
    assert header == expected + ["nll", "gof_deviance", "gof_df", "gof_p", "flags"]
    for name in shared:  # one value for every density bin
        assert rows[0][name] == rows[1][name]
    header, boot = read_tsv(out / "bootstrap.tsv")
    assert header == ["boot_idx", "density_idx", "st", "n_u", "n_m", "cow", "coe", "nll", "vmax"]
    assert len(boot) == 2 and all(r["vmax"] == "inf" for r in boot)
    assert not (out / "profiles").exists()
    assert sorted(p.name for p in (out / "plots").iterdir()) == sorted(
        ["fractions.png", "parameters.png"] + [f"bootstrap_{n}.png" for n in shared])


def test_a_log_gets_progress_lines_and_verbose_the_optimiser_trace(reads, tmp_path, capfd,
                                                                     monkeypatch):
    # Standard error is not a terminal here, as in a batch job's log: a long
    # stage writes a plain line at least every LINE_INTERVAL seconds (shortened
    # so that the short fits here outlast it) and one when it ends.
    monkeypatch.setattr(progress, "LINE_INTERVAL", 0.1)
    common = ("--density-edges", "0,1,2", "--no-plots", *FAST)
    assert korvel_cmd("fit", reads, "--out", tmp_path / "a", "--mode", "shared-st-exp",
                      "--bootstrap", 2, "--chunk-resamples", 1, *common) == 0
    err = capfd.readouterr().err
    assert re.search(r"^korvel: fit in mode shared-st-exp: \d+ s elapsed$", err, re.M)
    # Each resample is a search that refits both bins at every point: the lines say
    # how many of those fits are done.
    assert re.search(r"^korvel: bootstrap: 1/2 resamples \(50%\) in \d+ s, \d+ density "
                     r"fits, [\d.]+ resamples/(s|min), about \d+ s left$", err, re.M)
    assert re.search(r"^korvel: bootstrap: 2/2 resamples \(100%\) in \d+ s, \d+ density "
                     r"fits$", err, re.M)
    assert "Nelder-Mead" not in err
    assert korvel_cmd("fit", reads, "--out", tmp_path / "b", "--mode", "shared-exp",
                      "--verbose", *common) == 0
    assert "--- Nelder-Mead start 5/5 from x0=" in capfd.readouterr().err


def test_counts_table_gives_the_fit_of_its_reads(reads, tmp_path):
    ref = tmp_path / "ref"
    assert korvel_cmd("fit", reads, "--out", ref, "--mode", "independent", "--density-edges",
                      "0,1,2", "--no-plots", "--quiet") == 0
    # The same data binned by hand: the counts table must fit identically.
    with gzip.open(reads, "rt") as f:
        data = np.loadtxt(f, skiprows=1)
    lines = ["density_lo\tdensity_hi\t" + "\t".join(f"b{j}" for j in range(10))]
    for d in range(2):
        sel = (data[:, 0] >= d) & (data[:, 0] < d + 1)
        # First-match bins of m/70, as the reads table is binned.
        idx = np.minimum(np.searchsorted(np.arange(11) / 10, data[sel, 1], "right") - 1, 9)
        lines.append(f"{d}\t{d + 1}\t" + "\t".join(map(str, np.bincount(idx, minlength=10))))
    counts = tmp_path / "counts.csv"
    counts.write_text("\n".join(lines).replace("\t", ",") + "\n")
    assert korvel_cmd("fit", counts, "--counts", "--out", tmp_path / "c", "--mode",
                      "independent", "--no-plots", "--quiet") == 0
    assert (tmp_path / "c" / "results.tsv").read_text() == (ref / "results.tsv").read_text()


BAD_TABLES = [
    # (name, file text, extra options, message fragment)
    ("missing-column", "density\tmeth_fraction\n1\t0.5\n", [],
     "line 1, column 'cpg_density': no column 'cpg_density'"),
    ("fraction-above-one", "cpg_density\tmeth_fraction\n1\t0.5\n1\t1.5\n", [],
     "line 3, column 'meth_fraction': methylated fraction 1.5 is outside [0, 1]"),
    ("nan", "cpg_density\tmeth_fraction\n1\tnan\n", [],
     "line 2, column 'meth_fraction': NaN is not allowed"),
    ("not-a-number", "cpg_density\tmeth_fraction\n1\t0.5\nabc\t0.5\n", [],
     "line 3, column 'cpg_density': 'abc' is not a number"),
    ("ragged-row", "cpg_density\tmeth_fraction\n1\t0.5\t7\n", [],
     "line 2: 3 fields where the header has 2"),
    ("empty-density-bin", "cpg_density\tmeth_fraction\n0.5\t0.5\n1.5\t0.2\n",
     ["--density-edges", "0,1,2,3"], "column 'cpg_density': density bin 2 [2, 3] holds no reads"),
    ("renamed-column", "cpg\tmeth_fraction\n1\t0.5\n1\t-0.1\n", ["--density-column", "cpg"],
     "line 3, column 'meth_fraction': methylated fraction -0.1 is outside [0, 1]"),
    ("percent-hint", "cpg_density\tmeth_fraction\n1\t0.5\n1\t72.5\n1\t30\n", [],
     "line 3, column 'meth_fraction': methylated fraction 72.5 is outside [0, 1]; the column "
     "looks like percentages (0 to 100): pass --percent"),
    ("percent-above-100", "cpg_density\tmeth_fraction\n1\t50\n1\t120\n", ["--percent"],
     "line 3, column 'meth_fraction': methylated percentage 120.0 is outside [0, 100]"),
    ("invisible-header", "cpg_density\u200b\tmeth_fraction\n1\t0.5\n", [],
     "line 1, column 'cpg_density': no column 'cpg_density'; the header has "
     "cpg_density\\u200b, meth_fraction (set it with --density-column)"),
    ("counts-columns", "density_lo\tdensity_hi\ta\tb\n0\t1\t3\t4\n", ["--counts"],
     "line 1: has 2 count columns but there are 10 methylation bins"),
    ("counts-negative", "density_lo\tdensity_hi\ta\tb\n0\t1\t3\t-4\n", ["--counts", "--meth-bins", 2],
     "line 2, column 'b': count '-4' is not a non-negative whole number"),
    ("counts-overlap", "density_lo\tdensity_hi\ta\tb\n0\t2\t3\t4\n1\t3\t5\t6\n",
     ["--counts", "--meth-bins", 2], "line 3, column 'density_lo': density bin starts at 1.0, "
     "inside the previous bin"),
    ("counts-empty-bin", "density_lo\tdensity_hi\ta\tb\n0\t1\t3\t4\n1\t2\t0\t0\n",
     ["--counts", "--meth-bins", 2], "line 3, column 'a': this density bin holds no reads"),
]


@pytest.mark.parametrize("name,text,extra,message", BAD_TABLES, ids=[t[0] for t in BAD_TABLES])
def test_bad_input_is_refused_with_file_line_and_column(tmp_path, capsys, name, text, extra,
                                                        message):
    path = tmp_path / f"{name}.tsv"
    path.write_text(text, encoding="utf-8")
    out = tmp_path / "out"
    rc = korvel_cmd("fit", path, "--out", out, "--mode", "independent", *extra)
    assert rc == 2
    assert f"{path}, {message}" in capsys.readouterr().err
    assert not out.exists()


def test_simulated_csv_and_a_spreadsheets_percent_csv_fit_alike(tmp_path):
    # What simulate writes to x.csv is comma-separated and fit reads it; a
    # spreadsheet's "CSV UTF-8" of the same reads as percentages (byte-order
    # mark, quoted header cells after ", ", CRLF) read with --percent gives
    # the same table to the last digit.
    sim = tmp_path / "sim.csv"
    assert korvel_cmd("simulate", "--out", sim, "--st", 1, "--cow", 3, "--coe", 4,
                      "--densities", 2, "--reads-per-density", 300, "--quiet") == 0
    assert sim.read_text().splitlines()[0] == "cpg_density,meth_fraction"
    data = np.loadtxt(sim, delimiter=",", skiprows=1)
    m = np.rint(data[:, 1] * 70.0)
    # 100 m / 70 is exact where m / 70 is a bin edge (m a multiple of 7).
    lines = "".join(f"{d:.17g},{100.0 * k / 70.0:.17g}\r\n" for d, k in zip(data[:, 0], m))
    sheet = tmp_path / "sheet.csv"
    sheet.write_bytes(b"\xef\xbb\xbf" + ('"cpg_density", "meth_fraction"\r\n' + lines).encode())
    common = ("--mode", "independent", "--density-edges", "0,1,2", "--no-plots", "--quiet")
    assert korvel_cmd("fit", sim, "--out", tmp_path / "a", *common) == 0
    assert korvel_cmd("fit", sheet, "--percent", "--out", tmp_path / "b", *common) == 0
    assert ((tmp_path / "a" / "results.tsv").read_text()
            == (tmp_path / "b" / "results.tsv").read_text())


def test_gzip_csv_errors_name_the_line(tmp_path, capsys):
    path = tmp_path / "reads.csv.gz"
    path.write_bytes(gzip.compress(b"cpg_density,meth_fraction\n1,0.5\n1,0.25\n2,x\n"))
    assert korvel_cmd("fit", path, "--out", tmp_path / "o", "--mode", "independent") == 2
    assert "line 4, column 'meth_fraction': 'x' is not a number" in capsys.readouterr().err


def test_pipes_fifos_and_standard_input_are_read_once(reads, tmp_path):
    def fit(source, out, **kw):
        return subprocess.run([sys.executable, "-m", "korvel_analysis", "fit", str(source),
                               "--out", str(out), "--mode", "independent", "--density-edges",
                               "0,1,2", "--no-plots", "--quiet"], **kw).returncode

    assert fit(reads, tmp_path / "file") == 0
    want = (tmp_path / "file" / "results.tsv").read_bytes()
    data = reads.read_bytes()
    assert fit("-", tmp_path / "stdin", input=data) == 0
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with subprocess.Popen(["sh", "-c", f"cat {reads} > {fifo}"]) as writer:
        assert fit(fifo, tmp_path / "fifo_out") == 0
    assert writer.returncode == 0
    for out in ("stdin", "fifo_out"):
        assert (tmp_path / out / "results.tsv").read_bytes() == want, out
        (inp,) = json.loads((tmp_path / out / "run.json").read_text())["inputs"]
        assert inp["sha256"] == hashlib.sha256(data).hexdigest() and inp["bytes"] == len(data)


@pytest.mark.parametrize("setting, threads", [("3", 3), ("100000000000000000000", 1024),
                                              (" 4", None)])
def test_run_json_records_the_threads_the_pool_runs(reads, tmp_path, setting, threads):
    res = subprocess.run([sys.executable, "-m", "korvel_analysis", "fit", str(reads), "--out",
                          str(tmp_path / "o"), "--mode", "independent", "--density-edges",
                          "0,1,2", "--no-plots", "--quiet"], capture_output=True, text=True,
                         env=dict(os.environ, KORVEL_NUM_THREADS=setting))
    if threads is None:  # the pool would run one per CPU instead: refused
        assert res.returncode == 2 and "KORVEL_NUM_THREADS=' 4' is not a whole number" in \
            res.stderr
    else:
        assert res.returncode == 0, res.stderr
        assert json.loads((tmp_path / "o" / "run.json").read_text())["threads"] == threads


HEADER = "cpg_density\tmeth_fraction\n"


@pytest.mark.parametrize("name,data,message", [
    # Expands to 64 MiB without a line break: refused after the first MiB.
    ("endless.tsv.gz", gzip.compress(b"a" * (64 << 20)), "line 1: is longer than 1048576"),
    ("long-row.tsv", (HEADER + "1\t0.5\n1\t" + "5" * (2 << 20) + "\n").encode(),
     "line 3: is longer than 1048576"),
    ("wide.tsv", ("\t".join(f"c{i}" for i in range(10**5)) + "\n1\n").encode(),
     "c18, c19, ... (100000 columns)"),
], ids=lambda v: v if isinstance(v, str) and v.endswith(("gz", "tsv")) else "")
def test_huge_lines_and_headers_are_refused_briefly(tmp_path, capsys, name, data, message):
    path = tmp_path / name
    path.write_bytes(data)
    assert korvel_cmd("fit", path, "--out", tmp_path / "o", "--mode", "independent") == 2
    err = capsys.readouterr().err
    assert message in err and len(err) < 2000, err[:3000]


def test_delimiter_and_compression_come_from_the_content_when_names_lie(tmp_path):
    text = "cpg_density{0}meth_fraction\n\n1.5{0}0.25\n2{0}1\n\n".format
    files = {"commas.txt": text(",").encode(), "tabs.dat": text("\t").encode(),
             "packed.txt": gzip.compress(text(",").encode()),
             "plain.tsv.gz": text("\t").encode()}
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
        reads = readers.read_reads(tmp_path / name)
        # Blank lines are skipped wherever they are.
        assert reads.density.tolist() == [1.5, 2.0], name
        assert reads.meth.tolist() == [0.25, 1.0], name


@pytest.mark.parametrize("extra,message", [
    (["--weights", "1,2,3"], "--weights gives 3 weights for 2 density bins"),
    (["--fit-vmax"], "Vmax is fitted only in the shared-exp and shared-st-exp modes"),
    (["--st-bounds", "2,1"], "is not LO,HI with LO < HI"),
    (["--density-quantiles", "0"], "is below 1"),
    # Settings no rate can have: the module would fit them, the command refuses them.
    (["--vmax=-1"], "argument --vmax: '-1' is not positive"),
    (["--n-u=-5"], "argument --n-u: '-5' is not positive"),
    (["--n-m=inf"], "argument --n-m: 'inf' is not a finite number"),
    (["--n-u=nan"], "argument --n-u: 'nan' is not a finite number"),
    (["--penalty=inf"], "argument --penalty: 'inf' is not a finite number"),
    (["--exp-bounds=-3,-1"], "argument --exp-bounds: '-3,-1': bounds must be positive"),
    (["--co-bounds=1,1"], "argument --co-bounds: '1,1' is not LO,HI with LO < HI"),
])
def test_bad_options_exit_2_and_write_nothing(reads, tmp_path, capsys, extra, message):
    out = tmp_path / "out"
    mode = "shared-st" if extra[0] == "--weights" else "independent"
    assert korvel_cmd("fit", reads, "--out", out, "--mode", mode, "--density-edges", "0,1,2",
                      *extra) == 2
    assert message in capsys.readouterr().err
    assert not out.exists()


def test_library_errors_name_arguments_and_the_command_names_its_options(tmp_path, capsys):
    from korvel_analysis import pp, readers

    path = tmp_path / "flat.tsv"  # every read at one density: quantiles coincide
    path.write_text("cpg_density\tmeth_fraction\n" + "1.0\t0.5\n" * 20)
    with pytest.raises(ValueError) as lib:
        pp.density_edges(readers.read_reads(path).density, density_quantiles=3)
    assert "(density_quantiles)" in str(lib.value) and str(lib.value).endswith("density_edges")
    with pytest.raises(ValueError, match=r"\(set it with density_column\)$"):
        readers.read_reads(path, density_column="gc")
    for extra, options in [
            (["--density-quantiles", "3"], ["--density-quantiles", "--density-edges"]),
            (["--density-column", "gc"], ["(set it with --density-column)"])]:
        assert korvel_cmd("fit", path, "--out", tmp_path / "o", "--mode", "independent",
                          *extra) == 2
        err = capsys.readouterr().err
        assert all(o in err for o in options), err


def test_a_non_empty_folder_is_kept_without_force(reads, tmp_path, capsys):
    out = tmp_path / "out"
    out.mkdir()
    (out / "mine.txt").write_text("keep")
    assert korvel_cmd("fit", reads, "--out", out, "--mode", "independent") == 2
    assert "is not empty (use --force" in capsys.readouterr().err
    assert [p.name for p in out.iterdir()] == ["mine.txt"]


@pytest.mark.parametrize("exc,code,message", [
    (KeyboardInterrupt(), 130, "interrupted"),
    (korvel.InternalError("solver broke"), 1,
     "failed: InternalError: solver broke"),
])
def test_failures_inside_korvel_give_their_exit_code(reads, tmp_path, capsys, monkeypatch, exc,
                                                     code, message):
    def boom(*args, **kwargs):
        raise exc

    monkeypatch.setattr(cli.tl, "fit", boom)
    assert korvel_cmd("fit", reads, "--out", tmp_path / "o", "--mode", "independent",
                      "--density-edges", "0,1,2") == code
    assert message in capsys.readouterr().err
    assert not (tmp_path / "o").exists()


def drift_reads(path, ste, stw, p0, ages, n, seed):
    """Reads at several ages drawn from the drift model with a known start p0
    over the 71 states, propagated by scipy's exponential of the generator."""
    expm = pytest.importorskip("scipy.linalg").expm
    m = np.arange(71)
    q = np.zeros((71, 71))
    q[m[1:] - 1, m[1:]] = m[1:] * ste
    q[m[:-1] + 1, m[:-1]] = (70 - m[:-1]) * stw
    q[m, m] = -q.sum(axis=0)
    rng = np.random.default_rng(seed)
    cols = [[], [], []]
    for age in ages:
        p = np.clip(expm(age * q) @ p0, 0.0, None)
        cols[0].append(rng.random(n))
        cols[1].append(rng.choice(71, size=n, p=p / p.sum()) / 70.0)
        cols[2].append(np.full(n, age, dtype=float))
    cli.write_reads(path, *(np.concatenate(c) for c in cols))


def uniform_low_start():
    p0 = np.zeros(71)
    p0[:14] = 1.0 / 14  # uniform over the states of the two lowest of ten bins
    return p0


@pytest.mark.slow
def test_drift_fits_the_rates_it_was_given_and_repeats_exactly(tmp_path):
    reads = tmp_path / "aged.tsv"
    drift_reads(reads, 0.05, 0.02, uniform_low_start(), [0, 15, 30], 3000, seed=2)
    out = tmp_path / "drift"
    assert korvel_cmd("drift", reads, "--out", out, "--bootstrap", 2, "--quiet") == 0
    header, (row,) = read_tsv(out / "drift.tsv")
    assert header == ["ste", "ste_lo", "ste_hi", "stw", "stw_lo", "stw_hi", "nll",
                      "reference_age", "n_ages", "n_reads", "flags"]
    # 3000 reads per age pin the rates to a few per cent.
    assert float(row["ste"]) == pytest.approx(0.05, rel=0.1)
    assert float(row["stw"]) == pytest.approx(0.02, rel=0.1)
    assert float(row["ste_lo"]) <= float(row["ste_hi"])
    header, rows = read_tsv(out / "drift_predicted.tsv")
    assert header == ["age", "meth_lo", "meth_hi", "n_reads", "observed", "predicted"]
    assert len(rows) == 3 * 71  # one bin per site count by default
    assert len(read_tsv(out / "drift_bootstrap.tsv")[1]) == 2
    assert_png(out / "plots" / "drift.png")
    again = tmp_path / "again"
    assert korvel_cmd("drift", reads, "--out", again, "--bootstrap", 2, "--quiet",
                      "--no-plots") == 0
    for name in ("drift.tsv", "drift_bootstrap.tsv"):
        assert (again / name).read_bytes() == (out / name).read_bytes(), name


@pytest.mark.slow
def test_drift_default_bins_cover_the_truth_where_ten_bins_do_not(tmp_path, capsys):
    # A start that falls steeply within the lowest of ten bins: spreading that
    # bin's reads evenly over its seven states moves them upwards, and the fit
    # makes up for it with too little writing and too much erasing.
    truth = {"ste": 0.010, "stw": 0.004}
    p0 = np.exp(-np.arange(71) / 4.0)
    reads = tmp_path / "aged.tsv"
    drift_reads(reads, truth["ste"], truth["stw"], p0 / p0.sum(), [0, 20, 40, 80], 3000, seed=5)
    rows, bins = {}, {}
    for label, extra in (("default", ()), ("ten", ("--meth-bins", 10))):
        out = tmp_path / label
        assert korvel_cmd("drift", reads, "--out", out, "--bootstrap", 20, "--no-plots",
                          *extra) == 0
        rows[label] = read_tsv(out / "drift.tsv")[1][0]
        bins[label] = json.loads((out / "run.json").read_text())["meth_bins"]
        warned = "the starting distribution is approximated" in capsys.readouterr().err
        assert warned == (label == "ten")
    assert bins["default"]["n_bins"] == 71 and bins["default"]["one_per_site_count"]
    assert bins["ten"]["n_bins"] == 10 and not bins["ten"]["one_per_site_count"]
    assert bins["ten"]["starting_distribution"].startswith("approximated")

    def covers(row, name):
        return float(row[name + "_lo"]) <= truth[name] <= float(row[name + "_hi"])

    assert covers(rows["default"], "ste") and covers(rows["default"], "stw"), rows["default"]
    assert not covers(rows["ten"], "ste") and not covers(rows["ten"], "stw"), rows["ten"]


def test_phase_diagram_marks_each_bin_on_the_map_of_its_own_fit(tmp_path, capsys):
    results = tmp_path / "results.tsv"
    results.write_text("density_lo\tdensity_hi\tn_reads\tst\tcow\tcoe\tnll\tflags\n"
                       "0\t1\t10\t0.5\t3.0\t4.0\t0.5\t\n"
                       "1\t2\t10\t0.7\t3.0\t4.0\t0.5\tst:at_bound\n")
    (tmp_path / "run.json").write_text(json.dumps(
        {"options": {"n_u": 3.0, "n_m": 2.0, "normalize_stw": True, "raw_count": False},
         "vmax_used": "inf"}))
    png = tmp_path / "phase.png"
    assert korvel_cmd("phase", "--out", png, "--grid", 11, "--results", results, "--quiet") == 0
    assert_png(png)
    # The fit's St and exponents are the map's: asking for others is refused.
    for option in (("--st", 1), ("--n-u", 2), ("--no-normalize-stw",)):
        assert korvel_cmd("phase", "--out", tmp_path / "x.png", "--results", results,
                          *option) == 2
        assert "contradicts" in capsys.readouterr().err
    assert not (tmp_path / "x.png").exists()


def test_the_console_script_and_help():
    scripts = importlib.metadata.entry_points(group="console_scripts")
    assert any(ep.name == "korvel" and ep.value == "korvel_analysis.cli:main" for ep in scripts)
    for sub in ("simulate", "fit", "drift", "phase"):
        res = subprocess.run([sys.executable, "-m", "korvel_analysis", sub, "--help"],
                             capture_output=True, text=True)
        assert res.returncode == 0 and "usage: korvel " + sub in res.stdout
    # The option names that pipelines rely on are all documented.
    for option in ("--mode", "--bootstrap", "--profile", "--seed", "--level", "--st-bounds",
                   "--co-bounds", "--exp-bounds", "--vmax-bounds", "--fit-vmax", "--penalty",
                   "--weights", "--normalize-stw", "--raw-count", "--vmax", "--density-column",
                   "--methylation-column", "--density-edges", "--density-quantiles",
                   "--meth-bins", "--meth-edges", "--counts", "--force"):
        assert option in cli.build_parser()._subparsers._group_actions[0].choices[
            "fit"].format_help(), option


def test_drift_runs_on_a_small_table_and_flags_a_rate_on_its_bound(tmp_path):
    # StE 0.05 searched within [1e-4, 0.03]: it can only land on the bound 0.03,
    # and the bootstrap refits with it; StW (0.02) fits freely.
    reads = tmp_path / "aged.tsv"
    drift_reads(reads, 0.05, 0.02, uniform_low_start(), [0, 15, 30], 300, seed=4)
    out = tmp_path / "drift"
    assert korvel_cmd("drift", reads, "--out", out, "--bootstrap", 4, "--no-plots", "--quiet",
                      "--st-bounds", "1e-4,0.03", "--threads", 1) == 0
    _, (row,) = read_tsv(out / "drift.tsv")
    assert float(row["ste"]) == pytest.approx(0.03, rel=1e-3)
    assert row["flags"].split(",") == ["ste:at_bound", "ste:boot_at_bound"]
    run = json.loads((out / "run.json").read_text())
    assert [f["flag"] for f in run["flags"]] == ["at_bound", "boot_at_bound"]


@pytest.mark.slow
@pytest.mark.skipif(not hasattr(korvel, "py_profile_drift_log"), reason="module without it")
def test_drift_profiles_hold_the_truth_and_take_the_shown_columns(tmp_path):
    from korvel_analysis import tl

    reads = tmp_path / "aged.tsv"
    drift_reads(reads, 0.05, 0.02, uniform_low_start(), [0, 15, 30], 1000, seed=6)
    out = tmp_path / "drift"
    assert korvel_cmd("drift", reads, "--out", out, "--bootstrap", 4, "--profile",
                      "--profile-points", 7, "--no-plots", "--quiet") == 0
    header, (row,) = read_tsv(out / "drift.tsv")
    assert header[:5] == ["ste", "ste_lo", "ste_hi", "ste_boot_lo", "ste_boot_hi"]
    for name, truth in (("ste", 0.05), ("stw", 0.02)):
        assert float(row[name + "_lo"]) < truth < float(row[name + "_hi"]), row
    run = json.loads((out / "run.json").read_text())
    assert run["intervals"] == {"ste": tl.PROFILE, "stw": tl.PROFILE}


@pytest.mark.slow
@pytest.mark.skipif(not modes.get("shared-exp").profileable, reason="module without it")
def test_shared_exp_profiles_every_parameter_and_shows_them(reads, tmp_path):
    out = tmp_path / "fit"
    assert korvel_cmd("fit", reads, "--out", out, "--mode", "shared-exp", "--density-edges",
                      "0,1,2", "--bootstrap", 1, "--profile", "--profile-points", 5, "--quiet",
                      "--no-plots", *FAST) == 0
    header, rows = read_tsv(out / "results.tsv")
    _, ivs = read_tsv(out / "profiles" / "intervals.tsv")
    assert sorted({r["parameter"] for r in ivs}) == ["coe", "cow", "n_m", "n_u", "st"]
    for r in ivs:
        d = 0 if r["density_idx"] == "all" else int(r["density_idx"])
        assert rows[d][r["parameter"] + "_lo"] == r["lo"]
        assert r["parameter"] + "_boot_lo" in header
    run = json.loads((out / "run.json").read_text())
    assert set(run["intervals"].values()) == {"likelihood ratio (profile)"}
