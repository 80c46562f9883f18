"""Runs from Python: fit_reads and drift_reads give what the command writes, and write it."""

import hashlib
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import korvel
from korvel_analysis import cli, drift_reads, fit_reads, gof, modes, provenance, tl
from test_analysis_cli import drift_reads as draw_drift_reads, uniform_low_start

pd = pytest.importorskip("pandas")

# Narrow boxes around the truth keep every mode's fit short.
BOXES = {"st_bounds": (0.5, 2.0), "co_bounds": (1.0, 10.0), "exp_bounds": (1.5, 2.5)}
OPTIONS = ("--meth-bins", "5", "--st-bounds", "0.5,2", "--co-bounds", "1,10",
           "--exp-bounds", "1.5,2.5")


@pytest.fixture(scope="module")
def counts_table(tmp_path_factory):
    """Two density bins of 400 reads, binned as the model predicts, as a counts table."""
    edges = np.linspace(0.0, 1.0, 6)
    rows = [np.rint(korvel.py_compute_model_fracs(1.0, 1.0, cow, coe, edges) * 400)
            for cow, coe in ((3.0, 4.0), (4.0, 3.0))]
    path = tmp_path_factory.mktemp("counts") / "counts.tsv"
    provenance.write_tsv(path, ["density_lo", "density_hi"] + [f"b{j}" for j in range(5)],
                         [[d, d + 1] + [int(c) for c in r] for d, r in enumerate(rows)])
    return path


def command(path, out, *extra):
    assert cli.main(["fit", str(path), "--out", str(out), "--counts", "--no-plots", "--quiet",
                     *OPTIONS, *map(str, extra)]) == 0


# The exponent modes' fits take tens of seconds each on a loaded machine.
@pytest.mark.parametrize("mode", [pytest.param(m, marks=pytest.mark.slow)
                                  if modes.get(m).fits_vmax or m == "shared-co" else m
                                  for m in modes.NAMES])
def test_fit_reads_gives_and_writes_what_the_command_writes(counts_table, tmp_path, mode):
    command(counts_table, tmp_path / "cmd", "--mode", mode)
    run = fit_reads(counts_table, mode=mode, counts=True, meth_bins=5, **BOXES)
    written = pd.read_csv(tmp_path / "cmd" / "results.tsv", sep="\t")
    assert list(run.table.columns) == list(written.columns)
    numbers = written.columns[:-1]
    seeded = modes.get(mode).seeded  # else the fit draws seeds from the operating system
    pd.testing.assert_frame_equal(run.table[numbers], written[numbers], check_dtype=False,
                                  check_exact=seeded, rtol=1e-3)
    if seeded:
        run.write(tmp_path / "lib", plots=False)
        assert ((tmp_path / "lib" / "results.tsv").read_bytes()
                == (tmp_path / "cmd" / "results.tsv").read_bytes())
    lines = (tmp_path / "cmd" / "results.tsv").read_text().splitlines()[1:]
    assert list(run.table["flags"]) == [line.split("\t")[-1] for line in lines]


def test_a_seeded_fit_and_bootstrap_keep_their_bytes(counts_table, tmp_path):
    # Recorded from this run when the pipeline had moved into the library objects; the
    # command before that move wrote the same results.tsv, and the same bootstrap rows
    # under its old header. A change that moves any number shows here.
    command(counts_table, tmp_path / "fit", "--mode", "independent", "--bootstrap", 3,
            "--seed", 5)
    assert {name: hashlib.sha256((tmp_path / "fit" / name).read_bytes()).hexdigest()
            for name in ("results.tsv", "bootstrap.tsv")} == {
        "results.tsv": "b3fded5b2768e6742bba61e42dd1c2dc0f6b67161fe635d9aac667d31f0cf1e2",
        "bootstrap.tsv": "6156a6dccef7f0fe1f87fa341494254eb9095416267fbb835d713409a4d414cc"}


