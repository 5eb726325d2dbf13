#!/bin/sh
# Starts keymgr on software tokens: scripts/demo.sh <absolute build directory>
# Uses what the build staged (<build>/appdir: softskf as the SKF library, libkeyprobe, the language
# files), fills a softskf store in <build>/demo-store and shows the window: on $DISPLAY when there is
# one, otherwise on a private X server with a system tray, leaving screenshots in the build tree.
set -e

build=${1:?usage: scripts/demo.sh <absolute build directory>}
case $build in
    /*) ;;
    *) echo "demo: the build directory must be an absolute path" >&2; exit 2 ;;
esac
keymgr=$build/app/keymgr
ctl=$build/softskf/softskf-ctl
for f in "$keymgr" "$ctl" "$build/appdir/lib/liborvane.so.1.0.0" "$build/appdir/lang/olvane_2052.lng"; do
    if [ ! -e "$f" ]; then
        echo "demo: $f is missing; build first (make build)" >&2
        exit 1
    fi
done

export SOFTSKF_DIR="$build/demo-store"
# A home of its own: the demo neither reads nor changes the user's settings, and does not start a
# browser on every insertion (System Options switches that on).
export HOME="$build/demo-home"
mkdir -p "$HOME/.config/com.lumeno.tesselkey-norvik"
chmod 700 "$HOME" "$HOME/.config" "$HOME/.config/com.lumeno.tesselkey-norvik"
printf '{\n    "openURL": false,\n    "URL": ""\n}\n' > "$HOME/.config/com.lumeno.tesselkey-norvik/.cfg"
chmod 600 "$HOME/.config/com.lumeno.tesselkey-norvik/.cfg"

# keymgr runs once per user; a copy from an earlier demo of this build would keep the old store.
demo_pids() {
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/exe" 2>/dev/null)" = "$keymgr" ] && echo "${p#/proc/}"
    done
    return 0
}
for pid in $(demo_pids); do
    echo "demo: stopping the keymgr of an earlier demo (process $pid)"
    kill "$pid" 2>/dev/null || true
done
sleep 1

ctl() { "$ctl" "$@" >/dev/null; }
ctl init --reset
ctl create sm2-token --absent --label "SM2 Token" --serial "NV2026SM2000001" --manufacturer "Lumeno"
ctl add-container sm2-token "Zhang San" sm2
ctl add-cert sm2-token "Zhang San" sign --cn "Zhang San"
ctl add-cert sm2-token "Zhang San" enc --cn "Zhang San"
ctl create rsa-token --absent --label "RSA Token" --serial "NV2026RSA000002" --manufacturer "Lumeno"
ctl add-container rsa-token "Li Si" rsa2048
ctl add-cert rsa-token "Li Si" sign --cn "Li Si"
ctl add-cert rsa-token "Li Si" enc --cn "Li Si"
ctl create empty-token --absent --label "Empty Containers" --serial "NV2026EMP000003"
ctl add-container empty-token "unused-1" empty
ctl add-container empty-token "unused-2" empty
ctl create default-pin --absent --label "Factory PIN" --serial "NV2026DEF000004" --user-pin-default yes
ctl add-container default-pin "Wang Wu" sm2
ctl add-cert default-pin "Wang Wu" sign --cn "Wang Wu"
ctl create expiring --absent --label "Expiring Soon" --serial "NV2026EXP000005"
ctl add-container expiring "Zhao Liu" sm2
ctl add-cert expiring "Zhao Liu" enc --cn "Zhao Liu" --days 10
ctl add-cert expiring "Zhao Liu" sign --cn "Zhao Liu" --days 10
ctl create expired --absent --label "Expired" --serial "NV2026OLD000006"
ctl add-container expired "Sun Qi" rsa2048
ctl add-cert expired "Sun Qi" enc --cn "Sun Qi" --days -20
ctl add-cert expired "Sun Qi" sign --cn "Sun Qi" --days -20
ctl insert sm2-token
ctl insert rsa-token

usage() {
    cat <<USAGE

Demo tokens (store $SOFTSKF_DIR; user PIN 12345678 on each):
  sm2-token     SM2 token with a signature and an encryption certificate   (inserted)
  rsa-token     RSA-2048 token with both certificates                      (inserted)
  empty-token   only empty containers ("清理垃圾文件" removes them)
  default-pin   user PIN still the factory value: keymgr asks for a new one
  expiring      certificate expires in 10 days: tray warning
  expired       certificate expired 20 days ago: warning box
Insert and remove tokens while keymgr runs:
  SOFTSKF_DIR=$SOFTSKF_DIR $ctl insert expiring
  SOFTSKF_DIR=$SOFTSKF_DIR $ctl remove rsa-token
  SOFTSKF_DIR=$SOFTSKF_DIR $ctl show sm2-token
USAGE
}

if [ -n "$DISPLAY" ]; then
    "$keymgr" show
    sleep 2
    usage
    echo
    echo "keymgr runs (process $(demo_pids)); closing the window hides it in the tray."
    echo "Start it again to bring the window back; end the demo with: kill $(demo_pids)"
    exit 0
fi

# No display: a private X server with a tray, screenshots into the build tree.
shots="$build/demo-screenshots"
mkdir -p "$shots"
export KEYMGR_DEMO_BUILD="$build" KEYMGR_DEMO_SHOTS="$shots"
xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" sh -c '
    trayer --edge top --align right --widthtype pixel --width 120 --height 24 --SetDockType true &
    tray=$!
    sleep 1
    "$KEYMGR_DEMO_BUILD/app/keymgr" show
    sleep 4
    window=$(xdotool search --onlyvisible --name Norvik | head -n 1)
    import -window "${window:-root}" "$KEYMGR_DEMO_SHOTS/window.png"
    # Click the first token, then its application row: information and certificate pages.
    if [ -n "$window" ]; then
        xdotool mousemove --window "$window" 80 96 click --repeat 2 --delay 80 1
        sleep 1
        import -window "$window" "$KEYMGR_DEMO_SHOTS/token-info.png"
        xdotool mousemove --window "$window" 100 113 click 1
        sleep 1
        import -window "$window" "$KEYMGR_DEMO_SHOTS/certificates.png"
    fi
    import -window root "$KEYMGR_DEMO_SHOTS/screen.png"
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/exe" 2>/dev/null)" = "$KEYMGR_DEMO_BUILD/app/keymgr" ] && kill "${p#/proc/}"
    done
    kill "$tray" 2>/dev/null
    true
'
usage
echo
echo "No DISPLAY: keymgr ran on a private X server and was stopped again. Screenshots:"
ls -1 "$shots"/*.png | sed 's/^/  /'
echo "Run with DISPLAY set (e.g. from a desktop terminal) to use the window."
