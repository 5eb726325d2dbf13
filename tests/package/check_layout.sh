#!/bin/sh
# Checks the Debian package a package build made: control fields, every path with its mode, no SKF
# library and no softskf, the desktop entries, the icons, the info file, lintian, and a build tree
# that made nothing but what the package holds. The installed-program test starts the desktop
# entries' commands and builds with keyprobe.pc.
# Usage: check_layout.sh <package build directory> <program version> <lintian suppressions>
set -u
build=${1:?usage: check_layout.sh <package build directory> <program version> <lintian suppressions>}
version=${2:?}
overrides=${3:?}
appid=com.lumeno.tesselkey-norvik
root=opt/apps/$appid
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
for tool in dpkg dpkg-deb desktop-file-validate lintian jq identify readelf ninja; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (scripts/install-deps.sh)"; exit 1; }
done

# Every file the package holds below /opt/apps/<appid>/: its mode, or "link" and the link's target.
# A new file of the package is one more line here.
expected_files() {
    cat <<EOF
0644 info
0755 files/bin/keymgr
0755 files/bin/keyprobe
0644 files/lib/libkeyprobe.so.$version
link files/lib/libkeyprobe.so.1 -> libkeyprobe.so.$version
link files/lib/libkeyprobe.so -> libkeyprobe.so.1
0644 files/lib/pkgconfig/keyprobe.pc
0644 files/include/keyprobe.h
0644 files/lib/keymgr-pkcs11.so
0644 files/include/keymgr-pkcs11.h
0644 files/share/p11-kit/modules/keymgr.module
0644 files/lang/olvane_2052.lng
0644 files/lang/olvane_1028.lng
0644 files/lang/olvane_1033.lng
0644 files/doc/copyright
0644 files/doc/changelog.gz
0644 entries/applications/$appid.desktop
0644 entries/autostart/$appid.desktop
0644 entries/icons/hicolor/scalable/apps/$appid.svg
EOF
    for size in 16 24 32 48 64 128 256; do
        echo "0644 entries/icons/hicolor/${size}x$size/apps/$appid.png"
    done
}

set -- "$build"/"$appid"_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || { echo "FAIL: expected one ${appid}_*.deb in $build, found: $*"; exit 1; }
deb=$1
echo "package: $deb ($(stat -c %s "$deb") bytes)"

# Control fields.
arch=$(dpkg --print-architecture)
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = "$appid" ] || fail "Package is '$(field Package)'"
pkgversion=$(field Version)
echo "$pkgversion" | grep -Eq "^$(echo "$version" | sed 's/\./\\./g')\.[0-9]+$" ||
    fail "Version '$pkgversion' is not $version.BUILD"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)', not $arch"
[ "$(basename "$deb")" = "${appid}_${pkgversion}_$arch.deb" ] || fail "file name $(basename "$deb")"
depends=$(field Depends)
for dep in "libc6 (" "libqt5widgets5 (" "libssl3 (" "fonts-wqy-microhei | fonts-noto-cjk"; do
    case $depends in *"$dep"*) ;; *) fail "Depends lacks '$dep': $depends" ;; esac
done
# No maintainer script: installing changes nothing outside the application directory.
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -v '^\./$' | sort | tr '\n' ' ')
[ "$control" = "./control ./md5sums " ] || fail "control archive holds: $control"

# Paths, owners and modes.
listing=$(dpkg-deb --contents "$deb")
echo "$listing" | awk '$2 != "root/root" { print "FAIL: owner " $2 " of " $6; exit 1 }' || failures=$((failures + 1))
echo "$listing" | awk '/^d/ && $1 != "drwxr-xr-x" { print "FAIL: directory mode " $1 " of " $6; exit 1 }' ||
    failures=$((failures + 1))
echo "$listing" | awk -v root="./$root/" '/^d/ && $6 != "./opt/" && $6 != "./opt/apps/" && index($6, root) != 1 {
    print "FAIL: directory outside the application: " $6; exit 1 }' || failures=$((failures + 1))
