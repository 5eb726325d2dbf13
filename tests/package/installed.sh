#!/bin/sh
# Runs keymgr and libkeyprobe as the package installs them. The .deb is unpacked into a temporary
# root whose /opt is bound over the real one in a private mount, IPC and network namespace (so the
# FIFO, the single-instance segment and the X server are the test's own). There, under Xvfb with a
# system tray: without an SKF library the program starts into the tray and shows an empty tree;
# with softskf as the SKF library it shows the token, the libkeyprobe example built against the
# installed header and keyprobe.pc finds it, and the PKCS#11 module loaded through its p11-kit
# module file shows it to p11-kit and pkcs11-tool.
# Usage: installed.sh <package build directory> <keyprobe_example.c>   (SOFTSKF_LIB, SOFTSKF_CTL set)
set -eu
appid=com.lumeno.tesselkey-norvik
app=/opt/apps/$appid/files
keymgr=$app/bin/keymgr
stage=${STAGE:-outer}

fail() {
    echo "FAIL: $*"
    exit 1
}

if [ "$stage" = outer ]; then
    build=${1:?usage: installed.sh <package build directory> <keyprobe_example.c>}
    for tool in dpkg-deb unshare xvfb-run trayer xdotool import convert cc pkg-config jq p11-kit pkcs11-tool; do
        command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/install-deps.sh)"
    done
    [ -f "${SOFTSKF_LIB:-}" ] && [ -x "${SOFTSKF_CTL:-}" ] || fail "SOFTSKF_LIB and SOFTSKF_CTL must name softskf"
    example=${2:?}
    set -- "$build"/"$appid"_*.deb
    [ $# -eq 1 ] && [ -f "$1" ] || fail "expected one ${appid}_*.deb in $build, found: $*"
    root=$TMPDIR/root
    rm -rf "$root"
    dpkg-deb -x "$1" "$root"
    [ -d /opt ] || fail "/opt does not exist, so there is nothing to bind the package over"
    namespace="--mount --ipc --net"
    [ "$(id -u)" -eq 0 ] || namespace="$namespace --map-root-user"
    # shellcheck disable=SC2086
    unshare $namespace true 2>"$TMPDIR/unshare.err" ||
        fail "this machine refuses a private mount namespace: $(cat "$TMPDIR/unshare.err")"
    # shellcheck disable=SC2086
    exec env STAGE=namespace unshare $namespace sh "$0" "$root" "$example"
fi

if [ "$stage" = namespace ]; then
    mount --bind "$1/opt" /opt
    mount -t tmpfs tmpfs /dev/shm
    exec env STAGE=display xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" sh "$0" "$@"
fi

example=$2
# Live copies of the installed program in this test's mount namespace (the daemonising parents last
# an instant); another run of this test elsewhere on the machine has copies at the same path.
own_mounts=$(readlink /proc/self/ns/mnt)
copies() {
    for dir in /proc/[0-9]*; do
        [ "$(readlink "$dir/exe" 2>/dev/null)" = "$keymgr" ] || continue
        [ "$(readlink "$dir/ns/mnt" 2>/dev/null)" = "$own_mounts" ] || continue
        grep -q ') Z ' "$dir/stat" 2>/dev/null || echo "${dir#/proc/}"
    done
}
end_copies() {
    for pid in $(copies); do kill -9 "$pid" 2>/dev/null || true; done
}
tray=
trap 'end_copies; kill $tray 2>/dev/null || true' EXIT
# Waits until exactly one copy has stayed for a second.
one_copy() {
    last=
    for _ in $(seq 100); do
        now=$(copies | tr '\n' ' ')
        [ -n "$last" ] && [ "$now" = "$last" ] && [ "$(echo "$now" | wc -w)" -eq 1 ] && return 0
        last=$now
        sleep 1
    done
    return 1
}
# Starts the program as the desktop does from an installed entry (applications or autostart).
launch() {
    command=$(sed -n 's/^Exec=//p' "/opt/apps/$appid/entries/$1/$appid.desktop")
    # shellcheck disable=SC2086
    timeout 10 $command || fail "'$command' from entries/$1 did not return at once with status 0"
}
main_window() {
    for _ in $(seq 30); do
        id=$(xdotool search --onlyvisible --name Norvik 2>/dev/null | head -1) && [ -n "$id" ] && echo "$id" && return 0
        sleep 0.5
    done
    return 1
}
# Standard deviation of the device tree below its header in a photograph of the window (0 when it
# has no row), and how much redder than green it is (the notice of a missing library is red).
tree_spread() {
    import -window "$1" "$TMPDIR/$2.png" &&
        convert "$TMPDIR/$2.png" -crop 190x380+30+96 +repage -format '%[fx:standard_deviation]' info:
}
tree_redness() {
    convert "$TMPDIR/$1.png" -crop 190x380+30+96 +repage -format '%[fx:mean.r-mean.g]' info:
}
is_red() { awk -v r="$1" 'BEGIN { exit !(r > 0.01) }'; }
# Runs the command every 0.2 s until it succeeds, for at most 20 s.
within_20s() {
    for _ in $(seq 100); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}
tray_icon() { [ -n "$(xdotool search --onlyvisible --class keymgr 2>/dev/null)" ]; }
notice_shown() { tree_spread "$window" empty >/dev/null && is_red "$(tree_redness empty)"; }
tree_filled() {
    spread=$(tree_spread "$window" token) && [ "$spread" != 0 ]
}

trayer --edge top --align right --widthtype pixel --width 120 --height 24 --SetDockType true 2>"$TMPDIR/trayer.err" &
tray=$!
# The tray takes its selection before its panel is mapped: a program started after that docks at once.
tray_ready() { [ -n "$(xdotool search --onlyvisible --class trayer 2>/dev/null)" ]; }
if ! within_20s tray_ready; then
    status=running
    kill -0 $tray 2>/dev/null || { wait $tray && status="ended with 0" || status="ended with $?"; }
    fail "the system tray (trayer) did not start: $status $(cat "$TMPDIR/trayer.err")"
fi

[ ! -e "$app/lib/liborvane.so.1.0.0" ] || fail "the package brought its own SKF library"
launch autostart
one_copy || fail "keymgr without an SKF library did not keep running: $(copies)"
within_20s tray_icon || fail "no tray icon without an SKF library"
[ -z "$(xdotool search --onlyvisible --name Norvik 2>/dev/null)" ] || fail "a login start showed the window"
launch applications
window=$(main_window) || fail "a start from the menu did not show the running copy's window"
# Where the tree is, the notice that the driver's library is missing.
within_20s notice_shown || fail "without an SKF library the window says nothing where the tree is"
end_copies

cp "$SOFTSKF_LIB" "$app/lib/liborvane.so.1.0.0"
"$SOFTSKF_CTL" init
"$SOFTSKF_CTL" create TOKEN1 --serial PKG-0001 --label "Package token"
"$SOFTSKF_CTL" add-container TOKEN1 signer sm2
"$SOFTSKF_CTL" add-cert TOKEN1 signer sign --cn "Zhang San" --days 365
launch applications
window=$(main_window) || fail "started from the menu, keymgr showed no window"
one_copy || fail "keymgr with an SKF library did not keep running"
within_20s tree_filled || fail "the device tree stays empty with a token present"
! is_red "$(tree_redness token)" || fail "with the SKF library in place the window still says it is missing"
connects=$("$SOFTSKF_CTL" stats --json | jq '.SKF_ConnectDev // 0')
[ "$connects" -gt 0 ] || fail "keymgr never connected to the token: $("$SOFTSKF_CTL" stats)"

# Built the way another program on the machine would build it.
# shellcheck disable=SC2046
cc -o "$TMPDIR/keyprobe_example" "$example" $(PKG_CONFIG_PATH=$app/lib/pkgconfig pkg-config --cflags --libs keyprobe) ||
    fail "the example does not build against the installed header and keyprobe.pc"
out=$("$TMPDIR/keyprobe_example")
echo "$out"
echo "$out" | grep -qx 'tokens: 1' || fail "libkeyprobe does not count the token"
echo "$out" | grep -qx 'serial: PKG-0001' || fail "libkeyprobe does not read the token's serial number"

# p11-kit reads only the package's module file here: this namespace's own view of its module folder.
mkdir -p "$TMPDIR/p11-modules"
cp "/opt/apps/$appid/files/share/p11-kit/modules/keymgr.module" "$TMPDIR/p11-modules/"
mount --bind "$TMPDIR/p11-modules" /usr/share/p11-kit/modules
out=$(p11-kit list-modules)
echo "$out"
echo "$out" | grep -q "keymgr: $app/lib/keymgr-pkcs11.so" || fail "p11-kit does not load the installed module file"
echo "$out" | grep -q "token: Package token" || fail "the installed PKCS#11 module does not show the token"
out=$(pkcs11-tool --module "$app/lib/keymgr-pkcs11.so" -O --type cert)
echo "$out"
echo "$out" | grep -q "CN=Zhang San" || fail "the installed PKCS#11 module does not show the token's certificate"

echo "PASS: the installed keymgr runs with and without an SKF library, libkeyprobe and the PKCS#11 module find the token"
