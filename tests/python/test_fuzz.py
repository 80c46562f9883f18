"""Property-based fuzzing of every registered function with hostile arguments.

Each example starts from small valid arguments (kind_values) and replaces up
to three of them with values drawn for their kind: valid variations, or the
hostile values around them (wrong types, NaN and infinities, empty, 0-d and
3-d arrays, non-contiguous, Fortran-order, byte-swapped, read-only and
subclass arrays, huge and negative counts, and objects whose __float__ or
__index__ raise, or reinterpret an array argument in place while the call
converts its arguments). The only outcomes allowed are a result, TypeError,
OverflowError, MemoryError, the module's internal error, ValueError from
the functions whose docstring says they check their arguments first, or the
very exception a caller's object raised. Under the sanitizer build the same calls
check that no input reads or writes out of bounds.

Functions are taken from korvel.__all__ and their parameters' kinds from the
type stub (arg_kinds), so a function registered later is fuzzed as soon as it
and its stub exist.

Profiles (environment variable KORVEL_FUZZ):
  ci    (default) 30 examples per function, 10 for the nested fits (shared
        fits, profiles, bootstraps: up to a second per call), derandomised:
        a few hundred calls in all, under a minute.
  long  10 000 examples per function, randomised: over 2 x 10^5 calls, some
        hours, for a run by hand before a release, e.g.
            KORVEL_FUZZ=long python -m pytest tests/python/test_fuzz.py \
                --hypothesis-show-statistics
Every call must take milliseconds, so the functions that run fits get
finite values, boxes of width 0 or 1e-6 and arrays of at most two rows
(a NaN objective makes differential evolution run all 1000 generations).
"""

import os
import signal

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import korvel
from arg_kinds import (BOOL, COUNT, FLOAT, MATRIX, OPT_FLOAT, OPT_VECTOR, PAIR, START, VECTOR,
                       parameters, start_point_length)
from kind_values import valid_args

LONG = os.environ.get("KORVEL_FUZZ", "ci") == "long"
BASE = settings(deadline=None, database=None, suppress_health_check=list(HealthCheck),
                derandomize=not LONG)

INTERNAL_ERROR = korvel.InternalError
ALLOWED = (TypeError, OverflowError, MemoryError, INTERNAL_ERROR)


def tier(fn):
    """How much work a call can cause: 'direct' functions evaluate the model a
    few times; 'fit' runs one search per density; 'nested' runs searches
    inside searches (shared fits, profiles, bootstraps)."""
    if any(word in fn for word in ("shared", "profile", "bootstrap")):
        return "nested"
    return "fit" if "fit" in fn else "direct"


# ---------------------------------------------------------------- hostile objects

class CallerError(Exception):
    """Raised by the caller's own objects; must come back unchanged."""


class Hostile:
    """An object whose __float__ / __index__ raises or first reinterprets
    one of the call's array arguments in place (dtype, shape, dimensions,
    byte order, values). Bound to the call's arguments once they are built."""

    def __init__(self, action, value, target):
        self.action, self.value, self.target = action, value, target
        self.args = {}
        self.raised = []

    def _act(self):
        if self.action == "raise":
            exc = CallerError("from the caller")
            self.raised.append(exc)
            raise exc
        arrays = [a for a in self.args.values() if isinstance(a, np.ndarray)]
        if not arrays or self.action == "none":
            return
        a = arrays[self.target % len(arrays)]
        try:
            if self.action == "dtype":
                a.dtype = np.int8
            elif self.action == "float32":
                a.dtype = np.float32
            elif self.action == "swap":
                a.dtype = a.dtype.newbyteorder()
            elif self.action == "shape":
                a.shape = (a.size,) if a.ndim != 1 else (1, a.size)
            elif self.action == "ndim":
                a.shape = (1,) + a.shape
            elif self.action == "values":
                a[...] = 0.25
        except Exception as exc:  # noqa: BLE001 - numpy refuses some views
            self.raised.append(exc)
            raise

    def __float__(self):
        self._act()
        return self.value

    def __index__(self):
        self._act()
        return int(self.value) if np.isfinite(self.value) else 1


