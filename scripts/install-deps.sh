#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need, when any is missing.
set -e
PACKAGES="cmake ninja-build g++ make pkg-config ccache
qtbase5-dev qtbase5-dev-tools libssl-dev openssl
xvfb xauth x11-utils x11-apps imagemagick trayer xdotool fonts-wqy-microhei
clang libclang-rt-14-dev libsystemd-dev
dpkg-dev librsvg2-bin lintian desktop-file-utils jq
libp11-kit-dev p11-kit opensc gnutls-bin libnss3-tools libengine-pkcs11-openssl openssh-client"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
# shellcheck disable=SC2086
if ! $SUDO apt-get install -y -q --no-install-recommends $missing; then
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q --no-install-recommends $missing
fi
