#!/bin/sh
# Runs every libFuzzer target of a fuzz build (make fuzz configures and builds one) for a bounded
# time, starting from its stored corpus in fuzz/<target>/corpus, then merges into that corpus the
# new inputs that raise its coverage. Prints libFuzzer's edge coverage (cov:) of the stored corpus
# before the run and after it. A fault found stops nothing else but fails the script; its input is
# kept beside the logs.
# Usage: scripts/fuzz.sh <fuzz build dir> [seconds per target]
set -eu
build=${1:?usage: scripts/fuzz.sh <fuzz build dir> [seconds per target]}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$build/fuzz-run
rm -rf "$work"
mkdir -p "$work"

# The cov: number of the first line of a libFuzzer log that starts with the given word.
coverage() {
    sed -n "s/.*$1 *cov: \([0-9]*\).*/\1/p" "$2" | head -n 1
}

status=0
found=0
printf '%-16s %10s %10s %6s\n' target "cov before" "cov after" added
for fuzzer in "$build"/fuzz/*/*_fuzzer; do
    [ -x "$fuzzer" ] || { echo "fuzz.sh: no fuzz targets in $build/fuzz; build first (make fuzz)" >&2; exit 1; }
    folder=$(basename "$(dirname "$fuzzer")")
    corpus=$root/fuzz/$folder/corpus
    fresh=$work/$folder-new
    log=$work/$folder.log
    mkdir -p "$fresh"
    # New inputs are written to the first folder; the stored corpus is only read here.
    if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$work/$folder-" "$fresh" "$corpus" >"$log" 2>&1; then
        echo "fuzz.sh: $folder found a fault; its input and log: $work/$folder-*, $log" >&2
        status=1
        found=$((found + 1))
        continue
    fi
    before=$(find "$corpus" -type f | wc -l)
    # Only the inputs that add coverage to the stored corpus join it.
    "$fuzzer" -merge=1 "$corpus" "$fresh" >"$work/$folder-merge.log" 2>&1
    after=$(find "$corpus" -type f | wc -l)
    "$fuzzer" -runs=0 "$corpus" >"$work/$folder-after.log" 2>&1
    printf '%-16s %10s %10s %6s\n' "$folder" "$(coverage INITED "$log")" \
        "$(coverage INITED "$work/$folder-after.log")" $((after - before))
done
[ "$found" -eq 0 ] || echo "fuzz.sh: $found target(s) found a fault" >&2
exit $status
