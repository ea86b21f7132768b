#!/usr/bin/env bash
# Builds Quorvel and starts the demo program.
set -euo pipefail
cd "$(dirname "$0")"

build=build/run
if [ -f Examples/QuorvelDemo/CMakeLists.txt ]; then
    ./scripts/install-deps.sh demo
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" --parallel "$(nproc)"
    exec "$build/Examples/QuorvelDemo/QuorvelDemo" "$@"
fi

./scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)"
echo "The Quorvel library is built in $build/Source. The demo program is not there yet."
