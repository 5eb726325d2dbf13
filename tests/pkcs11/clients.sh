#!/bin/sh
# The module as the programs that load PKCS#11 modules see it: OpenSC's pkcs11-tool, GnuTLS's p11tool,
# NSS's modutil and certutil, p11-kit with the module file, OpenSSL's pkcs11 engine and OpenSSH's
# ssh-keygen, against softskf tokens holding RSA-2048 and SM2 key pairs with certificates. Every
# signature is checked by OpenSSL against the certificate as softskf-ctl exports it.
# Usage: clients.sh <case> <module> <p11-kit module file>
# Cases: tool, sign, gnutls, nss, p11kit, removal. SOFTSKF_CTL, SOFTSKF_DIR and TMPDIR are set by the
# test harness; P11_PRELOAD names the sanitizer run-times in a sanitizer build.
set -eu
case=${1:?usage: clients.sh <case> <module> <module file>}
module=${2:?}
module_file=${3:?}
ctl=$SOFTSKF_CTL
pin=12345678
work=$TMPDIR/clients
rm -rf "$work"
mkdir -p "$work"
cd "$work"

tool_pid=
fail() {
    echo "FAIL: $*"
    [ -z "$tool_pid" ] || kill $tool_pid 2>/dev/null || true
    exit 1
}
for tool in pkcs11-tool p11tool modutil certutil p11-kit openssl ssh-keygen jq od; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/install-deps.sh)"
done
[ -f "$module" ] || fail "no module at $module"

# A client loading a sanitizer build of the module needs the sanitizer run-times loaded first. Leak
# detection stays off for the clients: at exit they leave their own allocations (NSS, GnuTLS), which
# are not the module's; the module's own leaks are found by tst_pkcs11, a sanitizer build itself.
# client_exec replaces the calling (sub)shell, so that $! of "client_exec ... &" is the client's.
client_exec() {
    [ -z "${P11_PRELOAD:-}" ] || exec env LD_PRELOAD="$P11_PRELOAD" ASAN_OPTIONS=detect_leaks=0 "$@"
    exec "$@"
}
client() {
    (client_exec "$@")
}
tool() {
    client pkcs11-tool --module "$module" "$@"
}
# Shows what a command printed and fails with the message when it did not end with status 0.
run() {
    what=$1
    shift
    if ! "$@" >"$work/out" 2>&1; then
        cat "$work/out"
        fail "$what"
    fi
    cat "$work/out"
}
expect() {
    grep -q -- "$1" "$work/out" || fail "$2 (no '$1' in the output above)"
}

"$ctl" init
"$ctl" create TOKEN1 --label "RSA token" --serial SN-RSA-0001 --user-pin $pin
"$ctl" add-container TOKEN1 rsakey rsa2048
"$ctl" add-cert TOKEN1 rsakey sign --cn "Zhang San" --days 365
"$ctl" add-cert TOKEN1 rsakey enc --cn "Zhang San" --days 365
"$ctl" create TOKEN2 --label "SM2 token" --serial SN-SM2-0001 --user-pin $pin
"$ctl" add-container TOKEN2 sm2key sm2
"$ctl" add-cert TOKEN2 sm2key sign --cn "Li Si" --days 365
"$ctl" export-cert TOKEN1 rsakey sign rsa.der
"$ctl" export-cert TOKEN2 sm2key sign sm2.der
openssl x509 -inform DER -in rsa.der -pubkey -noout >rsa.pub
openssl x509 -inform DER -in sm2.der -pubkey -noout >sm2.pub
printf 'pay 100 yuan to Wang Wu\n' >msg
head -c 100000 /dev/zero | tr '\0' 'x' >long

# The CKA_ID of a token's signature key pair, as pkcs11-tool lists its certificate.
key_id() {
    tool --token-label "$1" -O --type cert 2>/dev/null |
        awk -v l="$2" '$1 == "label:" && $2 == l { f = 1 } f && $1 == "ID:" { print $2; exit }'
}
remaining() {
    "$ctl" show TOKEN1 --json | jq '.applications[0].userPin.remainingRetries'
}
hex() {
    od -An -tx1 -v "$1" | tr -d ' \n'
}
# r || s, 32 bytes each, as the DER SEQUENCE OpenSSL verifies.
to_der() {
    [ "$(stat -c %s "$1")" -eq 64 ] || fail "an SM2 signature of $(stat -c %s "$1") bytes"
    printf 'asn1=SEQUENCE:sig\n[sig]\nr=INTEGER:0x%s\ns=INTEGER:0x%s\n' "$(hex "$1" | cut -c1-64)" \
        "$(hex "$1" | cut -c65-128)" >sig.conf
    openssl asn1parse -genconf sig.conf -out "$2" -noout
}

