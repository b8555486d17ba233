# Sourced by the benchmarks' run.sh: a Wine prefix of the benchmark's own under the build, with
# the stand-in registered, kept up while the script runs and ended with it. Sets here, build,
# prefix and vbox.
#   . bench/prefix.sh NAME           (KELVARAN_BUILD_DIR selects the build, default build/)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${KELVARAN_BUILD_DIR:-$here/build}")
prefix=$build/wine/$1
vbox=$build/vbox

"$here/scripts/wine-prefix.sh" up "$prefix" "$build/bin/wine-keeper.exe" --standin "$vbox"
trap '"$here/scripts/wine-prefix.sh" down "$prefix"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
