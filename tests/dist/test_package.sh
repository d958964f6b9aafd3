#!/usr/bin/env bash
# shellcheck disable=SC2317 # helpers called through check and wait_for
# The Debian package, built by CPack from the build tree and installed with dpkg into a
# scratch root (lib.sh's make_root), so that its maintainer scripts, systemd's tools,
# logrotate and the daemon run for real and the host's /etc, /var, /run and /opt stay untouched.
#   test_package.sh build BUILD_DIR    cpack -G DEB into BUILD_DIR/dist/package: debug symbols,
#                                      dependencies, contents (tests/data/dist/contents.expected),
#                                      lintian, and no program loading both the CIMC library and
#                                      libfreeipmi
#   test_package.sh install BUILD_DIR  the package's life, as tests/data/dist/install.expected
set -u
. "$(dirname "$0")/lib.sh"
mode=$1
build=$(realpath "$2")
out=$build/dist/package
data=$(realpath "$(dirname "$0")/../data/dist")

unit=/usr/lib/systemd/system/orvind.service
log=/var/log/vexa/orvind

# --- build ----------------------------------------------------------------------------
if [ "$mode" = build ]; then
    cpack=${CPACK:-cpack}
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
    mkdir -p "$out/contents" "$out/debug" "$out/control"
    dpkg-deb -x "${debs[0]}" "$out/contents"
    dpkg-deb -x "${ddebs[0]}" "$out/debug"
    dpkg-deb -e "${debs[0]}" "$out/control"
    for elf in "$out"/contents/usr/sbin/* "$out"/contents/usr/bin/*; do
        name=$(basename "$elf")
        check "$name is stripped" sh -c "file -b '$elf' | grep -q ', stripped'"
        id=$(readelf -n "$elf" | sed -n 's/.*Build ID: \(..\)\(.*\)/\1\/\2/p')
        check "the debug symbols of $name are in orvind-dbgsym" \
            test -s "$out/debug/usr/lib/debug/.build-id/$id.debug"
    done
    # Every shared library the programs load comes from a package the package depends on.
    depended=$(dpkg-deb -f "${debs[0]}" Depends | sed 's/[,|]/\n/g' | sed 's/(.*//; s/[[:space:]]//g')
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
    needed=$(for elf in "$out"/contents/usr/sbin/* "$out"/contents/usr/bin/*; do
        objdump -p "$elf" | awk '$1 == "NEEDED" { print $2 }'
    done | sort -u)
    # shellcheck disable=SC2046,SC2001 # one pattern a library, each line prefixed
    owners=$(dpkg -S $(sed "s|^|*/$multiarch/|" <<<"$needed") 2>/dev/null)
    for lib in $needed; do
        found=$(grep -F "/$lib" <<<"$owners" | sed 's/[:,].*//' | grep -xF "$depended" | head -n 1)
        check "$lib comes from a package the package depends on (${found:-none})" test -n "$found"
    done
    check_licences "$out/contents"
    if grep -qx 'ORVIND_BMC:STRING=ipmi' "$build/CMakeCache.txt"; then
        check "the daemon of a tree built with ORVIND_BMC=ipmi loads libfreeipmi" \
            grep -q '^libfreeipmi' <<<"$needed"
    fi
    # Every file with its mode and owner (and "empty" for an empty one), the control
    # files, the conffiles and the maintainer.
    {
        dpkg-deb -c "${debs[0]}" | awk '{ print $1, $2, ($1 ~ /^-/ && $3 == 0 ? "empty " : "") $6 }'
        stat -c '%A %n' "$out"/control/* | sed "s|$out/||"
        sed 's/^/conffile /' "$out/control/conffiles"
        dpkg-deb -f "${debs[0]}" Maintainer Section Priority Recommends
    } >"$out/contents.txt"
    check_golden "the package holds what contents.expected lists" "$data/contents.expected" \
        "$out/contents.txt"
    rm -rf "$out/contents" "$out/debug" "$out/control"
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
debs=("$out"/orvind_*.deb)
deb=${debs[0]}
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

# The session of install.expected, as its head tells; ORVIND_UPDATE_GOLDEN=1 writes its
# results anew.
watched=$(grep -v '^#' "$data/watched.txt")
state() {
    # shellcheck disable=SC2016 # a dpkg-query format, not a shell expansion
    echo "dpkg: $(in_root dpkg-query -W -f='${Status}' orvind 2>/dev/null || echo "not installed")"
    local path
    for path in $watched; do
        if [ -L "$ROOT$path" ]; then
            echo "$path -> $(in_root readlink -f "$path")"
        elif [ -e "$ROOT$path" ]; then
            echo "$path $(stat -c '%a %U:%G %F' "$ROOT$path")"
        else
            echo "$path absent"
        fi
    done
}

gone() { ! running "$1"; }
# Starts the installed daemon as its unit does; its pid in $daemon, or its log shown.
start_daemon() {
    in_root /usr/sbin/orvind && wait_for 10 test -s "$pidpath" && daemon=$(cat "$pidpath") && return
    cat "$ROOT$log" 2>/dev/null
    return 1
}
# The ExecStartPre= line of the installed unit, run as systemd would run it.
run_start_pre() {
    # shellcheck disable=SC2046 # the command line splits into its words
    in_root $(sed -n 's/^ExecStartPre=[-@:+!]*//p' "$ROOT$unit") 2>/dev/null
}
# A killed daemon leaves its pid file behind; the unit's ExecStartPre removes it so that
# the restart after a crash is not refused.
crash() {
    if ! start_daemon; then
        not_ok "the installed daemon starts and writes its pid file"
        finish
    fi
    run_start_pre
    check_eq "ExecStartPre leaves the pid file of a running orvind alone" "orvind $daemon" \
        "$(cat "/proc/$daemon/comm" "$pidpath" 2>&1 | xargs)"
    kill -KILL "$daemon"
    check "SIGKILL ends the daemon" wait_for 5 gone "$daemon"
    run_start_pre
    check "ExecStartPre removes the pid file of the dead daemon" test ! -e "$pidpath"
    check "the daemon starts after the crash" start_daemon
}
stopped() { check "the removal has stopped the daemon" gone "$daemon"; }
start() { check "the installed daemon starts" start_daemon; }
reopened() { check "the daemon reopens its log after the rotation" wait_for 10 grep -q 'log reopened' "$ROOT$log"; }

transcript=/run/install.txt
while IFS= read -r line; do
    echo "$line" >>"$transcript"
    case $line in
    '@ '*) "${line#@ }" </dev/null ;;
    '== '*) state >>"$transcript" ;;
    '$ '*)
        in_root sh -c "${line#\$ }" </dev/null >>"$transcript" 2>&1
        echo "status $?" >>"$transcript"
        ;;
    esac
done < <(grep -E '^(\$ |== |@ |#|$)' "$data/install.expected")
check_golden "each step gives what install.expected says" "$data/install.expected" "$transcript"
finish