case $case in
tool)
    run "pkcs11-tool does not list the slots" tool -L
    expect "token label *: RSA token" "the RSA token's slot is not listed"
    expect "token label *: SM2 token" "the SM2 token's slot is not listed"
    expect "serial num *: SN-RSA-0001" "the serial number is not the token's"
    expect "login required, token initialized, PIN initialized" "the token flags are wrong"
    run "pkcs11-tool does not list the objects" tool --token-label "RSA token" -O
    expect "Certificate Object; type = X.509 cert" "no certificate object"
    expect "DN: C=CN, O=softskf, CN=Zhang San" "the certificate's subject is not read"
    expect "label: *rsakey (encryption)" "the encryption pair is not listed apart"
    run "pkcs11-tool does not list the mechanisms" tool --token-label "SM2 token" -M
    [ "$(grep -c 'keySize' "$work/out")" -eq 6 ] || fail "the module does not list exactly six mechanisms"
    expect "mechtype-0xCB4D0002, keySize={256,256}, hw, sign" "the SM3-with-SM2 mechanism is not listed"

    before=$(remaining)
    tool --token-label "RSA token" --login --pin Wrong1234 -O >out 2>&1 && fail "a wrong PIN logged in"
    cat out
    expect CKR_PIN_INCORRECT "a wrong PIN is not told as such"
    [ "$(remaining)" -eq $((before - 1)) ] || fail "the retry counter went from $before to $(remaining), not one down"
    run "pkcs11-tool does not show the lowered counter" tool --token-label "RSA token" -L
    expect "user PIN count low" "the token flags do not show the lowered counter"
    run "the right PIN does not log in" tool --token-label "RSA token" --login --pin $pin -O --type privkey
    expect "Private Key Object; RSA" "the private key is not listed after login"
    expect "Access: *sensitive, always sensitive, never extractable" "the private key is not marked sensitive"
    [ "$(remaining)" -eq "$before" ] || fail "the counter is not reset by the right PIN"

    run "pkcs11-tool --test fails" tool --token-label "RSA token" --test --login --pin $pin
    expect "No errors" "pkcs11-tool --test reports errors"
    ;;
sign)
    rsa=$(key_id "RSA token" rsakey)
    sm2=$(key_id "SM2 token" sm2key)
    [ -n "$rsa" ] && [ -n "$sm2" ] || fail "no key identifiers listed"
    for mech in RSA-PKCS SHA256-RSA-PKCS SHA384-RSA-PKCS SHA512-RSA-PKCS; do
        for input in msg long; do
            [ $mech = RSA-PKCS ] && [ $input = long ] && continue
            run "$mech signing fails" tool --token-label "RSA token" --login --pin $pin --sign -m $mech --id "$rsa" \
                -i $input -o sig
            case $mech in
            RSA-PKCS)
                openssl pkeyutl -verifyrecover -pubin -inkey rsa.pub -in sig -out recovered ||
                    fail "OpenSSL cannot open the RSA-PKCS signature"
                cmp -s recovered $input || fail "the RSA-PKCS signature does not hold the data signed"
                ;;
            *)
                digest=$(echo $mech | sed 's/-RSA-PKCS//' | tr 'A-Z' 'a-z')
                openssl dgst -"$digest" -verify rsa.pub -signature sig $input || fail "$mech signature of $input"
                ;;
            esac
        done
    done
    openssl dgst -sm3 -binary msg >e.bin
    run "raw SM2 signing fails" tool --token-label "SM2 token" --login --pin $pin --sign -m 0xCB4D0001 --id "$sm2" \
        -i e.bin -o sig
    to_der sig sig.der
    openssl pkeyutl -verify -pubin -inkey sm2.pub -in e.bin -sigfile sig.der || fail "the raw SM2 signature"
    for input in msg long; do
        run "SM3-with-SM2 signing fails" tool --token-label "SM2 token" --login --pin $pin --sign -m 0xCB4D0002 \
            --id "$sm2" -i $input -o sig
        to_der sig sig.der
        openssl dgst -sm3 -verify sm2.pub -sigopt distid:1234567812345678 -signature sig.der $input ||
            fail "the SM3-with-SM2 signature of $input with the standard signer ID"
    done
    ;;
gnutls)
    run "p11tool lists no tokens" client p11tool --provider "$module" --list-tokens
    expect "Label: RSA token" "p11tool does not see the RSA token"
    expect "Serial: SN-SM2-0001" "p11tool does not see the SM2 token"
    run "p11tool lists no certificates" client p11tool --provider "$module" --list-all-certs pkcs11:
    expect "token=RSA%20token;.*object=rsakey;type=cert" "p11tool does not list the RSA certificate"
    expect "token=SM2%20token;.*object=sm2key;type=cert" "p11tool does not list the SM2 certificate"
    ;;
