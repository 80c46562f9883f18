"""A results folder from someone else: every trap it can hold ends in a refusal naming the
path, or in the trapped chunk being computed again, and nothing outside the folder changes."""

import hashlib
import io
import json
import os
import shutil
import signal
import zipfile

import numpy as np
import pytest

import korvel
from korvel_analysis import chunks, cli

EDGES = np.linspace(0.0, 1.0, 6)
RUN = ["--counts", "--meth-bins", "5", "--mode", "independent", "--st-bounds", "0.5,2",
       "--co-bounds", "1,10", "--bootstrap", "2", "--chunk-resamples", "1", "--no-plots"]
CHUNK = "chunks/" + chunks.Checkpoints.name(0, 1)
# No run may take longer: a run blocked on a FIFO would never end.
TIMEOUT_S = 60


@pytest.fixture(scope="module")
def template(tmp_path_factory):
    """A counts table and the folder of one finished run on it."""
    root = tmp_path_factory.mktemp("hostile")
    fr = [korvel.py_compute_model_fracs(1.0, 1.0, cow, coe, EDGES) for cow, coe in
          ((3.0, 4.0), (4.0, 3.0))]
    counts = np.rint(np.asarray(fr) * 200).astype(np.int64)
    table = root / "counts.tsv"
    lines = ["density_lo\tdensity_hi\t" + "\t".join(f"m{j}" for j in range(5))]
    lines += [f"{d}\t{d + 1}\t" + "\t".join(map(str, row)) for d, row in enumerate(counts)]
    table.write_text("\n".join(lines) + "\n")
    good = root / "good"
    assert run(table, good) == 0
    return table, good


class Hung(BaseException):
    """Raised out of a run that blocks: no handler of korvel's may take it for an error."""


def run(table, out, *extra):
    """korvel fit in this process, ended by SIGALRM (an exception out of any blocking call)
    when it hangs."""
    def hung(signum, frame):
        raise Hung("the run hung")

    previous = signal.signal(signal.SIGALRM, hung)
    signal.alarm(TIMEOUT_S)
    try:
        return cli.main(["fit", str(table), "--out", str(out), *RUN, *extra])
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


def tree_digest(root):
    """Every path under root with its kind and content (a link's target, not followed)."""
    h = hashlib.sha256()
    for dirpath, dirnames, filenames in sorted(os.walk(root)):
        for name in sorted(dirnames + filenames):
            p = os.path.join(dirpath, name)
            st = os.lstat(p)
            h.update(f"{os.path.relpath(p, root)}\0{st.st_mode}\0".encode())
            if os.path.islink(p):
                h.update(os.readlink(p).encode())
            elif os.path.isfile(p):
                with open(p, "rb") as f:
                    h.update(f.read())
    return h.hexdigest()


def edit_manifest(out, files=(), folders=()):
    m = json.loads((out / "manifest.json").read_text())
    m["files"] += list(files)
    m["folders"] = m.get("folders", []) + list(folders)
    (out / "manifest.json").write_text(json.dumps(m))


def replace(path, make):
    path.unlink()
    make(path)


def forge_chunk(out, rows_of):
    """Rewrites the first chunk with rows_of(rows) and a digest recomputed to match: what
    anyone who can write the folder can do."""
    fingerprint = json.loads((out / "chunks/manifest.json").read_text())["fingerprint"]
    store = chunks.Checkpoints(out / "chunks")
    try:
        store.digest = fingerprint
        with np.load(out / CHUNK) as z:
            store.save(0, 1, rows_of(z["rows"].copy()))
    finally:
        store.close()


def times_ten(rows):
    rows[:, 2] *= 10  # St of every density bin, above --st-bounds
    return rows


def moved(rows):
    rows[:, 0] += 5  # the rows of another range
    return rows


