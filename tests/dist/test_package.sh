#!/usr/bin/env bash
# shellcheck disable=SC2317 # helpers called through check and wait_for
# The Debian package, built by CPack from the build tree and installed with dpkg into a
# scratch root (an overlay of the host's root whose changes go to a tmpfs, inside private
# mount and pid namespaces), so that its maintainer scripts run for real and the host's
# /etc, /var, /run and /opt stay untouched.
#
#   test_package.sh build BUILD_DIR    cpack -G DEB into BUILD_DIR/dist/package
#   test_package.sh install BUILD_DIR  contents, modes, dependencies, install, upgrade,
#                                      removal and purge
#   test_package.sh daemon BUILD_DIR   the installed daemon started, stopped, killed and
#                                      restarted the way its unit does it
#   test_package.sh lintian BUILD_DIR  Debian's checks of the package: no error, and no
#                                      warning but the ones kept below
set -u
. "$(dirname "$0")/lib.sh"
mode=$1
build=$(realpath "$2")
out=$build/dist/package

unit=/usr/lib/systemd/system/orvind.service
wants=/etc/systemd/system/multi-user.target.wants/orvind.service
socket=/usr/lib/systemd/system/orvind.socket
socketWants=/etc/systemd/system/sockets.target.wants/orvind.socket
pidfile=/var/run/orvind.pid
folders="/opt/vexa/orvind /var/lib/orvind /var/log/vexa"

# check_in_root DESCRIPTION PATH "MODE OWNER:GROUP TYPE": check_node on a path of the root.
check_in_root() {
    check_node "$1" "$ROOT$2" "$3"
}

exists() {
    if [ -e "$ROOT$1" ] || [ -L "$ROOT$1" ]; then echo present; else echo absent; fi
}

