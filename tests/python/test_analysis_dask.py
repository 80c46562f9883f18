"""Chunked bootstraps: equality with one whole call, progress, checkpoints and resume, Dask."""

import os
import re
import signal
import subprocess
import sys
import threading
import time
import types

import numpy as np
import pytest

import korvel
from korvel_analysis import chunks, cli, distributed, modes, pp, tl
from korvel_analysis import progress as _progress

EDGES = np.linspace(0.0, 1.0, 6)
# Narrow boxes around the truth keep every fit short.
BOXES = dict(st_bounds=(0.5, 2.0), co_bounds=(1.0, 10.0), exp_bounds=(1.5, 2.5))


@pytest.fixture(scope="module")
def counts():
    """Two density bins of 400 reads, binned exactly as the model predicts."""
    fr = [korvel.py_compute_model_fracs(1.0, 1.0, cow, coe, EDGES) for cow, coe in
          ((3.0, 4.0), (4.0, 3.0))]
    return np.rint(np.asarray(fr) * 400).astype(np.int64)


def boot(counts, n_boot, mode, **kw):
    """(rows, chunked bootstrap) for a mode, with the run-wide settings the settings name."""
    settings = tl.FitSettings(mode=mode, raw_count=kw.pop("raw_count", False), **BOXES)
    rows = pp.bootstrap_fracs(counts, n_boot, seed=3)
    warm = {"shared-exp": (1.0, 2.0, 2.0, np.inf), "shared-co": (1.0, 3.5, 3.5)}.get(mode)
    return chunks.run_bootstrap(rows, n_boot, counts.shape[0], EDGES, settings, warm, **kw)


@pytest.mark.parametrize("mode, n_boot, sizes", [
    ("shared-exp", 3, (1, 2)), ("shared-co", 3, (1, 2)),
    ("shared-st-exp", 2, (1,)),  # the slowest fits: the smallest case that splits
])
def test_density_seeded_modes_equal_the_whole_call_at_any_chunk_size(counts, mode, n_boot,
                                                                     sizes):
    assert modes.get(mode).chunk_invariant
    whole = boot(counts, n_boot, mode, progress=False)
    assert whole[:, 0].tolist() == np.repeat(np.arange(n_boot), 2).tolist()
    for k in sizes:
        assert boot(counts, n_boot, mode, chunk_resamples=k, progress=False).tobytes() == \
            whole.tobytes(), k


def test_independent_rows_follow_the_chunk_size_and_the_bar_reaches_the_total(counts, capsys):
    whole = boot(counts, 4, "independent", progress=False)
    a = boot(counts, 4, "independent", chunk_resamples=2, progress=True)
    assert "4/4" in capsys.readouterr().err
    b = boot(counts, 4, "independent", chunk_resamples=2, progress=False)
    assert capsys.readouterr().err == ""
    assert a.tobytes() == b.tobytes()
    # The first chunk's seeds are the whole call's first row indices.
    assert a[:4].tobytes() == whole[:4].tobytes()
    assert a[:, 0].tolist() == [0, 0, 1, 1, 2, 2, 3, 3]


@pytest.mark.parametrize("progress", [None, False])
def test_the_profile_bar_has_a_fixed_total_and_reaches_it_or_stays_silent(
        counts, capsys, monkeypatch, progress):
    # A log line at every step of the work (no minimum gap between lines): each
    # names the same total, known before the first refit, and the last reaches it.
    monkeypatch.setattr(_progress, "MIN_LINE_GAP", 0.0)
    result = tl.fit(pp.observed_fractions(counts), EDGES,
                    tl.FitSettings(mode="independent", **BOXES))
    capsys.readouterr()
    tl.profiles(pp.observed_fractions(counts), EDGES, result, counts.sum(axis=1), points=3,
                progress=progress)
    err = capsys.readouterr().err
    if progress is None:
        seen = [(int(a), int(b)) for a, b in re.findall(r"(\d+)/(\d+) parts", err)]
        # St, CoW and CoE of 2 bins: a first grid and two ends each.
        assert len(seen) > 2 and {total for _, total in seen} == {3 * 3 * 2}
        assert [done for done, _ in seen] == sorted(done for done, _ in seen)
        assert seen[-1][0] == 18
    else:
        assert err == ""


