"""Bootstrap refits from Python: row layouts, seeds, modes, early errors, Ctrl+C."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import korvel
from conftest import run_python

EDGES = np.array([0.0, 0.25, 0.5, 0.75, 1.0])
# Narrow boxes around the data's optimum keep every fit short.
ST, CO, NEXP = (0.5, 2.0), (1.0, 100.0), (1.5, 2.5)
BASE = np.array([[0.40, 0.10, 0.10, 0.40], [0.30, 0.10, 0.15, 0.45], [0.20, 0.15, 0.15, 0.50]])


def resamples(n_boot, n_dens, seed=7):
    """n_boot blocks of n_dens rows, each row a perturbed copy of its density's base row."""
    rng = np.random.default_rng(seed)
    rows = np.tile(np.resize(BASE, (n_dens, 4)), (n_boot, 1)) * rng.uniform(0.8, 1.2, (n_boot * n_dens, 4))
    return rows / rows.sum(axis=1, keepdims=True)


def boot3(fracs, n_boot, n_dens, shared_st=False, fix_st=False, st=ST, co=CO, **kw):
    return korvel.py_fit_bootstrap(fracs, n_boot, n_dens, EDGES, True, shared_st, fix_st, st, co,
                                   **kw)


def boot_exp(fracs, n_boot, n_dens, st=ST, co=CO, **kw):
    return korvel.py_fit_bootstrap_exp(fracs, n_boot, n_dens, EDGES, True, st, co, NEXP, **kw)


def boot_perdensity(fracs, n_boot, n_dens, shared_st, st=ST, co=CO, **kw):
    return korvel.py_fit_bootstrap_exp_perdensity(fracs, n_boot, n_dens, EDGES, True, shared_st,
                                                  st, co, NEXP, **kw)


def boot_co(fracs, n_boot, n_dens, st=ST, co=CO, **kw):
    return korvel.py_fit_bootstrap_co(fracs, n_boot, n_dens, EDGES, True, st, co, NEXP, **kw)


