"""Argument kinds and their failures, through the functions that use them."""

import ctypes
import math
import sys

import numpy as np
import pytest

import korvel

PARAMS = np.array([0.5, 2.0, 3.0])


def nll(edges, **overrides):
    args = dict(params=PARAMS, observed_fracs=np.full(10, 0.1), meth_bin_edges=edges,
                normalize_stw=True)
    args.update(overrides)
    return korvel.py_compute_nll(**args)


def assert_prefixed_type_error(excinfo, name):
    exc = excinfo.value
    assert str(exc).startswith(f"argument '{name}': ")
    assert isinstance(exc.__cause__, TypeError)
    # The message carries the conversion error's own text after the prefix.
    assert str(exc) == f"argument '{name}': {exc.__cause__}"


class TestBool:
    def test_int_is_rejected_with_prefix_and_cause(self, edges10):
        with pytest.raises(TypeError) as excinfo:
            nll(edges10, normalize_stw=1)
        assert_prefixed_type_error(excinfo, "normalize_stw")

    @pytest.mark.parametrize("bad", [None, 1.0, "yes", np.int64(1), np.array([True])])
    def test_only_bool_kinds_are_accepted(self, edges10, bad):
        with pytest.raises(TypeError) as excinfo:
            nll(edges10, normalize_stw=bad)
        assert_prefixed_type_error(excinfo, "normalize_stw")

    def test_numpy_bool_scalar_is_accepted(self, edges10):
        assert nll(edges10, normalize_stw=np.bool_(True)) == nll(edges10, normalize_stw=True)
        assert nll(edges10, normalize_stw=np.bool_(False)) == nll(edges10, normalize_stw=False)

    def test_setter_rejects_int_and_keeps_setting(self, edges10):
        before = korvel.py_compute_model_fracs(0.5, 1.0, 2.0, 3.0, edges10)
        with pytest.raises(TypeError) as excinfo:
            korvel.py_set_raw_count(1)
        assert_prefixed_type_error(excinfo, "enabled")
        after = korvel.py_compute_model_fracs(0.5, 1.0, 2.0, 3.0, edges10)
        assert np.array_equal(before, after)


class TestFloat:
    def test_ints_and_dunder_objects_convert(self, edges10):
        class F:
            def __float__(self):
                return 2.0

        class I:
            def __index__(self):
                return 2

        ref = korvel.py_compute_model_fracs(1.0, 1.0, 2.0, 2.0, edges10)
        for value in (2, F(), I(), np.float32(2.0)):
            assert np.array_equal(korvel.py_compute_model_fracs(1, 1.0, value, 2.0, edges10), ref)

    @pytest.mark.parametrize("bad", [None, "2.0", [2.0], 1j])
    def test_non_numbers_are_rejected(self, edges10, bad):
        with pytest.raises(TypeError) as excinfo:
            korvel.py_compute_model_fracs(1.0, 1.0, bad, 2.0, edges10)
        assert_prefixed_type_error(excinfo, "cow")

    def test_none_for_defaulted_float_is_rejected(self):
        grid = np.array([0.0])
        with pytest.raises(TypeError) as excinfo:
            korvel.py_compute_phase_grids(1.0, True, grid, grid, n_u=None)
        assert_prefixed_type_error(excinfo, "n_u")
        # Omitted, n_u is 2.0.
        a = korvel.py_compute_phase_grids(1.0, True, grid, grid)
        b = korvel.py_compute_phase_grids(1.0, True, grid, grid, n_u=2.0, n_m=2.0)
        assert all(np.array_equal(x, y) for x, y in zip(a, b))

    def test_other_exceptions_pass_unchanged(self, edges10):
        class Boom:
            def __float__(self):
                raise ValueError("boom")

        with pytest.raises(ValueError, match="^boom$"):
            korvel.py_compute_model_fracs(1.0, 1.0, Boom(), 2.0, edges10)

    def test_minus_one_is_a_value(self, edges10):
        korvel.py_set_mm_vmax(-1)  # a legitimate value, not an error marker
        out = korvel.py_compute_model_fracs(1.0, 1.0, 2.0, 2.0, edges10)
        assert out.shape == (10,)


