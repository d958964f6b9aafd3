#!/usr/bin/env bash
# The end-to-end benchmark with the daemon built with the IPMI backend, forwarding into
# OpenIPMI's BMC simulator on a loopback port, then the time of one SEL add. Run as root
# from anywhere; options go to orvind-bench-e2e (default --count 2000: the simulated SEL
# holds 4000 records).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build
"$top/scripts/build.sh" "$build" >/dev/null
cmake --build "$build" --target orvind-ipmi bench_ipmi >/dev/null

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
export ORVIND_BMC_LAN=127.0.0.1:$port ORVIND_BMC_USER=admin ORVIND_BMC_PASSWORD=secret
for _ in $(seq 50); do
    ipmitool -I lanplus -C 3 -N 1 -R 1 -H 127.0.0.1 -p "$port" -U admin -P secret \
        raw 0x0a 0x40 >/dev/null 2>&1 && break
    sleep 0.2
done

[ $# -gt 0 ] || set -- --count 2000
ORVIND_BENCH_DAEMON=$build/tests/orvind-ipmi "$build/bench/orvind-bench-e2e" "$@"
# A fresh SEL for the add timing.
ipmitool -I lanplus -C 3 -H 127.0.0.1 -p "$port" -U admin -P secret sel clear >/dev/null
"$build/bench/bench_ipmi"