def index_columns(n_boot, n_dens):
    r = np.arange(n_boot * n_dens)
    return np.column_stack([r // n_dens, r % n_dens]).astype(float)


def nll_at(st, cow, coe, obs):
    return korvel.py_compute_nll(np.array([st, cow, coe]), obs, EDGES, True)


class TestThreeParameter:
    def test_independent_rows_are_the_all_densities_fits_seeded_with_r(self):
        fracs = resamples(2, 2)
        got = boot3(fracs, 2, 2, co_penalty=0.5)
        assert got.shape == (4, 6) and got.dtype == np.float64
        assert np.array_equal(got[:, :2], index_columns(2, 2))
        # The all-densities fit seeds row i with i, the bootstrap row r with r:
        # over the same rows they are the same fits.
        fitps, nlls = korvel.py_fit_all_densities(fracs, EDGES, True, ST, CO, co_penalty=0.5)
        assert np.array_equal(got[:, 2:5], fitps) and np.array_equal(got[:, 5], nlls)
        # Weights play no part outside the shared-St mode, not even a short one.
        assert np.array_equal(boot3(fracs, 2, 2, co_penalty=0.5, weights=np.ones(1)), got)

    def test_fixed_st_holds_density_zeros_fit_within_each_resample(self):
        fracs = resamples(2, 3)
        got = boot3(fracs, 2, 3, fix_st=True, weights=np.ones(1))
        assert np.array_equal(got[:, :2], index_columns(2, 3))
        # Density 0 of resample b is fitted with seed 3 b, its row index.
        fitps, nlls = korvel.py_fit_all_densities(fracs, EDGES, True, ST, CO)
        for b in range(2):
            block = got[3 * b:3 * b + 3]
            assert np.array_equal(block[0, 2:], np.append(fitps[3 * b], nlls[3 * b]))
            assert np.all(block[:, 2] == block[0, 2])

    def test_same_bits_across_calls_and_thread_counts(self):
        fracs = resamples(2, 2)
        here = np.concatenate([boot3(fracs, 2, 2), boot3(fracs, 2, 2, fix_st=True)])
        assert np.array_equal(here, np.concatenate([boot3(fracs, 2, 2),
                                                    boot3(fracs, 2, 2, fix_st=True)]))
        code = f"""
            import numpy as np, korvel
            f = np.frombuffer(bytes.fromhex({fracs.tobytes().hex()!r})).reshape(4, 4)
            e = np.array({EDGES.tolist()!r})
            a = [korvel.py_fit_bootstrap(f, 2, 2, e, True, False, fix, {ST!r}, {CO!r})
                 for fix in (False, True)]
            print(np.concatenate(a).tobytes().hex())
        """
        for threads in ("1", "2", "4"):
            result = run_python(code, env=dict(os.environ, KORVEL_NUM_THREADS=threads))
            assert result.returncode == 0, result.stderr
            assert result.stdout.strip() == here.tobytes().hex(), threads

    def test_shared_st_wins_over_fix_st(self):
        fracs = resamples(2, 2)
        got = boot3(fracs, 2, 2, shared_st=True, fix_st=True, weights=np.array([1.0, 0.5, 9.0]))
        assert np.array_equal(got[:, :2], index_columns(2, 2))
        for b in range(2):
            block = got[2 * b:2 * b + 2]
            assert np.all(block[:, 2] == block[0, 2]) and ST[0] <= block[0, 2] <= ST[1]
            for row, obs in zip(block, fracs[2 * b:2 * b + 2]):
                assert row[5] == nll_at(*row[2:5], obs)
        # Only the shared-St mode reads the weights, so only it refuses short ones.
        with pytest.raises(korvel.InternalError, match="weights"):
            boot3(fracs, 2, 2, shared_st=True, fix_st=True, weights=np.ones(1))


class TestExponentModes:
    def test_shared_exponents_constant_per_resample_and_vmax_column(self):
        # The rows are the kernel's result bit for bit (tests/cpp); here the
        # layout through the binding, and Vmax when it is not fitted.
        fracs = resamples(2, 2)
        korvel.py_set_mm_vmax(50.0)
        got = boot_exp(fracs, 2, 2, warm_start=(1.0, 2.0, 2.0, 10.0))
        assert got.shape == (4, 9) and np.array_equal(got[:, :2], index_columns(2, 2))
        for col in (2, 3, 4):  # st, n_u, n_m
            assert np.all(got[0::2, col] == got[1::2, col])
        assert np.all(got[:, 8] == 50.0)

    def test_warm_start_outside_the_box_is_clamped(self):
        fracs = resamples(1, 2)
        # log10 100 and the exponents are clamped onto the box's edges.
        outside = boot_exp(fracs, 1, 2, warm_start=(100.0, 0.0, 9.0, 10.0))
        edge = boot_exp(fracs, 1, 2, warm_start=(2.0, 1.5, 2.5, 10.0))
        assert np.array_equal(outside, edge)

    @pytest.mark.parametrize("fn,bad", [(boot_exp, (1.0, 2.0, 2.0)), (boot_co, (1.0, 2.0, 2.0, 3.0)),
                                        (boot_co, [1.0, 2.0, 2.0])])
    def test_warm_start_of_the_wrong_kind_is_a_type_error(self, fn, bad):
        with pytest.raises(TypeError, match="^argument 'warm_start': "):
            fn(resamples(1, 2), 1, 2, warm_start=bad)

    def test_perdensity_independent_rows_are_the_five_parameter_fits(self):
        fracs = resamples(1, 3)
        korvel.py_set_mm_vmax(30.0)
        # fit_vmax, vmax_bounds and weights play no part in this mode.
        got = boot_perdensity(fracs, 1, 3, False, weights=np.ones(1), fit_vmax=True,
                              vmax_bounds=(5.0, 1.0))
        fitps, nlls = korvel.py_fit_all_densities_exp(fracs, EDGES, True, ST, CO, NEXP)
        assert np.array_equal(got[:, :2], index_columns(1, 3))
        # [St, n_U, n_M, CoW, CoE] of the all-densities fit; here n_u, n_m come first too.
        assert np.array_equal(got[:, 2:7], fitps) and np.array_equal(got[:, 7], nlls)
        assert np.all(got[:, 8] == 30.0)

    def test_perdensity_shared_rows_are_the_shared_fit_of_each_resample(self):
        fracs, vbox, w = resamples(2, 2), (1.0, 1e3), np.array([1.0, 6.0])
        got = boot_perdensity(fracs, 2, 2, True, fit_vmax=True, vmax_bounds=vbox, weights=w)
        for b in range(2):
            # Every per-density fit is seeded with its density index: the
            # resample's rows are the shared fit of its block, bit for bit.
            st, vmax, fitps, nlls = korvel.py_fit_shared_st_exp_perdensity(
                fracs[2 * b:2 * b + 2], EDGES, True, ST, CO, NEXP, fit_vmax=True,
                vmax_bounds=vbox, weights=w)
            want = np.column_stack([[b, b], [0, 1], fitps, nlls, [vmax, vmax]])
            assert np.array_equal(got[2 * b:2 * b + 2], want)


# One call of every mode, by name; the Ctrl+C test runs the same calls in a child.
MODES = {
    "independent": lambda f, nb, nd, **kw: boot3(f, nb, nd, **kw),
    "fixed_st": lambda f, nb, nd, **kw: boot3(f, nb, nd, fix_st=True, **kw),
    "shared_st": lambda f, nb, nd, **kw: boot3(f, nb, nd, shared_st=True, **kw),
    "exp": lambda f, nb, nd, **kw: boot_exp(f, nb, nd, warm_start=(1.0, 2.0, 2.0, 10.0), **kw),
    "perdensity_shared": lambda f, nb, nd, **kw: boot_perdensity(f, nb, nd, True, **kw),
    "perdensity_independent": lambda f, nb, nd, **kw: boot_perdensity(f, nb, nd, False, **kw),
    "co": lambda f, nb, nd, **kw: boot_co(f, nb, nd, warm_start=(1.0, 10.0, 10.0), **kw),
}
# The modes whose kernels take weights and search St on a logarithmic scale.
SHARED_MODES = ["shared_st", "exp", "perdensity_shared", "co"]


class TestEarlyErrors:
    @pytest.mark.parametrize("mode", MODES)
    def test_no_resamples_and_short_or_overflowing_layouts(self, mode):
        fn, fracs, err = MODES[mode], resamples(1, 2), korvel.InternalError
        cols = 6 if mode in ("independent", "fixed_st", "shared_st") else 9
        assert fn(fracs, 0, 2).shape == (0, cols)
        # A million resamples against two rows fail before the first fit: had
        # the first resample been fitted, the second would have met the end.
        with pytest.raises(err, match=r"^bootstrap_fracs has 2 rows, fewer than "
                                      r"n_boot \* n_densities = 2000000$"):
            fn(fracs, 10**6, 2)
        with pytest.raises(err, match=r"^n_boot \* n_densities overflows: n_boot = 4294967296, "
                                      r"n_densities = 4294967296$"):
            fn(fracs, 2**32, 2**32)
        with pytest.raises(err, match="co_bounds"):
            fn(fracs, 1, 2, co=(0.0, 10.0))

    @pytest.mark.parametrize("mode", SHARED_MODES)
    def test_short_weights_and_log_scale_bounds_are_refused_at_once(self, mode):
        fn, fracs, err = MODES[mode], resamples(1, 2), korvel.InternalError
        with pytest.raises(err, match="weights"):
            fn(fracs, 1, 2, weights=np.ones(1))
        with pytest.raises(err, match="st_bounds"):
            fn(fracs, 1, 2, st=(0.0, 1.0))


# (n_boot, n_densities) of a fixed-St run: its resamples refit 300 densities
# each, seconds of work that Ctrl+C must cut between two refits.
WIDE = {"fixed_st": (100, 300)}

CHILD = """
    import sys, os, signal, time
    import numpy as np, korvel
    sys.path.insert(0, {tests!r})
    from test_bootstrap import MODES, WIDE, resamples
    for mode in sys.argv[1:]:
        # Hours of work: only Ctrl+C ends these calls.
        n_boot, n_dens = WIDE.get(mode, (5000, 2))
        fracs = resamples(n_boot, n_dens)
        print("ready", mode, flush=True)
        try:
            MODES[mode](fracs, n_boot, n_dens)
            print(mode, "finished", flush=True)
        except KeyboardInterrupt as exc:
            print(mode, "interrupted:", exc, flush=True)
    # Python's own Ctrl+C handling is back: SIGINT raises in this interpreter.
    try:
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(5)
        print("second signal lost")
    except KeyboardInterrupt:
        print("python handler back")
"""


def interrupt_each(modes, settle=1.5, timeout=300):
    """Runs each mode's long bootstrap in one child and sends SIGINT once it
    computes; returns the child's lines and the seconds from each SIGINT to
    the child's report. A child that hangs (a missed interrupt) is killed
    after `timeout` seconds."""
    with subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(CHILD.format(tests=os.path.dirname(__file__))),
         *modes],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    ) as child:
        watchdog = threading.Timer(timeout, child.kill)
        watchdog.start()
        lines, delays = [], {}
        try:
            for mode in modes:
                assert child.stdout.readline().strip() == f"ready {mode}"
                time.sleep(settle)  # let the call arm and start its fits
                sent = time.monotonic()
                child.send_signal(signal.SIGINT)
                lines.append(child.stdout.readline().strip())
                delays[mode] = time.monotonic() - sent
            # Read on through the same buffered stream: lines that readline
            # has already buffered would be lost to communicate().
            lines += child.stdout.read().splitlines()
            err = child.stderr.read()
            child.wait()
        finally:
            watchdog.cancel()
            if child.poll() is None:
                child.kill()
    assert child.returncode == 0, err
    return lines, delays


