"""Shared-parameter fits and profiles from Python: result layouts, the plain
NLLs they return, progress lines, the same bits on any number of threads,
inputs refused before any work, and Ctrl+C that belongs to its own call."""

import inspect
import os
import re
import textwrap

import numpy as np
import pytest

import korvel
from conftest import run_python

# Two density bins, four methylation bins, narrow boxes: the fits stay quick.
EDGES = np.array([0.0, 0.25, 0.5, 0.75, 1.0])
ROWS = np.array([[0.70, 0.15, 0.10, 0.05], [0.40, 0.10, 0.10, 0.40]])
ST, CO, EXP = (0.1, 2.0), (0.3, 3.0), (1.8, 2.2)
VMAX = 50.0  # a run-wide ceiling that is not the default, to see it echoed


# Two of the seeded fits, run once here and once more in a one-thread child
# interpreter, which must give the same bits. The shared-exponent fit has four
# rows: a sum of two terms is the same in either order, one of four is not.
SEEDED = """
    import numpy as np, korvel
    korvel.py_set_mm_vmax({vmax})
    edges, rows = np.array({edges}), np.array({rows})
    four = np.vstack([rows, rows[:, ::-1], [[0.3, 0.2, 0.2, 0.3]]])[[0, 2, 1, 3]]
    results = {{
        "exp": korvel.py_fit_shared_exp(four, edges, True, {st}, {co}, {exp}),
        "perdensity": korvel.py_fit_shared_st_exp_perdensity(
            rows[:1], edges, True, (0.5, 1.5), {co}, {exp}),
    }}
""".format(vmax=VMAX, edges=EDGES.tolist(), rows=ROWS.tolist(), st=ST, co=CO, exp=EXP)


def as_hex(results):
    return "".join(np.asarray(v, dtype=float).tobytes().hex()
                   for r in results.values() for v in r)


@pytest.fixture(scope="module")
def seeded(tmp_path_factory):
    """The seeded fits' results and what they wrote to standard error."""
    err_path = tmp_path_factory.mktemp("stderr") / "err.txt"
    saved = os.dup(2)
    with open(err_path, "w") as err:
        os.dup2(err.fileno(), 2)
        try:
            scope = {}
            exec(textwrap.dedent(SEEDED), scope)
            results = scope["results"]
            results["co"] = korvel.py_fit_shared_co(ROWS, EDGES, True, ST, CO, EXP)
            results["perdensity_vmax"] = korvel.py_fit_shared_st_exp_perdensity(
                ROWS[:1], EDGES, True, ST, CO, EXP, fit_vmax=True, vmax_bounds=(1.0, 100.0))
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            korvel.py_set_mm_vmax(float("inf"))
    return results, err_path.read_text().splitlines()


def test_shared_st_returns_plain_nlls_at_its_parameters():
    korvel.py_set_mm_vmax(VMAX)
    st, fitps, nlls = korvel.py_fit_shared_st(ROWS, EDGES, True, ST, CO, co_penalty=0.5,
                                              weights=np.array([1.0, 3.0]))
    assert fitps.shape == (2, 3) and nlls.shape == (2,)
    assert (fitps[:, 0] == st).all() and ST[0] <= st <= ST[1]
    # Unweighted, unpenalised, at exponents 2.0 and the run-wide Vmax: what
    # py_compute_nll gives for the same parameters, to the bit.
    for d in range(2):
        assert nlls[d] == korvel.py_compute_nll(fitps[d], ROWS[d], EDGES, True)


@pytest.mark.slow
def test_progress_lines_five_then_seven_starts(seeded):
    _, lines = seeded
    starts = [line.split()[3] for line in lines if line.startswith("--- Nelder-Mead start")]
    assert starts == ["1/5", "2/5", "3/5", "4/5", "5/5"] + [f"{s}/7" for s in range(1, 8)]
    assert sum(line.startswith("--- best start: ") for line in lines) == 2
    # The counter starts at 1 in each call; the shared-exponent lines show
    # the run-wide Vmax.
    firsts = [line for line in lines if line.startswith("  [  1] St=")]
    assert len(firsts) == 2 and "Vmax=50.0000 " in firsts[0]


