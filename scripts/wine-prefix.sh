#!/usr/bin/env bash
# Private 64-bit Wine prefixes for the test bed.
#
#   wine-prefix.sh ensure DIR           create DIR (a cheap clone of a booted template) unless it exists
#   wine-prefix.sh up DIR KEEPER.exe [--standin VBOXDIR]
#                                       ensure DIR, then keep its services alive with KEEPER.exe;
#                                       with --standin, also register the VirtualBox stand-in of
#                                       VBOXDIR there (VBoxSVC.exe /RegServer, regsvr32 VBoxC.dll);
#                                       with --windows, let its programs create windows without
#                                       a display (Wine's null graphics driver)
#   wine-prefix.sh down DIR             end the keeper started by "up" and that prefix's wineserver
#
# Wine ends services.exe shortly after the last ordinary process of a prefix exits, so a test
# run keeps one sleeper process alive per prefix. Only processes of DIR are ever ended.
set -euo pipefail

die() { echo "wine-prefix: $*" >&2; exit 1; }
[ $# -ge 2 ] || die "usage: $0 ensure|up|down DIR [KEEPER.exe]"
cmd=$1
dir=$(realpath -m "$2")
root=$(dirname "$dir")
template="$root/.template"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

make_template() {
    # Booting a prefix takes several seconds; every other prefix is a hard-linked clone of it.
    [ -f "$template/.booted" ] && return 0
    rm -rf "$template"
    mkdir -p "$template"
    WINEPREFIX="$template" wine wineboot -i >/dev/null 2>&1 || die "wineboot failed for $template"
    WINEPREFIX="$template" wineserver -w
    touch "$template/.booted"
}

ensure() {
    [ -f "$dir/.booted" ] && return 0
    mkdir -p "$root"
    exec 9>"$root/.lock"
    flock 9
    if [ ! -f "$dir/.booted" ]; then
        make_template
        rm -rf "$dir"
        # Binaries are shared read-only; the registry files are written, so they are copied.
        cp -al "$template" "$dir"
        rm -f "$dir/wineserver"
        for f in "$template"/*.reg; do
            cp --remove-destination "$f" "$dir/$(basename "$f")"
        done
    fi
    flock -u 9
}

case "$cmd" in
ensure)
    ensure
    ;;
up)
    [ $# -ge 3 ] || die "up needs the keeper executable"
    ensure
    # Wine's event log keeps nothing: it prints each ReportEventW on its debug channels, and a
    # service writes to the standard error of services.exe, which the prefix's first process
    # starts. So every process that may be that one writes there: events.log, appended to.
    export WINEDEBUG=fixme+advapi,warn+eventlog,err+eventlog
    events="$dir/events.log"
    # Read by the prefix's desktop process when it starts: set before any program of the prefix
    # needs a window.
    case " ${*:4} " in
    *" --windows "*)
        WINEPREFIX="$dir" wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
            >/dev/null 2>>"$events" || die "cannot choose the null graphics driver in $dir"
        # A new prefix's first session takes the driver it had when it started: the next, with it.
        WINEPREFIX="$dir" wineserver -w
        ;;
    esac
    standin=""
    for ((i = 4; i < $#; i++)); do
        [ "${!i}" = "--standin" ] && { j=$((i + 1)); standin=${!j}; }
    done
    if [ -n "$standin" ]; then
        # Registration is idempotent and cheap next to a test run: done at every "up".
        WINEPREFIX="$dir" wine "$standin/VBoxSVC.exe" /RegServer >/dev/null 2>>"$events" ||
            die "VBoxSVC.exe /RegServer failed in $dir"
        WINEPREFIX="$dir" wine regsvr32 /s "$standin/VBoxC.dll" >/dev/null 2>>"$events" ||
            die "regsvr32 VBoxC.dll failed in $dir"
    fi
    pidfile="$dir/.keeper.pid"
    if [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
        exit 0
    fi
    WINEPREFIX="$dir" setsid wine "$3" </dev/null >/dev/null 2>>"$events" &
    echo $! >"$pidfile"
    # Wine's desktop process inherits, for good, the standard handles of the program that brings
    # it up: brought up here, it holds none of a test's (ctest would wait on them for ever).
    case " ${*:4} " in
    *" --windows "*)
        WINEPREFIX="$dir" setsid wine explorer.exe /desktop </dev/null >/dev/null 2>>"$events" &
        ;;
    esac
    # Wait until the prefix's service manager answers, so the first test does not pay for it.
    WINEPREFIX="$dir" wine sc query eventlog >/dev/null 2>>"$events" || true
    ;;
down)
    pidfile="$dir/.keeper.pid"
    if [ -f "$pidfile" ]; then
        kill "$(cat "$pidfile")" 2>/dev/null || true
        rm -f "$pidfile"
    fi
    [ -d "$dir" ] && WINEPREFIX="$dir" wineserver -k 2>/dev/null || true
    ;;
*)
    die "unknown command $cmd"
    ;;
esac
