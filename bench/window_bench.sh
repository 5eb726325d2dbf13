#!/bin/sh
# The main window's benchmarks: SKF calls and blocked time per action for tokens with 1, 4 and 16
# containers (offscreen), then the idle wake-ups and PSS of the real program under Xvfb with one
# token beside a bare Qt window with a tray icon, with the PSS split by mapping.
# Usage: bench/window_bench.sh <absolute build dir> [seconds of idle to count wake-ups over]
set -eu
build=${1:?usage: bench/window_bench.sh <absolute build dir> [idle seconds]}
idle=${2:-30}
script=$(readlink -f "$0")

# keymgr's request FIFO and shared-memory key are fixed names: the benchmark runs with its own
# /tmp and IPC namespace so that a keymgr the developer is running is never touched.
if [ -z "${KEYMGR_BENCH_PRIVATE:-}" ]; then
    if [ "$(id -u)" = 0 ]; then set -- unshare -m -i; else set -- unshare -r -m -i; fi
    if ! "$@" sh -c 'mount -t tmpfs tmpfs /tmp' 2>/dev/null; then
        echo "window_bench.sh: cannot make a private /tmp (unshare); not run" >&2
        exit 1
    fi
    exec env KEYMGR_BENCH_PRIVATE=1 "$@" sh -c 'mount -t tmpfs -o mode=1777 tmpfs /tmp && exec sh "$0" "$1" "$2"' \
        "$script" "$build" "$idle"
fi

ctl=$build/softskf/softskf-ctl
bench=$build/bench/bench_window
keymgr=$build/app/keymgr
bare=$build/bench/bench_bare_tray
for f in "$ctl" "$bench" "$keymgr" "$bare"; do
    [ -x "$f" ] || { echo "window_bench.sh: $f is missing; build first (make build)" >&2; exit 1; }
