#!/usr/bin/env bash
# shellcheck disable=SC2317 # helpers called through check and wait_for
# The Debian package, built by CPack from the build tree and installed with dpkg into a
# scratch root (an overlay of the host's root whose changes go to a tmpfs, inside private
# mount and pid namespaces), so that its maintainer scripts, systemd's tools, logrotate
# and the daemon run for real and the host's /etc, /var, /run and /opt stay untouched.
#
#   test_package.sh build BUILD_DIR    cpack -G DEB into BUILD_DIR/dist/package: contents,
#                                      debug symbols, and Debian's checks (lintian)
#   test_package.sh install BUILD_DIR  dependencies, install, the service files, the
#                                      daemon started, stopped and killed as its unit
#                                      does it, upgrade, removal and purge
set -u
. "$(dirname "$0")/lib.sh"
mode=$1
build=$(realpath "$2")
out=$build/dist/package

unit=/usr/lib/systemd/system/orvind.service
socket=/usr/lib/systemd/system/orvind.socket
wants=/etc/systemd/system/multi-user.target.wants/orvind.service
timerWants=/etc/systemd/system/timers.target.wants/orvind-metrics.timer
folders="/opt/vexa/orvind /var/lib/orvind /var/log/vexa"
log=/var/log/vexa/orvind

