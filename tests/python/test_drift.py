"""The drift model from Python: prediction across ages and the (StE, StW) fits."""

import os
import re
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import korvel

scipy_linalg = pytest.importorskip("scipy.linalg")
scipy_stats = pytest.importorskip("scipy.stats")
scipy_optimize = pytest.importorskip("scipy.optimize")

EDGES = np.linspace(0.0, 1.0, 11)
P0_OBS = np.array([0.30, 0.12, 0.08, 0.05, 0.05, 0.05, 0.05, 0.08, 0.12, 0.10])
X = np.arange(71) / 70.0


# --- an independent implementation of the prediction, with scipy's expm ---

def in_bin(x, edges, j):
    last = j == len(edges) - 2
    return (edges[j] <= x) & ((x <= edges[j + 1]) if last else (x < edges[j + 1]))


def ref_p0(p0_obs, edges):
    p0 = np.zeros(71)
    for j in range(len(edges) - 1):
        members = in_bin(X, edges, j)
        k = members.sum()
        if k > 0 and p0_obs[j] > 0:
            p0[members] = p0_obs[j] / k
    return p0 / p0.sum() if p0.sum() > 0 else p0


def ref_generator(ste, stw):
    q = np.zeros((71, 71))
    m = np.arange(71)
    q[m[1:] - 1, m[1:]] = m[1:] * ste
    q[m[:-1] + 1, m[:-1]] = (70 - m[:-1]) * stw
    q[m, m] = -q.sum(axis=0)
    return q


def ref_bin(p, edges):
    n = len(edges) - 1
    out = np.zeros(n)
    for m in range(71):
        for j in range(n):
            if in_bin(X[m], edges, j):
                out[j] += p[m]
                break
    out = np.maximum(out, 1e-10)
    return out / out.sum()


def ref_predict(ste, stw, p0_obs, ages, edges):
    p0 = ref_p0(p0_obs, edges)
    q = ref_generator(ste, stw)
    rows = []
    for t in ages:
        p = np.clip(scipy_linalg.expm(t * q) @ p0, 0.0, None)
        if p.sum() > 0:
            p = p / p.sum()
        rows.append(ref_bin(p, edges))
    return np.array(rows).reshape(len(ages), len(edges) - 1)


def synthetic_rows(ste, stw, p0_obs, ages):
    return korvel.py_drift_predict(ste, stw, p0_obs, np.asarray(ages, dtype=float), EDGES)


