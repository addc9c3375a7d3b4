#!/usr/bin/env bash
# Packages the built driver for signing:
#
#   dist/VKTDrv.cab              the INF, the image and its PDB in a folder of
#                                their own, MSZIP-compressed, as a
#                                driver-signing submission takes them (the
#                                signing service's crash analysis reads the
#                                PDB; sign the cab itself with the company's
#                                certificate before upload)
#   dist/test-signed/VKTDrv.sys  the image signed with a test certificate,
#   dist/test-signed/VKTDrv.pdb  beside its PDB, its INF and the certificate's
#   dist/test-signed/VKTDrv.inf  public part, for a machine in test-signing
#   dist/test-signed/VKTTest.cer mode: DER for certutil, PEM for
#   dist/test-signed/VKTTest.pem osslsigncode verify -CAfile
#
# The test certificate and its key are made here on first use and kept in
# WORK (under build/, never committed): they sign nothing but test packages.
#
#   windows/package.sh DIST WORK
set -euo pipefail

dist=$(realpath "$1")
work=$(mkdir -p "$2" && realpath "$2")

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

make_cab() {
    local stage=$work/cab
    rm -rf "$stage" "$dist/VKTDrv.cab"
    mkdir -p "$stage/VKTDrv"
    cp "$dist/VKTDrv.inf" "$dist/VKTDrv.sys" "$dist/VKTDrv.pdb" "$stage/VKTDrv/"
    # No file at the cab's root: each driver package lies in a folder.
    (cd "$stage" && gcab --create --zip "$dist/VKTDrv.cab" \
        VKTDrv/VKTDrv.inf VKTDrv/VKTDrv.sys VKTDrv/VKTDrv.pdb)
    local listed
    listed=$(gcab --list "$dist/VKTDrv.cab" | tr '\\' '/' | sort | tr '\n' ' ')
    [ "$listed" = "VKTDrv/VKTDrv.inf VKTDrv/VKTDrv.pdb VKTDrv/VKTDrv.sys " ] ||
        fail "dist/VKTDrv.cab holds '$listed', expected VKTDrv/VKTDrv.inf, .pdb and .sys"
}

# A self-signed code-signing certificate, made once per build folder.
make_test_certificate() {
    local folder=$work/testcert
    if [ -f "$folder/VKTTest.key" ] && [ -f "$folder/VKTTest.pem" ]; then
        return
    fi
    mkdir -p "$folder"
    chmod 700 "$folder"
    local report
    if ! report=$(openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 3650 \
        -subj "/O=VKT/CN=VKT Test Driver Signing (not for release)" \
        -addext "keyUsage=critical,digitalSignature" \
        -addext "extendedKeyUsage=codeSigning" \
        -addext "basicConstraints=critical,CA:FALSE" \
        -keyout "$folder/VKTTest.key" -out "$folder/VKTTest.pem" 2>&1); then
        echo "$report" >&2
        fail "openssl could not make the test certificate"
    fi
    # The same pair for signtool on Windows (no password: a test key).
    openssl pkcs12 -export -passout pass: -inkey "$folder/VKTTest.key" \
        -in "$folder/VKTTest.pem" -out "$folder/VKTTest.pfx"
}

sign_test_copy() {
    local folder=$work/testcert out=$dist/test-signed
    rm -rf "$out"
    mkdir -p "$out"
    # SHA-256 with page hashes, as code integrity checks a kernel image.
    osslsigncode sign -certs "$folder/VKTTest.pem" -key "$folder/VKTTest.key" \
        -h sha256 -ph -n "VKTDevice Driver" \
        -in "$dist/VKTDrv.sys" -out "$out/VKTDrv.sys" >/dev/null
    cp "$dist/VKTDrv.inf" "$dist/VKTDrv.pdb" "$out/"
    openssl x509 -in "$folder/VKTTest.pem" -outform DER -out "$out/VKTTest.cer"
    openssl x509 -in "$folder/VKTTest.pem" -out "$out/VKTTest.pem"
    # Verified as the README tells a tester to, from the folder's own files.
    local report
    if ! report=$(cd "$out" && osslsigncode verify -CAfile VKTTest.pem -in VKTDrv.sys 2>&1); then
        echo "$report" >&2
        fail "the test signature of dist/test-signed/VKTDrv.sys does not verify"
    fi
    grep -q "^Signature verification: ok" <<<"$report" ||
        fail "osslsigncode verify did not report a verified signature"
}

make_cab
make_test_certificate
sign_test_copy
