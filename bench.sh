#!/usr/bin/env bash
# Builds the benchmarks in release mode, runs them and writes the table to
# Benchmarks/results.md (and prints it). Not part of ./test.sh.
#   ./bench.sh                 every benchmark (about 5 to 8 minutes)
#   ./bench.sh --quick         a short run of each, to check the harness
#   ./bench.sh rtu ascii ...   only these (rtu ascii latency idle queue precision)
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh bench

build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_BENCHMARKS=ON \
    -DQUORVEL_BUILD_TESTS=OFF -DQUORVEL_BUILD_DEMO=OFF -DQUORVEL_BUILD_CLI=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target QuorvelLineBench QuorvelFrameBench

out=Benchmarks/results.md
rows=$(mktemp)
log=$(mktemp)
trap 'rm -f "$rows" "$log" "$rows.json"' EXIT

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)
"$build/Benchmarks/QuorvelLineBench" "$@" >"$rows" 2> >(tee "$log" >&2)

# The frame path: Google Benchmark, median of 5 repetitions.
case " $* " in
    *" --quick "*) reps=2 ;;
    *) reps=5 ;;
esac
if [ $# -eq 0 ] || [ "$*" = "--quick" ]; then
    "$build/Benchmarks/QuorvelFrameBench" --benchmark_repetitions=$reps --benchmark_report_aggregates_only=true \
        --benchmark_format=json >"$rows.json"
    /usr/bin/python3 - "$rows.json" >>"$rows" <<'PY'
import json, sys
data = json.load(open(sys.argv[1]))
runs = {}
for b in data["benchmarks"]:
    runs.setdefault(b["run_name"], {})[b.get("aggregate_name", "")] = b
names = {"BM_Crc16": "CRC-16 of a 23-byte frame", "BM_Lrc": "LRC of a 23-byte frame",
         "BM_Encode/ascii:0": "Encode a 25-byte RTU frame", "BM_Encode/ascii:1": "Encode the frame in ASCII",
         "BM_Decode/ascii:0": "Decode a 25-byte RTU frame", "BM_Decode/ascii:1": "Decode the frame in ASCII"}
queue = {}
for name, agg in runs.items():
    med = agg.get("median", agg.get(""))
    if name.startswith("BM_MainThreadQueue/queued:"):
        # Real time per message, posted by a worker and handled by ProcessMessages.
        queue[int(name.split(":")[1])] = 1e9 / med["items_per_second"]
        continue
    sd = agg.get("stddev")
    unit = med["time_unit"]
    extra = f" (stddev {sd['cpu_time']:.1f})" if sd else ""
    print(f"| {names.get(name, name)}: CPU time, {unit} | {med['cpu_time']:.1f}{extra} | — | — | — |")
if queue:
    sizes = sorted(queue)
    text = " / ".join(f"{queue[n]:.0f}" for n in sizes)
    print(f"| Main-thread queue, {' / '.join(f'{n:,}' for n in sizes)} messages waiting: ns per message | {text} | — "
          f"| {queue[sizes[-1]] / queue[sizes[0]]:.2f} | flat |")
PY
fi
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
elapsed=$(( $(date +%s) - started ))

{
    echo "# Quorvel benchmarks"
    echo
    echo "Written by ./bench.sh on $(date -u '+%Y-%m-%d %H:%M UTC') in ${elapsed} s."
    echo
    echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores," \
        "$(awk '/MemTotal/ {printf "%.1f GiB", $2/1048576}' /proc/meminfo), Linux $(uname -r);" \
        "load average $load_before before, $load_after after (other builds may share the machine)."
    echo "Peers: libmodbus $(dpkg-query -W -f='${Version}' libmodbus5), pymodbus $(dpkg-query -W -f='${Version}' python3-pymodbus)" \
        "(Debian), each started by the benchmark on its own pty pair (two pairs joined by a relay thread where both" \
        "ends are programs). Build: Release."
    echo
    echo "Figures are medians over every repetition, p99 in brackets (nearest rank). Ratio is Quorvel ÷ peer for times" \
        "and peer cycle ÷ Quorvel cycle for rates, so above 1 means Quorvel is faster in a rate row and slower in a" \
        "time row. A pty moves bytes at memory speed whatever the rate set on the port; the rate sets the real silent" \
        "interval (at least 16 ms), so the overhead is the cycle less the mandated silences: the client's after the" \
        "reply and, for the library's server, its own after the query (libmodbus counts bytes and waits for none)." \
        "The pty's own transfer time is part of the overhead."
    echo
    echo "| Metric | Quorvel | Peer | Ratio | Target |"
    echo "|---|---|---|---|---|"
    cat "$rows"
    echo
    echo "Details:"
    echo
    echo '```'
    grep '^  ' "$log" | sed 's/^  //' || true
    echo '```'
} >"$out"
cat "$out"