# --- build ----------------------------------------------------------------------------
if [ "$mode" = build ]; then
    cpack=${CPACK:-cpack}
    need "$cpack" dpkg-deb
    rm -rf "$out"
    if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$build/dist/cpack.log" 2>&1; then
        cat "$build/dist/cpack.log"
        not_ok "cpack -G DEB"
        finish
    fi
    rm -rf "$out/_CPack_Packages"
    debs=("$out"/*.deb)
    ddebs=("$out"/orvind-dbgsym_*.ddeb)
    check_eq "cpack makes one package" 1 "${#debs[@]}"
    check "and the debug symbols beside it" test -f "${ddebs[0]}"
    mkdir -p "$out/contents" "$out/debug"
    dpkg-deb -x "${debs[0]}" "$out/contents"
    dpkg-deb -x "${ddebs[0]}" "$out/debug"
    for elf in "$out"/contents/usr/sbin/* "$out"/contents/usr/bin/*; do
        name=$(basename "$elf")
        check "$name is stripped" sh -c "file -b '$elf' | grep -q ', stripped'"
        id=$(readelf -n "$elf" | sed -n 's/.*Build ID: \(..\)\(.*\)/\1\/\2/p')
        check "the debug symbols of $name are in orvind-dbgsym" \
            test -s "$out/debug/usr/lib/debug/.build-id/$id.debug"
    done
    for doc in doc/orvind/copyright doc/orvind/changelog.Debian.gz man/man8/orvind.8.gz \
        man/man8/orvind-pidfile.8.gz man/man1/orvindctl.1.gz man/man1/orvind-bmc.1.gz \
        man/man1/orvind-broker.1.gz orvind/event-dictionary.txt; do
        check "the package holds /usr/share/$doc" test -s "$out/contents/usr/share/$doc"
    done
    check_eq "the Maintainer field names the developers" "orvind developers <orvind@example.org>" \
        "$(dpkg-deb -f "${debs[0]}" Maintainer)"
    rm -rf "$out/contents" "$out/debug"
    if command -v lintian >/dev/null; then
        # Warnings kept, and why:
        #   initial-upload-closes-no-bugs      the package is not uploaded to Debian's archive
        #   maintainer-script-calls-systemctl  CPack has no debhelper to write the scripts'
        #                                      systemd snippets; ours call systemctl only when
        #                                      it exists (enable) or systemd runs (start, stop)
        report=$(lintian --no-cfg "${debs[0]}" 2>&1)
        check_eq "lintian finds no error" "" "$(grep '^E:' <<<"$report")"
        check_eq "lintian warns only of the kept warnings" "" "$(grep '^W:' <<<"$report" |
            grep -v -e initial-upload-closes-no-bugs -e maintainer-script-calls-systemctl)"
    else
        echo "lintian not installed: its checks skipped"
    fi
    finish
fi

[ "$mode" = install ] || {
    echo "unknown mode $mode"
    exit 2
}
need dpkg dpkg-deb objdump
deb=$(ls "$out"/orvind_*.deb 2>/dev/null | head -n 1)
[ -f "$deb" ] || {
    echo "no package in $out: run the build step first"
    exit 1
}
isolate "$@"
make_root
cp "$deb" "$ROOT/tmp/orvind.deb"
# man-db's trigger would index every manual page of the system on each dpkg run.
rm -f "$ROOT/var/lib/man-db/auto-update"
# /var/run links to /run with an absolute link: seen from outside, the pid file is there.
pidpath=$ROOT$(in_root readlink -f /var/run/orvind.pid)

exists() { if [ -e "$ROOT$1" ] || [ -L "$ROOT$1" ]; then echo present; else echo absent; fi; }
link() { in_root readlink -f "$1"; }
package_status() {
    # shellcheck disable=SC2016 # a dpkg-query format, not a shell expansion
    in_root dpkg-query -W -f='${Status}' orvind 2>/dev/null || echo "not installed"
}
# dpkg_in_root ARGS...: runs dpkg in the root, showing its output only when it fails.
dpkg_in_root() {
    local output rc
    output=$(in_root dpkg "$@" 2>&1)
    rc=$?
    [ "$rc" -eq 0 ] || echo "$output"
    return "$rc"
}

# --- dependencies: every shared library the programs load comes from a depended package.
depended=$(dpkg-deb -f "$deb" Depends | sed 's/[,|]/\n/g' | sed 's/(.*//; s/[[:space:]]//g')
mkdir /run/contents /run/control
dpkg-deb -x "$deb" /run/contents
dpkg-deb -e "$deb" /run/control
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
needed=$(for elf in /run/contents/usr/sbin/* /run/contents/usr/bin/*; do
    objdump -p "$elf" | awk '$1 == "NEEDED" { print $2 }'
done | sort -u)
# shellcheck disable=SC2046 # one pattern a library
owners=$(dpkg -S $(sed "s|^|*/$multiarch/|" <<<"$needed") 2>/dev/null)
for lib in $needed; do
    found=
    for p in $(grep -F "/$lib" <<<"$owners" | sed 's/[:,].*//' | sort -u); do
        if grep -qx "$p" <<<"$depended"; then found=$p; fi
    done
    check "$lib comes from a package the package depends on (${found:-none})" test -n "$found"
done
if grep -qx 'ORVIND_BMC:STRING=ipmi' "$build/CMakeCache.txt"; then
    check "the daemon of a tree built with ORVIND_BMC=ipmi loads libfreeipmi" \
        grep -q '^libfreeipmi' <<<"$needed"
fi
check_eq "/etc/logrotate.d/orvind is a conffile" /etc/logrotate.d/orvind "$(cat /run/control/conffiles)"

# --- install --------------------------------------------------------------------------
check "dpkg -i installs the package" dpkg_in_root -i /tmp/orvind.deb
check_eq "dpkg knows it as installed" "install ok installed" "$(package_status)"
for file in /usr/sbin/orvind:755 /usr/libexec/orvind/orvind-pidfile:755 "$unit:644" \
    "$socket:644" /usr/lib/tmpfiles.d/orvind.conf:644 /etc/logrotate.d/orvind:644 \
    /usr/bin/orvindctl:755 /usr/bin/orvind-bmc:755 /usr/bin/orvind-broker:755; do
    check_node "${file%:*} is installed" "$ROOT${file%:*}" "${file##*:} root:root regular file"
done
for dir in $folders; do
    check_node "the postinst makes $dir" "$ROOT$dir" "755 root:root directory"
done
check_eq "the postinst enables the unit" "$unit" "$(link "$wants")"
check_eq "and its socket" "$socket" "$(link /etc/systemd/system/sockets.target.wants/orvind.socket)"
check_eq "and the metrics timer" /usr/lib/systemd/system/orvind-metrics.timer "$(link "$timerWants")"
check "and does not start the daemon" test ! -e "$pidpath"
in_root systemctl --quiet disable orvind.service 2>/dev/null
check "dpkg -i over an installed package succeeds" dpkg_in_root -i /tmp/orvind.deb
check_eq "an upgrade leaves a disabled unit disabled" absent "$(exists "$wants")"
in_root systemctl --quiet enable orvind.service 2>/dev/null

# --- the service files as installed ----------------------------------------------------
if command -v systemd-analyze >/dev/null; then
    for name in orvind.service orvind.socket orvind-metrics.service orvind-metrics.timer; do
        check_eq "systemd-analyze verify accepts $name without a warning" ":0" \
            "$(in_root systemd-analyze verify "/usr/lib/systemd/system/$name" 2>&1):$?"
    done
fi
check_eq "the socket holds the pipe the daemon reads, private, 1 MiB" \
    "/opt/vexa/orvind/indications.tmp 0600 1M" \
    "$(sed -n 's/^ListenFIFO=//p; s/^SocketMode=//p; s/^PipeSize=//p' "$ROOT$socket" | xargs)"
check_eq "PIDFile= is the file the daemon writes" "$(link /var/run/orvind.pid)" \
    "$(link "$(sed -n 's/^PIDFile=//p' "$ROOT$unit")")"

if command -v systemd-tmpfiles >/dev/null; then
    rm -rf "$ROOT/opt/vexa" "$ROOT/var/lib/orvind" "$ROOT/var/log/vexa"
    check "systemd-tmpfiles --create orvind.conf succeeds" in_root systemd-tmpfiles --create orvind.conf
    for dir in $folders; do
        check_node "tmpfiles makes $dir" "$ROOT$dir" "755 root:root directory"
    done
    # The shared parents keep whatever mode another package or the administrator gave them,
    # and the daemon's files survive every pass the system makes at boot or on removal.
    chmod 0750 "$ROOT/opt/vexa" "$ROOT/var/log/vexa"
    files="/var/lib/orvind/indications.db /opt/vexa/orvind/fpl.log $log"
    for f in $files; do echo data >"$ROOT$f"; done
    in_root systemd-tmpfiles --boot --create --remove orvind.conf
    check_eq "tmpfiles leaves the modes of /opt/vexa and /var/log/vexa alone" "750 750" \
        "$(stat -c %a "$ROOT/opt/vexa" "$ROOT/var/log/vexa" | xargs)"
    check_eq "the daemon's files survive systemd-tmpfiles --boot --create --remove" \
        "data data data" "$(for f in $files; do cat "$ROOT$f"; done | xargs)"
    chmod 0755 "$ROOT/opt/vexa" "$ROOT/var/log/vexa"
    for f in $files; do rm -f "$ROOT$f"; done
fi

if command -v logrotate >/dev/null; then
    conf=/etc/logrotate.d/orvind
    check_eq "logrotate -d of the system's configuration has no error about orvind" "" \
        "$(in_root logrotate -d -s /tmp/debug.state /etc/logrotate.conf 2>&1 | grep -i error | grep -i orvind)"
    # A writer that, like the daemon's logger, opened the log once in append mode and
    # keeps writing to it across the rotation.
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
    check_eq "the writer goes on at the start of the truncated log, no hole before" \
        "15 after rotation" "$(stat -c %s "$ROOT$log") $(cat "$ROOT$log")"
    # Between weekly rotations a daily run rotates the log once it passes its size limit.
    rm -f "$ROOT$log"*
    printf 'small\n' >"$ROOT$log"
    in_root logrotate -s /tmp/size.state "$conf"
    check "a small log is not rotated by a run within the week" test ! -e "$ROOT$log.1"
    truncate -s 21M "$ROOT$log"
    in_root logrotate -s /tmp/size.state "$conf"
    check_eq "a log past 20M is rotated and emptied by the next run" "present 0" \
        "$(exists "$log.1") $(stat -c %s "$ROOT$log")"
    rm -f "$ROOT$log"*
fi

# --- the daemon as its unit starts and stops it ----------------------------------------
running() { [ -e "/proc/$1" ] && ! grep -q '^[^)]*) Z' "/proc/$1/stat" 2>/dev/null; }
gone() { ! running "$1"; }
no_pidfile() { [ ! -e "$pidpath" ]; }
started() { [ -s "$pidpath" ] || ! pgrep -x orvind >/dev/null; }
# wait_for SECONDS COMMAND...: polls every 0.1 s until the command succeeds.
wait_for() {
    local tenths=$(($1 * 10))
    shift
    until "$@"; do
        tenths=$((tenths - 1))
        [ "$tenths" -gt 0 ] || return 1
        sleep 0.1
    done
}
# Starts the installed daemon as its unit does; on success its pid is in $daemon.
start_daemon() {
    daemon=
    in_root /usr/sbin/orvind && wait_for 10 started && [ -s "$pidpath" ] && daemon=$(cat "$pidpath") && return
    echo "--- $log"
    cat "$ROOT$log" 2>/dev/null
    return 1
}
# The ExecStartPre= line of the installed unit, run as systemd would run it.
run_start_pre() {
    # shellcheck disable=SC2046 # the command line splits into its words
    in_root $(sed -n 's/^ExecStartPre=[-@:+!]*//p' "$ROOT$unit") 2>/dev/null
}

if ! start_daemon; then
    not_ok "the installed daemon starts and writes its pid file"
    finish
fi
check_eq "the pid file holds the pid of a running orvind" orvind "$(cat "/proc/$daemon/comm" 2>&1)"
run_start_pre
check_eq "ExecStartPre leaves the pid file of a running daemon alone" "$daemon" "$(cat "$pidpath" 2>&1)"
kill -TERM "$daemon"
check "SIGTERM ends the daemon" wait_for 20 gone "$daemon"
check "and it removes its pid file" wait_for 5 no_pidfile
# A killed daemon leaves its pid file behind; the unit's ExecStartPre removes it so that
# the restart after a crash is not refused.
check "the daemon starts again" start_daemon
killed=$daemon
kill -KILL "$killed"
check "SIGKILL ends it" wait_for 5 gone "$killed"
check_eq "its pid file is left behind" "$killed" "$(cat "$pidpath" 2>&1)"
run_start_pre
check "ExecStartPre removes the pid file of the dead daemon" no_pidfile
check "the daemon starts after the crash" start_daemon

# --- removal while the daemon runs, install again, purge --------------------------------
check "dpkg -r removes the package while the daemon runs" dpkg_in_root -r orvind
check "the removal has stopped the daemon" gone "$daemon"
check "and its pid file is gone" no_pidfile
check_eq "dpkg keeps only its configuration" "deinstall ok config-files" "$(package_status)"
check_eq "removal deletes the programs, units and entries and disables the unit" \
    "absent absent absent absent absent" "$(for f in /usr/sbin/orvind "$unit" \
        /usr/lib/tmpfiles.d/orvind.conf /usr/libexec/orvind/orvind-pidfile "$wants"; do exists "$f"; done | xargs)"
check_eq "removal keeps the logrotate conffile, the database and the log" "present present present" \
    "$(for f in /etc/logrotate.d/orvind /var/lib/orvind/indications.db $log; do exists "$f"; done | xargs)"
check "installing again after a removal succeeds" dpkg_in_root -i /tmp/orvind.deb
check_eq "and enables the unit again" "$unit" "$(link "$wants")"
echo other >"$ROOT/var/log/vexa/other"
check "dpkg -P purges the package" dpkg_in_root -P orvind
check_eq "dpkg forgets it" "not installed" "$(package_status)"
for f in /etc/logrotate.d/orvind "$wants" "$timerWants" /var/lib/orvind /opt/vexa $log; do
    check_eq "purging deletes $f" absent "$(exists "$f")"
done
check_eq "purging keeps other programs' logs in /var/log/vexa" other "$(cat "$ROOT/var/log/vexa/other")"

# Without systemd's tools (a minimal container) the postinst still makes the folders.
mkdir "$ROOT/tmp/bin"
for p in sh mkdir chmod rm; do ln -s "$(in_root sh -c "command -v $p")" "$ROOT/tmp/bin/$p"; done
cp /run/control/postinst "$ROOT/tmp/postinst"
check "postinst without systemd's tools succeeds" chroot "$ROOT" /usr/bin/env -i PATH=/tmp/bin sh /tmp/postinst configure
for dir in $folders; do
    check_node "and makes $dir with mkdir" "$ROOT$dir" "755 root:root directory"
done
finish
