#!/usr/bin/env bash
# Installs what the tests need and runs every test: the C++ unit tests of the
# numerical kernels (ctest) and the tests of the Python surface (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."

# Only the binding layer may include Python.h; the kernels stay testable in C++.
if grep -rln --include='*.h' --include='*.cpp' -E '#include[[:space:]]*[<"](Python|numpy/)' src \
    | grep -v '^src/python/'; then
  echo "Python or NumPy headers included outside src/python" >&2
  exit 1
fi

# GoogleTest is not on PyPI; Debian packages it.
if [ ! -f /usr/include/gtest/gtest.h ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "run_tests.sh: installing the system package libgtest-dev (GoogleTest headers) with apt-get"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "GoogleTest headers are missing: install Debian's libgtest-dev" >&2
    exit 1
  fi
fi

# One CMake build makes both the extension and the C++ tests, so the kernels
# are compiled once: pip builds the wheel in build/py (kept, so that a second
# run recompiles only what changed) with the C++ tests switched on, installs
# the extension, and ctest runs the tests in that same folder.
# Say what pip is about to put into the active environment before it does.
test_extra=$(python3 -c 'import tomllib
with open("pyproject.toml", "rb") as f:
    print(", ".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))')
echo "run_tests.sh: pip installs into $(python3 -c 'import sys; print(sys.prefix)'): korvel built" \
  "from this checkout, with what is missing of numpy and the test extra ($test_extra)"
python3 -m pip install -q --disable-pip-version-check \
  --config-settings=build-dir=build/py \
  --config-settings=cmake.define.KORVEL_BUILD_TESTS=ON \
  ".[test]"
ctest --test-dir build/py --output-on-failure --no-tests=error -j "$(nproc)"

# The tests run in one worker process per processor (pytest-xdist): most of
# their time is the interpreter's, one core at a time. Arguments given to
# this script come later and win (-n 0 runs everything in this process).
# pytest-benchmark, where installed, refuses to run under xdist; no test uses it.
python3 -m pytest -n "$(nproc)" -p no:benchmark "$@"