class TestDriftPredict:
    AGES = np.array([0.0, 1e-3, 0.5, 3.0, 50.0, 700.0, 1e4])

    @pytest.mark.parametrize("ste", [0.0, 0.01, 0.3, 10.0])
    @pytest.mark.parametrize("stw", [0.0, 0.07, 1.0, 10.0])
    def test_matches_scipy_expm(self, ste, stw):
        got = korvel.py_drift_predict(ste, stw, P0_OBS, self.AGES, EDGES)
        want = ref_predict(ste, stw, P0_OBS, self.AGES, EDGES)
        assert got.shape == (len(self.AGES), 10) and got.dtype == np.float64
        # Both exponentials are accurate to a few ulps per squaring; fractions
        # of order one then agree far inside 1e-12.
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-12)

    def test_age_zero_and_zero_rates_give_binned_p0(self):
        binned = ref_bin(ref_p0(P0_OBS, EDGES), EDGES)
        # Renormalising an already normalised vector moves the last bits only.
        at_zero = korvel.py_drift_predict(0.4, 0.9, P0_OBS, np.zeros(1), EDGES)
        np.testing.assert_allclose(at_zero[0], binned, rtol=0, atol=1e-15)
        frozen = korvel.py_drift_predict(0.0, 0.0, P0_OBS, self.AGES, EDGES)
        for row in frozen:
            np.testing.assert_allclose(row, binned, rtol=0, atol=1e-15)

    def test_large_ages_approach_the_binomial(self):
        ste, stw = 0.6, 0.2
        pmf = scipy_stats.binom.pmf(np.arange(71), 70, stw / (ste + stw))
        want = ref_bin(pmf, EDGES)
        got = korvel.py_drift_predict(ste, stw, P0_OBS, np.array([100.0, 1e4]), EDGES)
        # e^(-0.8 * 100) of the start is left at age 100: invisible.
        np.testing.assert_allclose(got[0], want, rtol=0, atol=1e-12)
        np.testing.assert_allclose(got[1], want, rtol=0, atol=1e-12)

    def test_rows_follow_the_ages_in_any_order(self):
        ages = np.array([30.0, 0.0, 2.5, 1e3, 0.25])
        got = korvel.py_drift_predict(0.05, 0.02, P0_OBS, ages, EDGES)
        order = np.argsort(ages)
        sorted_rows = korvel.py_drift_predict(0.05, 0.02, P0_OBS, ages[order], EDGES)
        # Each age is propagated from P0 on its own: identical rows.
        assert np.array_equal(got[order], sorted_rows)
        assert np.array_equal(got[3], korvel.py_drift_predict(0.05, 0.02, P0_OBS, ages[3:4], EDGES)[0])

    def test_empty_ages_and_bins(self):
        assert korvel.py_drift_predict(0.1, 0.1, P0_OBS, np.empty(0), EDGES).shape == (0, 10)
        assert korvel.py_drift_predict(0.1, 0.1, P0_OBS, np.ones(3), np.array([0.5])).shape == (3, 0)
        with pytest.raises(korvel.InternalError, match="meth_bin_edges is empty"):
            korvel.py_drift_predict(0.1, 0.1, P0_OBS, np.ones(3), np.empty(0))

    def test_all_zero_p0_predicts_uniform_bins(self):
        # Every bin is floored to 1e-10 and divided by their sum, ten roundings
        # away from 1e-9: all equal, 1/n to within an ulp.
        got = korvel.py_drift_predict(0.3, 0.7, np.zeros(10), np.array([0.0, 5.0]), EDGES)
        assert np.all(got == got[0, 0])
        assert got[0, 0] == pytest.approx(0.1, rel=2e-16)
        # Negative and NaN fractions spread nothing either.
        bad = np.array([-1.0, np.nan] + [0.0] * 8)
        assert np.array_equal(korvel.py_drift_predict(0.3, 0.7, bad, np.ones(1), EDGES), got[:1])

    def test_bin_without_states_and_edges_not_covering_the_range(self):
        # [0.501, 0.51) lies between 35/70 and 36/70; its p0 entry is never read.
        edges = np.array([0.0, 0.501, 0.51, 1.0])
        p0 = np.array([0.4, np.nan, 0.6])
        ages = np.array([0.0, 2.0])
        got = korvel.py_drift_predict(0.2, 0.1, p0, ages, edges)
        want = ref_predict(0.2, 0.1, np.array([0.4, 0.0, 0.6]), ages, edges)
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-12)
        assert got[0, 1] == pytest.approx(1e-10 / (1 + 1e-10), rel=1e-12)
        # Edges over [0.2, 0.6] only: states outside are dropped, the rest renormalised.
        part = np.array([0.2, 0.4, 0.6])
        got = korvel.py_drift_predict(0.2, 0.1, np.array([0.5, 0.5]), ages, part)
        np.testing.assert_allclose(got, ref_predict(0.2, 0.1, np.array([0.5, 0.5]), ages, part),
                                   rtol=0, atol=1e-12)
        assert got.sum(axis=1) == pytest.approx([1.0, 1.0], abs=1e-15)

    def test_input_errors(self):
        with pytest.raises(korvel.InternalError, match="p0 has 3 entries"):
            korvel.py_drift_predict(0.1, 0.1, P0_OBS[:3], np.ones(1), EDGES)
        with pytest.raises(TypeError, match="argument 'ages'"):
            korvel.py_drift_predict(0.1, 0.1, P0_OBS, [1.0, 2.0], EDGES)
        with pytest.raises(TypeError, match="argument 'p0_observed'"):
            korvel.py_drift_predict(0.1, 0.1, P0_OBS.astype(np.float32), np.ones(1), EDGES)
        with pytest.raises(korvel.InternalError):
            korvel.py_drift_predict(0.1, 0.1, P0_OBS, np.ones(4)[::2], EDGES)
        # Entries of p0_observed past the bins are ignored.
        longer = np.append(P0_OBS, 5.0)
        assert np.array_equal(korvel.py_drift_predict(0.1, 0.1, longer, np.ones(2), EDGES),
                              korvel.py_drift_predict(0.1, 0.1, P0_OBS, np.ones(2), EDGES))


FIT_AGES = np.array([4.0, 12.0])
BOX = (0.0, 0.3)
TRUE_RATES = [(0.05, 0.02), (0.08, 0.03), (0.02, 0.06)]