@pytest.mark.slow
def test_progress_lines_show_each_value_under_its_own_name(seeded):
    # The point a fit returns was evaluated, so some progress line shows it.
    results, lines = seeded
    st, n_u, n_m, _, _, _ = results["exp"]
    assert any(line.startswith("  [") and f"St={st:.4f} " in line and f"n_U={n_u:.3f} " in line
               and f"n_M={n_m:.3f} " in line for line in lines)
    # Some starts of the shared-coefficient fit set CoW and CoE apart.
    pairs = [re.search(r" CoW=(\S+) CoE=(\S+) ", line).groups() for line in lines
             if " CoW=" in line]
    assert pairs and any(cow != coe for cow, coe in pairs)


@pytest.mark.slow
def test_result_layouts(seeded):
    results, _ = seeded
    st, n_u, n_m, vmax, fitps, nlls = results["exp"]
    assert vmax == VMAX  # not fitted: the run-wide value
    assert fitps.shape == (4, 3) and nlls.shape == (4,) and (fitps[:, 0] == st).all()
    assert EXP[0] <= n_u <= EXP[1] and EXP[0] <= n_m <= EXP[1]

    st, cow, coe, fitps, nlls = results["co"]
    assert fitps.shape == (2, 5) and nlls.shape == (2,)
    assert (fitps[:, 0] == st).all() and (fitps[:, 3] == cow).all() and (fitps[:, 4] == coe).all()
    assert ((EXP[0] <= fitps[:, 1:3]) & (fitps[:, 1:3] <= EXP[1])).all()

    st, vmax, fitps, nlls = results["perdensity"]
    assert vmax == VMAX and fitps.shape == (1, 5) and fitps[0, 0] == st
    st, vmax, fitps, nlls = results["perdensity_vmax"]
    assert fitps.shape == (1, 5) and fitps[0, 0] == st
    assert 1.0 <= vmax <= 100.0
    # Columns [St, n_U, n_M, CoW, CoE]: the exponents are in their box.
    assert EXP[0] <= fitps[0, 1] <= EXP[1] and EXP[0] <= fitps[0, 2] <= EXP[1]


@pytest.mark.slow
def test_seeded_fits_are_identical_on_one_thread(seeded):
    code = textwrap.dedent(SEEDED) + textwrap.dedent(inspect.getsource(as_hex)) + \
        "print(as_hex(results))\n"
    result = run_python(code, env=dict(os.environ, KORVEL_NUM_THREADS="1"))
    assert result.returncode == 0, result.stderr[-2000:]
    here = {name: seeded[0][name] for name in ("exp", "perdensity")}
    assert result.stdout.strip() == as_hex(here)


def test_profiles_shapes_weights_and_empty_inputs():
    grid = np.array([0.5, 1.0, 1.5])
    profile = korvel.py_profile_shared_st(ROWS, EDGES, True, grid, CO)
    assert profile.shape == (3,) and np.isfinite(profile).all()
    # A zero weight removes its bin. The fits are keyed from entropy, so a scan
    # may now and then stop above a point's optimum (0.16 in one of many runs):
    # the lower of three scans is compared. The removed bin is scaled up so that
    # keeping it would move every entry by far more than that.
    heavy = np.vstack([ROWS[:1], 100.0 * ROWS[1:]])
    first_only = np.min([korvel.py_profile_shared_st(heavy, EDGES, True, grid, CO,
                                                     weights=np.array([1.0, 0.0]))
                         for _ in range(3)], axis=0)
    alone = np.min([korvel.py_profile_shared_st(ROWS[:1], EDGES, True, grid, CO)
                    for _ in range(3)], axis=0)
    np.testing.assert_allclose(first_only, alone, rtol=1e-3)
    assert (korvel.py_profile_shared_st(heavy, EDGES, True, grid, CO) > 2 * alone).all()
    assert korvel.py_profile_shared_st(ROWS, EDGES, True, np.empty(0), CO).shape == (0,)
    assert (korvel.py_profile_shared_st(np.empty((0, 4)), EDGES, True, grid, CO) == 0).all()
    cow_nll, coe_nll = korvel.py_profile_shared_co(ROWS, EDGES, True, 0.8, grid[:2], grid, CO)
    assert cow_nll.shape == (2, 2) and coe_nll.shape == (2, 3)