def test_ctrl_c_stops_every_function_and_python_keeps_its_handler():
    modes = ["independent", "shared_st", "exp", "perdensity_shared", "co"]
    lines, _ = interrupt_each(modes)
    assert lines == [f"{m} interrupted: Interrupted by Ctrl+C" for m in modes] + [
        "python handler back"]


def test_ctrl_c_stops_a_fixed_st_resample_between_its_refits():
    lines, delays = interrupt_each(["fixed_st"])
    assert lines == ["fixed_st interrupted: Interrupted by Ctrl+C", "python handler back"]
    assert delays["fixed_st"] < 1.0


@pytest.mark.slow
def test_work_is_counted_while_a_call_runs_and_changes_no_row():
    # A function counts its finished rows (all of them by its end) and density fits
    # in the slot it is given, one task a row or a resample, and the rows are those
    # of an uncounted call. A
    # nested search (shared St, per-density exponents) is read from another thread
    # mid-call, between its first and last count. Slot 0 counts nothing; slots end at 64.
    fracs, slot = resamples(2, 2), 7
    calls = {"independent": lambda **kw: boot3(fracs, 2, 2, **kw),
             "exp": lambda **kw: boot_exp(fracs, 2, 2, warm_start=(1.0, 2.0, 2.0, 10.0), **kw),
             "nested": lambda **kw: boot_perdensity(fracs, 2, 2, True, **kw)}
    for name, call in calls.items():
        plain = call()
        before, seen, stop = korvel.py_work_done(slot), set(), threading.Event()

        def read():
            while not stop.wait(0.002):
                seen.add(korvel.py_work_done(slot))

        reader = threading.Thread(target=read)
        reader.start()
        try:
            counted = call(progress=slot)
        finally:
            stop.set()
            reader.join()
        after = korvel.py_work_done(slot)
        assert counted.tobytes() == plain.tobytes(), name
        rows, fits = (a - b for a, b in zip(after, before))
        assert rows == 4 and fits >= rows, name
    assert any(before[1] < s[1] < after[1] for s in seen), seen
    assert korvel.py_work_done(0) == (0, 0)
    with pytest.raises(ValueError, match="argument 'progress': must be a slot from 0 "
                                         r"\(none\) to 64, got 65"):
        boot_exp(fracs, 2, 2, progress=65)
