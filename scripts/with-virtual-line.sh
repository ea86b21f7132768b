#!/usr/bin/env bash
# Runs a command beside a virtual serial line: a virtual null-modem pair
# (quorvel pair) with the bundled simulator (quorvel serve --sample, unit 1)
# answering on one end. The command gets the other end in $QUORVEL_PORT, and
# every "{port}" among its arguments is replaced by that path. When the command
# ends, the pair and the simulator are stopped; the command's exit status is
# returned.
#   scripts/with-virtual-line.sh QUORVEL_BINARY COMMAND [ARGS...]
set -euo pipefail

quorvel=$1
shift
[ -x "$quorvel" ] || { echo "with-virtual-line: no quorvel binary at '$quorvel'" >&2; exit 2; }

work=$(mktemp -d)
pair_pid=""
serve_pid=""
cleanup() {
    # Only the processes started here, by their PIDs.
    for pid in $serve_pid $pair_pid; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in $serve_pid $pair_pid; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# Waits up to 10 s for a line matching $2 in file $1.
await() {
    for _ in $(seq 100); do
        grep -q -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "with-virtual-line: '$2' did not appear; see:" >&2
    cat "$1" >&2
    return 1
}

"$quorvel" pair --links "$work/line" >"$work/pair.out" 2>&1 &
pair_pid=$!
await "$work/pair.out" READY

"$quorvel" serve --sample -p "$work/line/a" -a 1 >"$work/serve.out" 2>&1 &
serve_pid=$!
await "$work/serve.out" "serving unit"

export QUORVEL_PORT="$work/line/b"
args=()
for a in "$@"; do
    args+=("${a//\{port\}/$QUORVEL_PORT}")
done
status=0
"${args[@]}" || status=$?
exit "$status"
