#!/usr/bin/env bash
# The long fault-injection soak and the open/close cycles, under ASan + UBSan
# (so that a leak is a failure too): the library against itself through the
# fault relay, 100,000 transactions over eight lanes (RTU, ASCII, with and
# without echo), then 1,000 open/close cycles in each mode.
#   ./soak.sh                  100,000 transactions, a fresh seed (printed)
#   ./soak.sh 20000            fewer
#   QUORVEL_SOAK_SEED=N ./soak.sh   replays the faults of seed N
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
./scripts/checked-build.sh asan

export QUORVEL_SOAK_TRANSACTIONS=${1:-100000}
export QUORVEL_SOAK_LANES=${QUORVEL_SOAK_LANES:-8}
export QUORVEL_SOAK_SEED=${QUORVEL_SOAK_SEED:-$(( $(date +%s) % 1000000 ))}
export QUORVEL_LIFECYCLE_CYCLES=${QUORVEL_LIFECYCLE_CYCLES:-1000}
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
exec build/asan/Tests/QuorvelStressTests
