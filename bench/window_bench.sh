#!/bin/sh
# The main window's benchmarks: SKF calls and blocked time per action for tokens with 1, 4 and 16
# containers (offscreen), then the idle wake-ups and PSS of the real program under Xvfb with one
# token beside a bare Qt window with a tray icon, with the PSS split by mapping; last the whole
# program before and after: the SKF calls of an insertion and a removal (softskf's counters) and
# the idle footprint, of an earlier revision's build beside this one, in the same run.
# Usage: bench/window_bench.sh <absolute build dir> [idle seconds] [earlier build dir | "-" reason]
set -eu
build=${1:?usage: bench/window_bench.sh <absolute build dir> [idle seconds] [earlier build dir]}
idle=${2:-30}
before=${3:-}
script=$(readlink -f "$0")

# keymgr's request FIFO and shared-memory key are fixed names: the benchmark runs with its own
# /tmp and IPC namespace so that a keymgr the developer is running is never touched.
if [ -z "${KEYMGR_BENCH_PRIVATE:-}" ]; then
    if [ "$(id -u)" = 0 ]; then set -- unshare -m -i; else set -- unshare -r -m -i; fi
    if ! "$@" sh -c 'mount -t tmpfs tmpfs /tmp' 2>/dev/null; then
        echo "window_bench.sh: cannot make a private /tmp (unshare); not run" >&2
        exit 1
    fi
    exec env KEYMGR_BENCH_PRIVATE=1 "$@" sh -c 'mount -t tmpfs -o mode=1777 tmpfs /tmp && exec sh "$0" "$1" "$2" "$3"' \
        "$script" "$build" "$idle" "$before"
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
    for pid in $pids $(cat "$work/pids" 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
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

mkdir -p "$HOME/.config/com.lumeno.tesselkey-norvik"
printf '{"openURL": false, "URL": ""}' >"$HOME/.config/com.lumeno.tesselkey-norvik/.cfg"

# The tokens of every program run, in a store of the run's own: BENCH present with one container,
# INS absent with four, each container holding a signing certificate.
tokens() {
    SOFTSKF_DIR=$work/store-$2
    mkdir -p "$SOFTSKF_DIR"
    "$1" init --reset >/dev/null
    "$1" create BENCH >/dev/null
    "$1" add-container BENCH c001 sm2 >/dev/null
    "$1" add-cert BENCH c001 sign >/dev/null
    "$1" create INS --absent >/dev/null
    for c in c001 c002 c003 c004; do
        "$1" add-container INS "$c" sm2 >/dev/null
        "$1" add-cert INS "$c" sign >/dev/null
    done
}

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
}
stop() {
    kill "$1" 2>/dev/null || return 0
    i=0
    while [ -d "/proc/$1" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    kill -9 "$1" 2>/dev/null || true
}

# The SKF calls since the last reset besides the event wait: "total|Function n, Function n".
calls_now() {
    "$1" stats | awk '$1 ~ /^SKF_/ && $1 !~ /WaitForDevEvent/ && $2 > 0 {
        sub(/^SKF_/, "", $1); list = list sep $1 " " $2; sep = ", "; t += $2 } END { print t + 0 "|" list }'
}
# Waits until the program has reacted to an event: calls counted and no new one for 2 s (30 s at most).
settled_calls() {
    last= same=0 i=0
    while [ $i -lt 300 ]; do
        now=$(calls_now "$1")
        if [ "$now" = "$last" ] && [ "${now%%|*}" != 0 ]; then
            same=$((same + 1))
            [ $same -ge 10 ] && { echo "$now"; return 0; }
        else
            same=0
        fi
        last=$now
        sleep 0.2
        i=$((i + 1))
    done
    echo "window_bench.sh: the program made no calls or did not settle after the event" >&2
    return 1
}

