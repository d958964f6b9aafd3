#!/usr/bin/env bash
# The IPMI LAN benchmark, side by side in one run against one OpenIPMI BMC simulator on a
# loopback port (a SEL of 4000 records, emptied before each step; the simulator rewrites
# its whole SEL file at every add, so an add costs more the fuller the SEL):
#   1. ipmitool adds N FPL records (Add SEL Entry, type 0xE0) in one session (`exec` of a
#      file of `raw` lines): records/s;
#   2. the daemon built with the IPMI backend forwards N rows to the FPL only, each record
#      read back after its add (orvind-bench-e2e --fpl-only, steady): rows/s, and the SEL
#      is checked to hold the N records;
#   3. ipmitool again, so that the two bracket the daemon's run on a machine whose pace
#      changes; the ratio is the daemon's rate over their mean;
#   4. bench_ipmi: the cost of each step of the BMC library (session open and close, Add
#      SEL Entry, Get SEL Entry of the read-back) on an emptied SEL.
# Run as root from anywhere: bench/e2e-ipmi.sh [--count N] (default 1000, at most 4000).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVIND_BENCH_BUILD:-$top/build}
count=1000
if [ $# -gt 0 ]; then
    if [ $# -ne 2 ] || [ "$1" != --count ] || ! [ "$2" -ge 2 ] 2>/dev/null || [ "$2" -gt 4000 ]; then
        echo "Usage: bench/e2e-ipmi.sh [--count N]  (N from 2 to 4000)" >&2
        exit 2
    fi
    count=$2
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

# 1. ipmitool: the body of an FPL record as the daemon writes it, its last bytes the row.
for ((i = 0; i < count; i++)); do
    printf 'raw 0x0a 0x44 0 0 0xe0 0x35 0x01 0x04 0x01 0xb9 0 0x10 0x5e 0x5f 0 0 0x%02x 0x%02x\n' \
        $((i >> 8)) $((i & 255))
done >"$sim/add.txt"
# ipmitool's records/s on an emptied SEL.
tool_run() {
    "${tool[@]}" sel clear >/dev/null
    sleep 1 # the clear runs in the background on some BMCs
    local start end
    start=$(now)
    "${tool[@]}" exec "$sim/add.txt" >/dev/null
    end=$(now)
    added=$(records)
    [ "$added" -eq "$count" ] || {
        echo "bench/e2e-ipmi.sh: ipmitool left $added records of $count" >&2
        exit 1
    }
    echo "$count / ($end - $start)" | bc -l
}
tool_before=$(tool_run)

# 2. The daemon.
"${tool[@]}" sel clear >/dev/null
sleep 1 # the clear runs in the background on some BMCs
ORVIND_BENCH_DAEMON=$build/tests/orvind-ipmi "$build/bench/orvind-bench-e2e" \
    --count "$count" --scenarios steady --fpl-only | tee "$sim/daemon.txt"
forwarded=$(records)
daemon_rate=$(awk -F'|' '/^\| steady/ { gsub(/ /, "", $6); print $6 }' "$sim/daemon.txt")

# 3.
tool_after=$(tool_run)
tool_rate=$(echo "($tool_before + $tool_after) / 2" | bc -l)
printf '\nSide by side, %d FPL records each, against the same ipmi_sim:\n' "$count"
printf '| Writer | records/s | records in the SEL |\n|---|---:|---:|\n'
printf '| ipmitool, one session, before | %.0f | %d |\n' "$tool_before" "$count"
printf '| orvind (IPMI), each record read back | %.0f | %d |\n' "$daemon_rate" "$forwarded"
printf '| ipmitool, one session, after | %.0f | %d |\n' "$tool_after" "$count"
printf 'orvind / ipmitool: %.2fx\n\n' "$(echo "$daemon_rate / $tool_rate" | bc -l)"

# 4. A fresh SEL for the step timings.
"${tool[@]}" sel clear >/dev/null
sleep 1
"$build/bench/bench_ipmi"
[ "$forwarded" -eq "$count" ] || {
    echo "bench/e2e-ipmi.sh: the SEL does not hold every record" >&2
    exit 1
}