def test_zero_density_rows():
    empty = np.empty((0, 4))
    st, fitps, nlls = korvel.py_fit_shared_st(empty, EDGES, True, ST, CO)
    assert ST[0] <= st <= ST[1] and fitps.shape == (0, 3) and nlls.shape == (0,)
    assert korvel.py_fit_shared_co(empty, EDGES, True, ST, CO, EXP)[3].shape == (0, 5)


SHARED = ["py_fit_shared_st", "py_fit_shared_exp", "py_fit_shared_st_exp_perdensity",
          "py_fit_shared_co"]


def call(name, **overrides):
    args = dict(observed_fracs_2d=ROWS, meth_bin_edges=EDGES, normalize_stw=True,
                st_bounds=ST, co_bounds=CO)
    if name != "py_fit_shared_st":
        args["n_exp_bounds"] = EXP
    args.update(overrides)
    return getattr(korvel, name)(**args)


@pytest.mark.parametrize("name", SHARED)
@pytest.mark.parametrize("overrides,message", [
    (dict(weights=np.ones(1)), "weights has 1 entries, fewer than the 2 density rows"),
    (dict(st_bounds=(0.0, 1.0)), "st_bounds is searched on a logarithmic scale"),
    (dict(st_bounds=(0.1, float("inf"))), "st_bounds is searched on a logarithmic scale"),
    (dict(co_bounds=(0.0, 1.0)), "co_bounds must be positive"),
    (dict(co_bounds=(3.0, 0.3)), "min > max, or either was NaN"),
])
def test_bad_inputs_fail_before_any_work(capfd, name, overrides, message):
    with pytest.raises(korvel.InternalError, match=message):
        call(name, **overrides)
    assert capfd.readouterr().err == ""  # not a single progress line: no work began


@pytest.mark.parametrize("name,fit_vmax,expected", [
    ("py_fit_shared_st", None, "st_bounds must have lo <= hi"),
    ("py_fit_shared_st_exp_perdensity", False, "st_bounds must have lo <= hi"),
    ("py_fit_shared_st_exp_perdensity", True, "min > max, or either was NaN"),
    ("py_fit_shared_exp", False, "min > max, or either was NaN"),
    ("py_fit_shared_co", None, "min > max, or either was NaN"),
])
def test_inverted_st_bounds(name, fit_vmax, expected):
    extra = {} if fit_vmax is None else dict(fit_vmax=fit_vmax)
    with pytest.raises(korvel.InternalError, match=expected):
        call(name, st_bounds=(2.0, 0.1), **extra)


def test_vmax_bounds_are_checked_only_when_fitted():
    for name in ("py_fit_shared_exp", "py_fit_shared_st_exp_perdensity"):
        with pytest.raises(korvel.InternalError, match="vmax_bounds is searched on a log"):
            call(name, fit_vmax=True, vmax_bounds=(-1.0, 10.0))
        with pytest.raises(korvel.InternalError, match="st_bounds is searched on a log"):
            call(name, fit_vmax=True, st_bounds=(0.0, 1.0))
    # A fitted Vmax is searched in the documented default box, (0.001, 1e6).
    one = dict(observed_fracs_2d=ROWS[:1], fit_vmax=True)
    assert as_hex({"default": call("py_fit_shared_st_exp_perdensity", **one)}) == as_hex(
        {"given": call("py_fit_shared_st_exp_perdensity", **one, vmax_bounds=(1e-3, 1e6))})
    with pytest.raises(korvel.InternalError, match="weights"):
        # Unused bounds do not stop the call; the short weights do.
        call("py_fit_shared_exp", vmax_bounds=(-1.0, 10.0), weights=np.ones(1))
    with pytest.raises(korvel.InternalError, match="weights"):
        korvel.py_profile_shared_st(ROWS, EDGES, True, np.ones(2), CO, weights=np.ones(1))


# ------------------------------------------------------------------ Ctrl+C