package_status() {
    # shellcheck disable=SC2016 # a dpkg-query format, not a shell expansion
    in_root dpkg-query -W -f='${Status}' orvind 2>/dev/null || echo "not installed"
}

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
    check_eq "cpack makes one package" 1 "${#debs[@]}"
    check "dpkg-deb reads it" dpkg-deb --info "${debs[0]}"
    ddebs=("$out"/orvind-dbgsym_*.ddeb)
    check "and the debug symbols beside it" test -f "${ddebs[0]}"
    mkdir -p "$out/contents" "$out/debug"
    dpkg-deb -x "${debs[0]}" "$out/contents"
    dpkg-deb -x "${ddebs[0]}" "$out/debug"
    for elf in "$out"/contents/usr/sbin/* "$out"/contents/usr/bin/*; do
        [ -f "$elf" ] || continue
        name=$(basename "$elf")
        check "$name is stripped" sh -c "file -b '$elf' | grep -q ', stripped'"
        id=$(readelf -n "$elf" | sed -n 's/.*Build ID: \(..\)\(.*\)/\1\/\2/p')
        check "the debug symbols of $name are in orvind-dbgsym" \
            test -s "$out/debug/usr/lib/debug/.build-id/$id.debug"
    done
    for doc in usr/share/doc/orvind/copyright usr/share/doc/orvind/changelog.Debian.gz \
        usr/share/man/man8/orvind.8.gz usr/share/man/man8/orvind-pidfile.8.gz \
        usr/share/man/man1/orvindctl.1.gz usr/share/man/man1/orvind-bmc.1.gz \
        usr/share/man/man1/orvind-broker.1.gz usr/share/orvind/event-dictionary.txt; do
        check "the package holds /$doc" test -s "$out/contents/$doc"
    done
    check_eq "the Maintainer field names the developers" "orvind developers <orvind@example.org>" \
        "$(dpkg-deb -f "${debs[0]}" Maintainer)"
    rm -rf "$out/contents" "$out/debug"
    finish
fi

need dpkg dpkg-deb
debs=("$out"/orvind_*.deb)
deb=${debs[0]}
if [ ! -f "$deb" ]; then
    echo "no package in $out: run the build step first"
    exit 1
fi
# --- lintian --------------------------------------------------------------------------
if [ "$mode" = lintian ]; then
    need lintian
    # Warnings kept, and why:
    #   initial-upload-closes-no-bugs      the package is not uploaded to Debian's archive,
    #                                      so its first changelog entry closes no ITP bug
    #   maintainer-script-calls-systemctl  CPack has no debhelper to write the scripts'
    #                                      systemd snippets; ours call systemctl only when
    #                                      it exists (enable) or systemd runs (start, stop)
    kept="initial-upload-closes-no-bugs maintainer-script-calls-systemctl"
    report=$(lintian --no-cfg "$deb" 2>&1)
    check_eq "lintian finds no error" "" "$(grep '^E:' <<<"$report")"
    others=$(grep '^W:' <<<"$report" | awk '{ print $3 }' | sort -u | grep -vxF -f <(tr ' ' '\n' <<<"$kept"))
    check_eq "lintian warns only of the kept warnings" "" "$others"
    [ -z "$others" ] || grep '^W:' <<<"$report"
    finish
fi

isolate "$@"
make_root
cp "$deb" "$ROOT/tmp/orvind.deb"
# /var/run links to /run with an absolute link: seen from outside the root, the pid file
# is under $ROOT/run.
pidpath=$ROOT$(in_root readlink -f "$pidfile")

# dpkg_in_root ARGS...: runs dpkg in the root, showing its output only when it fails.
dpkg_in_root() {
    local log rc
    log=$(in_root dpkg "$@" 2>&1)
    rc=$?
    [ "$rc" -eq 0 ] || echo "$log"
    return "$rc"
}

install_package() {
    dpkg_in_root -i /tmp/orvind.deb
}

# --- install, upgrade, removal, purge -------------------------------------------------
if [ "$mode" = install ]; then
    # Every shared library the packaged programs load comes from a package it depends on.
    # The package names in Depends, one a line, without versions.
    depended=$(dpkg-deb -f "$deb" Depends | sed 's/[,|]/\n/g' | sed 's/(.*//; s/[[:space:]]//g')
    mkdir /run/contents
    dpkg-deb -x "$deb" /run/contents
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
    for elf in /run/contents/usr/sbin/* /run/contents/usr/bin/*; do
        [ -f "$elf" ] || continue
        for lib in $(objdump -p "$elf" | awk '$1 == "NEEDED" { print $2 }'); do
            owners=$(dpkg -S "*/$multiarch/$lib" 2>/dev/null | sed 's/[:,].*//' | sort -u)
            found=
            for p in $owners; do
                if grep -Fqx "$p" <<<"$depended"; then found=$p; fi
            done
            check "$(basename "$elf") needs $lib: the package depends on its package (${owners:-none})" \
                test -n "$found"
        done
    done
    # A tree configured for a real BMC packages the daemon that talks IPMI.
    if grep -qx 'ORVIND_BMC:STRING=ipmi' "$build/CMakeCache.txt"; then
        check "the daemon of a tree built with ORVIND_BMC=ipmi loads libfreeipmi" \
            grep -q 'NEEDED *libfreeipmi' <<<"$(objdump -p /run/contents/usr/sbin/orvind)"
    fi
    dpkg-deb -e "$deb" /run/control
    check_eq "/etc/logrotate.d/orvind is a conffile" /etc/logrotate.d/orvind \
        "$(cat /run/control/conffiles 2>&1)"

    check "dpkg -i installs the package" install_package
    check_eq "dpkg knows it as installed" "install ok installed" "$(package_status)"
    check_in_root "the daemon" /usr/sbin/orvind "755 root:root regular file"
    check_in_root "the unit" "$unit" "644 root:root regular file"
    check_in_root "the socket unit" "$socket" "644 root:root regular file"
    check_in_root "the tmpfiles.d entry" /usr/lib/tmpfiles.d/orvind.conf "644 root:root regular file"
    check_in_root "the logrotate entry" /etc/logrotate.d/orvind "644 root:root regular file"
    check_in_root "the pid-file helper" /usr/libexec/orvind/orvind-pidfile "755 root:root regular file"
    for tool in "$build"/tools/*; do
        if [ ! -f "$tool" ] || [ ! -x "$tool" ]; then continue; fi
        check_in_root "the tool $(basename "$tool")" "/usr/bin/$(basename "$tool")" \
            "755 root:root regular file"
    done
    for dir in $folders; do
        check_in_root "the postinst makes $dir" "$dir" "755 root:root directory"
    done
    check_eq "the postinst enables the unit" "$unit" "$(in_root readlink -f "$wants")"
    check_eq "and its socket" "$socket" "$(in_root readlink -f "$socketWants")"
    check "and does not start the daemon" test ! -e "$pidpath"
    check_eq "the postinst enables the metrics timer" \
        /usr/lib/systemd/system/orvind-metrics.timer \
        "$(in_root readlink -f /etc/systemd/system/timers.target.wants/orvind-metrics.timer)"

    # The daemon's data, which every step below but the purge must keep.
    data="/var/lib/orvind/indications.db /opt/vexa/orvind/fpl.log /var/log/vexa/orvind"
    for f in $data; do echo kept >"$ROOT$f"; done
    echo other >"$ROOT/var/log/vexa/other"

    # An upgrade (here the same version again) keeps the administrator's choice.
    in_root systemctl --quiet disable orvind.service 2>/dev/null
    check "dpkg -i over an installed package succeeds" install_package
    check_eq "an upgrade leaves a disabled unit disabled" absent "$(exists "$wants")"
    in_root systemctl --quiet enable orvind.service 2>/dev/null

    check "dpkg -r removes the package" dpkg_in_root -r orvind
    check_eq "dpkg keeps only its configuration" "deinstall ok config-files" "$(package_status)"
    for f in /usr/sbin/orvind "$unit" /usr/lib/tmpfiles.d/orvind.conf /usr/libexec/orvind/orvind-pidfile; do
        check_eq "removal deletes $f" absent "$(exists "$f")"
    done
    check_eq "removal disables the unit" absent "$(exists "$wants")"
    check_eq "removal keeps the logrotate conffile" present "$(exists /etc/logrotate.d/orvind)"
    for f in $data; do
        check_eq "removal keeps $f" kept "$(cat "$ROOT$f" 2>&1)"
    done

    check "installing again after a removal succeeds" install_package
    check_eq "and enables the unit again" "$unit" "$(in_root readlink -f "$wants")"

    check "dpkg -P purges the package" dpkg_in_root -P orvind
    check_eq "dpkg forgets it" "not installed" "$(package_status)"
    for f in /etc/logrotate.d/orvind "$wants" /etc/systemd/system/timers.target.wants/orvind-metrics.timer /var/lib/orvind /opt/vexa/orvind /var/log/vexa/orvind; do
        check_eq "purging deletes $f" absent "$(exists "$f")"
    done
    check_eq "purging keeps other programs' logs in /var/log/vexa" other \
        "$(cat "$ROOT/var/log/vexa/other" 2>&1)"
    check_eq "purging removes /opt/vexa once empty" absent "$(exists /opt/vexa)"

    # Without systemd's tools (a minimal container) the postinst still makes the folders.
    mkdir "$ROOT/tmp/bin"
    for p in sh mkdir chmod rm; do ln -s "$(in_root sh -c "command -v $p")" "$ROOT/tmp/bin/$p"; done
    cp /run/control/postinst "$ROOT/tmp/postinst"
    chroot "$ROOT" /usr/bin/env -i PATH=/tmp/bin sh /tmp/postinst configure
    check_eq "postinst without systemd's tools succeeds" 0 "$?"
    for dir in $folders; do
        check_in_root "and makes $dir with mkdir" "$dir" "755 root:root directory"
    done
    finish
fi

# --- daemon ---------------------------------------------------------------------------
[ "$mode" = daemon ] || {
    echo "unknown mode $mode"
    exit 2
}

# True while the pid names a live process that is not a zombie.
running() {
    [ -n "$1" ] && [ -e "/proc/$1" ] && ! grep -q '^[^)]*) Z' "/proc/$1/stat" 2>/dev/null
}

# wait_for SECONDS COMMAND...: polls every 0.1 s until the command succeeds.
wait_for() {
    local tenths=$(($1 * 10))
    shift
    while ! "$@"; do
        tenths=$((tenths - 1))
        [ "$tenths" -gt 0 ] || return 1
        sleep 0.1
    done
}

has_pidfile() { [ -s "$pidpath" ]; }
no_pidfile() { [ ! -e "$pidpath" ]; }
gone() { ! running "$1"; }

show_log() {
    echo "--- /var/log/vexa/orvind"
    cat "$ROOT/var/log/vexa/orvind" 2>/dev/null
    echo "---"
}

# Starts the installed daemon as its unit does; on success its pid is in $daemon.
start_daemon() {
    daemon=
    in_root /usr/sbin/orvind
    local rc=$?
    if [ "$rc" -ne 0 ]; then
        echo "the daemon's start-up process ended with status $rc"
        show_log
        return 1
    fi
    if ! wait_for 10 started || ! has_pidfile; then
        show_log
        return 1
    fi
    daemon=$(cat "$pidpath")
}

# The ExecStartPre= line of the installed unit, run as systemd would run it.
run_start_pre() {
    local line
    line=$(sed -n 's/^ExecStartPre=[-@:+!]*//p' "$ROOT$unit")
    # shellcheck disable=SC2086 # the command line splits into its words
    in_root $line 2>/dev/null
}

