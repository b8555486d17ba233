#!/usr/bin/env bash
# Checks that the tests catch realistic faults: seeds each fault below into a scratch copy of the
# repository (never into this tree), builds it, runs the README's test command on the groups that
# should catch it, and prints a table of the fault and the tests that failed. A fault that no test
# catches is a hole in the suite.
#
#   scripts/seed-faults.sh [NAME...]     all faults, or those named
#
# The scratch copy lives in $KELVARAN_SEED_DIR (default /tmp/kelvaran-seed), with its own build.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
scratch=${KELVARAN_SEED_DIR:-/tmp/kelvaran-seed}

# name | file | perl substitution (must change the file) | ctest regex of the groups to run
faults=(
    'unquoted-image-path|install/install.cpp|s/npos \? L"\\"" \+ exePath \+ L"\\"" : exePath/npos ? exePath : exePath/|service'
    'running-after-stop-pending|service/control.cpp|s/if \(FirstStopRequest.load\(\) == 0\)/if (true)/|unit|machine-7.0.*StopDuringStart'
    'tray-not-notified|service/supervisor.cpp|s/^    NotifyTray\(\);\n//m|machine-5.0.*Life'
    'state-reply-in-release-numbering|pipe/queries.cpp|s/GetMachineState\(machine.Get\(\), &state\)/GetLongProperty(machine.Get(), L"State", &state)/|machine-7.0.*EveryRelease'
    'shutdown-once-left-in-ini|vbox/machine.cpp|s/DWORD error =\s*DeleteIniKey\(/DWORD error = ERROR_SUCCESS \&\& DeleteIniKey(/|machine-7.0.*ShutdownOnce'
    'pipe-instances-for-interactive|pipe/server.cpp|s/SystemAccess & ~FILE_CREATE_PIPE_INSTANCE/SystemAccess/|pipe'
    'failed-save-logged-as-stopped|vbox/machine.cpp|s/(\n\s*)LogMessage\(1, "ERROR stopping \(%s\)/$1outcome = StopOutcome_Stopped;$1LogMessage(1, "ERROR stopping (%s)/|machine-7.0.*SaveFails'
    'heartbeat-stops-advancing|service/control.cpp|s/Sleep\(1000\);\n    \}/Sleep(1000);\n        break;\n    }/|unit|machine-7.0.*Heartbeat'
    'aborted-saved-taken-for-running|vbox/release.cpp|s/return MachineState_Aborted;\n    \}\n    for/return MachineState_Running;\n    }\n    for/|unit|machine-7.0.*AbortedSaved'
    'version-table-without-aborted-saved|vbox/release.cpp|s/if \(from70 && \(classic == MachineState_Aborted\)\)/if (from70 && false)/|unit|machine-no-typeinfo'
    'crash-ends-with-exit-code-0|service/supervisor.cpp|s/MachineAbortedCode = 0x80800002/MachineAbortedCode = 0/|machine-7.0.*EndsByItself'
    'stop-without-bound|service/supervisor.cpp|s/if \(now >= deadline\) \{/if (false \&\& now >= deadline) {/|machine-7.0.*ButtonIgnored'
    'failure-actions-dropped|install/install.cpp|s/\n(\s*)SetFailureActions\(service\);/\n$1(void)&SetFailureActions;/|unit'
    'restarts-for-ever|install/install.cpp|s/\{SC_ACTION_NONE, 0\}/{SC_ACTION_RESTART, RestartDelay}/|unit'
    'preshutdown-without-last-resort|service/supervisor.cpp|s/maxWaitTimeout\) \+ LastResortBound/maxWaitTimeout)/|service'
    'second-stop-rereads-settings|service/control.cpp|s/if \(FirstStopRequest.load\(\) == 0\) \{\n(\s*)LoadConfiguration/{\n$1LoadConfiguration/|unit'
    'failed-start-after-stop-restarts|service/supervisor.cpp|s/\n    if \(StopRequestTime\(\) != 0\) \{\n        specificCode = 0;\n    \}//|machine-7.0-life.*StopDuringStart'
    'join-without-session|vbox/machine.cpp|s/\(VirtualBoxLink.Session == nullptr\) \x7c\x7c \(VirtualBoxLink.MachineId == nullptr\)/false/|machine-7.0-failures.*JoinWithout'
    'lookup-failure-logged-every-time|vbox/link.cpp|s/FAILED\(hr\) && \(hr != before\)/FAILED(hr) \&\& ((hr != before) \x7c\x7c true)/|pipe.*Links|machine-7.0-life.*StartsThatFind'
    'link-close-waits-for-ever|vbox/link.cpp|s/while \(!TryAcquireSRWLockExclusive\(&LinkUseLock\)\) \{/AcquireSRWLockExclusive(\&LinkUseLock);\n    while (false) {/|machine-7.0-life.*Wedged'
    'pipe-name-let-go|pipe/server.cpp|s/if \(\(held_ == 1\) && !ending_\)/if (false)/|pipe.*LaterInstance'
    'queue-without-deadline|pipe/server.cpp|s/if \(now >= connection->deadline\) \{\n(\s*)\*link/if (false) {\n$1*link/|pipe.*Stuck'
    'client-lends-its-token|pipe/pipe.h|s/IdentifyOnly = SECURITY_SQOS_PRESENT \x7c SECURITY_IDENTIFICATION/IdentifyOnly = 0/|pipe'
    'pipe-open-to-remote-clients|pipe/server.cpp|s/ \x7c PIPE_REJECT_REMOTE_CLIENTS//|pipe.*LaterInstance'
    'pipe-without-first-instance-flag|pipe/server.cpp|s/\? FILE_FLAG_FIRST_PIPE_INSTANCE : 0/? 0 : 0/|pipe.*LaterInstance'
    'half-read-states-used|vbox/release.cpp|s/\(value >= StateSlots\)\) \{\n(\s*)return EnumRead::Unreadable;/(value >= StateSlots)) {\n$1continue;/|unit'
    'spawn-taken-for-down|vbox/machine.cpp|s/\(session != SessionState_Spawning\)\) \{/true) {/|machine-7.0.*Spawning'
    'incomplete-ini-reported-as-success|service/control.cpp|s/ReportServiceEnd\(ERROR_SERVICE_SPECIFIC_ERROR, ConfigurationIncompleteCode\);/ReportServiceEnd(NO_ERROR, 0);/|service'
    'account-service-interactive|install/install.cpp|s/\(runAs == nullptr \? SERVICE_INTERACTIVE_PROCESS : 0\)/SERVICE_INTERACTIVE_PROCESS/|unit|service.Install'
    'option-typo-installs-localsystem|service/main.cpp|s/\} else if \(strncmp\(argv\[i\], "--", 2\) == 0\) \{/} else if (false) {/|service.CommandLine'
    'folder-denial-ignored|vbox/folders.cpp|s/denied->Header.AceType == ACCESS_DENIED_ACE_TYPE &&/false \&\&/|unit'
    'folder-owner-ignored|vbox/folders.cpp|s/bool ownerMayRewrite = owner != nullptr;/bool ownerMayRewrite = false;/|unit'
    'pipe-locks-out-its-account|pipe/server.cpp|s/IsWellKnownSid\(self, WinLocalSystemSid\) \? 2 : 3/2/|pipe'
)