def oversized(out):
    """A chunk whose archive lists a 16 MiB member that compresses to some 16 KiB."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        with z.open("rows.npy", "w", force_zip64=True) as f:
            block = bytes(1 << 20)
            for _ in range(16):
                f.write(block)
        z.writestr("digest.npy", b"x")
    (out / CHUNK).write_bytes(buf.getvalue())


# trap name -> (set it up in the folder `out` next to `outside`, the text a refusal must
# name, or a function of `outside` giving it; None: the run goes on, computing again what
# the trap spoiled).
TRAPS = {
    "entry ../": (lambda out, outside: edit_manifest(out, ["../outside/victim.txt"]),
                  "../outside/victim.txt"),
    "absolute entry": (lambda out, outside: edit_manifest(out, [str(outside / "victim.txt")]),
                       lambda outside: str(outside / "victim.txt")),
    "entry through a link": (
        lambda out, outside: (os.symlink(outside, out / "link"),
                              edit_manifest(out, ["link/victim.txt"])), "link/victim.txt"),
    "korvel's subfolder a link": (
        lambda out, outside: (os.symlink(outside, out / "profiles"),
                              edit_manifest(out, ["profiles/victim.txt"], ["profiles"])),
        "profiles"),
    "folder entry out of the folder": (
        lambda out, outside: edit_manifest(out, folders=["../outside/empty"]),
        "../outside/empty"),
    "entry naming a folder": (lambda out, outside: replace(out / "results.tsv", os.mkdir),
                              "results.tsv"),
    "FIFO at a listed name": (lambda out, outside: replace(out / "bootstrap.tsv", os.mkfifo),
                              "bootstrap.tsv"),
    "FIFO at manifest.json": (lambda out, outside: replace(out / "manifest.json", os.mkfifo),
                              "manifest.json"),
    "FIFO at run.json": (lambda out, outside: replace(out / "run.json", os.mkfifo),
                         "run.json"),
    "FIFO at chunks/manifest.json": (
        lambda out, outside: replace(out / "chunks/manifest.json", os.mkfifo),
        "chunks/manifest.json"),
    "FIFO at a chunk": (lambda out, outside: replace(out / CHUNK, os.mkfifo), CHUNK),
    "FIFO at the lock": (lambda out, outside: os.mkfifo(out / "korvel.lock"), None),
    "temporary name outside": (
        lambda out, outside: edit_manifest(out, folders=["../outside"]), "../outside"),
    "forged chunk": (lambda out, outside: forge_chunk(out, times_ten), None),
    "out-of-range chunk": (lambda out, outside: forge_chunk(out, moved), None),
    "oversized chunk": (lambda out, outside: oversized(out), None),
}


@pytest.mark.parametrize("trap", TRAPS)
def test_a_hostile_folder_cannot_hurt(template, tmp_path, capsys, trap):
    table, good = template
    make, named = TRAPS[trap]
    outside = tmp_path / "outside"
    named = named(outside) if callable(named) else named
    (outside / "empty").mkdir(parents=True)
    (outside / "victim.txt").write_text("keep")
    # A file named as korvel names its temporary files, which only korvel's own folders lose.
    (outside / ".victim.txt.0123456789ab.korvel-tmp").write_text("keep too")
    sentinel = tree_digest(outside)
    want_boot = (good / "bootstrap.tsv").read_bytes()
    for how in ("--force", "--resume", None):
        out = tmp_path / f"out{how}"
        shutil.copytree(good, out, symlinks=True)
        make(out, outside)
        code = run(table, out, *([how] if how else []))
        err = capsys.readouterr().err
        assert tree_digest(outside) == sentinel, (trap, how)
        if how is None:  # a folder that is not empty is refused without --force or --resume
            assert code == 2 and str(out) in err, err
        elif named is not None:
            assert code == 2, (trap, how, err)
            assert named in err, (trap, how, err)
        else:
            assert code == 0, (trap, how, err)
            # Whatever was forged is gone: the bootstrap rows are the honest run's.
            assert (out / "bootstrap.tsv").read_bytes() == want_boot, (trap, how)
            if how == "--resume" and trap != "FIFO at the lock":
                assert "1 of the chunks" in err and "computed again" in err, err