@pytest.mark.slow
def test_a_nested_bootstrap_shows_its_fits_before_a_resample_ends(counts, capsys, monkeypatch):
    # Each resample of shared-st-exp is a search refitting both bins at every point. The
    # log's lines while the first resample runs give the density fits done, and no time
    # left, which only finished resamples can estimate; the rows are those of an
    # uncounted call.
    monkeypatch.setattr(_progress, "LINE_INTERVAL", 0.2)
    monkeypatch.setattr(_progress, "WATCH_INTERVAL", 0.05)
    settings = tl.FitSettings(mode="shared-st-exp", **BOXES)
    uncounted = chunks.run_chunk(pp.bootstrap_fracs(counts, 2, seed=3), 0, 2, EDGES, settings)
    capsys.readouterr()
    assert boot(counts, 2, "shared-st-exp", progress=None).tobytes() == uncounted.tobytes()
    lines = capsys.readouterr().err.splitlines()
    first = [line for line in lines if "0/2 resamples" in line]
    assert any("density fits" in line for line in first)
    assert not any("left" in line for line in first)
    fits = [int(n) for n in re.findall(r"(\d+) density fits", "\n".join(lines))]
    assert fits == sorted(fits) and fits[0] > 0
    assert lines[-1].startswith("korvel: bootstrap: 2/2 resamples (100%)")


def test_resume_checks_every_chunk_and_refuses_other_inputs(counts, tmp_path):
    first = boot(counts, 4, "independent", chunk_resamples=1, checkpoint_dir=tmp_path,
                 progress=False)
    kept = sorted(p.name for p in tmp_path.glob("resamples_*.npz"))
    assert len(kept) == 4
    # Another run's chunk copied in, one edited (its digest kept), one cut short: each is
    # computed again, and the rows are those of the uninterrupted run.
    other = tmp_path / "other"
    settings = tl.FitSettings(mode="independent", **BOXES)
    chunks.run_bootstrap(pp.bootstrap_fracs(counts, 4, seed=4), 4, 2, EDGES, settings,
                         chunk_resamples=1, checkpoint_dir=other, progress=False)
    (tmp_path / kept[0]).write_bytes((other / kept[0]).read_bytes())
    with np.load(tmp_path / kept[1]) as z:
        rows, digest = z["rows"], z["digest"]
    rows[:, 2:5] *= 10.0
    np.savez(tmp_path / kept[1], rows=rows, digest=digest)
    (tmp_path / kept[2]).write_bytes((tmp_path / kept[2]).read_bytes()[:100])
    said = []
    again = boot(counts, 4, "independent", chunk_resamples=1, checkpoint_dir=tmp_path,
                 resume=True, progress=False, report=said.append)
    assert again.tobytes() == first.tobytes()
    assert len(said) == 1 and said[0].startswith("3 of the chunks")
    with pytest.raises(chunks.StaleChunks):
        boot(counts, 4, "independent", chunk_resamples=2, checkpoint_dir=tmp_path, resume=True,
             progress=False)


# ------------------------------------------------------------ the command

def write_counts(path, counts):
    lines = ["density_lo\tdensity_hi\t" + "\t".join(f"m{j}" for j in range(counts.shape[1]))]
    lines += [f"{d}\t{d + 1}\t" + "\t".join(str(c) for c in row) for d, row in enumerate(counts)]
    path.write_text("\n".join(lines) + "\n")
    return path


