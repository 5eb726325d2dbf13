#!/bin/sh
# Checks the layers of the program's sources: every quoted include of a folder names a header of a
# folder it may use, so that nothing reaches up (token/ into ui/ or app/, ui/ into app/, log/ into
# anything), and libkeyprobe and the PKCS#11 module take nothing of the program beyond token/'s
# Qt-free declarations and readers. Generated headers (keymgr_config.h, the ui_*.h forms) are skipped.
set -eu
src=${1:?usage: check_layers.sh <source folder>}
folders="app ui token multilang log probe pkcs11"
status=0

may_use() {
    case $1 in
        app) echo "app ui token multilang log" ;;
        ui) echo "ui token multilang log" ;;
        token) echo "token log" ;;
        multilang | log) echo "$1" ;;
        probe | pkcs11) echo "$1 token" ;;
    esac
}

cd "$src"
for folder in $folders; do
    for file in $(find "$folder" -name '*.h' -o -name '*.cpp' -o -name '*.c'); do
        for header in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file"); do
            homes=$(find $folders -name "$(basename "$header")" | cut -d/ -f1 | sort -u)
            for home in $homes; do
                case " $(may_use "$folder") " in
                    *" $home "*) ;;
                    *)
                        echo "FAIL: $file includes $header from $home/"
                        status=1
                        ;;
                esac
            done
        done
    done
done
[ $status -eq 0 ] && echo "PASS: $folders include only from the folders below them"
exit $status
