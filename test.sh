#!/usr/bin/env bash
# Builds Quorvel and runs every test through CTest. Installs what it needs first.
#   ./test.sh            configure, build, run the whole suite
#   ./test.sh -L unit    extra arguments go to ctest
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

build=build/test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel "$(nproc)"

# --output-on-failure shows a failing test's output; ctest ends with its summary
# and exits non-zero when anything failed.
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)" "$@"
