#!/bin/sh
# Gives each test a fresh HOME, softskf store and temporary folder, then runs it sealed off from the
# rest of the machine: its own /tmp (a folder of the test's), System V IPC and network namespaces.
# keymgr's request FIFO and single-instance segment have fixed names; sealed, a test never meets a
# keymgr the developer is running, nor another test.
set -e
root=${KEYMGR_TEST_DIR:?}
if [ "${KEYMGR_TEST_SEALED:-}" = "$root" ]; then
    case "$root/" in
    /tmp/*)
        # The build (and so the test's folder) lies below /tmp: its top folder is bound into the
        # new /tmp at the same path, so every path of the build still reaches the same files.
        top=${root#/tmp/}
        top=${top%%/*}
        mkdir -p "$root/tmp-root/$top"
        mount --bind "/tmp/$top" "$root/tmp-root/$top"
        mount --rbind "$root/tmp-root" /tmp
        ;;
    *)
        mount --bind "$root/tmp-root" /tmp
        ;;
    esac
    exec "$@"
fi
rm -rf "$root"
mkdir -p "$HOME" "$SOFTSKF_DIR" "$TMPDIR" "$XDG_RUNTIME_DIR" "$root/tmp-root"
chmod 700 "$HOME" "$XDG_RUNTIME_DIR"
chmod 1777 "$root/tmp-root"
: > "$KEYMGR_STUB_LOG"
flags="--mount --ipc --net"
[ "$(id -u)" = 0 ] || flags="$flags --map-root-user"
# shellcheck disable=SC2086
if ! unshare $flags true 2>/dev/null; then
    echo "run-test.sh: cannot seal the test: 'unshare $flags' is refused here" \
        "(needs root or unprivileged user namespaces)" >&2
    exit 1
fi
export KEYMGR_TEST_SEALED="$root"
# shellcheck disable=SC2086
exec unshare $flags -- "$0" "$@"