def fit_argv(table, out, *extra):
    return ["fit", str(table), "--counts", "--meth-bins", "5", "--out", str(out), "--mode",
            "independent", "--bootstrap", "8", "--chunk-resamples", "1", "--no-plots",
            "--st-bounds", "0.5,2", "--co-bounds", "1,10", *map(str, extra)]


def test_a_killed_run_resumes_to_the_tables_of_an_uninterrupted_one(counts, tmp_path, capfd):
    table = write_counts(tmp_path / "counts.tsv", counts)
    whole = tmp_path / "whole"
    assert cli.main(fit_argv(table, whole)) == 0
    # Progress notes only: a stream that is not a terminal gets no bar.
    err = capfd.readouterr().err
    assert "\r" not in err and "resample/s" not in err

    out = tmp_path / "killed"
    env = dict(os.environ, KORVEL_NUM_THREADS="1")
    proc = subprocess.Popen([sys.executable, "-m", "korvel_analysis", *fit_argv(table, out)],
                            env=env, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 120
    while len(list(out.glob("chunks/resamples_*.npz"))) < 2 and time.monotonic() < deadline:
        time.sleep(0.005)
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    n_kept = len(list(out.glob("chunks/resamples_*.npz")))
    assert 2 <= n_kept < 8 and not (out / "results.tsv").exists()

    def files():  # the lock file, korvel's own, goes with the lock: it is not compared
        return sorted((p.name, p.stat().st_mtime_ns) for p in out.rglob("*")
                      if p.name != "korvel.lock")

    before = files()
    assert cli.main(fit_argv(table, out, "--penalty", "0.5", "--resume")) == 2
    assert "--penalty" in capfd.readouterr().err
    assert files() == before

    # The thread count and --quiet do not change results, so they may differ.
    assert cli.main(fit_argv(table, out, "--resume", "--threads", "1", "--quiet")) == 0
    for name in ("results.tsv", "bootstrap.tsv"):
        assert (out / name).read_text() == (whole / name).read_text(), name


def test_ctrl_c_keeps_finished_chunks_and_says_how_to_resume(counts, tmp_path, monkeypatch,
                                                            capfd):
    calls = []

    def run_chunk(*args):
        if len(calls) == 2:
            raise KeyboardInterrupt
        calls.append(args[1])
        return real(*args)

    real = chunks.run_chunk
    monkeypatch.setattr(chunks, "run_chunk", run_chunk)
    out = tmp_path / "out"
    table = write_counts(tmp_path / "counts.tsv", counts)
    assert cli.main(fit_argv(table, out, "--quiet")) == 130
    err = capfd.readouterr().err
    assert "interrupted after 2 of 8 resamples" in err and "with --resume" in err
    assert len(list(out.glob("chunks/resamples_*.npz"))) == 2


def test_ctrl_c_on_a_local_cluster_ends_quietly_with_the_resume_line(counts, tmp_path):
    pytest.importorskip("distributed")
    table = write_counts(tmp_path / "counts.tsv", counts)
    out = tmp_path / "out"
    argv = fit_argv(table, out, "--scheduler", "local:2", "--threads", 1, "--quiet")
    argv[argv.index("8")] = "400"  # --bootstrap: far more than the few seconds waited
    # Ctrl+C at a terminal signals the whole process group, the workers too.
    with subprocess.Popen([sys.executable, "-m", "korvel_analysis", *argv],
                          stderr=subprocess.PIPE, text=True, start_new_session=True) as p:
        deadline = time.monotonic() + 120
        while not list(out.glob("chunks/resamples_*")) and time.monotonic() < deadline:
            time.sleep(0.01)
        os.killpg(p.pid, signal.SIGINT)
        err = p.communicate(timeout=120)[1]
    assert p.returncode == 130, err
    assert "Traceback" not in err and len(err.splitlines()) == 1, err
    assert err.startswith("korvel fit: interrupted after ") and "with --resume" in err


def test_ctrl_c_while_a_local_cluster_starts_is_acted_on_once_it_is_up(counts, tmp_path,
                                                                      monkeypatch, capfd):
    events = []

    class Cluster:  # a start that Ctrl+C reaches half-way through
        def __init__(self, **kw):
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.05)
            events.append("up")

        def close(self):
            events.append("cluster closed")

    class Client:
        def __init__(self, cluster):
            events.append("client")

        def close(self):
            events.append("client closed")

    monkeypatch.setattr(distributed, "require",
                        lambda: types.SimpleNamespace(LocalCluster=Cluster, Client=Client))
    table = write_counts(tmp_path / "counts.tsv", counts)
    assert cli.main(fit_argv(table, tmp_path / "out", "--scheduler", "local:1")) == 130
    assert events == ["up", "client", "client closed", "cluster closed"]
    err = capfd.readouterr().err
    assert "interrupted after 0 of 8 resamples" in err and "with --resume" in err