nss)
    mkdir nssdb
    printf '%s\n' $pin >pinfile
    certutil -N -d sql:nssdb --empty-password
    run "modutil does not add the module" client modutil -dbdir sql:nssdb -add keymgr -libfile "$module" -force
    run "modutil does not list the module" client modutil -dbdir sql:nssdb -list keymgr
    expect "Token Name: RSA token" "NSS does not see the RSA token"
    expect "Token Name: SM2 token" "NSS does not see the SM2 token"
    run "certutil lists no certificates" client certutil -L -d sql:nssdb -h all -f pinfile
    expect "RSA token:rsakey  *u,u,u" "NSS does not see the RSA certificate with its key"
    expect "SM2 token:sm2key  *u,u,u" "NSS does not see the SM2 certificate with its key"
    # NSS hands out every certificate of the nickname's subject: the encryption one comes along.
    client certutil -L -d sql:nssdb -h "RSA token" -f pinfile -n "RSA token:rsakey" -r >nss.der ||
        fail "certutil does not export the certificate"
    hex nss.der | grep -qF "$(hex rsa.der)" || fail "the certificate NSS reads is not the token's"
    ;;
p11kit)
    # Inside this test's own mount namespace, p11-kit's module folder holds only the module file.
    mkdir modules
    cp "$module_file" modules/
    mount --bind "$work/modules" /usr/share/p11-kit/modules || fail "cannot bind a module folder for p11-kit"
    run "p11-kit does not load the module file" client p11-kit list-modules
    expect "keymgr: $module" "p11-kit does not name the module"
    expect "token: RSA token" "p11-kit does not see the token"
    run "p11tool through p11-kit lists no certificates" client p11tool --list-all-certs pkcs11:
    expect "object=sm2key;type=cert" "GnuTLS through p11-kit does not list the SM2 certificate"
    key="pkcs11:token=RSA%20token;object=rsakey;type=private;pin-value=$pin"
    run "the OpenSSL engine does not sign" client openssl dgst -sha256 -engine pkcs11 -keyform engine -sign "$key" \
        -out sig msg
    openssl dgst -sha256 -verify rsa.pub -signature sig msg || fail "the engine's signature"
    run "the OpenSSL engine makes no request" client openssl req -new -engine pkcs11 -keyform engine -key "$key" \
        -subj "/CN=Zhang San" -out req.pem
    openssl req -in req.pem -verify -noout || fail "the request's signature"
    openssl req -in req.pem -pubkey -noout | cmp -s - rsa.pub || fail "the request does not carry the token's key"
    run "ssh-keygen lists no keys" client ssh-keygen -D "$module"
    ssh-keygen -i -m PKCS8 -f rsa.pub >rsa.ssh
    grep -qF "$(cut -d' ' -f2 rsa.ssh)" out || fail "OpenSSH does not see the token's RSA key"
    ;;
removal)
    rsa=$(key_id "RSA token" rsakey)
    # pkcs11-tool logs in and finds the key, then waits to read its input from a FIFO: the token is
    # pulled there, between the login and the signature. OpenSC's spy records what each call answered.
    spy=$(dpkg -L opensc-pkcs11 | grep '/pkcs11-spy\.so$' | head -1)
    [ -f "$spy" ] || fail "OpenSC's pkcs11-spy.so is not installed (opensc-pkcs11)"
    mkfifo input
    PKCS11SPY=$module PKCS11SPY_OUTPUT=$work/spy.log client_exec pkcs11-tool --module "$spy" --token-label "RSA token" \
        --login --pin $pin --sign -m SHA256-RSA-PKCS --id "$rsa" -i input -o sig >tool.out 2>&1 &
    tool_pid=$!
    waited=0
    until grep -qs 'fifo\|partner' /proc/$tool_pid/wchan; do
        kill -0 $tool_pid 2>/dev/null || { cat tool.out; fail "pkcs11-tool ended before it read its input"; }
        [ $waited -lt 200 ] || fail "pkcs11-tool did not come to read its input within 20 s"
        sleep 0.1
        waited=$((waited + 1))
    done
    grep -q 'C_Login' spy.log || fail "pkcs11-tool waits for input without having logged in"
    "$ctl" remove TOKEN1
    cat msg >input
    wait $tool_pid && { tool_pid=; fail "pkcs11-tool signed with the token pulled out"; }
    tool_pid=
    cat tool.out
    awk '/^[0-9]+: C_/ { call = $2 } /^Returned:/ { print call, $3 }' spy.log >calls
    cat calls
    grep -q '^C_Sign CKR_DEVICE_REMOVED$' calls || fail "C_Sign did not answer CKR_DEVICE_REMOVED"
    sed -n '/^C_Sign CKR_DEVICE_REMOVED$/,$p' calls | grep -q 'CKR_SESSION_HANDLE_INVALID$' ||
        fail "the session was still there after the removal"
    "$ctl" insert TOKEN1
    run "the token plugged back does not sign" tool --token-label "RSA token" --login --pin $pin --sign \
        -m SHA256-RSA-PKCS --id "$rsa" -i msg -o sig
    openssl dgst -sha256 -verify rsa.pub -signature sig msg || fail "the signature after re-insertion"
    ;;
*)
    fail "unknown case $case"
    ;;
esac
echo "PASS: $case"
