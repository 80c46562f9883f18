"""The command's output folder: korvel's files only, one run at a time, writes that stay inside."""

import json
import os
import signal
import subprocess
import sys

import numpy as np
import pytest

import korvel
from korvel_analysis import cli, provenance

EDGES = np.linspace(0.0, 1.0, 6)


@pytest.fixture(scope="module")
def table(tmp_path_factory):
    """A counts table of two density bins, 400 reads each, binned as the model predicts."""
    fr = [korvel.py_compute_model_fracs(1.0, 1.0, cow, coe, EDGES) for cow, coe in
          ((3.0, 4.0), (4.0, 3.0))]
    counts = np.rint(np.asarray(fr) * 400).astype(np.int64)
    path = tmp_path_factory.mktemp("in") / "counts.tsv"
    lines = ["density_lo\tdensity_hi\t" + "\t".join(f"m{j}" for j in range(5))]
    lines += [f"{d}\t{d + 1}\t" + "\t".join(map(str, row)) for d, row in enumerate(counts)]
    path.write_text("\n".join(lines) + "\n")
    return path


def fit(table, out, *extra, quiet=True):
    """korvel fit on the table, in narrow boxes that keep every fit short; the exit code."""
    return cli.main(["fit", str(table), "--counts", "--meth-bins", "5", "--out", str(out),
                     "--mode", "independent", "--st-bounds", "0.5,2", "--co-bounds", "1,10",
                     *(["--quiet"] if quiet else []), *map(str, extra)])


def snapshot(folder):
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*"))
            if p.is_file()}


def test_force_removes_only_what_korvel_wrote(table, tmp_path, capsys):
    out = tmp_path / "out"
    assert fit(table, out, "--bootstrap", 2, "--profile", "--profile-points", 3) == 0
    theirs = {"mine.txt": b"notes", "drift.tsv": b"a\tb\n", "plots/my_figure.png": b"png",
              "profiles/extra.tsv": b"x\n", "chunks/keep.npz": b"z"}
    for name, data in theirs.items():
        (out / name).write_bytes(data)
    old = set(snapshot(out)) - set(theirs)
    # A rerun without profiles and plots: the first run's files it does not write again
    # are removed, and it says so; everything else stays as it was, byte for byte.
    assert fit(table, out, "--bootstrap", 2, "--no-plots", "--force", quiet=False) == 0
    after = snapshot(out)
    for name, data in theirs.items():
        assert after[name] == data, name
    gone = sorted(old - set(after))
    assert "profiles/st.tsv" in gone and "plots/fractions.png" in gone
    assert all(n.startswith(("profiles/", "plots/")) for n in gone), gone
    assert f"removed {len(gone)} files of the previous run" in capsys.readouterr().err


def test_reruns_never_use_another_runs_chunks(table, tmp_path, capsys):
    out, fresh = tmp_path / "out", tmp_path / "fresh"
    assert fit(table, out, "--bootstrap", 2, "--chunk-resamples", 1, "--no-plots") == 0
    # Another korvel version may resample or fit differently: no resume.
    record = json.loads((out / "run.json").read_text())
    record["korvel_version"] = "0.0.0"
    (out / "run.json").write_text(json.dumps(record))
    assert fit(table, out, "--bootstrap", 2, "--chunk-resamples", 1, "--no-plots",
               "--resume") == 2
    assert "korvel_version (0.0.0 there" in capsys.readouterr().err
    # A fresh run over the folder computes every chunk of its own seed.
    argv = ("--bootstrap", 2, "--chunk-resamples", 1, "--no-plots", "--seed", 9)
    assert fit(table, out, *argv, "--force") == 0
    assert fit(table, fresh, *argv) == 0
    assert (out / "bootstrap.tsv").read_text() == (fresh / "bootstrap.tsv").read_text()
    # And a run without a bootstrap leaves no chunks behind.
    assert fit(table, out, "--no-plots", "--force") == 0
    assert not (out / "chunks").exists()


@pytest.mark.parametrize("name", ["results.tsv", "plots/fractions.png"])
def test_a_file_korvel_did_not_write_is_never_replaced(table, tmp_path, capsys, name):
    out = tmp_path / "out"
    (out / name).parent.mkdir(parents=True)
    (out / name).write_text("my own results\n")
    assert fit(table, out, "--force") == 2
    assert f"{name} was not written by korvel" in capsys.readouterr().err
    assert snapshot(out) == {name: b"my own results\n"}


def test_one_run_per_folder_and_a_killed_holder_blocks_nothing(table, tmp_path, capsys):
    out = tmp_path / "out"
    with provenance.OutputFolder.open(out):
        for extra in ((), ("--resume",)):
            assert fit(table, out, *extra) == 2
            err = capsys.readouterr().err
            assert f"output folder {out} is in use by another korvel run (process " \
                   f"{os.getpid()})" in err
    assert not out.exists()  # the holder made the folder and wrote nothing into it

    with subprocess.Popen(
            [sys.executable, "-c", "import time\nfrom korvel_analysis import provenance\n"
             f"provenance.OutputFolder.open({str(out)!r})\nprint('held', flush=True)\n"
             "time.sleep(120)"], stdout=subprocess.PIPE, text=True) as holder:
        try:
            assert holder.stdout.readline() == "held\n"
            assert fit(table, out) == 2
            assert f"(process {holder.pid})" in capsys.readouterr().err
        finally:
            holder.send_signal(signal.SIGKILL)
    assert fit(table, out, "--force") == 0  # the kernel dropped the dead holder's lock
    assert (out / "results.tsv").exists() and not (out / "korvel.lock").exists()