CTRL_C = """
    import os, signal, sys, threading, time
    import numpy as np, korvel
    edges = np.linspace(0.0, 1.0, 11)
    rows = np.array([korvel.py_compute_model_fracs(0.5, 1.0, c, 2.0, edges)
                     for c in (0.5, 1.0, 2.0, 5.0, 10.0, 20.0)])
    # Thirty rows: every evaluation of the shared fits is thirty inner fits.
    wide = (np.tile(rows, (5, 1)), edges, True, (1e-3, 10.0), (1e-3, 1e3), (0.5, 5.0))
    calls = {{
        "exp": lambda: korvel.py_fit_shared_exp(*wide),
        "co": lambda: korvel.py_fit_shared_co(*wide),
        # 12,000 points: on a quiet machine a few hundred end before the signal.
        "profile": lambda: korvel.py_profile_density(rows, edges, True, 1,
                                                     np.tile(np.linspace(0.5, 20, 2000), (6, 1)),
                                                     (1e-3, 10.0), (1e-3, 1e3)),
        "shared_profile": lambda: korvel.py_profile_shared_st_co(
            rows, edges, True, 2, np.tile(np.linspace(1.0, 3.0, 8), (6, 1)), (1e-3, 10.0),
            (1e-3, 1e3)),
        "exp_profile": lambda: korvel.py_profile_shared_exp(
            rows, edges, True, 1, 2, np.linspace(0.5, 20.0, 40), (1e-3, 10.0), (1e-3, 1e3),
            (0.5, 5.0)),
        # Forty ages: every objective value propagates to each of them.
        "drift_profile": lambda: korvel.py_profile_drift_log(
            rows[0], np.tile(rows[1], (40, 1)), np.linspace(1.0, 80.0, 40), edges, (1e-4, 10.0),
            0, np.geomspace(1e-3, 1.0, 200)),
        # Not interruptible; its Vmax search polls only its own (never set) handle.
        "plain": lambda: korvel.py_fit_shared_st_exp_perdensity(
            rows[:4], edges, True, (0.1, 2.0), (0.3, 3.0), (1.8, 2.2), fit_vmax=True,
            vmax_bounds=(1.0, 100.0)),
    }}
    outcome, ended = {{}}, {{}}
    def run(name):
        try:
            r = calls[name]()
            outcome[name] = "result" if np.all(np.isfinite(r[0])) else "nan"
        except KeyboardInterrupt as exc:
            outcome[name] = str(exc)
        ended[name] = time.perf_counter()
    threads = [threading.Thread(target=run, args=(n,)) for n in {names!r}]
    for t in threads:
        t.start()
    time.sleep(1.0)
    sent = time.perf_counter()
    os.kill(os.getpid(), signal.SIGINT)
    for t in threads:
        t.join()
    for n in {names!r}:
        print(n, outcome[n], "ended before the signal" if ended[n] < sent else
              "after %.2f s" % (ended[n] - sent))
    # Python's own Ctrl+C handling is back once the last armed call ended.
    try:
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(5)
        print("second signal lost")
    except KeyboardInterrupt:
        print("second interrupt raised")
"""


def ctrl_c(names):
    """Each call's outcome line, and what the child wrote to standard error."""
    result = run_python(CTRL_C.format(names=names), timeout=600)
    assert result.returncode == 0, result.stderr[-2000:]
    return dict(line.split(" ", 1) for line in result.stdout.splitlines()), result.stderr


@pytest.mark.parametrize("name", ["exp", "co", "profile", "shared_profile", "exp_profile",
                                  "drift_profile"])
def test_ctrl_c_interrupts_each_interruptible_fit(name):
    out, err = ctrl_c([name])
    assert out[name].startswith("Interrupted by Ctrl+C after"), out
    # Within about one inner fit, however many rows an evaluation refits.
    assert float(out[name].split()[-2]) < 1.0, out
    # No evaluation runs, and no start begins, after the signal: none prints.
    # (The start that was running still reports where it stopped, and the
    # best-start line follows; when the signal came during that start's first
    # simplex, both say NLL=inf. Only evaluation lines say "total NLL".)
    assert "total NLL=inf" not in err
    assert err.count("--- Nelder-Mead start") <= 2, err[-2000:]
    assert out["second"] == "interrupt raised"


def test_one_ctrl_c_interrupts_every_armed_call_and_no_other():
    out, _ = ctrl_c(["exp", "co", "plain"])
    assert out["exp"].startswith("Interrupted by Ctrl+C after"), out
    assert out["co"].startswith("Interrupted by Ctrl+C after"), out
    # The non-interruptible fit on a third thread, running when the signal
    # came, returns its result.
    assert out["plain"].startswith("result after"), out
    assert out["second"] == "interrupt raised"
