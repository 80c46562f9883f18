#!/usr/bin/env bash
# Builds the worker-pool tests with ThreadSanitizer and runs them.
#
#   tools/tsan.sh [test-target ...]     (default: cpp_core_test_pool)
#
# Uses its own build folder (build/tsan, or $KORVEL_TSAN_BUILD_DIR) so that it
# never disturbs a normal build. Any data race or lock-order report fails the
# run (halt_on_error). The pool tests start threads in a child forked from a
# multi-threaded parent, which ThreadSanitizer refuses by default; the test
# binary lifts that refusal itself (__tsan_default_options), so any runner,
# tools/sanitize.sh thread included, can run it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KORVEL_TSAN_BUILD_DIR:-$root/build/tsan}"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(cpp_core_test_pool)
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_SANITIZE=thread \
    -DKORVEL_BUILD_PYTHON=OFF -DKORVEL_BUILD_TESTS=ON -DKORVEL_BUILD_BENCHMARKS=OFF >/dev/null
for t in "${targets[@]}"; do
    cmake --build "$build" --target "$t" -j2
done

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
status=0
for t in "${targets[@]}"; do
    echo "== $t (ThreadSanitizer)"
    "$build/$t" || status=1
done
exit $status