# One whole program under Xvfb: its footprint after start-up with BENCH present, then the calls of
# INS inserted and removed again. Prints "PSS RSS private threads wake-ups/s" and leaves the calls
# in $work/<name>.insert and $work/<name>.remove.
run_program() {
    name=$1 program=$2 ctl_of=$3
    tokens "$ctl_of" "$name"
    # keymgr daemonises: it is found by its executable, which only this namespace's copy can be.
    "$program" >/dev/null 2>&1
    exe=$(readlink -f "$program")
    kpid=
    i=0
    while [ -z "$kpid" ] && [ $i -lt 50 ]; do
        for d in /proc/[0-9]*; do
            [ "$(readlink "$d/exe" 2>/dev/null)" = "$exe" ] && kpid=${d#/proc/}
        done
        [ -n "$kpid" ] || sleep 0.1
        i=$((i + 1))
    done
    [ -n "$kpid" ] || { echo "window_bench.sh: $program did not start" >&2; exit 1; }
    echo "$kpid" >>"$work/pids"
    measure "$name" "$kpid"
    "$ctl_of" stats --reset >/dev/null
    "$ctl_of" insert INS >/dev/null
    settled_calls "$ctl_of" >"$work/$name.insert"
    "$ctl_of" stats --reset >/dev/null
    "$ctl_of" remove INS >/dev/null
    settled_calls "$ctl_of" >"$work/$name.remove"
    stop "$kpid"
}

set -- $(run_program keymgr "$keymgr" "$ctl")
[ $# -eq 5 ] || { echo "window_bench.sh: measuring keymgr failed" >&2; exit 1; }
kpss=$1 krss=$2 kpriv=$3 kthreads=$4 kwake=$5

if [ -n "$before" ] && [ "${before#-}" = "$before" ]; then
    set -- $(run_program before "$before/app/keymgr" "$before/softskf/softskf-ctl")
    if [ $# -eq 5 ]; then
        opss=$1 orss=$2 owake=$5
    else
        rm -f "$work/before.insert" "$work/before.remove"
        before="- the earlier build did not run to the end (see above)"
    fi
fi

"$bare" >/dev/null 2>&1 &
bpid=$!
pids="$pids $bpid"
set -- $(measure bare "$bpid")
bpss=$1 brss=$2 bpriv=$3 bthreads=$4 bwake=$5
stop "$bpid"

"$bare" text >/dev/null 2>&1 &
tpid=$!
pids="$pids $tpid"
set -- $(measure text "$tpid")
tpss=$1 trss=$2 tpriv=$3 tthreads=$4 twake=$5
stop "$tpid"

echo "== Footprint under Xvfb (QT_XCB_GL_INTEGRATION=none), each program alone, window hidden in the tray"
echo "   keymgr with one token; wake-ups counted as context switches of all threads over ${idle} s of idle."
echo "   PSS shares library pages with every other process mapping them (other Qt programs running on"
echo "   this machine lower it); RSS and private memory do not depend on them."
printf '%-22s %9s %9s %10s %8s %11s\n' program "PSS kB" "RSS kB" "private kB" threads "wake-ups/s"
printf '%-22s %9s %9s %10s %8s %11s\n' keymgr "$kpss" "$krss" "$kpriv" "$kthreads" "$kwake"
printf '%-22s %9s %9s %10s %8s %11s\n' "bare Qt tray window" "$bpss" "$brss" "$bpriv" "$bthreads" "$bwake"
printf '%-22s %9s %9s %10s %8s %11s\n' "bare + one line edit" "$tpss" "$trss" "$tpriv" "$tthreads" "$twake"
awk -v k="$kpss" -v b="$bpss" -v kr="$krss" -v br="$brss" -v kp="$kpriv" -v bp="$bpriv" -v t="$tpss" 'BEGIN {
    printf "ratio keymgr/bare: PSS %.2f (goal <= 1.20), RSS %.2f, private %.2f; PSS against bare + line edit %.2f\n",
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

echo
echo "== The whole program before and after, same machine, this run (softskf's counters, Xvfb with a tray)"
if [ -z "$before" ]; then
    echo "   no earlier build given: only this build is shown"
elif [ "${before#-}" != "$before" ]; then
    echo "   no earlier build:${before#-}; only this build is shown"
else
    echo "   before: $(cat "$before/../revision" 2>/dev/null || echo "$before"); after: this tree"
fi
echo "   one token (BENCH, one container) present; INS with four containers inserted, then removed."
echo "   Calls: every SKF call the program made for the event, the event wait itself not counted."
echo "   Memory: after start-up, window hidden; PSS and RSS against the bare tray window of the same run."
cell() { awk -v v="$1" -v b="$2" 'BEGIN { if (v == "") print "-"; else printf "%d (%.2fx)", v, v / b }'; }
row() { printf '%-44s %20s %20s\n' "$1" "$2" "$3"; }
row "" before after
row "insertion of INS, BENCH present (calls)" "$(cut -d'|' -f1 "$work/before.insert" 2>/dev/null || echo -)" \
    "$(cut -d'|' -f1 "$work/keymgr.insert")"
row "removal of INS, BENCH present (calls)" "$(cut -d'|' -f1 "$work/before.remove" 2>/dev/null || echo -)" \
    "$(cut -d'|' -f1 "$work/keymgr.remove")"
row "idle PSS kB (x bare tray window)" "$(cell "${opss:-}" "$bpss")" "$(cell "$kpss" "$bpss")"
row "idle RSS kB (x bare tray window)" "$(cell "${orss:-}" "$brss")" "$(cell "$krss" "$brss")"
row "idle wake-ups/s" "${owake:--}" "$kwake"
echo "bare Qt tray window: PSS $bpss kB, RSS $brss kB. Goals: insertion <= 6 + the expiry check's calls,"
echo "removal <= 2, PSS <= 1.20x, wake-ups <= 0.05/s."
for f in before keymgr; do
    [ -f "$work/$f.insert" ] || continue
    [ $f = keymgr ] && label=after || label=before
    echo "  $label, insertion: $(cut -d'|' -f2 "$work/$f.insert")"
    echo "  $label, removal:   $(cut -d'|' -f2 "$work/$f.remove")"
done
