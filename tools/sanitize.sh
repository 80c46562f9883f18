#!/usr/bin/env bash
# Builds the C++ tests with sanitizers and runs them.
#   bash tools/sanitize.sh address,undefined   (the default)
#   bash tools/sanitize.sh thread
set -euo pipefail
cd "$(dirname "$0")/.."
san="${1:-address,undefined}"
dir="build/sanitize-${san//,/-}"
cmake -S . -B "$dir" -DKORVEL_BUILD_PYTHON=OFF -DKORVEL_BUILD_TESTS=ON \
  -DKORVEL_SANITIZE="$san" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "$(nproc)"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
ctest --test-dir "$dir" --output-on-failure ${2:+-R "$2"}
