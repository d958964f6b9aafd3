#!/usr/bin/env bash
# shellcheck disable=SC2317 # helpers called through trap, check and wait_for
# The installed daemon under its own unit and a real systemd: the package (from the
# dist_package_build step) is installed into a scratch root (lib.sh's make_root), which
# systemd then boots as pid 1 of its own pid, mount, cgroup, UTS and IPC namespaces, with
# a minimal target. The BMC is ipmi_sim on the loopback, reached over LAN with the settings
# in /etc/default/orvind and the password as the service's credential; the broker is the
# stand-in's repository. Checked: the start returns once the daemon is ready (Type=notify),
# the verdict is healthy, rpm reads its database in the unit's sandbox, a reload reopens
# the log, the watchdog stays quiet for a minute, what the broker delivers while the daemon
# is stopped waits in the socket's pipe and is stored, a failure shows in the journal at its
# priority, and an error at start-up shows there once.
#   test_systemd.sh BUILD_DIR
# Exit status 77 (skipped) where systemd cannot run here, with the reason.
set -u
. "$(dirname "$0")/lib.sh"
build=$(realpath "$1")
data=$(realpath "$(dirname "$0")/../data")
debs=("$build"/dist/package/orvind_*.deb)
log=/var/log/vexa/orvind

[ -f "${debs[0]}" ] || {
    echo "no package in $build/dist/package: run dist_package_build first"
    exit 1
}
[ -x /lib/systemd/systemd ] || skip "systemd is not installed"
command -v ipmi_sim >/dev/null || skip "ipmi_sim is not installed"
command -v ipmitool >/dev/null || skip "ipmitool is not installed"
isolate "$@"

# systemd keeps its units in cgroups: it gets a cgroup of its own in each hierarchy it uses,
# as the root of its cgroup namespace, and the hierarchies mounted anew inside it.
cg=orvind-test-$(tr -dc 'a-z0-9' </dev/urandom | head -c 8)
if [ "$(stat -fc %T /sys/fs/cgroup)" = cgroup2fs ]; then
    hierarchies=(/sys/fs/cgroup)
else
    hierarchies=(/sys/fs/cgroup/systemd)
    [ "$(stat -fc %T /sys/fs/cgroup/unified 2>/dev/null)" = cgroup2fs ] &&
        hierarchies+=(/sys/fs/cgroup/unified)
fi
for h in "${hierarchies[@]}"; do
    why=$(mkdir "$h/$cg" 2>&1 && echo $$ 2>&1 >"$h/$cg/cgroup.procs") ||
        skip "no cgroup of its own for systemd in $h: $why"
done

sim=/run/ipmisim
cleanup() {
    [ -z "${systemd:-}" ] || kill -KILL "$systemd" 2>/dev/null
    [ -z "${simulator:-}" ] || kill -TERM "$simulator" 2>/dev/null
    wait
    # The cgroups go once the processes in them are gone.
    for h in "${hierarchies[@]}"; do
        echo $$ >"$h/cgroup.procs"
        wait_for 10 sh -c "find '$h/$cg' -depth -type d -exec rmdir {} + 2>/dev/null; ! test -d '$h/$cg'"
    done
}
trap cleanup EXIT

make_root
cp "${debs[0]}" "$ROOT/tmp/orvind.deb"
rm -f "$ROOT/var/lib/man-db/auto-update"
check "the package installs" in_root dpkg -i /tmp/orvind.deb >/dev/null

# The BMC: ipmi_sim on a free loopback port (tried until one is), user "admin".
mkdir "$sim"
for port in $((20000 + RANDOM % 20000)) $((20000 + RANDOM % 20000)) $((20000 + RANDOM % 20000)); do
    sed "s/@PORT@/$port/" "$data/ipmisim/lan.conf" >"$sim/lan.conf"
    sed "s/@SELSIZE@/1000/" "$data/ipmisim/sim.emu" >"$sim/sim.emu"
    ipmi_sim -c "$sim/lan.conf" -f "$sim/sim.emu" -s "$sim" -n >"$sim/out" 2>&1 </dev/null &
    simulator=$!
    answers() { ipmitool -I lanplus -C 3 -N 1 -R 1 -H 127.0.0.1 -p "$port" -U admin -P secret raw 0x0a 0x40 >/dev/null 2>&1; }
    wait_for 15 answers && break
    kill "$simulator" 2>/dev/null
    simulator=
done
[ -n "$simulator" ] || {
    not_ok "ipmi_sim answers: $(cat "$sim/out")"
    finish
}
# The settings and the credential as the README tells an administrator to give them.
cat >>"$ROOT/etc/default/orvind" <<EOF
ORVIND_BMC_LAN=127.0.0.1:$port
ORVIND_BMC_USER=admin
EOF
install -d -m 0700 "$ROOT/etc/orvind"
echo secret | install -m 0600 /dev/stdin "$ROOT/etc/orvind/bmc-password"
mkdir -p "$ROOT/etc/systemd/system/orvind.service.d"
printf '[Service]\nLoadCredential=bmc-password:/etc/orvind/bmc-password\n' \
    >"$ROOT/etc/systemd/system/orvind.service.d/credential.conf"
