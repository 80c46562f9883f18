"""Each function's parameters and the kind of value each takes, read from korvel's type stub.

The stub is the tests' one description of the functions: test_module checks that the stub
lists korvel.__all__ in order and that every stub signature is the function's text
signature, and the sweeps over every argument of every function (argument-name prefixes,
hostile values, reference counts) take parameter lists and kinds from here, so a function
added to the module and its stub is covered without another table.
"""

import ast
import pathlib
import re

STUB = pathlib.Path(__file__).resolve().parents[2] / "stubs" / "korvel-stubs" / "__init__.pyi"

FLOAT, OPT_FLOAT, BOOL, COUNT, PAIR, START, VECTOR, OPT_VECTOR, MATRIX = (
    "float", "optional float", "bool", "count", "pair", "start", "vector", "optional vector",
    "matrix")

# The stub's annotation of each kind; a start point is "tuple[float, ...] | None".
_KIND_OF_ANNOTATION = {"_Float": FLOAT, "_Float | None": OPT_FLOAT, "_Bool": BOOL, "int": COUNT,
                       "_Pair": PAIR, "_Vector": VECTOR, "_Vector | None": OPT_VECTOR,
                       "_Matrix": MATRIX}
_START = re.compile(r"tuple\[float(?:, float)*\] \| None")

FUNCTIONS = {node.name: node for node in ast.parse(STUB.read_text()).body
             if isinstance(node, ast.FunctionDef)}


def _arguments(function_name):
    args = FUNCTIONS[function_name].args
    defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
    return [(a.arg, ast.unparse(a.annotation), d) for a, d in zip(args.args, defaults)]


def kind_of(function_name, keyword):
    annotation = {name: ann for name, ann, _ in _arguments(function_name)}[keyword]
    return START if _START.fullmatch(annotation) else _KIND_OF_ANNOTATION[annotation]


def start_point_length(function_name):
    """How many floats the function's start point holds."""
    (annotation,) = [ann for _, ann, _ in _arguments(function_name) if _START.fullmatch(ann)]
    return annotation.count("float")


def parameters(function_name):
    """[(keyword, kind, has_default)] in parameter order."""
    return [(name, kind_of(function_name, name), default is not None)
            for name, _, default in _arguments(function_name)]


def text_signature(function_name):
    """The signature the stub gives, written as the module's __text_signature__ is."""
    return "(" + ", ".join(name if default is None else f"{name}={ast.unparse(default)}"
                           for name, _, default in _arguments(function_name)) + ")"
