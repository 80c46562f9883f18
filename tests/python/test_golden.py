"""Python-visible model results against values recorded from the plain dense solve.

tests/data/model_golden.json holds inputs and results as IEEE bit patterns,
recorded with the reference algorithm. Whatever makes the solve faster must
leave every one of these bits unchanged.
"""

import json
import math
import struct
from pathlib import Path

import numpy as np
import pytest

import korvel

GOLDEN = json.loads((Path(__file__).parents[1] / "data" / "model_golden.json").read_text())


def f64(hex_bits):
    return struct.unpack(">d", bytes.fromhex(hex_bits))[0]


def bits(x):
    return struct.pack(">d", x).hex()


def vec(hexes):
    return np.array([f64(h) for h in hexes], dtype=np.float64)


def same_bits(got, want_hex):
    # NaN payloads are not part of the contract; any NaN matches a NaN.
    want = f64(want_hex)
    if math.isnan(want):
        return math.isnan(got)
    return bits(got) == want_hex


def apply_settings(case):
    korvel.py_set_raw_count(case["raw_count"])
    korvel.py_set_mm_vmax(f64(case["mm_vmax"]))


@pytest.mark.parametrize("case", GOLDEN["model_fracs"], ids=[c["id"] for c in GOLDEN["model_fracs"]])
def test_model_fracs_bits(case):
    apply_settings(case)
    out = korvel.py_compute_model_fracs(
        f64(case["ste"]), f64(case["stw"]), f64(case["cow"]), f64(case["coe"]), vec(case["edges"])
    )
    assert len(out) == len(case["result"])
    mismatched = [i for i, (g, w) in enumerate(zip(out, case["result"])) if not same_bits(g, w)]
    assert not mismatched, (case["note"], mismatched)


@pytest.mark.parametrize("case", GOLDEN["nll"], ids=[c["id"] for c in GOLDEN["nll"]])
def test_nll_bits(case):
    apply_settings(case)
    got = korvel.py_compute_nll(
        vec(case["params"]), vec(case["observed"]), vec(case["edges"]), case["normalize_stw"]
    )
    assert same_bits(got, case["result"]), (case["note"], bits(got), case["result"])
