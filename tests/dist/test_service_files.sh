#!/usr/bin/env bash
# The service files as `cmake --install --prefix /usr` puts them into a scratch root:
# the unit passes systemd's own checks, the tmpfiles.d entry makes the daemon's folders
# and never empties them, and the logrotate entry rotates a log whose writer keeps it open.
# Usage: test_service_files.sh BUILD_DIR
set -u
. "$(dirname "$0")/lib.sh"
build=$(realpath "$1")

need cmake systemd-analyze systemd-tmpfiles logrotate
isolate "$@"
make_root

if ! DESTDIR=$ROOT cmake --install "$build" --prefix /usr >/tmp/install.log 2>&1; then
    cat /tmp/install.log
    not_ok "cmake --install into the scratch root"
    finish
fi

# --- systemd unit ---------------------------------------------------------------------
unit=/usr/lib/systemd/system/orvind.service
out=$(in_root systemd-analyze verify "$unit" 2>&1)
rc=$?
check_eq "systemd-analyze verify accepts the unit without a warning" "0:" "$rc:$out"
socket=/usr/lib/systemd/system/orvind.socket
out=$(in_root systemd-analyze verify "$socket" 2>&1)
rc=$?
check_eq "systemd-analyze verify accepts the socket unit without a warning" "0:" "$rc:$out"
check_eq "the socket holds the pipe the daemon reads, private, 1 MiB" \
    "/opt/vexa/orvind/indications.tmp 0600 1M" \
    "$(sed -n 's/^ListenFIFO=//p; s/^SocketMode=//p; s/^PipeSize=//p' "$ROOT$socket" | xargs)"

# The timer that writes the metrics for node_exporter, and its service.
for metrics in orvind-metrics.service orvind-metrics.timer; do
    out=$(in_root systemd-analyze verify "/usr/lib/systemd/system/$metrics" 2>&1)
    rc=$?
    check_eq "systemd-analyze verify accepts $metrics without a warning" "0:" "$rc:$out"
done

# systemd reads PIDFile=; the daemon writes /var/run/orvind.pid. They must be one file.
pidfile=$(sed -n 's/^PIDFile=//p' "$ROOT$unit")
check_eq "PIDFile= is the file the daemon writes" \
    "$(in_root readlink -f /var/run/orvind.pid)" "$(in_root readlink -f "$pidfile")"

# --- tmpfiles.d -----------------------------------------------------------------------
check "systemd-tmpfiles --create orvind.conf succeeds" in_root systemd-tmpfiles --create orvind.conf
for dir in /opt/vexa/orvind /var/lib/orvind /var/log/vexa; do
    check_node "tmpfiles makes $dir" "$ROOT$dir" "755 root:root directory"
done

# The shared parents keep whatever mode another package or the administrator gave them.
chmod 0750 "$ROOT/opt/vexa" "$ROOT/var/log/vexa"
in_root systemd-tmpfiles --create orvind.conf
check_eq "tmpfiles leaves the modes of /opt/vexa and /var/log/vexa alone" "750 750" \
    "$(stat -c %a "$ROOT/opt/vexa" "$ROOT/var/log/vexa" | xargs)"
chmod 0755 "$ROOT/opt/vexa" "$ROOT/var/log/vexa"

# Files in the folders (the database, the forwarding marks, the log) survive every pass
# of systemd-tmpfiles that the system makes at boot or on removal.
files="/var/lib/orvind/indications.db /opt/vexa/orvind/fpl.log /var/log/vexa/orvind"
for f in $files; do
    echo data >"$ROOT$f"
done
in_root systemd-tmpfiles --boot --create --remove orvind.conf
for f in $files; do
    check_eq "$f survives systemd-tmpfiles --boot --create --remove" data "$(cat "$ROOT$f" 2>&1)"
done
rm -f "$ROOT/var/log/vexa/orvind"

# --- logrotate ------------------------------------------------------------------------
conf=/etc/logrotate.d/orvind
out=$(in_root logrotate -d -s /tmp/debug.state "$conf" 2>&1)
rc=$?
check_eq "logrotate -d accepts the entry" "0:" "$rc:$(grep -i error <<<"$out")"
out=$(in_root logrotate -d -s /tmp/debug.state /etc/logrotate.conf 2>&1)
check_eq "logrotate -d of the whole system configuration has no error about orvind" "" \
    "$(grep -i error <<<"$out" | grep -i orvind)"

# A writer that, like the daemon's logger, opened the log once in append mode and keeps
# writing to it across the rotation.
log=/var/log/vexa/orvind
printf 'old line\n' >"$ROOT$log"
mkfifo "$ROOT/tmp/opened" "$ROOT/tmp/rotated"
in_root sh -c "exec 3>>$log; echo >/tmp/opened; printf 'before rotation\n' >&3;
    read x </tmp/rotated; printf 'after rotation\n' >&3" &
writer=$!
read -r _ <"$ROOT/tmp/opened"
sleep 0.1
in_root logrotate -f -s /tmp/rotate.state "$conf"
echo >"$ROOT/tmp/rotated"
wait "$writer"
check_eq "the rotated copy holds every line written before the rotation" \
    "$(printf 'old line\nbefore rotation')" "$(cat "$ROOT$log.1" 2>&1)"
check_eq "the writer goes on at the start of the truncated log" \
    "after rotation" "$(cat "$ROOT$log" 2>&1)"
check_eq "the truncated log holds no hole before the new line" 15 "$(stat -c %s "$ROOT$log")"

# Between weekly rotations the log cannot grow without bound: a daily run rotates it once
# it passes its size limit, and leaves a small one alone.
rm -f "$ROOT$log".*
printf 'small\n' >"$ROOT$log"
in_root logrotate -s /tmp/size.state "$conf"
check "a small log is not rotated by a run within the week" test ! -e "$ROOT$log.1"
truncate -s 21M "$ROOT$log"
in_root logrotate -s /tmp/size.state "$conf"
check "a log past 20M is rotated by the next run within the week" test -e "$ROOT$log.1"
check_eq "and is emptied" 0 "$(stat -c %s "$ROOT$log")"

finish
