#!/bin/sh
# Builds keymgr and softskf of an earlier revision of this checkout into <build>/bench-before, so
# that the benchmark can run the program as it was beside the program as it is. The sources come
# from git (git archive: the repository and its worktrees are left as they are); the build is kept
# and reused while the revision stays the same.
# Usage: bench/before_build.sh <absolute build dir> <revision>
# Prints the earlier revision's build folder; when there is none, prints why on standard error and
# exits with 1 (2 when the build itself failed).
set -eu
build=${1:?usage: bench/before_build.sh <absolute build dir> <revision>}
rev=${2:?usage: bench/before_build.sh <absolute build dir> <revision>}
root=$(cd "$(dirname "$0")/.." && pwd -P)
jobs=${JOBS:-2}

if ! command -v git >/dev/null; then
    echo "git is not installed" >&2
    exit 1
fi
top=$(git -C "$root" rev-parse --show-toplevel 2>/dev/null || true)
if [ -z "$top" ] || [ "$(cd "$top" && pwd -P)" != "$root" ]; then
    echo "$root is not a git checkout" >&2
    exit 1
fi
if ! full=$(git -C "$root" rev-parse --verify -q "$rev^{commit}"); then
    echo "revision $rev is not in this checkout's history" >&2
    exit 1
fi

dir=$build/bench-before
if [ "$(cat "$dir/revision" 2>/dev/null || true)" != "$full" ]; then
    rm -rf "$dir"
    mkdir -p "$dir/src"
    git -C "$root" archive "$full" | tar -x -C "$dir/src"
    echo "$full" >"$dir/revision"
fi
# A staging build without the suite: the program, softskf as its SKF library, the language files.
if ! { cmake -S "$dir/src" -B "$dir/build" -G Ninja -DKEYMGR_APP_DIR="$dir/build/appdir" \
           -DKEYMGR_BUILD_TESTS=OFF &&
       cmake --build "$dir/build" -j "$jobs"; } >"$dir/build.log" 2>&1; then
    tail -n 20 "$dir/build.log" >&2
    echo "building revision $rev failed (log: $dir/build.log)" >&2
    exit 2
fi
for f in app/keymgr softskf/softskf-ctl appdir/lib/liborvane.so.1.0.0; do
    [ -e "$dir/build/$f" ] || { echo "the build of revision $rev has no $f" >&2; exit 2; }
done
echo "$dir/build"