def bootstrap_inputs(n_boot):
    """Sample b: tilted age-0 fractions and observations from its own true rates."""
    p0_rows, obs_rows = [], []
    for b in range(n_boot):
        p0 = P0_OBS.copy()
        p0[0] += 0.02 * b
        p0 /= p0.sum()
        p0_rows.append(p0)
        ste, stw = TRUE_RATES[b % len(TRUE_RATES)]
        obs_rows.extend(synthetic_rows(ste, stw, p0, FIT_AGES))
    return np.array(p0_rows), np.array(obs_rows)


class TestFitDrift:
    @pytest.mark.slow
    def test_one_fit_recovers_the_generating_rates(self):
        obs = synthetic_rows(0.05, 0.02, P0_OBS, FIT_AGES)
        ste, stw, nll = korvel.py_fit_drift_one(P0_OBS, obs, FIT_AGES, EDGES, BOX)
        assert all(isinstance(v, float) for v in (ste, stw, nll))
        # The data are the model's own predictions; the polish stops at a value
        # spread of 1e-10, which pins the rates to about 1e-4 relative.
        assert ste == pytest.approx(0.05, rel=1e-3) and stw == pytest.approx(0.02, rel=1e-3)
        # Fortran-ordered rows are read by their logical rows.
        again = korvel.py_fit_drift_one(P0_OBS, np.asfortranarray(obs), FIT_AGES, EDGES, BOX)
        assert again[0] == pytest.approx(0.05, rel=1e-3)

    def test_equal_bounds_fix_both_rates(self):
        obs = synthetic_rows(0.05, 0.02, P0_OBS, FIT_AGES)
        ste, stw, nll = korvel.py_fit_drift_one(P0_OBS, obs, FIT_AGES, EDGES, (0.04, 0.04))
        assert (ste, stw) == (0.04, 0.04)
        pred = korvel.py_drift_predict(0.04, 0.04, P0_OBS, FIT_AGES, EDGES)
        # The reported NLL is the objective at that point (summed per age).
        assert nll == pytest.approx(-(obs * np.log(pred)).sum(), rel=1e-14)

    @pytest.mark.slow
    def test_bootstrap_rows_are_reproducible_and_in_sample_order(self):
        p0s, obs = bootstrap_inputs(3)
        first = korvel.py_fit_drift_bootstrap(p0s, obs, 3, 2, FIT_AGES, EDGES, BOX)
        second = korvel.py_fit_drift_bootstrap(p0s, obs, 3, 2, FIT_AGES, EDGES, BOX)
        assert first.shape == (3, 3) and first.dtype == np.float64
        assert np.array_equal(first, second)
        for b, (ste, stw) in enumerate(TRUE_RATES):
            assert first[b, 0] == pytest.approx(ste, rel=1e-3)
            assert first[b, 1] == pytest.approx(stw, rel=1e-3)
        assert korvel.py_fit_drift_bootstrap(p0s, obs, 0, 2, FIT_AGES, EDGES, BOX).shape == (0, 3)

    @pytest.mark.slow
    def test_bootstrap_same_bits_with_one_or_two_threads(self):
        p0s, obs = bootstrap_inputs(3)
        here = korvel.py_fit_drift_bootstrap(p0s, obs, 3, 2, FIT_AGES, EDGES, BOX)
        code = f"""
            import numpy as np, korvel
            p0s = np.frombuffer(bytes.fromhex({p0s.tobytes().hex()!r})).reshape(3, 10)
            obs = np.frombuffer(bytes.fromhex({obs.tobytes().hex()!r})).reshape(6, 10)
            r = korvel.py_fit_drift_bootstrap(p0s, obs, 3, 2, np.array({FIT_AGES.tolist()!r}),
                                              np.linspace(0.0, 1.0, 11), {BOX!r})
            print(r.tobytes().hex())
        """
        for threads in ("1", "2"):
            result = subprocess.run(
                [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                env=dict(os.environ, KORVEL_NUM_THREADS=threads), timeout=600,
            )
            assert result.returncode == 0, result.stderr
            assert result.stdout.strip() == here.tobytes().hex(), threads

    def test_short_inputs_fail_before_any_fit(self):
        p0s, obs = bootstrap_inputs(2)
        err = korvel.InternalError
        with pytest.raises(err, match=r"^p0_per_boot has 2 rows, fewer than n_boot = 3$"):
            korvel.py_fit_drift_bootstrap(p0s, obs, 3, 2, FIT_AGES, EDGES, BOX)
        with pytest.raises(err, match=r"fit_observed_per_boot has 4 rows, fewer than n_boot \* n_fit_ages = 6"):
            korvel.py_fit_drift_bootstrap(p0s, obs, 2, 3, FIT_AGES, EDGES, BOX)
        with pytest.raises(err, match="overflows"):
            korvel.py_fit_drift_bootstrap(p0s, obs, 2, 2**63, FIT_AGES, EDGES, BOX)
        # A huge n_boot queues no work: the error comes at once.
        with pytest.raises(err, match="fewer than n_boot"):
            korvel.py_fit_drift_bootstrap(p0s, obs, 2**62, 0, FIT_AGES, EDGES, BOX)
        with pytest.raises(OverflowError):
            korvel.py_fit_drift_bootstrap(p0s, obs, -1, 2, FIT_AGES, EDGES, BOX)
        with pytest.raises(TypeError, match="argument 'st_bounds'"):
            korvel.py_fit_drift_bootstrap(p0s, obs, 2, 2, FIT_AGES, EDGES, [0.0, 0.3])

    def test_inverted_bounds_raise_the_clamp_error(self):
        p0s, obs = bootstrap_inputs(1)
        with pytest.raises(korvel.InternalError, match="min > max, or either was NaN"):
            korvel.py_fit_drift_bootstrap(p0s, obs, 1, 2, FIT_AGES, EDGES, (0.3, 0.1))


def drawn_fractions(ste, stw, p0_states, ages, n_reads, edges, seed):
    """Bin fractions of reads drawn from the drift model itself: exp(t Q) from
    scipy, one multinomial draw of states per age, binned."""
    rng = np.random.default_rng(seed)
    q = ref_generator(ste, stw)
    rows = []
    for t in ages:
        p = np.clip(scipy_linalg.expm(t * q) @ p0_states, 0.0, None)
        states = rng.multinomial(n_reads, p / p.sum())
        rows.append([states[in_bin(X, edges, j)].sum() for j in range(len(edges) - 1)])
    rows = np.array(rows, dtype=float)
    return rows / rows.sum(axis=1, keepdims=True)


class TestFitDriftLog:
    # Truth-like data on which the plain-scale search often ends on the
    # plateau: every age at equilibrium, (StE, StW) about (0.9, 0.46), NLL
    # about 0.25 above the optimum.
    AGES = np.array([0.0, 50.0, 100.0, 150.0])
    TRUTH = (0.0221, 0.011)
    BOUNDS = (1e-4, 1.0)

    def data(self):
        m = np.arange(71)
        p0 = np.exp(-m / 4.0) + 0.4 * np.exp(-0.5 * ((m - 55) / 5.0) ** 2)
        return drawn_fractions(*self.TRUTH, p0 / p0.sum(), self.AGES, 2000, EDGES, seed=100)

    @pytest.mark.slow
    def test_every_seed_finds_the_optimum_not_the_plateau(self):
        fr = self.data()
        fits = np.array([korvel.py_fit_drift_one_log(fr[0], fr[1:], self.AGES[1:], EDGES,
                                                     self.BOUNDS, seed) for seed in range(12)])
        assert np.array_equal(fits[3], korvel.py_fit_drift_one_log(
            fr[0], fr[1:], self.AGES[1:], EDGES, self.BOUNDS, 3))

        def nll(x):
            pred = korvel.py_drift_predict(10 ** x[0], 10 ** x[1], fr[0], self.AGES[1:], EDGES)
            return -(fr[1:] * np.log(pred)).sum()

        # An independent minimum: scipy's Nelder-Mead started at the truth.
        ref = scipy_optimize.minimize(nll, np.log10(self.TRUTH), method="Nelder-Mead",
                                      options=dict(xatol=1e-9, fatol=1e-12))
        # Both polishes stop at a relative value spread of about 1e-10.
        assert np.all(fits[:, 2] <= ref.fun + 1e-8), fits[:, 2] - ref.fun
        np.testing.assert_allclose(fits[:, :2], np.tile(10 ** ref.x, (12, 1)), rtol=1e-3)
        # 2000 reads per age: the rates within a few per cent of the truth.
        np.testing.assert_allclose(fits[:, :2], np.tile(self.TRUTH, (12, 1)), rtol=0.05)

    @pytest.mark.slow
    def test_bootstrap_row_b_is_the_seed_b_fit(self):
        p0s, obs = bootstrap_inputs(2)
        box = (1e-3, 0.3)
        rows = korvel.py_fit_drift_bootstrap_log(p0s, obs, 2, 2, FIT_AGES, EDGES, box)
        for b in range(2):
            one = korvel.py_fit_drift_one_log(p0s[b], obs[2 * b:2 * b + 2], FIT_AGES, EDGES, box, b)
            assert tuple(rows[b]) == one
            # Exact model data: the generating rates to the polish's precision.
            np.testing.assert_allclose(rows[b, :2], TRUE_RATES[b], rtol=1e-3)

    @pytest.mark.parametrize("bounds", [(0.0, 1.0), (-1.0, 1.0), (0.5, 0.1), (1e-3, np.inf),
                                        (np.nan, 1.0), (1e-3, np.nan)])
    def test_bounds_a_log_search_cannot_take_are_refused_first(self, bounds):
        p0s, obs = bootstrap_inputs(1)
        with pytest.raises(korvel.InternalError, match=r"^st_bounds must satisfy 0 < lo <= hi"):
            korvel.py_fit_drift_one_log(p0s[0], obs, FIT_AGES, EDGES, bounds, 0)
        # Before the row counts, and before a huge n_boot queues anything.
        with pytest.raises(korvel.InternalError, match=r"^st_bounds must satisfy 0 < lo <= hi"):
            korvel.py_fit_drift_bootstrap_log(p0s, obs, 2**62, 2, FIT_AGES, EDGES, bounds)


@pytest.mark.parametrize("fn", ["py_fit_drift_bootstrap", "py_fit_drift_bootstrap_log"])
def test_ctrl_c_stops_the_bootstrap_and_python_keeps_its_handler(fn):
    # A bootstrap of thousands of samples would run for hours; after SIGINT the
    # running fits end, the rest are skipped and the call raises. The timeout
    # only guards against a hang (which is what a missed interrupt would be).
    code = """
        import os, signal, sys, time
        import numpy as np, korvel
        fit = korvel.FN
        edges = np.linspace(0.0, 1.0, 11)
        p0 = np.full(10, 0.1)
        ages = np.array([5.0, 20.0, 60.0])
        obs = np.tile(korvel.py_drift_predict(0.05, 0.02, p0, ages, edges), (5000, 1))
        p0s = np.tile(p0, (5000, 1))
        print("ready", flush=True)
        try:
            fit(p0s, obs, 5000, 3, ages, edges, (1e-4, 1.0))
            print("finished without interruption")
        except KeyboardInterrupt as exc:
            print("interrupted:", exc)
        # Python's own Ctrl+C handling is back: a second SIGINT is a
        # KeyboardInterrupt in this interpreter, not its death.
        try:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(5)
            print("second signal lost")
        except KeyboardInterrupt:
            print("second interrupt raised")
        # The flag was cleared: the next call runs normally.
        r = fit(p0s[:1], obs[:3], 1, 3, ages, edges, (0.05, 0.05))
        print("next call", round(r[0, 0], 12))
    """
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code).replace("FN", fn)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        assert child.stdout.readline().strip() == "ready"
        # Let the call arm and start its first fits.
        time.sleep(1.5)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=300)
    finally:
        if child.poll() is None:
            child.kill()
    assert child.returncode == 0, err
    lines = out.splitlines()
    assert lines == [
        "interrupted: Interrupted by Ctrl+C",
        "second interrupt raised",
        "next call 0.05",
    ], out + err