@pytest.mark.parametrize("argv, message", [
    (["--scheduler", "local:0"], "local:N"),
    (["--scheduler", "local:2"], "korvel[dask]"),
])
def test_scheduler_errors_are_usage_errors(counts, tmp_path, monkeypatch, capfd, argv, message):
    if message == "korvel[dask]":
        monkeypatch.setitem(sys.modules, "distributed", None)  # as if the extra were missing
    out = tmp_path / "out"
    assert cli.main(fit_argv(write_counts(tmp_path / "c.tsv", counts), out, *argv)) == 2
    assert message in capfd.readouterr().err and not out.exists()


# ------------------------------------------------------------ Dask

@pytest.fixture(scope="module")
def client():
    pytest.importorskip("distributed")
    from korvel_analysis import distributed

    with distributed.connect("local:2", threads_per_worker=1) as c:
        yield c


@pytest.mark.parametrize("raw_count", [False, True])
def test_a_local_cluster_gives_the_rows_of_the_local_run(counts, client, raw_count):
    local = boot(counts, 4, "independent", chunk_resamples=1, progress=False,
                 raw_count=raw_count)
    remote = boot(counts, 4, "independent", chunk_resamples=1, progress=False,
                  raw_count=raw_count, client=client)
    korvel.py_set_raw_count(False)
    assert remote.tobytes() == local.tobytes()
    if raw_count:  # the workers really fitted raw counts: the rows moved
        plain = boot(counts, 4, "independent", chunk_resamples=1, progress=False)
        assert plain.tobytes() != local.tobytes()
    assert set(client.run(lambda: os.environ.get("KORVEL_NUM_THREADS")).values()) == {"1"}


def test_a_killed_worker_costs_nothing_but_time(counts, client, tmp_path):
    pids = list(client.run(os.getpid).values())
    killed = []

    def kill_one_after_the_first_chunk():
        while not list(tmp_path.glob("resamples_*.npz")):
            time.sleep(0.005)
        os.kill(pids[0], signal.SIGKILL)
        killed.append(len(list(tmp_path.glob("resamples_*.npz"))))

    killer = threading.Thread(target=kill_one_after_the_first_chunk, daemon=True)
    killer.start()
    rows = boot(counts, 12, "independent", chunk_resamples=1, progress=False, client=client,
                checkpoint_dir=tmp_path)
    killer.join(30)
    assert killed and killed[0] < 12
    assert rows.tobytes() == boot(counts, 12, "independent", chunk_resamples=1,
                                  progress=False).tobytes()


def test_a_log_line_gives_no_time_left_before_any_work_is_done():
    import io

    lines = _progress._Lines(4, "bootstrap", "resample", file=io.StringIO())
    try:
        assert lines._line(lines.start + 60.0) == \
            "korvel: bootstrap: 0/4 resamples (0%) in 1 min 0 s"
        lines.update(1)
        assert lines._line(lines.start + 60.0).endswith(", about 3 min 0 s left")
    finally:
        lines.close()
