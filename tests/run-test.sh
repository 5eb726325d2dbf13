#!/bin/sh
# Gives each test a fresh HOME, softskf store and temporary folder, then runs it.
set -e
root=${KEYMGR_TEST_DIR:?}
rm -rf "$root"
mkdir -p "$HOME" "$SOFTSKF_DIR" "$TMPDIR" "$XDG_RUNTIME_DIR"
chmod 700 "$HOME" "$XDG_RUNTIME_DIR"
: > "$KEYMGR_STUB_LOG"
exec "$@"
