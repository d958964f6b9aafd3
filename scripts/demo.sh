#!/usr/bin/env bash
# Installs what is missing, builds, and runs the daemon on a sample indication in an
# isolated root: a private mount namespace with fresh tmpfs over /run, /var/log,
# /var/lib and /opt, so the host's folders are never touched. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "${ORVIND_DEMO_INSIDE:-}" != 1 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "scripts/demo.sh: run as root (the demo uses a private mount namespace)" >&2
        exit 2
    fi
    scripts/setup.sh
    scripts/build.sh build
    ORVIND_DEMO_INSIDE=1 exec unshare --mount --propagation private "$0" "$@"
fi

# ---- inside the private mount namespace from here on

say() { printf '\n== %s\n' "$*"; }

# Waits up to 20 s for a command to succeed.
wait_for() {
    local i
    for i in $(seq 200); do
        if "$@"; then return 0; fi
        sleep 0.1
    done
    echo "demo: timed out waiting for: $*" >&2
    return 1
}

log=/var/log/vexa/orvind
pidfile=/var/run/orvind.pid
fifo=/opt/vexa/orvind/indications.tmp
temp=/opt/vexa/orvind/fifo.tmp
trailer='=========== End of Indication ==========='

# The binary is copied first: the build tree may lie under one of the folders mounted over.
work=$(mktemp -d /tmp/orvind-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT
cp build/synchronizer/orvind "$work/orvind"

for dir in /run /var/log /var/lib /opt; do
    mount -t tmpfs -o mode=0755 tmpfs "$dir"
done
mkdir -p /var/log/vexa /var/lib/orvind /opt/vexa/orvind /var/lib/cim-broker

say "starting the daemon"
# The daemon detaches; this small helper becomes a child subreaper so that it can
# collect the detached daemon's exit status.
perl -MPOSIX -e '
    my %prctl = (x86_64 => 157, aarch64 => 167, i686 => 172, armv7l => 172);
    my $nr = $prctl{(POSIX::uname())[4]};
    my $reaper = defined $nr && syscall($nr, 36, 1, 0, 0, 0) == 0; # PR_SET_CHILD_SUBREAPER
    my $launcher = fork // die "fork: $!";
    if ($launcher == 0) { exec @ARGV or die "exec: $!" }
    waitpid($launcher, 0);
    printf "launcher exited with status %d\n", $? >> 8;
    exit 0 if $? != 0 || !$reaper;
    my $daemon = waitpid(-1, 0);
    printf "daemon %d exited with status %d\n", $daemon, $? >> 8 if $daemon > 0;
' "$work/orvind" >"$work/status" &
reaper=$!

wait_for test -s "$pidfile"
wait_for grep -q 'new thread starts up' "$log"
echo "pid file $pidfile holds $(cat "$pidfile"); the pipe:"
ls -l "$fifo"

say "delivering a sample indication as the broker does (open read-write, document, trailer, close)"
{
    cat tests/data/intake/alert.xml
    printf '\n%s\n' "$trailer"
} 1<>"$fifo"
wait_for grep -q 'Received a document' "$log"

say "the temp file $temp"
cat "$temp"

# Later: what was stored in /var/lib/orvind/indications.db and what reached the BMC.

say "stopping the daemon with SIGTERM"
kill -TERM "$(cat "$pidfile")"
wait "$reaper"
cat "$work/status"

say "the log $log"
cat "$log"

say "left behind in /opt/vexa/orvind and /run"
ls -la /opt/vexa/orvind /run

grep -q 'exited with status 0$' <(tail -n 1 "$work/status")
