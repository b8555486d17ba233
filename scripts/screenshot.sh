#!/usr/bin/env bash
# The tray companion's pictures. First its icons, drawn by the companion's own code
# (kelvaran-tray.exe --icon-sheet): every state at 100, 150 and 200 % on a light (#F3F3F3) and a
# dark (#202020) taskbar, pixels doubled, as tray-icons.png beside OUTPUT. Then the demo's service
# and machine (as scripts/demo.sh sets them up) in a fresh Wine prefix on a virtual X display,
# with Wine's desktop and its notification area, the companion started, its menu opened on the
# machine, and the lower right of the screen written as OUTPUT.
#
#   scripts/screenshot.sh [OUTPUT.png]      (default: docs/tray.png, and docs/tray-icons.png)
#
# Installs what it needs when it is missing (the build's packages, xvfb, xdotool, scrot,
# python3). Ends only what it started: its X server, the prefix's keeper and that prefix's
# wineserver.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
output=$(realpath -m "${1:-$here/docs/tray.png}")
icons=$(dirname "$output")/tray-icons.png
build=$(realpath -m "${KELVARAN_BUILD_DIR:-$here/build}")
prefix=$build/wine/screenshot
folder="$prefix/drive_c/Program Files/Kelvaran"
vbox="$prefix/drive_c/Program Files/Oracle/VirtualBox"
manage='C:\Program Files\Oracle\VirtualBox\VBoxManage.exe'
ctl='C:\Program Files\Oracle\VirtualBox\standin-ctl.exe'
tray='C:\Program Files\Kelvaran\kelvaran-tray.exe'
export VBOX_USER_HOME='C:\users\Public\.VirtualBox'
machine=demo
width=1024
height=768

"$here/scripts/setup.sh"
missing=()
for p in xvfb xdotool scrot python3; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "screenshot: installing ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
"$here/scripts/build.sh" >/dev/null

# A display of our own: the first number without an X server.
number=90
while [ -e "/tmp/.X$number-lock" ]; do number=$((number + 1)); done
export DISPLAY=:$number
Xvfb "$DISPLAY" -screen 0 "${width}x${height}x24" -nolisten tcp >/dev/null 2>&1 &
xserver=$!
scratch=$(mktemp -d)
trap '"$here/scripts/wine-prefix.sh" down "$prefix"; kill $xserver; rm -rf "$scratch"' EXIT

win() { KELVARAN_WINEPREFIX=$prefix "$build/wine-run" "$@" >"$scratch/out" 2>&1; }
wait_for() {  # a command that must succeed within 30 s
    for _ in $(seq 150); do
        "$@" && return 0
        sleep 0.2
    done
    echo "screenshot: gave up waiting for: $*" >&2
    return 1
}

echo "screenshot: a fresh prefix with the stand-in and the machine $machine"
"$here/scripts/wine-prefix.sh" down "$prefix"
rm -rf "$prefix"
"$here/scripts/wine-prefix.sh" ensure "$prefix"
# Every program of the prefix shows on Wine's desktop "shell", which has a taskbar and its
# notification area; read by the desktop process when it starts, so set first.
win reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shell /f
win reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shell /d "${width}x${height}" /f
mkdir -p "$vbox" "$folder"
cp "$build"/vbox/*.exe "$build"/vbox/*.dll "$vbox/"
"$here/scripts/wine-prefix.sh" up "$prefix" "$build/bin/wine-keeper.exe" --standin "$vbox"
win "$ctl" release 7.0
win "$manage" createvm --name "$machine" --register
win "$ctl" durations "$machine" 1500 800 800
win "$ctl" screen "$machine" 1280x800
win "$ctl" vrde "$machine" on 3389

echo "screenshot: the companion's icons"
cp "$build/bin/kelvaran.exe" "$build/bin/kelvaran-tray.exe" "$folder/"
win "$tray" --icon-sheet 'C:\users\Public\tray-icons.bmp'
mkdir -p "$(dirname "$icons")"
# The 32-bit BMP (bottom-up rows of blue, green, red, unused) as an RGB PNG, each pixel doubled.
python3 - "$prefix/drive_c/users/Public/tray-icons.bmp" "$icons" <<'PYTHON'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
offset, = struct.unpack_from("<I", data, 10)
width, height = struct.unpack_from("<ii", data, 18)
rows = []
for y in range(height - 1, -1, -1):
    start = offset + y * width * 4
    pixels = (data[start + 4 * x:start + 4 * x + 3][::-1] for x in range(width))
    row = b"".join(pixel * 2 for pixel in pixels)
    rows += [b"\0" + row] * 2
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
header = struct.pack(">IIBBBBB", width * 2, height * 2, 8, 2, 0, 0, 0)
with open(sys.argv[2], "wb") as png:
    png.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
              chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
PYTHON
echo "screenshot: $icons"

echo "screenshot: the service kelvaran runs the machine"
printf '%s\r\n' '[Kelvaran]' 'ServiceName=Kelvaran Demo' \
    'VboxInstallPath=C:\Program Files\Oracle\VirtualBox' "VboxUserHome=$VBOX_USER_HOME" \
    "VmName=$machine" 'ShutdownCommand=poweroff' >"$folder/kelvaran.ini"
win 'C:\Program Files\Kelvaran\kelvaran.exe' -i
win sc start kelvaran
status() { win "$tray" --status && grep -q 'machine Running' "$scratch/out"; }
wait_for status
tr -d '\r' <"$scratch/out"

echo "screenshot: the companion, its menu and the machine's submenu"
# As the logon starts it: no balloon telling where its icon is.
KELVARAN_WINEPREFIX=$prefix "$build/wine-run" "$tray" --logon >/dev/null 2>&1 &
sleep 6  # the desktop comes up, the companion adds its icon and asks the service
# The notification area's one icon sits in the taskbar's lower right corner; the menu opens above
# it, the machine's item first, and the pointer resting there opens its submenu.
xdotool mousemove $((width - 11)) $((height - 11)) click 3
sleep 1
xdotool mousemove $((width - 39)) $((height - 57))
sleep 2
mkdir -p "$(dirname "$output")"
scrot -o -a $((width - 480)),$((height - 240)),480,240 "$output"
echo "screenshot: $output"
