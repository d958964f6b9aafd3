#!/usr/bin/env bash
# Installs what is missing, builds, and runs the daemon's whole job in an isolated root:
# a private mount namespace with fresh tmpfs over /run, /var/log, /var/lib and /opt, so
# the host's folders are never touched. The local broker stand-in delivers a few sample
# indications; the demo shows what was stored and what reached the simulated BMC, then
# stops the daemon. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "${ORVIND_DEMO_INSIDE:-}" != 1 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "scripts/demo.sh: run as root (the demo uses a private mount namespace)" >&2
        exit 2
    fi
    scripts/setup.sh
    scripts/build.sh build >/dev/null
    ORVIND_DEMO_INSIDE=1 exec unshare --mount --propagation private "$0" "$@"
fi

# ---- inside the private mount namespace from here on

say() { printf '\n== %s\n' "$*"; }

# Waits up to 60 s for a command to succeed.
wait_for() {
    local i
    for i in $(seq 600); do
        if "$@" >/dev/null 2>&1; then return 0; fi
        sleep 0.1
    done
    echo "demo: timed out waiting for: $*" >&2
    return 1
}

log=/var/log/vexa/orvind
pidfile=/var/run/orvind.pid
db=/var/lib/orvind/indications.db

# The binaries are copied first: the build tree may lie under a folder mounted over.
work=$(mktemp -d /tmp/orvind-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT
cp build/synchronizer/orvind build/tools/orvind-broker build/tools/orvind-bmc "$work/"
export PATH="$work:$PATH"
export ORVIND_BMC_DICTIONARY="$root/platform/tallow/data/event-dictionary.txt"

for dir in /run /var/log /var/lib /opt; do
    mount -t tmpfs -o mode=0755 tmpfs "$dir"
done
mkdir -p /var/log/vexa /var/lib/orvind /opt/vexa/orvind
orvind-broker init

say "starting the daemon"
orvind
wait_for grep -q 'new thread starts up' "$log"
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

say "waiting until all four are forwarded"
forwarded() { [ "$(sqlite3 "$db" 'select count(*) from indication where Status=1')" = 4 ]; }
wait_for forwarded

say "stored in $db"
sqlite3 -header -column "$db" \
    'select Id, Status, ProviderName, EventID, EventTime, PerceivedSeverity, Description from indication'

say "the simulated BMC's FPL"
orvind-bmc fpl

say "management-processor commands received"
orvind-bmc commands

say "stopping the daemon with SIGTERM"
daemon=$(cat "$pidfile")
kill -TERM "$daemon"
wait_for test ! -e "/proc/$daemon"
tail -n 2 "$log"

say "the log $log"
cat "$log"

say "left behind in /opt/vexa/orvind and /run"
ls -la /opt/vexa/orvind /run
test ! -e "$pidfile"
echo
echo "demo: done"
