#!/usr/bin/env bash
# The main job: builds kelvaran.exe, then shows a service's whole life in a fresh Wine prefix, as
# an administrator would live it on Windows. The VirtualBox stand-in plays VirtualBox, installed
# under C:\Program Files\Oracle\VirtualBox with a machine "demo". kelvaran.exe sits beside its INI
# file under C:\Program Files\Kelvaran: "-i", start (the machine comes up), status, the machine's
# facts through kelvaran-query, a pause and a resume heard by a listening companion, stop (the
# machine is powered off), the log, "-u".
#
#   scripts/demo.sh [--release 5.0|6.1|7.0]    the VirtualBox release the stand-in plays (7.0)
#
# Installs what the build needs when it is missing. Ends only what it started: the prefix's
# keeper process and that prefix's wineserver, which takes the prefix's processes with it.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
release=7.0
case "${1:-}:${2:-}" in
"--release:5.0" | "--release:6.1" | "--release:7.0") release=$2 ;;
":") ;;
*)
    echo "usage: $0 [--release 5.0|6.1|7.0]" >&2
    exit 2
    ;;
esac
build=$(realpath -m "${KELVARAN_BUILD_DIR:-$here/build}")
prefix=$build/wine/demo
folder="$prefix/drive_c/Program Files/Kelvaran"
vbox="$prefix/drive_c/Program Files/Oracle/VirtualBox"
exe='C:\Program Files\Kelvaran\kelvaran.exe'
query='C:\Program Files\Kelvaran\kelvaran-query.exe'
manage='C:\Program Files\Oracle\VirtualBox\VBoxManage.exe'
ctl='C:\Program Files\Oracle\VirtualBox\standin-ctl.exe'
# The VirtualBox home that holds the machine: the tools work on it, and so does the service.
export VBOX_USER_HOME='C:\users\Public\.VirtualBox'
service=kelvaran
machine=demo
scratch=$(mktemp -d)

step() { printf '\n=== %s\n' "$*"; }
# Runs a Windows program in the demo prefix; Wine's console output ends lines with CR LF. The
# output goes through a file: a VirtualBox server that a tool starts keeps the tool's output open
# until it ends, and a pipe would wait for that.
win() {
    local status=0
    KELVARAN_WINEPREFIX=$prefix "$build/wine-run" "$@" >"$scratch/out" 2>&1 || status=$?
    tr -d '\r' <"$scratch/out"
    return $status
}
state_of() { win "$manage" showvminfo "$machine" --machinereadable | grep '^VMState='; }
# Waits until "sc query" shows the state, for at most 30 s.
wait_for() {
    for _ in $(seq 150); do
        win sc query "$service" | grep -q "$1" && return 0
        sleep 0.2
    done
    echo "the service did not reach $1" >&2
    return 1
}

build_all() {
    "$here/scripts/setup.sh"
    "$here/scripts/build.sh" >/dev/null
}

fresh_prefix() {
    step "A fresh Wine prefix: $prefix"
    "$here/scripts/wine-prefix.sh" down "$prefix"
    rm -rf "$prefix"
    "$here/scripts/wine-prefix.sh" ensure "$prefix"
    mkdir -p "$vbox"
    cp "$build"/vbox/*.exe "$build"/vbox/*.dll "$vbox/"
    "$here/scripts/wine-prefix.sh" up "$prefix" "$build/bin/wine-keeper.exe" --standin "$vbox"
    echo "VirtualBox (the stand-in) registered from C:\\Program Files\\Oracle\\VirtualBox"
}

create_machine() {
    step "standin-ctl release $release (VirtualBox $release from the server's next start)"
    win "$ctl" release "$release"
    step "VBoxManage createvm --name $machine --register"
    win "$manage" createvm --name "$machine" --register
    # Timings of a quick guest (launch, power-off, save-state in ms), its screen and VRDE port.
    win "$ctl" durations "$machine" 1500 800 800
    win "$ctl" screen "$machine" 1280x800
    win "$ctl" vrde "$machine" on 3389
    state_of
}

place_service() {
    step "kelvaran.exe, kelvaran-query.exe and kelvaran.ini in C:\\Program Files\\Kelvaran"
    mkdir -p "$folder"
    cp "$build/bin/kelvaran.exe" "$build/bin/kelvaran-query.exe" "$folder/"
    printf '%s\r\n' \
        '[Kelvaran]' \
        'ServiceName=Kelvaran Demo' \
        'VboxInstallPath=C:\Program Files\Oracle\VirtualBox' \
        "VboxUserHome=$VBOX_USER_HOME" \
        "VmName=$machine" \
        'ShutdownCommand=poweroff' \
        'MaxWaitTimeout=60000' \
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

# Whether a VBoxSVC.exe of the demo prefix runs (it ends 5 s after its last client).
server_running() {
    local pid
    for pid in $(pgrep -f 'VBoxSVC\.exe' || true); do
        # A process may end between pgrep and the read: the shell's own error for the redirection
        # goes to /dev/null with the rest.
        { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$prefix" && return 0
    done
    return 1
}

start_service() {
    # The tools' VirtualBox server ends first, so that the service starts one of its own.
    for _ in $(seq 100); do
        server_running || break
        sleep 0.2
    done
    step "sc start $service"
    win sc start "$service"
    wait_for RUNNING
}

show_status() {
    step "sc query $service"
    win sc query "$service"
    step "The machine as VirtualBox sees it"
    state_of
}

show_facts() {
    step "kelvaran-query $machine (the service's control pipe)"
    win "$query" "$machine"
    step "kelvaran-query $machine --raw"
    win "$query" "$machine" --raw
}

pause_and_resume() {
    step "kelvaran-query --listen 2 (a companion waits for state changes), then pause and resume"
    KELVARAN_WINEPREFIX=$prefix "$build/wine-run" "$query" --listen 2 --timeout 60 \
        >"$scratch/listen" 2>&1 &
    local listener=$!
    for _ in $(seq 100); do
        grep -q Listening "$scratch/listen" 2>/dev/null && break
        sleep 0.1
    done
    win "$manage" controlvm "$machine" pause
    win "$query" "$machine" state
    win "$manage" controlvm "$machine" resume
    win "$query" "$machine" state
    wait "$listener" || true
    echo "--- what the companion heard:"
    tr -d '\r' <"$scratch/listen"
}

stop_service() {
    step "sc stop $service"
    win sc stop "$service"
    wait_for STOPPED
    win sc query "$service"
    step "The machine after the stop"
    state_of
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
trap '"$here/scripts/wine-prefix.sh" down "$prefix"; rm -rf "$scratch"' EXIT
fresh_prefix
create_machine
place_service
install_service
start_service
show_status
show_facts
pause_and_resume
stop_service
show_log
uninstall_service