in_root orvind-broker init >/dev/null
# rpm's database where the servers keep it (Debian's rpm keeps it in root's home, which the
# unit hides: ProtectHome=).
if command -v rpm >/dev/null; then
    mkdir -p "$ROOT/etc/rpm"
    echo '%_dbpath /var/lib/rpm' >"$ROOT/etc/rpm/macros"
    in_root rpm --initdb
fi

# A minimal system: the journal and what orvind's units pull in; nothing that would touch
# the host's kernel settings, devices or clock, and no login.
cat >"$ROOT/etc/systemd/system/orvind-test.target" <<EOF
[Unit]
Description=The scratch root of orvind's test
Wants=systemd-journald.service dbus.socket
EOF
for unit in systemd-sysctl.service systemd-modules-load.service systemd-binfmt.service \
    proc-sys-fs-binfmt_misc.automount systemd-timesyncd.service systemd-pstore.service \
    systemd-firstboot.service systemd-repart.service systemd-udevd.service \
    systemd-udev-trigger.service systemd-random-seed.service systemd-machine-id-commit.service \
    systemd-pcrphase-sysinit.service systemd-pcrphase.service kmod-static-nodes.service \
    sys-kernel-config.mount sys-kernel-debug.mount sys-kernel-tracing.mount \
    sys-fs-fuse-connections.mount dev-hugepages.mount dev-mqueue.mount getty@tty1.service \
    console-getty.service; do
    ln -sf /dev/null "$ROOT/etc/systemd/system/$unit"
done
umount "$ROOT/proc"
# shellcheck disable=SC2016 # the script's own variables, expanded when it runs
unshare --pid --fork --kill-child --mount --cgroup --uts --ipc bash -c '
    set -e
    root=$1
    shift
    mount -t proc proc "$root/proc"
    mount --bind "$root/proc/sys" "$root/proc/sys"
    mount -o remount,bind,ro "$root/proc/sys"
    mount --rbind /sys "$root/sys"
    mount -o remount,bind,ro "$root/sys"
    if [ "$#" -eq 1 ] && [ "$1" = /sys/fs/cgroup ]; then
        mount -t cgroup2 cgroup2 "$root/sys/fs/cgroup"
    else
        mount -t tmpfs -o mode=0755 cgroup "$root/sys/fs/cgroup"
        mkdir "$root/sys/fs/cgroup/systemd"
        mount -t cgroup -o none,name=systemd cgroup "$root/sys/fs/cgroup/systemd"
        if [ "$#" -eq 2 ]; then
            mkdir "$root/sys/fs/cgroup/unified"
            mount -t cgroup2 cgroup2 "$root/sys/fs/cgroup/unified"
        fi
    fi
    # Mounts made in a unit'"'"'s namespace (its credentials) reach systemd'"'"'s, as on a booted system.
    mount --make-rshared "$root"
    echo "the namespaces are ready"
    exec chroot "$root" /usr/bin/env -i container=orvind-test \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /lib/systemd/systemd --unit=orvind-test.target
' boot "$ROOT" "${hierarchies[@]}" >/run/systemd.out 2>&1 &
booted() { systemd=$(pgrep -f -x '/lib/systemd/systemd --unit=orvind-test.target'); }
# Namespaces or mounts that cannot be had here skip the test; a systemd that does not start
# in them fails it.
if ! wait_for 10 booted; then
    grep -q 'namespaces are ready' /run/systemd.out ||
        skip "no namespaces for systemd as pid 1: $(cat /run/systemd.out)"
    not_ok "systemd starts as pid 1: $(cat /run/systemd.out)"
    finish
fi
# inside COMMAND...: runs it in the booted system, as a shell of it would.
inside() {
    nsenter --target "$systemd" --mount --pid --uts --ipc --cgroup --root --wd \
        /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 SYSTEMD_PAGER= SYSTEMD_COLORS=0 "$@"
}
up() { inside systemctl is-system-running 2>/dev/null | grep -qx -e running -e degraded; }
check "systemd runs as pid 1 of the scratch root and reaches its target" wait_for 60 up
[ "$failed" -eq 0 ] || {
    inside systemctl list-units --failed --no-pager
    finish
}
show() { inside systemctl show -p "$1" --value orvind; }

