#!/usr/bin/env bash
# The IPMI LAN benchmark, side by side in one run against one OpenIPMI BMC simulator on a
# loopback port (a SEL of 4000 records, emptied before each step; the simulator rewrites
# its whole SEL file at every add, so an add costs more the fuller the SEL):
#   - ipmitool adds N FPL records (Add SEL Entry, type 0xE0) in one session (`exec` of a
#     file of `raw` lines): records/s;
#   - then, R times: the daemon built with the IPMI backend forwards N rows to the FPL
#     only, each record read back after its add (orvind-bench-e2e --fpl-only, steady):
#     rows/s, the SEL checked to hold the N records; then ipmitool again. Each round's
#     ratio is the daemon's rate over the mean of the ipmitool runs before and after it
#     (the machine's pace changes within minutes); the median of the rounds (the lower
#     middle one for an even R) is the figure;
#   - bench_ipmi: the cost of each step of the BMC library (session open and close, Add
#     SEL Entry, Get SEL Entry of the read-back) on an emptied SEL.
# Run as root from anywhere: bench/e2e-ipmi.sh [--count N] [--rounds R]
# (N from 2 to 4000, default 1000; R from 1 to 9, default 3).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVIND_BENCH_BUILD:-$top/build}
count=1000
rounds=3
usage() {
    echo "Usage: bench/e2e-ipmi.sh [--count N] [--rounds R]  (N 2 to 4000, R 1 to 9)" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    if [ $# -lt 2 ] || ! [ "$2" -ge 1 ] 2>/dev/null; then
        usage
    fi
    case $1 in
    --count) count=$2 ;;
    --rounds) rounds=$2 ;;
    *) usage ;;
    esac
    shift 2
done
if [ "$count" -lt 2 ] || [ "$count" -gt 4000 ] || [ "$rounds" -gt 9 ]; then
    usage
fi
# Only what it runs (the tree as the test command configures it, or as it is).
"$top/scripts/build.sh" "$build" -- orvind-ipmi orvind-bench-e2e bench_ipmi >/dev/null

sim=$(mktemp -d)
port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$sim/lan.conf" <<CONF
name "orvindbench"
set_working_mc 0x20
  startlan 1
    addr 127.0.0.1 $port
    priv_limit admin
    allowed_auths_admin none md5 straight
    guid a123456789abcdefa123456789abcdef
  endlan
  user 2 true "admin" "secret" admin 10 none md5 straight
CONF
cat >"$sim/sim.emu" <<EMU
mc_setbmc 0x20
mc_add 0x20 0 no-device-sdrs 0x23 9 8 0x9f 0x1291 0xf02 persist_sdr
sel_enable 0x20 4000 0x0a
mc_enable 0x20
EMU
mkdir "$sim/state"
ipmi_sim -c "$sim/lan.conf" -f "$sim/sim.emu" -s "$sim/state" -n >"$sim/ipmi_sim.out" 2>&1 &
simpid=$!
trap 'kill $simpid 2>/dev/null; wait $simpid 2>/dev/null; rm -rf "$sim"' EXIT
# The same cipher suite and retries as the daemon's sessions.
tool=(ipmitool -I lanplus -C 3 -N 1 -R 1 -H 127.0.0.1 -p "$port" -U admin -P secret)
for _ in $(seq 50); do
    "${tool[@]}" raw 0x0a 0x40 >/dev/null 2>&1 && break
    sleep 0.2
done
export ORVIND_BMC_LAN=127.0.0.1:$port ORVIND_BMC_USER=admin ORVIND_BMC_PASSWORD=secret

# The number of 0xE0 records in the SEL.
records() { "${tool[@]}" sel list 2>/dev/null | grep -c "OEM record e0" || true; }
now() { date +%s.%N; }

# ipmitool's file: the body of an FPL record as the daemon writes it, its last bytes the row.
for ((i = 0; i < count; i++)); do
    printf 'raw 0x0a 0x44 0 0 0xe0 0x35 0x01 0x04 0x01 0xb9 0 0x10 0x5e 0x5f 0 0 0x%02x 0x%02x\n' \
        $((i >> 8)) $((i & 255))
done >"$sim/add.txt"
# An emptied SEL.
clear_sel() {
    "${tool[@]}" sel clear >/dev/null
    sleep 1 # the clear runs in the background on some BMCs
}
# ipmitool's records/s.
tool_run() {
    clear_sel
    local start end added
    start=$(now)
    "${tool[@]}" exec "$sim/add.txt" >/dev/null
    end=$(now)
    added=$(records)
    if [ "$added" -ne "$count" ]; then
        echo "bench/e2e-ipmi.sh: ipmitool left $added records of $count" >&2
        exit 1
    fi
    echo "$count / ($end - $start)" | bc -l
}
# The daemon's rows/s, and its run's limits row in $sim/limits.
daemon_run() {
    clear_sel
    ORVIND_BENCH_DAEMON=$build/tests/orvind-ipmi "$build/bench/orvind-bench-e2e" \
        --count "$count" --scenarios steady --fpl-only >"$sim/daemon.txt"
    local forwarded
    forwarded=$(records)
    if [ "$forwarded" -ne "$count" ]; then
        cat "$sim/daemon.txt" >&2
        echo "bench/e2e-ipmi.sh: the daemon left $forwarded records of $count" >&2
        exit 1
    fi
    awk -F'|' '/^\| steady/ { gsub(/ /, "", $12); print $12 > "'"$sim/limits"'";
                               gsub(/ /, "", $6); print $6 }' "$sim/daemon.txt"
}

printf 'Side by side, %d FPL records each, against the same ipmi_sim (orvind: each record read back):\n\n' "$count"
printf '| Round | ipmitool before (records/s) | orvind (rows/s) | ipmitool after | orvind / ipmitool | rollback, WAL INSERT/s |\n'
printf '|---:|---:|---:|---:|---:|---:|\n'
before=$(tool_run)
ratios=()
for ((round = 1; round <= rounds; round++)); do
    daemon=$(daemon_run)
    after=$(tool_run)
    ratio=$(echo "$daemon / (($before + $after) / 2)" | bc -l)
    ratios+=("$ratio")
    printf '| %d | %.0f | %.0f | %.0f | %.2fx | %s |\n' "$round" "$before" "$daemon" "$after" \
        "$ratio" "$(sed 's/,/, /' "$sim/limits")"
    before=$after
done
median=$(printf '%s\n' "${ratios[@]}" | sort -g | sed -n "$(((rounds + 1) / 2))p")
printf '\norvind / ipmitool, median of %d rounds: %.2fx\n\n' "$rounds" "$median"

clear_sel
"$build/bench/bench_ipmi"
