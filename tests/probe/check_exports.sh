#!/bin/sh
# Checks a build of libkeyprobe: it exports exactly its four functions and needs nothing of
# the system beyond the C and C++ run-time and the loader (plus the sanitizer run-times in a
# sanitizer build).
set -eu
lib=${1:?usage: check_exports.sh libkeyprobe.so}
status=0

exports=$(nm -D --defined-only "$lib" | awk '{ print $NF }' | LC_ALL=C sort | tr '\n' ' ')
expected="LM_GetSerialNum LM_GetUserCert LM_UsbkeyOnline _Z10Initializev "
if [ "$exports" != "$expected" ]; then
    echo "FAIL: $lib exports: $(printf '%s' "$exports" | cut -c1-400)"
    echo "      expected:     $expected"
    status=1
fi

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\].*/\1/p')
[ -n "$needed" ] || { echo "FAIL: readelf found no NEEDED entries in $lib"; exit 1; }
for n in $needed; do
    case $n in
        libc.so.* | libm.so.* | libdl.so.* | libpthread.so.* | libstdc++.so.* | libgcc_s.so.* | ld-linux*.so.*) ;;
        libasan.so.* | libubsan.so.*) ;;
        *)
            echo "FAIL: $lib needs $n"
            status=1
            ;;
    esac
done

[ $status -eq 0 ] && echo "PASS: $lib exports the four functions and needs only: $(echo $needed)"
exit $status