hostile_objects = st.builds(
    Hostile,
    st.sampled_from(["raise", "dtype", "float32", "swap", "shape", "ndim", "values", "none"]),
    st.sampled_from([0.0, 1.0, 0.5]),
    st.integers(0, 7),
)

WRONG_TYPES = st.sampled_from([None, "1", b"1", 1j, [], (), {}, object(), [1.0], (1.0,)])


# ---------------------------------------------------------------- values by kind

def float32(x):
    with np.errstate(all="ignore"):  # overflow to inf is what we want
        return np.float32(x)


def floats_for(level):
    if level == "direct":
        return st.floats(width=64)  # NaN, infinities, subnormals, -0.0
    return st.floats(-3.0, 3.0)


def float_values(level):
    return st.one_of(
        floats_for(level),
        st.integers(-3, 3),
        floats_for(level).map(float32),
        st.just(10 ** 400),  # OverflowError from the float conversion
        hostile_objects,
        WRONG_TYPES,
    )


bool_values = st.one_of(st.booleans(), st.booleans().map(np.bool_), st.sampled_from([0, 1, 1.0]),
                        hostile_objects, WRONG_TYPES, st.just(np.array([True])))

count_values = st.one_of(
    st.integers(0, 2),
    st.integers(0, 2).map(np.int64),
    st.sampled_from([-1, -(2 ** 63), 2 ** 63, 2 ** 64 - 1, 2 ** 64, 10 ** 30, True]),
    st.sampled_from([np.uint64(2 ** 64 - 1), np.int8(-1)]),
    hostile_objects,
    WRONG_TYPES,
    st.just(1.0),
)

# Box ranges per keyword, in the coordinates each fit searches: St plain
# (its log in the shared searches), CoW/CoE and Vmax as log10, exponents plain.
BOX_RANGE = {"st_bounds": (0.05, 5.0), "co_bounds": (-2.0, 2.0), "n_exp_bounds": (0.5, 4.0),
             "vmax_bounds": (0.0, 3.0)}


def pair_values(name, level):
    lo_range = BOX_RANGE.get(name, (0.1, 1.0))
    good = st.tuples(st.floats(*lo_range), st.sampled_from([0.0, 0.0, 1e-6])).map(
        lambda t: (t[0], t[0] + t[1]))
    bad = [WRONG_TYPES, st.lists(st.floats(0, 1), max_size=3), st.tuples(hostile_objects, st.just(0.5)),
           st.tuples(st.just(0.5), WRONG_TYPES), st.just((0.5,)), st.just((0.5, 0.5, 0.5))]
    if level != "nested":
        # Caught at the first clamp of the search; the shared fits' Brent
        # search would run its 500 iterations on them instead.
        bad.append(st.sampled_from([(0.6, 0.5), (np.nan, 0.5), (0.5, np.nan)]))
    return st.one_of(good, *bad)


def start_values(fn):
    n = start_point_length(fn)
    return st.one_of(st.none(), st.tuples(*[st.floats(0.1, 2.0)] * n),
                     st.tuples(*[st.floats(0.1, 2.0)] * (n + 1)),
                     st.lists(st.floats(0.1, 2.0), min_size=n, max_size=n),
                     st.tuples(hostile_objects, *[st.just(1.0)] * (n - 1)), WRONG_TYPES)