want=" $* "
mkdir -p "$scratch"
printf '%-40s %s\n' "FAULT" "CAUGHT BY"
for fault in "${faults[@]}"; do
    # The groups are what is left: a ctest regex, which may hold '|' itself.
    IFS='|' read -r name file expression groups <<<"$fault"
    [ $# -gt 0 ] && [[ $want != *" $name "* ]] && continue
    # A fresh copy of this tree's sources, their times kept, so the build directory that stays
    # between faults rebuilds only what the fault touches.
    rm -rf "$scratch/tree" && mkdir -p "$scratch/tree"
    (cd "$here" && git ls-files -co --exclude-standard | tar -cf - -T -) | tar -xf - -C "$scratch/tree"
    # The file of the fault before, restored with its old time, would not be rebuilt.
    [ -f "$scratch/seeded" ] && touch "$scratch/tree/$(cat "$scratch/seeded")"
    printf '%s\n' "$file" >"$scratch/seeded"
    if ! perl -0pi -e "\$c += $expression; END { exit(\$c ? 0 : 1) }" "$scratch/tree/$file"; then
        printf '%-40s %s\n' "$name" "NOT SEEDED: the expression no longer matches $file"
        continue
    fi
    log="$scratch/$name.log"
    (cd "$scratch/tree" && KELVARAN_BUILD_DIR="$scratch/build" scripts/test.sh -R "$groups") \
        >"$log" 2>&1
    status=$?
    caught=$(grep -E '^\s+[0-9]+ - ' "$log" | sed -E 's/^\s+[0-9]+ - //; s/ \(.*//' | tr '\n' ' ')
    if [ $status -eq 0 ]; then
        printf '%-40s %s\n' "$name" "NOT CAUGHT (see $log)"
    else
        printf '%-40s %s\n' "$name" "${caught:-the build or the test run failed (see $log)}"
    fi
done