class TestVector:
    @pytest.mark.parametrize(
        "bad",
        [
            np.linspace(0, 1, 11, dtype=np.float32),
            np.linspace(0, 1, 11).reshape(1, 11),
            list(np.linspace(0, 1, 11)),
            np.arange(11),
            np.linspace(0, 1, 11).astype(">f8" if sys.byteorder == "little" else "<f8"),
            None,
        ],
        ids=["float32", "2d", "list", "int64", "swapped", "none"],
    )
    def test_wrong_kind_is_type_error_naming_argument(self, bad):
        with pytest.raises(TypeError) as excinfo:
            korvel.py_compute_model_fracs(1.0, 1.0, 1.0, 1.0, bad)
        assert_prefixed_type_error(excinfo, "meth_bin_edges")

    def test_the_message_says_what_is_wrong_with_the_dtype(self, edges10):
        swapped = edges10.astype(edges10.dtype.newbyteorder())
        for bad, said in ((swapped, "got float64 in non-native byte order"),
                          (edges10.astype(np.float32), "got dtype float32")):
            with pytest.raises(TypeError, match=said):
                korvel.py_compute_model_fracs(1.0, 1.0, 1.0, 1.0, bad)

    def test_subclass_is_accepted(self, edges10):
        class Sub(np.ndarray):
            pass

        ref = korvel.py_compute_model_fracs(1.0, 1.0, 1.0, 1.0, edges10)
        out = korvel.py_compute_model_fracs(1.0, 1.0, 1.0, 1.0, edges10.view(Sub))
        assert np.array_equal(out, ref)

    def test_sliced_vector_is_internal_error(self):
        edges = np.linspace(0, 1, 21)[::2]
        err = korvel.InternalError
        with pytest.raises(err) as excinfo:
            korvel.py_compute_model_fracs(1.0, 1.0, 1.0, 1.0, edges)
        assert not isinstance(excinfo.value, Exception)
        assert "meth_bin_edges" in str(excinfo.value)

    def test_conversion_errors_come_before_layout_errors(self, edges10):
        # Parameter order: params is converted first, but a later conversion
        # failure still wins over an earlier array's layout.
        sliced = np.linspace(0, 1, 6)[::2]
        with pytest.raises(TypeError) as excinfo:
            korvel.py_compute_nll(sliced, np.full(10, 0.1), edges10, 1)
        assert_prefixed_type_error(excinfo, "normalize_stw")

    def test_short_params_and_empty_edges_are_internal_errors(self, edges10):
        err = korvel.InternalError
        with pytest.raises(err, match="params"):
            nll(edges10, params=np.array([1.0, 1.0]))
        with pytest.raises(err):
            nll(np.empty(0))
        # Entries after the third are ignored.
        assert nll(edges10, params=np.array([0.5, 2.0, 3.0, 99.0])) == nll(edges10)

    def test_inputs_are_copied_and_not_leaked(self, edges10):
        obs = np.full(10, 0.1)
        before = (sys.getrefcount(edges10), sys.getrefcount(obs), sys.getrefcount(PARAMS))
        for _ in range(200):
            korvel.py_compute_nll(PARAMS, obs, edges10, True)
            korvel.py_compute_model_fracs(1.0, 1.0, 1.0, 1.0, edges10)
        after = (sys.getrefcount(edges10), sys.getrefcount(obs), sys.getrefcount(PARAMS))
        assert before == after

    def test_results_own_their_memory(self, edges10):
        out = korvel.py_compute_model_fracs(1.0, 1.0, 1.0, 1.0, edges10)
        assert out.flags.owndata and out.flags.writeable and out.flags.c_contiguous
        assert out.dtype == np.float64


def test_arguments_outlive_a_keyword_dict_cleared_during_conversion(edges10):
    # A C caller may pass its own keyword dict, which an argument's __float__
    # can reach and clear; the arguments it held must stay alive to the end.
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    events = []

    class Clear:
        def __float__(self):
            events.append("cleared")
            kwargs.clear()
            return 1.0

    class Stw:
        def __float__(self):
            events.append("converted")
            return 1.0

        def __del__(self):
            events.append("released")

    kwargs = dict(ste=Clear(), stw=Stw(), cow=2.0, coe=3.0, meth_bin_edges=edges10.copy())
    out = call(korvel.py_compute_model_fracs, (), kwargs)
    assert events == ["cleared", "converted", "released"]
    assert np.array_equal(out, korvel.py_compute_model_fracs(1.0, 1.0, 2.0, 3.0, edges10))


class TestSettings:
    def test_vmax_accepts_ints_and_rejects_strings(self, edges10):
        korvel.py_set_mm_vmax(5)
        a = korvel.py_compute_model_fracs(0.5, 1.0, 20.0, 30.0, edges10)
        korvel.py_set_mm_vmax(5.0)
        b = korvel.py_compute_model_fracs(0.5, 1.0, 20.0, 30.0, edges10)
        assert np.array_equal(a, b)
        with pytest.raises(TypeError) as excinfo:
            korvel.py_set_mm_vmax("5")
        assert_prefixed_type_error(excinfo, "vmax")
        c = korvel.py_compute_model_fracs(0.5, 1.0, 20.0, 30.0, edges10)
        assert np.array_equal(b, c)  # the failed call left the ceiling alone

    def test_setters_return_none(self):
        assert korvel.py_set_raw_count(False) is None
        assert korvel.py_set_mm_vmax(math.inf) is None


