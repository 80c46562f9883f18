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
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "GoogleTest headers are missing: install Debian's libgtest-dev" >&2
    exit 1
  fi
fi

python3 -m pip install -q --disable-pip-version-check ".[test]"

# scikit-build-core builds in a temporary folder, so the C++ tests get their own.
cmake -S . -B build/tests -DKORVEL_BUILD_PYTHON=OFF -DKORVEL_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure --no-tests=error -j "$(nproc)"

python3 -m pytest "$@"
