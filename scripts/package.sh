#!/bin/sh
# Builds the Debian package: scripts/package.sh <build directory> [jobs]
# Configures the directory as a package build (only what the package holds, installed into the real
# application directory), builds it and runs CPack; the .deb is left in the build directory.
set -e
build=${1:?usage: scripts/package.sh <build directory> [jobs]}
jobs=${2:-2}
source=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$source" -B "$build" -G Ninja -DKEYMGR_PACKAGE_BUILD=ON -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j "$jobs"
cd "$build"
# Only the package made now is left to install or check.
rm -f ./*.deb
cpack -G DEB