def array_values(ndim, level):
    """Small arrays of the right kind, then turned hostile one way or another."""
    elements = floats_for(level) if level == "direct" else st.floats(0.0, 1.0)
    shape = (st.integers(0, 7).map(lambda n: (n,)) if ndim == 1
             else st.tuples(st.integers(0, 2), st.integers(0, 6)))
    base = shape.flatmap(lambda s: st.lists(elements, min_size=int(np.prod(s)),
                                            max_size=int(np.prod(s))).map(
        lambda v, s=s: np.array(v, dtype=np.float64).reshape(s)))

    class Sub(np.ndarray):
        pass

    def twist(a, how):
        if how == "float32":
            with np.errstate(all="ignore"):
                return a.astype(np.float32)
        if how == "int64":
            return np.zeros(a.shape, dtype=np.int64)
        if how == "complex":
            return a.astype(np.complex128)
        if how == "object":
            return a.astype(object)
        if how == "swapped":
            return a.astype(a.dtype.newbyteorder())
        if how == "fortran":
            return np.asfortranarray(a)
        if how == "strided":
            return np.repeat(a, 2, axis=-1)[..., ::2]
        if how == "transposed":
            return a.T
        if how == "0d":
            return np.array(a.flat[0] if a.size else 0.5)
        if how == "3d":
            return a.reshape((1,) * (3 - a.ndim) + a.shape)
        if how == "readonly":
            a.flags.writeable = False
            return a
        if how == "subclass":
            return a.view(Sub)
        if how == "list":
            return a.tolist()
        return a

    hows = st.sampled_from(["none"] * 6 + ["float32", "int64", "complex", "object", "swapped", "fortran",
                                           "strided", "transposed", "0d", "3d", "readonly", "subclass",
                                           "list"])
    return st.one_of(st.tuples(base, hows).map(lambda t: twist(*t)), WRONG_TYPES, hostile_objects)


def value_strategy(fn, name, kind, level):
    if kind == FLOAT:
        return float_values(level)
    if kind == OPT_FLOAT:
        return st.one_of(st.none(), float_values(level))
    if kind == BOOL:
        return bool_values
    if kind == COUNT:
        return count_values
    if kind == PAIR:
        return pair_values(name, level)
    if kind == START:
        return start_values(fn)
    if kind == OPT_VECTOR:
        return st.one_of(st.none(), array_values(1, level))
    if kind in (VECTOR, MATRIX):
        if level != "direct" and name in ("ages", "fit_ages"):
            # Ages: each costs a 71 x 71 exponential per objective value.
            return st.sampled_from([np.array([]), np.array([0.0]), np.array([1e-3]), [0.0], np.array([[0.0]])])
        return array_values(1 if kind == VECTOR else 2, level)
    raise AssertionError(f"{fn}: no strategy for {name} of kind {kind}")


@st.composite
def call_args(draw, fn):
    params = parameters(fn)
    level = tier(fn)
    args = valid_args(fn)
    names = [name for name, _, _ in params]
    for name in draw(st.sets(st.sampled_from(names), max_size=3)) if names else ():
        kind = next(k for n, k, _ in params if n == name)
        args[name] = draw(value_strategy(fn, name, kind, level))
    for value in list(args.values()) + [v for t in args.values() if isinstance(t, tuple) for v in t]:
        if isinstance(value, Hostile):
            value.args = args
    return args


def raised_by_caller(args):
    out = []
    for value in list(args.values()) + [v for t in args.values() if isinstance(t, tuple) for v in t]:
        if isinstance(value, Hostile):
            out.extend(value.raised)
    return out


@pytest.fixture(autouse=True)
def python_sigint_handler():
    """Interruptible calls leave SIGINT at the system default; give the
    test runner its KeyboardInterrupt back."""
    yield
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.mark.parametrize("fn", korvel.__all__)
def test_hostile_arguments_give_only_allowed_outcomes(fn):
    func = getattr(korvel, fn)
    # Functions that check their arguments first say so, and refuse with ValueError.
    allowed = ALLOWED + ((ValueError,) if "(ValueError)" in func.__doc__ else ())

    examples = 10_000 if LONG else 10 if tier(fn) == "nested" else 30

    @settings(BASE, max_examples=examples)
    @given(call_args(fn))
    def run(args):
        try:
            func(**args)
        except allowed:
            pass
        except BaseException as exc:  # noqa: BLE001 - judged below
            # The newer functions refuse what they cannot use with a ValueError that
            # names the argument.
            if isinstance(exc, ValueError) and str(exc).startswith("argument '"):
                return
            if not any(exc is mine for mine in raised_by_caller(args)):
                raise AssertionError(f"{fn} raised {type(exc).__name__}: {exc}") from exc
        finally:
            korvel.py_set_raw_count(False)
            korvel.py_set_mm_vmax(float("inf"))
            signal.signal(signal.SIGINT, signal.default_int_handler)

    run()
