#!/usr/bin/env bash
# Tests the release zip of scripts/package.sh: two builds in two folders are identical; the zip's
# name, members and checksums; the version of the CMake project in each executable's version
# resource, with the commit id unless HEAD is tagged; no link time and no build path in them; the
# example INI file; an unsigned build says so, and a build signed with a throwaway certificate
# verifies and is the unsigned build once its signature is removed. (The version in the banner
# and the usage text: rows of the "service" test group.)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$here"
fail() {
    echo "test-package: FAILED: $*" >&2
    exit 1
}

version=$(sed -n 's/^project(Kelvaran VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
product=$version.0
git tag --points-at HEAD | grep -qx "v$version" || product=$product+$(git rev-parse --short=7 HEAD)
zip=kelvaran-$version-win-x64.zip
members="kelvaran.exe kelvaran-query.exe kelvaran-tray.exe kelvaran.ini.example README.md"
members+=" CHANGELOG.md LICENSE SHA256SUMS"

start=$SECONDS
scripts/package.sh --check | tee "$scratch/check.txt"
echo "test-package: package.sh --check took $((SECONDS - start)) s"
grep -q "^package: two builds in two folders are identical" "$scratch/check.txt" || fail "--check"
grep -q "^package: no certificate given.*not signed$" "$scratch/check.txt" || fail "unsigned note"
(cd dist && sha256sum --quiet -c SHA256SUMS && [ "$(cut -d' ' -f3 SHA256SUMS)" = "$zip" ]) ||
    fail "dist/SHA256SUMS does not name and match $zip"

# check <zip> <folder>: unpacks the zip into the folder and checks it.
check() {
    mkdir -p "$2"
    python3 - "$1" "$2" "$product" "$here" "$members" <<'EOF' || return 1
import re, struct, sys, zipfile
zip_path, folder, product, here, members = sys.argv[1:]
archive = zipfile.ZipFile(zip_path)
names = archive.namelist()
assert names == members.split(), f"members {names}"
archive.extractall(folder)
fixed = tuple(int(n) for n in product.split("+")[0].split("."))
for exe in names[:3]:
    data = open(f"{folder}/{exe}", "rb").read()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    assert struct.unpack_from("<I", data, header + 8)[0] == 0, f"{exe}: link time in the PE header"
    for path in (here.encode(), b"/tmp/"):
        assert path not in data, f"{exe}: holds the build path {path}"
    # Windows looks for version.dll beside the executable first: no import of it.
    assert b"VERSION.dll" not in data, f"{exe} imports version.dll"
    # The fixed part follows the resource's key (the signature's bytes may stand in code before).
    at = data.find(struct.pack("<I", 0xFEEF04BD), data.find("VS_VERSION_INFO".encode("utf-16-le")))
    words = struct.unpack_from("<4I", data, at + 8)
    found = [(w >> 16, w & 0xFFFF) for w in words]
    assert found[0] + found[1] == fixed and found[2] + found[3] == fixed, f"{exe}: {found}"
    for key, value in (("FileVersion", product.split("+")[0]), ("ProductVersion", product)):
        text = data.decode("utf-16-le", "replace") + data[1:].decode("utf-16-le", "replace")
        got = re.search(key + "\0+([^\0]*)\0", text)
        assert got and got.group(1) == value, f"{exe}: {key} {got and got.group(1)}, not {value}"
ini = open(f"{folder}/kelvaran.ini.example", "rb").read()
assert ini.startswith(b"\xef\xbb\xbf"), "kelvaran.ini.example has no UTF-8 BOM"
lines = ini[3:].decode("utf-8").splitlines()
table = open(f"{here}/README.md", encoding="utf-8").read().split("### The INI file")[1]
for key in re.findall(r"^\| `(\w+)` \|", table, re.M):
    at = [i for i, line in enumerate(lines) if re.match(f";?{key}=", line)]
    assert len(at) == 1 and lines[at[0] - 1].startswith("; "), f"{key}: no key with a comment"
EOF
    (cd "$2" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS in the zip"
}
check "dist/$zip" "$scratch/unsigned" || fail "unsigned zip"
for exe in kelvaran.exe kelvaran-query.exe kelvaran-tray.exe; do
    ! osslsigncode verify -in "$scratch/unsigned/$exe" >/dev/null 2>&1 || fail "$exe is signed"
done

# A throwaway self-signed code-signing certificate; its password only in the environment.
export KELVARAN_SIGN_PASSWORD="throwaway pass $$"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Kelvaran test signer" \
    -addext extendedKeyUsage=codeSigning -keyout "$scratch/key.pem" -out "$scratch/cert.pem" \
    2>/dev/null
openssl pkcs12 -export -inkey "$scratch/key.pem" -in "$scratch/cert.pem" \
    -passout env:KELVARAN_SIGN_PASSWORD -out "$scratch/cert.pfx"
start=$SECONDS
# Into a folder of its own: dist/ keeps the unsigned zip, not one signed with a throwaway key.
KELVARAN_DIST_DIR=$scratch/dist scripts/package.sh --sign "$scratch/cert.pfx" |
    tee "$scratch/sign.txt"
echo "test-package: package.sh --sign took $((SECONDS - start)) s"
grep -q "^package: the executables are signed with" "$scratch/sign.txt" || fail "signed note"
check "$scratch/dist/$zip" "$scratch/signed" || fail "signed zip"
for exe in kelvaran.exe kelvaran-query.exe kelvaran-tray.exe; do
    osslsigncode verify -CAfile "$scratch/cert.pem" -in "$scratch/signed/$exe" \
        >"$scratch/verify.txt" || { cat "$scratch/verify.txt"; fail "$exe: signature"; }
    grep -q "Message digest algorithm *: SHA256" "$scratch/verify.txt" || fail "$exe: not SHA-256"
    # The signature is the only difference from the unsigned build.
    osslsigncode remove-signature -in "$scratch/signed/$exe" -out "$scratch/$exe" >/dev/null
    cmp "$scratch/$exe" "$scratch/unsigned/$exe" || fail "$exe: signed from other bytes"
done
echo "test-package: passed"
