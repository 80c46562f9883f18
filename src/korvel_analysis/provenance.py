"""Output folders and their provenance: run.json, tables, checksums.

Every output folder holds a run.json that says how it was made: the inputs'
checksums, every option, the seeds, the versions and the thread count, and
whether the numbers are reproducible by running the same command again.
"""

from __future__ import annotations

import datetime
import hashlib
import importlib.metadata
import json
import math
import os
import platform
from pathlib import Path

import numpy as np

RUN_JSON = "run.json"


def korvel_version():
    try:
        return importlib.metadata.version("korvel")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def input_record(path):
    return {"path": os.path.abspath(path), "sha256": sha256(path), "bytes": os.path.getsize(path)}


def thread_count():
    """The threads korvel's pool runs on: KORVEL_NUM_THREADS when a positive integer, else the CPUs."""
    text = os.environ.get("KORVEL_NUM_THREADS", "").strip()
    if text.isdigit() and int(text) > 0:
        return int(text)
    return os.cpu_count() or 1


def now():
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def run_record(command, argv, options, inputs, **extra):
    """The run.json content: what ran, on what, with which options, seeds and versions."""
    record = {
        "command": command,
        "argv": list(argv),
        "korvel_version": korvel_version(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "platform": platform.platform(),
        "threads": thread_count(),
        "KORVEL_NUM_THREADS": os.environ.get("KORVEL_NUM_THREADS"),
        "inputs": [input_record(p) for p in inputs],
        "options": options,
        "started": now(),
    }
    record.update(extra)
    return record


def _jsonable(value):
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if isinstance(value, np.ndarray):
        return _jsonable(value.tolist())
    if isinstance(value, (np.floating, float)):
        v = float(value)
        return v if math.isfinite(v) else repr(v)  # JSON has no inf or NaN
    if isinstance(value, np.integer):
        return int(value)
    if isinstance(value, np.bool_):
        return bool(value)
    return value


def write_run_json(out_dir, record, finished=True):
    record = dict(record, finished=now() if finished else None)
    write_text(Path(out_dir) / RUN_JSON, json.dumps(_jsonable(record), indent=2) + "\n")


def write_text(path, text):
    """Writes through a temporary file renamed into place, so a file is whole or absent."""
    path = Path(path)
    tmp = path.with_name(path.name + ".tmp")
    tmp.write_text(text)
    os.replace(tmp, path)


def cell(value):
    """A table cell: integers as such, floats exactly (shortest round-trip form), NaN as NA."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return str(int(value))
    if isinstance(value, str):
        return value
    v = float(value)
    return "NA" if math.isnan(v) else repr(v)


def write_tsv(path, header, rows):
    lines = ["\t".join(header)] + ["\t".join(cell(v) for v in row) for row in rows]
    write_text(path, "\n".join(lines) + "\n")


# Files korvel writes into an output folder; --force replaces these and only these.
OWN_FILES = ("results.tsv", "bootstrap.tsv", "drift.tsv", "drift_predicted.tsv",
             "drift_bootstrap.tsv", RUN_JSON)
OWN_GLOBS = ("profiles/*.tsv", "plots/*.png")


def check_out_dir(out_dir, force):
    """Refuses a non-empty folder unless ``force``; returns a message or None. Writes nothing."""
    p = Path(out_dir)
    if p.exists() and not p.is_dir():
        return f"{out_dir} exists and is not a folder"
    if p.is_dir() and any(p.iterdir()) and not force:
        return f"output folder {out_dir} is not empty (use --force to replace korvel's files in it)"
    return None


def make_out_dir(out_dir):
    """Creates the folder and its plots/ and profiles/, removing korvel's files of an earlier run."""
    p = Path(out_dir)
    p.mkdir(parents=True, exist_ok=True)
    for name in OWN_FILES:
        (p / name).unlink(missing_ok=True)
    for pattern in OWN_GLOBS:
        for f in p.glob(pattern):
            f.unlink()
    (p / "plots").mkdir(exist_ok=True)
    return p
