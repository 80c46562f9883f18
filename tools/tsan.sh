#!/usr/bin/env bash
# ThreadSanitizer over the worker-pool tests: a thin wrapper around the "tsan"
# CMake preset (build/tsan) that builds only the named test executables and
# runs their test cases.
#
#   bash tools/tsan.sh [test-executable ...]     (default: cpp_core_test_pool)
#
# Any data race or lock-order report stops the test with a failure
# (halt_on_error in the preset). The pool tests start threads in a child
# forked from a multi-threaded parent, which ThreadSanitizer refuses by
# default; the test binary lifts that refusal itself (__tsan_default_options).
set -euo pipefail
cd "$(dirname "$0")/.."
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(cpp_core_test_pool)

cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$(nproc)" --target "${targets[@]}"
regex="^($(IFS='|'; echo "${targets[*]}"))\\."
ctest --preset tsan -j "$(nproc)" -R "$regex"
