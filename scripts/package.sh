#!/usr/bin/env bash
# Builds the release: dist/kelvaran-<version>-win-x64.zip and dist/SHA256SUMS for it. The zip
# holds the three executables, kelvaran.ini.example, README.md, CHANGELOG.md, LICENSE and a
# SHA256SUMS of those files. It is built from the committed tree (HEAD, exported: uncommitted
# changes are left out) in Release without debug information, reproducible to the byte.
#
#   scripts/package.sh [--sign cert.pfx] [--check]
#
#   --sign cert.pfx  signs the executables with Authenticode (SHA-256) before they are summed and
#                    zipped; the certificate's password comes from KELVARAN_SIGN_PASSWORD
#   --check          builds twice, in two temporary folders of different paths, and fails
#                    unless the two zips are identical; the first then goes to dist/
#
# Installs what it needs on a fresh Debian 12 machine (scripts/setup.sh package). Writes to dist/,
# or to $KELVARAN_DIST_DIR when it is set.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dist=$(realpath -m "${KELVARAN_DIST_DIR:-$here/dist}")
certificate=""
check=0
while [ $# -gt 0 ]; do
    case "$1:${2:-}" in
    --sign:?*)
        certificate=$(realpath "$2")
        shift 2
        ;;
    --check:*)
        check=1
        shift
        ;;
    *)
        echo "usage: $0 [--sign cert.pfx] [--check]" >&2
        exit 2
        ;;
    esac
done
[ -z "$certificate" ] || [ -r "$certificate" ] || {
    echo "package: cannot read the certificate $certificate" >&2
    exit 2
}

"$here/scripts/setup.sh" package
cd "$here"
git_dir=$(git rev-parse --absolute-git-dir)
commit=$(git rev-parse HEAD)
# Every date in the build and in the zip is the commit's.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
    echo "package: uncommitted changes are left out: packaging commit ${commit:0:7}"
exes=(kelvaran.exe kelvaran-query.exe kelvaran-tray.exe)
documents=(kelvaran.ini.example README.md CHANGELOG.md LICENSE)
files=("${exes[@]}" "${documents[@]}")

# build <folder>: exports the commit into <folder>/src, builds it in <folder>/build, and writes
# <folder>/dist/kelvaran-<version>-win-x64.zip (named in $zip) and <folder>/dist/SHA256SUMS.
build() {
    local folder=$1
    rm -rf "$folder"
    mkdir -p "$folder/src" "$folder/stage" "$folder/dist"
    git archive "$commit" | tar -x -C "$folder/src"
    # The exported tree has no repository: cmake/Version.cmake asks this one for the commit id.
    # The optimisation is the one the tests run (RelWithDebInfo's), without -g.
    GIT_DIR=$git_dir cmake -S "$folder/src" -B "$folder/build" -G "Unix Makefiles" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" >/dev/null
    cmake --build "$folder/build" -j2 --target kelvaran kelvaran-query kelvaran-tray >/dev/null
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$folder/build/CMakeCache.txt")
    zip=kelvaran-$version-win-x64.zip
    local name
    for name in "${exes[@]}"; do
        cp "$folder/build/bin/$name" "$folder/stage/"
    done
    for name in "${documents[@]}"; do
        cp "$folder/src/$name" "$folder/stage/"
    done
    if [ -n "$certificate" ]; then
        for name in "${exes[@]}"; do
            # The password goes through a pipe, never a command line that others may read. The
            # signing time is the commit's, so a signed build is reproducible too.
            printf '%s' "${KELVARAN_SIGN_PASSWORD-}" |
                osslsigncode sign -pkcs12 "$certificate" -readpass - -h sha256 \
                    -n "Kelvaran Service" -time "$SOURCE_DATE_EPOCH" \
                    -in "$folder/stage/$name" -out "$folder/stage/$name.signed" >/dev/null
            mv "$folder/stage/$name.signed" "$folder/stage/$name"
        done
    fi
    (cd "$folder/stage" && sha256sum "${files[@]}" >SHA256SUMS)
    # Fixed order, the commit's time (in UTC: a zip's times carry no time zone), fixed
    # attributes: the same files give the same zip.
    python3 - "$folder/dist/$zip" "$folder/stage" "$SOURCE_DATE_EPOCH" "${files[@]}" SHA256SUMS \
        <<'EOF'
import sys, time, zipfile
target, stage, epoch, names = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4:]
# A zip cannot hold a time before 1980.
stamp = time.gmtime(max(epoch, 315532800))[:6]
with zipfile.ZipFile(target, "w") as archive:
    for name in names:
        info = zipfile.ZipInfo(name, stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 3
        info.external_attr = 0o100644 << 16
        with open(f"{stage}/{name}", "rb") as data:
            archive.writestr(info, data.read(), compresslevel=9)
EOF
    (cd "$folder/dist" && sha256sum "$zip" >SHA256SUMS)
}

if [ "$check" = 1 ]; then
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    build "$scratch/one"
    build "$scratch/the-second-build"
    if ! cmp -s "$scratch/one/dist/$zip" "$scratch/the-second-build/dist/$zip"; then
        echo "package: two builds of ${commit:0:7} differ:" >&2
        (cd "$scratch" && sha256sum {one,the-second-build}/stage/* >&2)
        exit 1
    fi
    echo "package: two builds in two folders are identical:" \
        "$(cut -c1-64 "$scratch/one/dist/SHA256SUMS")"
    out=$scratch/one
else
    out=$here/build-package
    build "$out"
fi
mkdir -p "$dist"
cp "$out/dist/$zip" "$out/dist/SHA256SUMS" "$dist/"
if [ -n "$certificate" ]; then
    echo "package: the executables are signed with $certificate"
else
    echo "package: no certificate given (--sign cert.pfx): the executables are not signed"
fi
echo "package: $dist/$zip, $(cut -c1-64 "$dist/SHA256SUMS")"