@pytest.mark.slow
def test_the_drift_bootstrap_counts_resamples_and_equals_the_module_call(capsys, monkeypatch):
    # Each resample is its own call so that a log counts them; the rows must be
    # those the module's whole-bootstrap call gives for the same resamples.
    from korvel_analysis import pp, tl
    from korvel_analysis import progress as _progress

    monkeypatch.setattr(_progress, "MIN_LINE_GAP", 0.0)
    p0_states = np.full(71, 1.0 / 71)
    fr = drawn_fractions(0.05, 0.02, p0_states, np.array([0.0, 4.0, 12.0]), 500, EDGES, 7)
    data = pp.DriftData(np.array([30.0, 34.0, 42.0]), np.rint(fr * 500), EDGES)
    res = tl.drift_fit(data, (1e-3, 1.0), n_boot=3, seed=5, progress=None)
    lines = [line for line in capsys.readouterr().err.splitlines() if "drift bootstrap" in line]
    assert [re.search(r"(\d)/3 resamples", line).group(1) for line in lines] == list("123")
    p0, rest = pp.drift_bootstrap_fracs(data, 3, 5)
    whole = korvel.py_fit_drift_bootstrap_log(p0, rest, 3, 2, data.fit_ages, EDGES, (1e-3, 1.0))
    assert res.boot.tobytes() == np.asarray(whole).tobytes()