class TestCount:
    """Counts, through the first function that takes them."""

    EDGES = np.linspace(0.0, 1.0, 6)
    P0 = np.full((2, 5), 0.2)
    OBS = np.full((2, 5), 0.2)

    def boot(self, n_boot, n_fit_ages=1):
        return korvel.py_fit_drift_bootstrap(
            self.P0, self.OBS, n_boot, n_fit_ages, np.array([1.0]), self.EDGES, (0.5, 0.5)
        )

    def test_negative_count_is_overflow_error_unchanged(self):
        with pytest.raises(OverflowError) as excinfo:
            self.boot(-1)
        assert not isinstance(excinfo.value, TypeError)
        assert not str(excinfo.value).startswith("argument ")

    @pytest.mark.parametrize("bad", [1.0, "2", None, np.float64(2.0)])
    def test_non_integers_are_type_errors(self, bad):
        with pytest.raises(TypeError) as excinfo:
            self.boot(bad)
        assert_prefixed_type_error(excinfo, "n_boot")

    def test_index_objects_and_zero_are_accepted(self):
        class Two:
            def __index__(self):
                return 2

        a = self.boot(np.int64(2))
        b = self.boot(Two())
        assert a.shape == (2, 3) and a.tobytes() == b.tobytes()
        assert self.boot(0).shape == (0, 3)

    def test_huge_count_with_short_arrays_fails_at_once(self):
        with pytest.raises(korvel.InternalError, match="p0_per_boot"):
            self.boot(2**64 - 1)
        with pytest.raises(OverflowError):
            self.boot(2**64)



# A later argument's __float__ or __index__ is Python code that may retype or
# reshape an array that was already checked. The call must then behave as if
# the changed array had been passed in the first place: the same error or the
# same result, never a copy made with the old element size or shape.


class Hook:
    """A float or count that runs `action` while it is converted."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


def one_density(obs, n_u):  # the vector observed_fracs, later the float n_u
    return korvel.py_fit_one_density(obs, np.linspace(0, 1, 11), True, (1.0, 1.0), (1.0, 1.0),
                                     n_u)


def all_densities(obs, n_u):  # the matrix observed_fracs_2d, later the float n_u
    return korvel.py_fit_all_densities(obs, np.linspace(0, 1, 11), True, (1.0, 1.0),
                                       (1.0, 1.0), n_u)


def drift_bootstrap(p0, n_boot):  # the matrix p0_per_boot, later the count n_boot
    return korvel.py_fit_drift_bootstrap(p0, np.full((2, 5), 0.2), n_boot, 1, np.array([1.0]),
                                         np.linspace(0, 1, 6), (0.5, 0.5))


MUTATIONS = {
    "dtype": lambda a: setattr(a, "dtype", np.int8),
    "byteorder": lambda a: setattr(a, "dtype", a.dtype.newbyteorder()),
    "ndim": lambda a: setattr(a, "shape", (a.size // 2, 2) if a.ndim == 1 else (a.size,)),
    "reshape": lambda a: setattr(a, "shape", (a.shape[0] * 2, a.shape[1] // 2)),
}

CHANGED_ARRAY_CASES = (
    [(one_density, (10,), 2.0, m) for m in ("dtype", "byteorder", "ndim")]
    + [(all_densities, (2, 10), 2.0, m) for m in MUTATIONS]
    + [(drift_bootstrap, (2, 10), 2, m) for m in MUTATIONS]
)


def outcome(call):
    try:
        result = call()
    except BaseException as exc:  # noqa: BLE001 - the outcome is what is compared
        return type(exc), str(exc), type(exc.__cause__)
    return "result", [np.asarray(r).tobytes() for r in (result if isinstance(result, tuple)
                                                         else (result,))]


@pytest.mark.parametrize("call,shape,value,mutation", CHANGED_ARRAY_CASES,
                         ids=[f"{c.__name__}-{m}" for c, _, _, m in CHANGED_ARRAY_CASES])
def test_array_changed_during_conversion_acts_as_if_changed_before(call, shape, value, mutation):
    mutate = MUTATIONS[mutation]
    arr = np.full(shape, 0.1)
    got = outcome(lambda: call(arr, Hook(lambda: mutate(arr), value)))
    changed = np.full(shape, 0.1)
    mutate(changed)
    assert got == outcome(lambda: call(changed, value))
    if mutation != "reshape":  # the new type or dimension is refused, as it would be up front
        assert got[0] is TypeError and got[2] is TypeError