def test_two_runs_started_together_never_both_write(table, tmp_path):
    out = tmp_path / "out"
    argv = [sys.executable, "-m", "korvel_analysis", "fit", str(table), "--counts",
            "--meth-bins", "5", "--out", str(out), "--mode", "independent", "--st-bounds",
            "0.5,2", "--co-bounds", "1,10", "--bootstrap", 4, "--chunk-resamples", 1,
            "--no-plots", "--quiet"]
    procs = [subprocess.Popen(list(map(str, argv)), stderr=subprocess.PIPE, text=True)
             for _ in range(2)]
    errs = [p.communicate()[1] for p in procs]
    results = sorted(zip((p.returncode for p in procs), errs))
    assert [code for code, _ in results] == [0, 2], results
    assert "in use by another korvel run" in results[1][1] or "is not empty" in results[1][1]
    assert len((out / "bootstrap.tsv").read_text().splitlines()) == 1 + 4 * 2


def test_a_refusal_writes_nothing_and_a_finished_record_outlives_an_unfinished_run(
        table, tmp_path, capsys, monkeypatch):
    out = tmp_path / "out"
    assert fit(table, out, "--bootstrap", 3, "--chunk-resamples", 1, "--no-plots") == 0
    manifest = out / "chunks" / "manifest.json"
    manifest.write_text('{"fingerprint": "another run"}')
    before = snapshot(out)
    assert fit(table, out, "--bootstrap", 3, "--chunk-resamples", 1, "--no-plots",
               "--resume") == 2
    assert "belong to another run" in capsys.readouterr().err
    assert snapshot(out) == before

    # A --force run cut short by Ctrl+C: the finished run's record stays, the new one
    # says it is running.
    from korvel_analysis import chunks

    def interrupted(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(chunks, "run_chunk", interrupted)
    assert fit(table, out, "--bootstrap", 3, "--chunk-resamples", 1, "--no-plots",
               "--force") == 130
    assert (out / "run.json").read_bytes() == before["run.json"]
    assert '"status": "running"' in (out / "run.running.json").read_text()


def test_writes_stay_in_the_folder(table, tmp_path, capsys, monkeypatch):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "precious.txt").write_text("keep")
    # A link planted where a temporary file went, and the folder behind a link: fine.
    real = tmp_path / "real"
    real.mkdir()
    os.symlink(real, tmp_path / "link")
    os.symlink(outside / "precious.txt", real / "results.tsv.tmp")
    assert fit(table, tmp_path / "link", "--no-plots", "--force") == 0
    assert (real / "results.tsv").is_file() and not (real / "results.tsv").is_symlink()
    # A link at a name korvel owns is replaced, not written through.
    (real / "results.tsv").unlink()
    os.symlink(outside / "precious.txt", real / "results.tsv")
    assert fit(table, real, "--no-plots", "--force") == 0
    assert not (real / "results.tsv").is_symlink()
    # A subfolder that leads outside is refused before any fitting.
    os.symlink(outside, real / "plots")
    monkeypatch.setattr(cli.tl, "fit", None)  # any fit would fail with a TypeError
    assert fit(table, real, "--force") == 2
    assert f"{real / 'plots'} is a symbolic link" in capsys.readouterr().err
    assert sorted(p.name for p in outside.iterdir()) == ["precious.txt"]
    assert (outside / "precious.txt").read_text() == "keep"


@pytest.mark.parametrize("make, message", [
    (lambda p: os.symlink(p.parent / "missing", p), "is a symbolic link to a missing folder"),
    (lambda p: p.parent.joinpath("file").write_text("x"), "cannot create the output folder"),
])
def test_an_unusable_output_folder_is_refused_before_any_fit(table, tmp_path, capsys,
                                                             monkeypatch, make, message):
    out = tmp_path / "out"
    make(out)
    if message.startswith("cannot"):
        out = tmp_path / "file" / "out"
    monkeypatch.setattr(cli.tl, "fit", None)
    assert fit(table, out, "--bootstrap", 2) == 2
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("text", ["[]", '{"inputs": 5, "options": {}}', "not json"])
def test_resume_refuses_a_record_that_is_not_a_run_record(table, tmp_path, capsys, text):
    out = tmp_path / "out"
    assert fit(table, out, "--no-plots") == 0
    (out / "run.json").write_text(text)
    before = snapshot(out)
    assert fit(table, out, "--no-plots", "--resume") == 2
    assert f"cannot resume {out}: run.json is not a korvel run record" in \
        capsys.readouterr().err
    assert snapshot(out) == before


def test_an_unwritable_subfolder_or_a_lost_manifest_is_said_before_any_fit(table, tmp_path,
                                                                           capsys, monkeypatch):
    out = tmp_path / "out"
    assert fit(table, out, "--bootstrap", 2, "--no-plots") == 0
    monkeypatch.setattr(cli.tl, "fit", None)  # any fit would fail with a TypeError
    real = provenance.SafeDir.write_with

    def write_with(self, name, write, keep=True):  # chunks/ read-only (root writes anyway)
        if os.path.basename(self.shown) == "chunks":
            raise PermissionError(13, "Permission denied")
        return real(self, name, write, keep)

    with monkeypatch.context() as m:
        m.setattr(provenance.SafeDir, "write_with", write_with)
        assert fit(table, out, "--bootstrap", 2, "--no-plots", "--force") == 2
        assert f"cannot write into {out / 'chunks'} (Permission denied)" in \
            capsys.readouterr().err
    (out / "manifest.json").unlink()
    assert fit(table, out, "--bootstrap", 2, "--no-plots", "--force") == 2
    assert "the folder has no manifest.json" in capsys.readouterr().err
