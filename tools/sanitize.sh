#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer over the C++ tests: a thin
# wrapper around the "asan" CMake preset (build/asan).
#
#   bash tools/sanitize.sh [ctest-regex]
#
# Any report stops the test with a failure. For ThreadSanitizer see tools/tsan.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$(nproc)"
ctest --preset asan -j "$(nproc)" ${1:+-R "$1"}
