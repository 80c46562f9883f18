#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer over the C++ tests and over the
# Python test suite, with the extension itself built with both sanitizers: a
# wrapper around the "asan" CMake preset (build/asan).
#
#   bash tools/sanitize.sh [pytest arguments]
#
# pytest runs the tests not marked slow (-m "not slow"; a -m among the
# arguments replaces it) of the files that call the extension for what they
# test; the C++ tests all run. The command's own tests (the analysis
# pipeline, the results folder, the refcount sweeps) are left out here: they
# reach the extension only through the same functions with the same kinds of
# input, their time goes to the interpreter, which is not instrumented, and
# they run in the normal pass. Any sanitizer report, in
# pytest or in any process it starts, fails the run. For ThreadSanitizer see
# tools/tsan.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/asan

python=$(command -v python3)
cmake --preset asan -DPython_EXECUTABLE="$python" >/dev/null
cmake --build --preset asan -j "$(nproc)"
ctest --preset asan -j "$(nproc)"

# The interpreter is not instrumented, so the ASan runtime has to be loaded
# before anything else, and libstdc++ with it: ASan wraps __cxa_throw and finds
# the real one only if libstdc++ is already loaded when ASan starts; otherwise
# the first C++ exception aborts the process.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
preload="$("$cxx" -print-file-name=libasan.so):$("$cxx" -print-file-name=libstdc++.so)"

# Reports go to files as well as the process dying, so that a report from a
# child interpreter whose exit status a test expects to be non-zero still
# fails the run. Leak detection is off: the interpreter keeps its objects
# until exit by design. Huge allocations fail with NULL (and so MemoryError)
# as they do without ASan, instead of being reported.
reports="$build/reports"
rm -rf "$reports" && mkdir -p "$reports"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:log_path=$PWD/$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$PWD/$reports/ubsan"
export PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}"

# The suite must test the sanitized build, not an installed korvel.
LD_PRELOAD="$preload" "$python" -c '
import sys, korvel
sys.exit(0 if korvel.__file__.startswith(sys.argv[1]) else "imported " + korvel.__file__)
' "$PWD/$build/"

# The pipeline's tests, left out (see above). Reading, Ctrl+C and extract
# stay: they drive the text scanner, the interrupt path and the BAM decoder.
pipeline=(analysis_cli analysis_dask analysis_figures analysis_flags analysis_folder
          analysis_gof analysis_intervals analysis_layers analysis_likelihood analysis_modes
          analysis_phase analysis_prep analysis_runs analysis_simulate hostile_folder long_runs)
ignored=()
for name in "${pipeline[@]}"; do ignored+=("--ignore=tests/python/test_$name.py"); done

set -- -m "not slow" "${ignored[@]}" "$@"   # a later -m given by the caller wins
status=0
# One worker process per processor, as in tools/run_tests.sh; the workers
# inherit the preload and the report paths.
LD_PRELOAD="$preload" "$python" -m pytest -p no:cacheprovider -p no:benchmark -n "$(nproc)" "$@" \
  || status=$?
if compgen -G "$reports/*" >/dev/null; then
  cat "$reports"/* >&2
  echo "sanitizer reports above (files in $reports)" >&2
  status=1
fi
exit $status
