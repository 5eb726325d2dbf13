#!/bin/sh
# Benchmarks LM_GetUserCert of libkeyprobe on softskf tokens with 1, 16 and 64 SM2 containers,
# each holding an encryption and a signature certificate: SKF calls per query (softskf's call
# counters) and host time per query; then the main window's benchmarks (bench/window_bench.sh),
# which end with the whole program before and after: the revision KEYMGR_BENCH_BEFORE (default
# 55fdb44, the one before the incremental device tree and the light idle window) is built from git
# into <build dir>/bench-before (bench/before_build.sh, reused while the revision stays) and run
# beside this build. Otherwise builds nothing: run it on a built staging build folder.
# Usage: scripts/bench.sh <absolute build dir> [queries per size]
set -eu
build=${1:?usage: scripts/bench.sh <absolute build dir> [queries per size]}
queries=${2:-200}
ctl=$build/softskf/softskf-ctl
bench=$build/bench/bench_keyprobe
probe=$build/probe/libkeyprobe.so
appdir=$(sed -n 's/^KEYMGR_APP_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")

for f in "$ctl" "$bench" "$probe"; do
    [ -x "$f" ] || [ -f "$f" ] || { echo "bench.sh: $f is missing; build first (make build)" >&2; exit 1; }
done
if [ ! -f "$appdir/lib/liborvane.so.1.0.0" ]; then
    echo "bench.sh: $appdir/lib/liborvane.so.1.0.0 is missing: this is not a staging build with softskf" >&2
    exit 1
fi

SOFTSKF_DIR=$(mktemp -d "${TMPDIR:-/tmp}/keyprobe-bench.XXXXXX")
export SOFTSKF_DIR
trap 'rm -rf "$SOFTSKF_DIR"' EXIT INT TERM

echo "LM_GetUserCert on softskf ($queries timed queries per size, after one untimed first query)"
printf '%-10s %6s %10s %12s %12s %12s %14s\n' containers certs "blob bytes" "SKF calls" "mean us" "median us" "first query us"
for n in 1 16 64; do
    "$ctl" init --reset >/dev/null
    "$ctl" create BENCH >/dev/null
    i=1
    while [ "$i" -le "$n" ]; do
        name=$(printf 'c%03d' "$i")
        "$ctl" add-container BENCH "$name" sm2 >/dev/null
        "$ctl" add-cert BENCH "$name" enc >/dev/null
        "$ctl" add-cert BENCH "$name" sign >/dev/null
        i=$((i + 1))
    done
    "$ctl" stats --reset >/dev/null
    # queries first-us mean-us median-us blob-bytes items
    set -- $("$bench" "$probe" "$queries")
    calls=$("$ctl" stats | awk '{ sum += $2 } END { print sum + 0 }')
    per_query=$(awk -v c="$calls" -v q="$1" 'BEGIN { printf "%.1f", c / (q + 1) }')
    printf '%-10s %6s %10s %12s %12s %12s %14s\n' "$n" "$6" "$5" "$per_query" "$3" "$4" "$2"
done

echo
echo "SKF calls per query by function, 64 containers:"
"$ctl" stats | awk -v q="$queries" '$2 > 0 { printf "  %-24s %8.1f\n", $1, $2 / (q + 1) }'

echo
before_rev=${KEYMGR_BENCH_BEFORE:-55fdb44}
echo "Building revision $before_rev for the before column (kept in $build/bench-before)..."
if before=$(sh "$(dirname "$0")/../bench/before_build.sh" "$build" "$before_rev" 2>"$build/bench-before.why"); then
    :
else
    cat "$build/bench-before.why" >&2
    before="- $(tail -n 1 "$build/bench-before.why")"
fi
echo
sh "$(dirname "$0")/../bench/window_bench.sh" "$build" "${KEYMGR_BENCH_IDLE:-30}" "$before"
