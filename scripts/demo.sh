#!/usr/bin/env bash
# Installs what is missing, builds the daemon and its tools, and runs the daemon's whole
# job in an isolated root: a private mount namespace with fresh tmpfs over /run,
# /var/log, /var/lib and /opt, so the host's folders are never touched. The local broker
# stand-in delivers four sample indications; the demo shows, and explains, what was
# stored and what reached the simulated BMC, then stops the daemon. Run as root, from a
# clone anywhere (under /opt or /var/lib as well: what it needs is copied first).
set -euo pipefail
cd "$(dirname "$0")/.."
# The demo's BMC is the simulated one: a tree configured for a real BMC (ORVIND_BMC=ipmi,
# as the test command configures build/) has the daemon with the simulated BMC beside it.
daemon=orvind
if grep -qx 'ORVIND_BMC:STRING=ipmi' build/CMakeCache.txt 2>/dev/null; then
    daemon=orvind-sim
fi
targets=("$daemon" orvind-broker orvind-bmc orvindctl)

if [ "${ORVIND_DEMO_INSIDE:-}" != 1 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "scripts/demo.sh: run as root (the demo uses a private mount namespace)" >&2
        exit 2
    fi
    echo "demo: [  0s] checking the packages it needs"
    scripts/setup.sh
    echo "demo: [$(printf '%3d' "$SECONDS")s] building ${targets[*]} in build/ (about a minute the first time on 2 cores)"
    scripts/build.sh build -- "${targets[@]}"
    echo "demo: [$(printf '%3d' "$SECONDS")s] built; running the daemon in a private mount namespace"
    ORVIND_DEMO_INSIDE=1 exec unshare --mount --propagation private "$0" "$@"
fi

# ---- inside the private mount namespace from here on

say() { printf '\n== %s\n' "$*"; }
# An explanation of what was just shown, indented.
note() { printf '   %s\n' "$@"; }

# Waits up to 60 s for a command to succeed.
wait_for() {
    local _
    for _ in $(seq 600); do
        if "$@" >/dev/null 2>&1; then return 0; fi
        sleep 0.1
    done
    echo "demo: timed out waiting for: $*" >&2
    return 1
}

started=$(date +%s)
log=/var/log/vexa/orvind
pidfile=/var/run/orvind.pid
db=/var/lib/orvind/indications.db

# The programs and the sample dictionary are copied first: the clone may lie under a
# folder mounted over below.
work=$(mktemp -d /tmp/orvind-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT
for target in "${targets[@]}"; do
    cp "$(find build -name "$target" -type f -perm -u+x | head -n 1)" "$work/"
done
[ "$daemon" = orvind ] || mv "$work/$daemon" "$work/orvind"
cp platform/tallow/data/event-dictionary.txt "$work/"
export PATH="$work:$PATH"
unset ORVIND_BMC_DICTIONARY ORVIND_BMC_DIR ORVIND_BROKER_DIR

for dir in /run /var/log /var/lib /opt; do
    mount -t tmpfs -o mode=0755 tmpfs "$dir"
done
mkdir -p /var/log/vexa /var/lib/orvind /opt/vexa/orvind
orvind-broker init
orvind-bmc dictionary install "$work/event-dictionary.txt"

say "starting the daemon"
orvind
note "orvind detached and returned 0 once ready: pipe open, subscription requested," \
    "forwarding thread started (a failed start returns 255 with the reason)."
echo "running as pid $(cat "$pidfile"); registered in the broker:"
orvind-broker list

say "raising four indications in root/zarn, as the providers would"
raise() { orvind-broker raise --class VEXA_AlertIndication "$@"; }
raise -p 'ProviderName:string=VEXA WBEM' -p EventID:string=1 -p PerceivedSeverity:uint16=3 \
    -p EventTime:datetime=20261206093000.000000+060 -p 'Description:string=Correctable memory errors' \
    -p HWEncodingPhysicalLocation:string=00020001000a0321 -p 'NetworkAddresses:string[]=10.0.0.5,fe80::5' \
    -p SystemFirmwareVersion:string=2.41
raise -p ProviderName:string=VEXA_WBEM -p EventID:string=2 -p PerceivedSeverity:uint16=2 \
    -p EventTime:datetime=20261206093100.000000+060 -p 'Description:string=Memory scrub completed'
raise -p ProviderName:string=VEXA_RAID -p EventID:string=1 -p PerceivedSeverity:uint16=6 \
    -p EventTime:datetime=20261206093200.000000+060 -p "Description:string=Logical drive 'data' failed" \
    -p HWPartNumber:string=RAID-9271
raise -p ProviderName:string=Unknown_Provider -p EventID:string=7 -p PerceivedSeverity:uint16=2 \
    -p 'Description:string=An event no dictionary knows'

say "what orvindctl says right away"
orvindctl status || true
note "The forwarding thread pauses 3 s after start-up, so the rows may still be waiting."

say "waiting until all four are forwarded"
forwarded() { [ "$(sqlite3 "$db" 'select count(*) from indication where Status=1')" = 4 ]; }
wait_for forwarded

say "stored in $db"
sqlite3 -header -column "$db" \
    'select Id, Status, ProviderName, EventID, EventTime, PerceivedSeverity, Description from indication'
note "Status 1 means handled: the forwarding thread has dealt with the row, whatever the" \
    "targets answered; it is never retried. Status 0 would mean still waiting." \
    "The blank in 'VEXA WBEM' becomes '_' when a row is forwarded."

say "the simulated BMC's FPL"
orvind-bmc fpl
note "Rows 1 to 3 each became one OEM record (type 0xE0) through the event dictionary." \
    "Row 4 did not: Unknown_Provider event 7 is in no dictionary, so the log says" \
    "\"Get IPMIeventid failed, ...\" and the row is still marked handled."

say "management-processor commands received"
orvind-bmc commands
note "Two went to the management processor (MPEventGen):" \
    "  row 1: VEXA_WBEM event 1 is always sent (so are its events 3 and 4, and" \
    "         QRX_FCHBAIndication event 1), whatever its alert level (2 here);" \
    "  row 3: VEXA_RAID event 1 has alert level 5; every event of level 3 and up is sent." \
    "Row 2 (VEXA_WBEM 2, level 1) went to the FPL only; row 4 to neither."

say "stopping the daemon with SIGTERM"
daemon=$(cat "$pidfile")
kill -TERM "$daemon"
wait_for test ! -e "/proc/$daemon"
tail -n 2 "$log"

say "the log $log"
cat "$log"
note "\"Can't analyze provider version\" appears for each management-processor event on" \
    "Debian: the host facts come from 'rpm -qf /opt/vexa/vexa-qrx', and neither rpm nor" \
    "that provider package is on this machine; the event is sent without the version."

say "left behind in /opt/vexa/orvind and /run"
ls -la /opt/vexa/orvind /run
test ! -e "$pidfile"
echo
echo "demo: done in $(($(date +%s) - started)) s"
