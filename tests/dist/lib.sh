# shellcheck shell=bash
# Helpers shared by the shell tests of the service files and the package.
# Sourced by bash scripts; every check prints one line, `finish` sets the exit status.

passed=0
failed=0

ok() { passed=$((passed + 1)) && echo "ok - $*"; }
not_ok() { failed=$((failed + 1)) && echo "not ok - $*"; }

# check DESCRIPTION COMMAND...: passes when the command succeeds.
check() {
    local what=$1
    shift
    if "$@"; then ok "$what"; else not_ok "$what"; fi
}

# check_eq DESCRIPTION EXPECTED ACTUAL
check_eq() {
    if [ "$2" = "$3" ]; then ok "$1"; else not_ok "$1: expected '$2', got '$3'"; fi
}

# check_golden DESCRIPTION EXPECTED_FILE ACTUAL_FILE: the two are the same, or their
# differences are shown. The expected file's first line "# what it checks" is left out
# when the actual output has no such line of its own. With ORVIND_UPDATE_GOLDEN=1 the
# expected file is written anew, that line kept, to be read over before it is committed.
check_golden() {
    local head=""
    if [ "$(head -c 2 "$2")" = "# " ] && [ "$(head -c 2 "$3")" != "# " ]; then
        head=$(head -n 1 "$2")
    fi
    if [ -n "${ORVIND_UPDATE_GOLDEN:-}" ]; then
        { [ -z "$head" ] || echo "$head"; cat "$3"; } >"$2.new" && mv "$2.new" "$2"
    fi
    check "$1" diff -u <(tail -n "+$((${#head} > 0 ? 2 : 1))" "$2") "$3"
}

# wait_for SECONDS COMMAND...: polls every 0.05 s until the command succeeds.
wait_for() {
    local polls=$(($1 * 20))
    shift
    until "$@"; do
        polls=$((polls - 1))
        [ "$polls" -gt 0 ] || return 1
        sleep 0.05
    done
}

# running PID: the process lives and has not ended (a zombie has).
running() { [ -e "/proc/$1" ] && ! grep -q '^[^)]*) Z' "/proc/$1/stat" 2>/dev/null; }

finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

# skip WHY: ends the script as skipped (exit status 77, ctest's SKIP_RETURN_CODE).
skip() {
    echo "skipped: $*"
    exit 77
}

# Re-runs the calling script as pid 1 of new mount and pid namespaces, so that nothing it
# mounts reaches the host and every process it leaves behind dies with it.
isolate() {
    [ -z "${ORVIND_DIST_ISOLATED:-}" ] || return 0
    [ "$(id -u)" -eq 0 ] || skip "needs root for mount namespaces"
    ORVIND_DIST_ISOLATED=1 exec unshare --mount --pid --fork --kill-child --mount-proc \
        bash "$0" "$@"
}

# Makes a scratch root in $ROOT: the host's root file system seen through an overlay whose
# changes all go to a tmpfs, with its own /proc, /dev, /run and /tmp. Installing packages into
# it, running its systemd tools and starting the daemon there leave the host untouched.
# Call only after `isolate`.
make_root() {
    # The namespace's own /run holds the overlay's layers (the build tree may be under /tmp).
    mount -t tmpfs -o mode=0755 scratch /run
    mkdir /run/upper /run/work /run/root
    mount -t overlay overlay -o lowerdir=/,upperdir=/run/upper,workdir=/run/work /run/root
    ROOT=/run/root
    mount -t proc proc "$ROOT/proc"
    # A /dev of its own with only the harmless devices, so nothing written there reaches
    # the host's /dev.
    mount -t tmpfs -o mode=0755 dev "$ROOT/dev"
    local node
    for node in null zero full random urandom; do
        touch "$ROOT/dev/$node"
        mount --bind "/dev/$node" "$ROOT/dev/$node"
    done
    mkdir -m 1777 "$ROOT/dev/shm"
    ln -s /proc/self/fd "$ROOT/dev/fd"
    ln -s /proc/self/fd/0 "$ROOT/dev/stdin"
    ln -s /proc/self/fd/1 "$ROOT/dev/stdout"
    ln -s /proc/self/fd/2 "$ROOT/dev/stderr"
    mount -t tmpfs -o mode=0755 run "$ROOT/run"
    mount -t tmpfs -o mode=1777 tmp "$ROOT/tmp"
}

# in_root COMMAND...: runs a command inside the scratch root.
in_root() {
    chroot "$ROOT" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 "$@"
}

# check_licences DIR [LIBRARY_PATH]: no program or library under DIR loads both the CIMC
# client library (EPL-1.0) and libfreeipmi (GPL-3.0-or-later), whose licences may not be
# combined in one program: readelf -d for what each needs itself, ldd for what it loads in
# the end (LIBRARY_PATH: where libraries that are not installed lie).
check_licences() {
    local elf needed loaded both
    while IFS= read -r elf; do
        needed=$(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
        loaded=$(LD_LIBRARY_PATH=${2:-} ldd "$elf" 2>/dev/null | awk '{ print $1 }')
        both=$(printf '%s\n%s\n' "$needed" "$loaded" | sort -u | grep -E '^lib(cimcclient|freeipmi)\.' |
            sed 's/\..*//' | sort -u | xargs)
        check_eq "${elf#"$1"/} loads at most one of libcimcclient and libfreeipmi ($(xargs <<<"$needed"))" \
            "" "$( [ "$both" = "libcimcclient libfreeipmi" ] && echo "$both")"
    done < <(find "$1" -type f -exec sh -c 'head -c 4 "$1" | grep -q ELF' _ {} \; -print | sort)
}