# Type=notify: systemctl start returns once the daemon is ready, and the status that the
# daemon sends is its health verdict.
check "systemctl start orvind" inside systemctl start orvind
started=$SECONDS
pid=$(show MainPID)
check_eq "the unit is active (running)" "active running" "$(show ActiveState) $(show SubState)"
subscribed() { inside orvindctl status >/dev/null; }
check "orvindctl status says healthy (0)" wait_for 20 subscribed
check_eq "systemd shows the same verdict" healthy "$(show StatusText)"
environ=$(inside cat "/proc/$pid/environ" | tr '\0' '\n')
check "the daemon has its credential" grep -q '^CREDENTIALS_DIRECTORY=' <<<"$environ"
check_eq "and the password is in no environment" "" "$(grep -e PASSWORD -e secret <<<"$environ")"

# rpm as the daemon runs it, in the unit's sandbox: it reads its database.
if in_root sh -c 'command -v rpm' >/dev/null; then
    mapfile -t sandbox < <(sed -n -E 's/^((Protect|Private|Restrict|ReadWrite|NoNew|Lock|Memory|SystemCall|Device|Capability|UMask)[A-Za-z]*=.*)/--property=\1/p' \
        "$ROOT/usr/lib/systemd/system/orvind.service")
    check_eq "rpm reads /var/lib/rpm in the unit's sandbox (${#sandbox[@]} settings)" \
        "file /etc/issue is not owned by any package" \
        "$(inside systemd-run --quiet --wait --pipe "${sandbox[@]}" rpm -qf /etc/issue 2>&1)"
else
    check "without rpm the log says so" grep -q 'rpm is not installed' "$ROOT$log"
fi

# An indication taken in and written to the BMC's SEL.
raise() {
    inside orvind-broker raise --class VEXA_AlertIndication -p ProviderName:string=VEXA_RAID \
        -p EventID:string=1 -p PerceivedSeverity:uint16=6 -p "Description:string=$1" >/dev/null
}
raise "under systemd"
sel() { ipmitool -I lanplus -C 3 -N 1 -R 1 -H 127.0.0.1 -p "$port" -U admin -P secret sel list 2>/dev/null | grep -q 'OEM record e0'; }
check "an indication reaches the BMC's SEL" wait_for 30 sel
sel || tail -n 20 "$ROOT$log"

# reload: the log is reopened, the daemon keeps running.
mv "$ROOT$log" "$ROOT$log.1"
check "systemctl reload orvind" inside systemctl reload orvind
check "the daemon reopens its log" wait_for 10 grep -qs "log reopened" "$ROOT$log"

# The watchdog (30 s) stays quiet while the daemon does its work: a minute later it is
# the same process, never restarted.
sleep $((started + 65 > SECONDS ? started + 65 - SECONDS : 0))
check_eq "a minute later the same daemon runs, never restarted" "$pid 0 active" \
    "$(show MainPID) $(show NRestarts) $(show ActiveState)"
check_eq "no watchdog timeout in the journal" "" \
    "$(inside journalctl --no-pager -o cat -u orvind | grep -i watchdog)"

# orvind.socket holds the pipe while the daemon is stopped: what the broker delivers then
# is stored at the next start.
check "systemctl stop orvind" inside systemctl stop orvind
raise "while stopped"
check "systemctl start orvind" inside systemctl start orvind
stored() { [ "$(in_root sqlite3 /var/lib/orvind/indications.db "select count(*) from indication where Description='while stopped'")" = 1 ]; }
check "what the broker delivered meanwhile is stored once" wait_for 10 stored

# The BMC gone: the failure shows in the journal at its priority, and the verdict changes.
kill -TERM "$simulator"
wait "$simulator"
simulator=
raise "the BMC is gone"
failure() { inside journalctl --no-pager -o cat -u orvind -p err | grep -q 'BMC_open failed'; }
check "journalctl -u orvind -p err shows the BMC's failure" wait_for 30 failure
check_eq "orvindctl status says degraded (1)" 1 "$(inside orvindctl status >/dev/null; echo $?)"

# An error at start-up (no broker) shows in the journal once, at its priority: the starting
# command does not repeat on standard error what the log sent to the journal.
rm -r "$ROOT/var/lib/cim-broker"
check "the daemon restarts without the broker" inside systemctl restart orvind
refused() { inside journalctl --no-pager -o cat -u orvind -t orvind -p err | grep -q '^Subscription not created'; }
check "the refused subscription is in the journal at priority err" wait_for 10 refused
check_eq "and not again from the starting command's standard error" "" \
    "$(inside journalctl --no-pager -o cat -u orvind | grep '^orvind: Subscription not created')"
check_eq "info lines stay in the daemon's log, out of the journal" "" \
    "$(inside journalctl --no-pager -o cat -u orvind | grep -E '^(FIFO created|Subscription created|new thread starts up)\.')"
check "systemctl stop orvind orvind.socket" inside systemctl stop orvind orvind.socket
check_eq "the daemon ended cleanly in its sandbox" "success 0" "$(show Result) $(show ExecMainStatus)"
finish
