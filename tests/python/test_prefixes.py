"""Every argument of every registered function names itself in its TypeError.

Parameter lists and kinds come from the type stub (arg_kinds), so a function
registered later is swept as soon as it and its stub exist.
"""

import numpy as np
import pytest

import korvel
from arg_kinds import (BOOL, COUNT, FLOAT, MATRIX, OPT_FLOAT, OPT_VECTOR, PAIR, START, VECTOR,
                       parameters)
from kind_values import N_BINS, valid_args

# The mistakes a caller makes with each kind: a near miss of the right type.
WRONG = {
    FLOAT: ["0.5", None],
    OPT_FLOAT: ["0.5"],
    BOOL: [1, None],
    COUNT: [1.0, "1"],
    PAIR: [[0.5, 0.5], (0.5, "x"), (0.5,)],
    START: [[1.0, 1.0, 1.0], ("x", 1.0, 1.0, 1.0)],
    VECTOR: [[0.2] * N_BINS, np.full(N_BINS, 0.2, dtype=np.float32), np.full((1, N_BINS), 0.2)],
    OPT_VECTOR: [[0.2] * N_BINS, np.arange(N_BINS)],
    MATRIX: [np.full(N_BINS, 0.2), [[0.2] * N_BINS], np.full((1, N_BINS), 1, dtype=np.int64)],
}

CASES = [(fn, name, bad)
         for fn in korvel.__all__
         for name, kind, _ in parameters(fn)
         for bad in WRONG[kind]]


@pytest.mark.parametrize("fn,name,bad", CASES,
                         ids=[f"{fn}-{name}-{i}" for i, (fn, name, _) in enumerate(CASES)])
def test_wrong_type_is_prefixed_with_the_argument_name(fn, name, bad):
    args = valid_args(fn)
    args[name] = bad
    with pytest.raises(TypeError) as excinfo:
        getattr(korvel, fn)(**args)
    exc = excinfo.value
    assert str(exc).startswith(f"argument '{name}': ")
    assert isinstance(exc.__cause__, TypeError)
    assert str(exc) == f"argument '{name}': {exc.__cause__}"
