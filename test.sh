#!/usr/bin/env bash
# Builds Quorvel and runs every test through CTest. Installs what it needs first.
#   ./test.sh            configure, build, run the whole suite
#   QUORVEL_CHECKED=1 ./test.sh   also the checked (sanitizer) builds with short fuzz runs
#   ./test.sh -L unit    extra arguments go to ctest (the main build only)
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

build=build/test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel "$(nproc)"

# The checked builds, with clang: the unit, line and stress suites under
# AddressSanitizer + UndefinedBehaviorSanitizer with a short run of every fuzz
# target, and the same suites under ThreadSanitizer; any report fails its test.
# Run with QUORVEL_CHECKED=1 (off by default until their run time in CI is
# measured); skipped when ctest arguments are given.
checked=0
if [ $# -eq 0 ] && [ "${QUORVEL_CHECKED:-0}" != 0 ]; then
    ./scripts/checked-build.sh asan
    ./scripts/checked-build.sh tsan
    # Shorter stress runs here: the default builds run them in full below.
    export QUORVEL_LIFECYCLE_CYCLES=300 QUORVEL_SOAK_TRANSACTIONS=400
    options=(-E HeadersCompileAlone --output-on-failure --timeout 300 --parallel "$(nproc)")
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build/asan -L 'unit|line|stress|fuzz' "${options[@]}" || checked=1
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        ctest --test-dir build/tsan -L 'unit|line|stress' "${options[@]}" || checked=1
    unset QUORVEL_LIFECYCLE_CYCLES QUORVEL_SOAK_TRANSACTIONS
fi

# --output-on-failure shows a failing test's output; ctest ends with its summary
# and exits non-zero when anything failed.
status=0
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)" "$@" || status=$?
if [ "$checked" -ne 0 ]; then
    echo "test.sh: the checked builds (build/asan, build/tsan) failed: see their ctest summaries above" >&2
    exit 1
fi
exit "$status"
