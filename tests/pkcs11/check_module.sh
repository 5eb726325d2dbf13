#!/bin/sh
# Checks a build of the PKCS#11 module: it exports the entry points of the standard's function list
# and nothing else, and needs nothing beyond the C and C++ run-time, the loader and libcrypto (plus
# the sanitizer run-times in a sanitizer build); Qt in particular never comes into a browser with it.
set -eu
module=${1:?usage: check_module.sh keymgr-pkcs11.so}
header="$(pkg-config --variable=includedir p11-kit-1)/p11-kit-1/p11-kit/pkcs11.h"
[ -f "$header" ] || { echo "FAIL: no PKCS#11 header at $header (libp11-kit-dev)"; exit 1; }
status=0

# The names of CK_FUNCTION_LIST's members, as Debian's header declares them.
expected=$(sed -n '/^struct ck_function_list$/,/^};/s/^ *CK_\(C_[A-Za-z]*\) C_[A-Za-z]*;$/\1/p' \
    "$header" | LC_ALL=C sort | tr '\n' ' ')
count=$(echo "$expected" | wc -w)
[ "$count" -eq 68 ] || { echo "FAIL: read $count names from the header, not 68"; exit 1; }
exports=$(nm -D --defined-only "$module" | awk '{ print $NF }' | LC_ALL=C sort | tr '\n' ' ')
if [ "$exports" != "$expected" ]; then
    echo "FAIL: $module exports: $(printf '%s' "$exports" | cut -c1-600)"
    echo "      expected:        $expected"
    status=1
fi

needed=$(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\].*/\1/p')
[ -n "$needed" ] || { echo "FAIL: readelf found no NEEDED entries in $module"; exit 1; }
for n in $needed; do
    case $n in
        libc.so.* | libm.so.* | libdl.so.* | libpthread.so.* | libstdc++.so.* | libgcc_s.so.* | ld-linux*.so.*) ;;
        libcrypto.so.3 | libasan.so.* | libubsan.so.*) ;;
        *)
            echo "FAIL: $module needs $n"
            status=1
            ;;
    esac
done
# What the loader brings in behind those, too.
if ldd "$module" | grep -i 'qt\|keyprobe\|p11-kit'; then
    echo "FAIL: $module brings the libraries above into the process that loads it"
    status=1
fi

[ $status -eq 0 ] && echo "PASS: $module exports the $count C_ functions and needs only: $(echo $needed)"
exit $status