actual=$(echo "$listing" | awk -v prefix="./$root/" '
    /^d/ { next }
    {
        path = $6
        if (index(path, prefix) == 1) path = substr(path, length(prefix) + 1); else path = "OUTSIDE " path
        if ($1 ~ /^l/) print "link " path " -> " $8
        else if ($1 == "-rwxr-xr-x") print "0755 " path
        else if ($1 == "-rw-r--r--") print "0644 " path
        else print $1 " " path
    }' | sort)
wanted=$(expected_files | sort)
if [ "$actual" != "$wanted" ]; then
    fail "package files differ from the table (- expected, + packaged):"
    echo "$wanted" > "$TMPDIR/wanted"
    echo "$actual" > "$TMPDIR/actual"
    diff "$TMPDIR/wanted" "$TMPDIR/actual" | grep '^[<>]' | sed 's/^</  -/; s/^>/  +/'
fi
echo "$listing" | grep -Ei 'softskf|liborvane' && fail "the package carries an SKF library or softskf"

# The unpacked files.
tree=$TMPDIR/tree
rm -rf "$tree"
dpkg-deb -x "$deb" "$tree"
app=$tree/$root
keymgr=$app/files/bin/keymgr
readelf -d "$app/files/lib/libkeyprobe.so.$version" | grep -q 'SONAME.*\[libkeyprobe\.so\.1\]' ||
    fail "libkeyprobe's soname is not libkeyprobe.so.1"
readelf -d "$keymgr" | grep -E 'RPATH|RUNPATH' && fail "keymgr carries a run path"
grep -qx "module: /$root/files/lib/keymgr-pkcs11.so" "$app/files/share/p11-kit/modules/keymgr.module" ||
    fail "the p11-kit module file does not name the installed module"

for kind in applications autostart; do
    desktop-file-validate "$app/entries/$kind/$appid.desktop" || fail "desktop-file-validate rejects entries/$kind"
done
# From the menu the window shows (any argument); at login the program only sits in the tray.
grep -qx "Exec=/$root/files/bin/keymgr [^ ].*" "$app/entries/applications/$appid.desktop" ||
    fail "the menu entry does not start /$root/files/bin/keymgr with an argument"
grep -qx "Exec=/$root/files/bin/keymgr" "$app/entries/autostart/$appid.desktop" ||
    fail "the autostart entry does not start /$root/files/bin/keymgr without argument"

for size in 16 24 32 48 64 128 256; do
    got=$(identify -format '%m %wx%h' "$app/entries/icons/hicolor/${size}x$size/apps/$appid.png" 2>&1)
    [ "$got" = "PNG ${size}x$size" ] || fail "icon ${size}x$size is: $got"
done

jq -e --arg appid "$appid" --arg version "$pkgversion" --arg arch "$arch" '
    .appid == $appid and (.name | type == "string" and length > 0) and .version == $version
    and (.version | test("^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")) and .arch == [$arch]
    and .permissions.autostart == true and .permissions.notification == true and .permissions.trayicon == true
    and ([.permissions | to_entries[] | select(.key | IN("autostart", "notification", "trayicon") | not)
          | .value] | length > 0 and all(. == false))' "$app/info" >/dev/null ||
    fail "info does not hold the application's fields: $(cat "$app/info")"

# Errors and warnings fail; the suppressions name the tags the layout brings, each with its reason.
report=$(lintian --suppress-tags-from-file "$overrides" --fail-on error,warning "$deb" 2>&1) ||
    fail "lintian reports errors or warnings"
echo "$report" | grep -v 'root privileges'

# A package build for any other application directory stops at once, saying why.
source=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
refused=$(cmake -S "$source" -B "$TMPDIR/refused" -G Ninja -DKEYMGR_PACKAGE_BUILD=ON -DKEYMGR_APP_DIR=/opt/elsewhere 2>&1) &&
    fail "a package build accepted the application directory /opt/elsewhere"
echo "$refused" | grep -q 'KEYMGR_APP_DIR=/opt/elsewhere is refused' || fail "the refusal does not say why: $refused"

# The package build made only what the package holds.
extra=$(ninja -C "$build" -t targets all | cut -d: -f1 | grep -E 'softskf|tst_|_replay|_fuzzer|bench_|keyprobe_example')
[ -z "$extra" ] || fail "the package build makes test targets: $(echo "$extra" | head -5 | tr '\n' ' ')"

[ $failures -eq 0 ] && echo "PASS: $(basename "$deb") holds the application's layout"
exit $((failures > 0))
