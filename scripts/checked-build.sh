#!/usr/bin/env bash
# Configures and builds one of the checked build trees that ./test.sh, ./fuzz.sh
# and ./soak.sh run: the library and the suites that matter most under a
# sanitizer, built with Debian's clang.
#   scripts/checked-build.sh asan   build/asan: AddressSanitizer + UndefinedBehaviorSanitizer,
#                                   and the libFuzzer targets
#   scripts/checked-build.sh tsan   build/tsan: ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."

kind=${1:?usage: scripts/checked-build.sh asan|tsan}
common=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
        -DQUORVEL_BUILD_DEMO=OFF -DQUORVEL_BUILD_CLI=OFF)
case "$kind" in
    asan)
        cmake -S . -B build/asan "${common[@]}" -DQUORVEL_SANITIZE=address,undefined \
            -DQUORVEL_BUILD_FUZZERS=ON -DQUORVEL_FUZZ_SECONDS=10 >/dev/null
        targets=(QuorvelUnitTests QuorvelLineTests QuorvelPlatformTests QuorvelStressTests QuorvelFuzzers) ;;
    tsan)
        cmake -S . -B build/tsan "${common[@]}" -DQUORVEL_SANITIZE=thread >/dev/null
        targets=(QuorvelUnitTests QuorvelLineTests QuorvelPlatformTests QuorvelStressTests) ;;
    *)
        echo "checked-build: unknown kind '$kind' (asan or tsan)" >&2
        exit 2 ;;
esac
cmake --build "build/$kind" --parallel "$(nproc)" --target "${targets[@]}"
