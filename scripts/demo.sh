#!/usr/bin/env bash
# The main job: builds kelvaran.exe, then shows a service's life in a fresh Wine prefix, as an
# administrator would live it on Windows: the executable beside its INI file under
# C:\Program Files\Kelvaran, "-i", start, status, stop, and the log it wrote.
#
# Installs what the build needs when it is missing. Ends only what it started: the prefix's
# keeper process and that prefix's wineserver.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVARAN_BUILD_DIR:-$here/build}
prefix=$build/wine/demo
folder="$prefix/drive_c/Program Files/Kelvaran"
exe='C:\Program Files\Kelvaran\kelvaran.exe'
service=kelvaran

step() { printf '\n=== %s\n' "$*"; }
# Runs a Windows program in the demo prefix; Wine's console output ends lines with CR LF.
win() { KELVARAN_WINEPREFIX=$prefix "$build/wine-run" "$@" | tr -d '\r'; }

build_all() {
    "$here/scripts/setup.sh"
    "$here/scripts/build.sh" >/dev/null
}

fresh_prefix() {
    step "A fresh Wine prefix: $prefix"
    "$here/scripts/wine-prefix.sh" down "$prefix"
    rm -rf "$prefix"
    "$here/scripts/wine-prefix.sh" up "$prefix" "$build/bin/wine-keeper.exe"
}

place_service() {
    step "kelvaran.exe and kelvaran.ini in C:\\Program Files\\Kelvaran"
    mkdir -p "$folder"
    cp "$build/bin/kelvaran.exe" "$folder/"
    printf '%s\r\n' \
        '[Kelvaran]' \
        'ServiceName=Kelvaran Demo' \
        'VboxInstallPath=C:\Program Files\Oracle\VirtualBox' \
        'VboxUserHome=C:\users\Public\.VirtualBox' \
        'VmName=demo' \
        'ShutdownCommand=acpipowerbutton' \
        'MaxWaitTimeout=120000' \
        'Loglevel=3' >"$folder/kelvaran.ini"
    tr -d '\r' <"$folder/kelvaran.ini"
}

install_service() {
    step "\"$exe\" -i"
    win "$exe" -i
    # Wine's sc has no "qc": the registration is read where the manager keeps it.
    step "The registration (HKLM\\System\\CurrentControlSet\\Services\\$service)"
    win reg query "HKLM\\System\\CurrentControlSet\\Services\\$service" | sed '/^$/d'

}

start_service() {
    step "sc start $service"
    win sc start "$service"
    sleep 1
}

show_status() {
    step "sc query $service"
    win sc query "$service"
}

stop_service() {
    step "sc stop $service"
    win sc stop "$service"
    for _ in $(seq 50); do
        win sc query "$service" | grep -q STOPPED && break
        sleep 0.2
    done
}

show_log() {
    step "C:\\Program Files\\Kelvaran\\kelvaran.log"
    tr -d '\r' <"$folder/kelvaran.log"
}

uninstall_service() {
    step "\"$exe\" -u"
    win "$exe" -u
}

build_all
trap '"$here/scripts/wine-prefix.sh" down "$prefix"' EXIT
fresh_prefix
place_service
install_service
start_service
show_status
stop_service
show_status
uninstall_service
show_log