check "dpkg -i installs the package" install_package

# True once the pid file is there, or once no orvind is left to write it.
started() {
    has_pidfile || ! pgrep -x orvind >/dev/null
}

in_root /usr/sbin/orvind
rc=$?
if ! wait_for 10 started || ! has_pidfile; then
    # A daemon that runs to completion at once, writing neither its pid file nor a single
    # log line, is not a service yet: nothing here can be tested with it.
    if [ "$rc" -eq 0 ] && [ ! -s "$ROOT/var/log/vexa/orvind" ] &&
        ! pgrep -x orvind >/dev/null; then
        echo "skipped: the installed daemon ended at once without a pid file or a log line"
        exit 77
    fi
    not_ok "the installed daemon writes $pidfile (start-up status $rc)"
    show_log
    finish
fi
daemon=$(cat "$pidpath")

check "the pid file holds the daemon's pid and nothing else" grep -Eqx '[0-9]+' "$pidpath"
check_eq "the pid is a running orvind" orvind "$(cat "/proc/$daemon/comm" 2>&1)"
check_eq "it is the file systemd reads" "$(sed -n 's/^PIDFile=//p' "$ROOT$unit")" \
    "$(in_root readlink -f "$pidfile")"

run_start_pre
check_eq "ExecStartPre leaves the pid file of a running daemon alone" "$daemon" \
    "$(cat "$pidpath" 2>&1)"

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
check "with a pid file of its own" test "$daemon" != "$killed"

# Without systemd, removing the package stops the daemon through its pid file.
check "dpkg -r removes the package while the daemon runs" dpkg_in_root -r orvind
check "the removal has stopped the daemon" gone "$daemon"
check "and its pid file is gone" no_pidfile

finish
