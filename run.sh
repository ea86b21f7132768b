#!/usr/bin/env bash
# Builds Quorvel and starts the demo program.
#   ./run.sh                        the demo on a virtual line, the bundled simulator on its other end
#   ./run.sh --port /dev/ttyUSB0    the demo alone, on real hardware (any demo arguments)
set -euo pipefail
cd "$(dirname "$0")"

build=build/run
./scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)"

demo="$build/Examples/QuorvelDemo/QuorvelDemo"
if [ $# -gt 0 ]; then
    exec "$demo" "$@"
fi
# No arguments: try everything without hardware. Quitting the demo stops the rest.
echo "Starting the demo on a virtual line with the simulator (unit 1) on its other end."
exec ./scripts/with-virtual-line.sh "$build/Examples/QuorvelCli/quorvel" "$demo" --port "{port}"