done
for tool in Xvfb trayer; do
    command -v "$tool" >/dev/null || { echo "window_bench.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/window-bench.XXXXXX)
export HOME=$work/home XDG_RUNTIME_DIR=$work/run SOFTSKF_DIR=$work/store SOFTSKF_CTL=$ctl
export LANG=en_US.UTF-8 LC_ALL= LANGUAGE= TZ=UTC
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$SOFTSKF_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
pids=
cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

echo "== Main window actions (offscreen): SKF calls of the interface thread and its longest blocked time in ms"
for n in ${BENCH_SIZES:-1 4 16}; do
    QT_QPA_PLATFORM=offscreen "$bench" actions "$n" 2>"$work/actions.err" ||
        { cat "$work/actions.err" >&2; exit 1; }
    echo
done

display=:$((90 + $$ % 100))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp 2>/dev/null &
pids="$pids $!"
i=0
while [ ! -S "/tmp/.X11-unix/X${display#:}" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
export DISPLAY=$display QT_QPA_PLATFORM=xcb QT_XCB_GL_INTEGRATION=none
trayer --edge top --align right --widthtype pixel --width 120 --heighttype pixel --height 24 >/dev/null 2>&1 &
pids="$pids $!"
sleep 1

"$ctl" init --reset >/dev/null
"$ctl" create BENCH >/dev/null
"$ctl" add-container BENCH c001 sm2 >/dev/null
"$ctl" add-cert BENCH c001 sign >/dev/null
mkdir -p "$HOME/.config/com.lumeno.tesselkey-norvik"
printf '{"openURL": false, "URL": ""}' >"$HOME/.config/com.lumeno.tesselkey-norvik/.cfg"

pss() { awk '/^Pss:/ { s += $2 } END { print s + 0 }' "/proc/$1/smaps_rollup"; }
switches() {
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/^(voluntary|nonvoluntary)_ctxt_switches:/ { s += $2 } END { print s + 0 }'
}
# kB per mapping (the file's name, or the kind of anonymous memory): "name RSS private PSS".
by_mapping() {
    awk '/^[0-9a-f]+-[0-9a-f]+ / { name = $6; if (name == "") name = "[anonymous]"; sub(/.*\//, "", name); next }
         /^Rss:/ { rss[name] += $2 }
         /^Private_(Clean|Dirty):/ { priv[name] += $2 }
         /^Pss:/ { pss[name] += $2 }
         END { for (n in rss) if (rss[n] > 0) print n, rss[n], priv[n] + 0, pss[n] + 0 }' "/proc/$1/smaps" | sort
}
# Measures one program alone (so that no page it shares with the other is split between them):
# PSS and its split by mapping after it settled, then context switches over the idle time.
# Prints "PSS RSS private threads wake-ups/s" and leaves the split in $work/<name>.map.
measure() {
    name=$1 pid=$2
    sleep 5
    by_mapping "$pid" >"$work/$name.map"
    p=$(pss "$pid")
    r=$(awk '{ s += $2 } END { print s + 0 }' "$work/$name.map")
    u=$(awk '{ s += $3 } END { print s + 0 }' "$work/$name.map")
    s0=$(switches "$pid")
    sleep "$idle"
    s1=$(switches "$pid")
    echo "$p $r $u $(ls "/proc/$pid/task" | wc -l) $(awk -v a="$s0" -v b="$s1" -v t="$idle" 'BEGIN { printf "%.2f", (b - a) / t }')"
    kill "$pid"
}

# keymgr daemonises: it is found by its executable, which only this namespace's copy can be.
"$keymgr" >/dev/null 2>&1
exe=$(readlink -f "$keymgr")
kpid=
i=0
while [ -z "$kpid" ] && [ $i -lt 50 ]; do
    for d in /proc/[0-9]*; do
        [ "$(readlink "$d/exe" 2>/dev/null)" = "$exe" ] && kpid=${d#/proc/}
    done
    [ -n "$kpid" ] || sleep 0.1
    i=$((i + 1))
done
[ -n "$kpid" ] || { echo "window_bench.sh: keymgr did not start" >&2; exit 1; }
pids="$pids $kpid"
set -- $(measure keymgr "$kpid")
kpss=$1 krss=$2 kpriv=$3 kthreads=$4 kwake=$5

"$bare" >/dev/null 2>&1 &
bpid=$!
pids="$pids $bpid"
set -- $(measure bare "$bpid")
bpss=$1 brss=$2 bpriv=$3 bthreads=$4 bwake=$5

"$bare" text >/dev/null 2>&1 &
tpid=$!
pids="$pids $tpid"
set -- $(measure text "$tpid")
tpss=$1 trss=$2 tpriv=$3 tthreads=$4 twake=$5

echo "== Footprint under Xvfb (QT_XCB_GL_INTEGRATION=none), each program alone, window hidden in the tray"
echo "   keymgr with one token; wake-ups counted as context switches of all threads over ${idle} s of idle."
echo "   PSS shares library pages with every other process mapping them (other Qt programs running on"
echo "   this machine lower it); RSS and private memory do not depend on them."
printf '%-22s %9s %9s %10s %8s %11s\n' program "PSS kB" "RSS kB" "private kB" threads "wake-ups/s"
printf '%-22s %9s %9s %10s %8s %11s\n' keymgr "$kpss" "$krss" "$kpriv" "$kthreads" "$kwake"
printf '%-22s %9s %9s %10s %8s %11s\n' "bare Qt tray window" "$bpss" "$brss" "$bpriv" "$bthreads" "$bwake"
printf '%-22s %9s %9s %10s %8s %11s\n' "bare + one line edit" "$tpss" "$trss" "$tpriv" "$tthreads" "$twake"
awk -v k="$kpss" -v b="$bpss" -v kr="$krss" -v br="$brss" -v kp="$kpriv" -v bp="$bpriv" -v t="$tpss" 'BEGIN {
    printf "ratio keymgr/bare: PSS %.2f (goal <= 1.30), RSS %.2f, private %.2f; PSS against bare + line edit %.2f\n",
        k / b, kr / br, kp / bp, k / t
    print "wake-ups goal <= 0.05/s" }'

echo
echo "== Memory by mapping, kB (mappings whose RSS or private memory differ by 64 kB or more; the rest summed)"
join -a1 -a2 -e0 -o 0,1.2,2.2,1.3,2.3 "$work/keymgr.map" "$work/bare.map" |
    awk '{ d = $2 - $3; e = $4 - $5
           if (d >= 64 || d <= -64 || e >= 64 || e <= -64) printf "%-34s %8d %8d %8d %8d %8d %8d\n", $1, $2, $3, d, $4, $5, e
           else { r1 += $2; r2 += $3; p1 += $4; p2 += $5 } }
         END { printf "%-34s %8d %8d %8d %8d %8d %8d\n", "(others)", r1, r2, r1 - r2, p1, p2, p1 - p2 }' |
    sort -k4 -n -r | { printf '%-34s %8s %8s %8s %8s %8s %8s\n' mapping "RSS k" "RSS b" diff "priv k" "priv b" diff; cat; }