@pytest.mark.slow
def test_bootstrap_profiles_and_flags_match_the_command_and_write_checks_its_folder(
        counts_table, tmp_path):
    extra = dict(bootstrap=4, chunk_resamples=3, profile=True, profile_points=3, seed=2)
    command(counts_table, tmp_path / "cmd", "--mode", "independent", "--bootstrap", 4,
            "--chunk-resamples", 3, "--profile", "--profile-points", 3, "--seed", 2)
    run = fit_reads(counts_table, mode="independent", counts=True, meth_bins=5, **BOXES, **extra)
    assert {m for m, _ in run.intervals.values()} == {tl.PROFILE}
    assert set(run.beside) == {"st", "cow", "coe"}  # the bootstrap's beside the profile's
    assert all(f.reason for f in run.flags)
    run.write(tmp_path / "lib", plots=False)
    for name in ("results.tsv", "bootstrap.tsv", "profiles/intervals.tsv", "profiles/st.tsv"):
        assert (tmp_path / "lib" / name).read_bytes() == (tmp_path / "cmd" / name).read_bytes()
    assert run.bootstrap_table.shape == (8, 6)
    # Exactly the files it announces, less the command's chunk checkpoints and running record.
    written = {str(p.relative_to(tmp_path / "lib")) for p in (tmp_path / "lib").rglob("*")
               if p.is_file()}
    assert written == set(run.files(plots=False)) - {"run.running.json",
                                                     "chunks/manifest.json"} | {"manifest.json"}
    with pytest.raises(provenance.FolderError, match="not empty"):
        run.write(tmp_path / "lib", plots=False)
    # A run compares like a finished folder.
    other = fit_reads(counts_table, mode="shared-st", counts=True, meth_bins=5, **BOXES)
    assert [m["mode"] for m in gof.compare([run, other]).models] == ["independent", "shared-st"]
    assert "independent" in run._repr_html_()


@pytest.mark.slow
def test_drift_reads_gives_and_writes_what_the_command_writes(tmp_path):
    reads = tmp_path / "reads.tsv"
    draw_drift_reads(reads, 0.05, 0.02, uniform_low_start(), [0, 15, 30], 300, seed=4)
    assert cli.main(["drift", str(reads), "--out", str(tmp_path / "cmd"), "--bootstrap", "3",
                     "--seed", "1", "--no-plots", "--quiet"]) == 0
    run = drift_reads(reads, bootstrap=3, seed=1)
    run.write(tmp_path / "lib", plots=False)
    for name in ("drift.tsv", "drift_predicted.tsv", "drift_bootstrap.tsv"):
        assert (tmp_path / "lib" / name).read_bytes() == (tmp_path / "cmd" / name).read_bytes()
    written = pd.read_csv(tmp_path / "cmd" / "drift.tsv", sep="\t", keep_default_na=False)
    assert list(run.table.columns) == list(written.columns)
    assert run.intervals["ste"][0] == tl.PERCENTILE
    assert run.bootstrap_table.shape == (3, 4)


@pytest.mark.slow
def test_the_notebook_example_runs(tmp_path):
    pytest.importorskip("matplotlib")
    example = Path(__file__).resolve().parents[2] / "examples" / "notebook.py"
    done = subprocess.run([sys.executable, str(example), str(tmp_path)], capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    assert "percentile bootstrap" in done.stdout
    assert (tmp_path / "fit" / "results.tsv").exists() and (tmp_path / "fit" / "plots").is_dir()


@pytest.mark.slow
def test_resume_of_a_run_with_the_old_bootstrap_header_goes_on_and_renames(counts_table,
                                                                            tmp_path):
    out = tmp_path / "fit"
    extra = ("--mode", "shared-st", "--bootstrap", 4, "--chunk-resamples", 2, "--seed", 3)
    command(counts_table, out, *extra)
    lines = (out / "bootstrap.tsv").read_text().splitlines()
    assert lines[0].split("\t") == list(modes.BOOTSTRAP_COLUMNS_3)
    # What a run of an earlier version left: the old header, and one chunk not yet done.
    old = "\t".join(["bootstrap_idx", "density_idx", "st_free", "cow", "coe", "nll"])
    (out / "bootstrap.tsv").write_text("\n".join([old] + lines[1:]) + "\n")
    first, *_ = sorted((out / "chunks").glob("*.npz"))
    kept = sorted(p.name for p in (out / "chunks").glob("*.npz"))
    first.unlink()
    command(counts_table, out, *extra, "--resume")
    assert sorted(p.name for p in (out / "chunks").glob("*.npz")) == kept
    assert (out / "bootstrap.tsv").read_text().splitlines()[0] == lines[0]
