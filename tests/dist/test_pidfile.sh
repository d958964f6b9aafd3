#!/usr/bin/env bash
# shellcheck disable=SC2317 # functions called through trap and wait_for
# The pid-file helper that the unit runs before every start, the package scripts run
# before removal and logrotate after a rotation: a pid file goes only when no running
# orvind has its pid, and only an orvind is ever signalled. Stand-ins for the daemon are
# copies of sleep named orvind and orvind-sim.
# The cases are the "$ COMMAND PIDFILE" lines of tests/data/dist/pidfile.expected, each
# followed by what the helper did (ORVIND_UPDATE_GOLDEN=1 writes them anew).
# Usage: test_pidfile.sh SOURCE_DIR
set -u
. "$(dirname "$0")/lib.sh"
helper=$(realpath "$1")/dist/orvind-pidfile
expected=$(dirname "$0")/../data/dist/pidfile.expected

dir=$(mktemp -d)
cleanup() {
    exec 2>/dev/null
    kill -KILL "${pids[ORVIND]}" "${pids[STUBBORN]}" "${pids[OTHER]}" "${pids[PARENT]}" "${pids[SIM]}"
    wait
    rm -rf "$dir"
}
trap cleanup EXIT
cp "$(command -v sleep)" "$dir/orvind"
cp "$(command -v sleep)" "$dir/orvind-sim"
pidfile=$dir/orvind.pid

# The processes named in pidfile.expected.
declare -A pids
"$dir/orvind" 60 &
pids[ORVIND]=$!
env --ignore-signal=TERM "$dir/orvind" 60 &
pids[STUBBORN]=$!
sleep 60 &
pids[OTHER]=$!
"$dir/orvind-sim" 60 &
pids[SIM]=$!
# The child ends a second later, once its parent is sleep (bash would reap it itself).
bash -c "'$dir/orvind' 1 & echo \$! >'$dir/zombie'; exec sleep 60" &
pids[PARENT]=$!
sh -c 'exit 0' &
pids[DEAD]=$!
wait "${pids[DEAD]}"
is_orvind() { grep -qx "orvind\(-sim\)\?" "/proc/$1/comm"; }
zombie() { pids[ZOMBIE]=$(cat "$dir/zombie" 2>/dev/null) && [ -e "/proc/${pids[ZOMBIE]}" ] && ! running "${pids[ZOMBIE]}"; }
check "the stand-ins run as orvind" wait_for 5 is_orvind "${pids[ORVIND]}"
check "and ignoring SIGTERM" wait_for 5 is_orvind "${pids[STUBBORN]}"
check "and as orvind-sim" wait_for 5 is_orvind "${pids[SIM]}"
check "and one has ended and waits for its parent" wait_for 5 zombie
printf '%d' "${pids[ORVIND]}" >"$dir/live.pid"

# What is there after a call: the pid file, the processes that run, the link targets.
after() {
    local left=absent name
    if [ -e "$pidfile" ] || [ -L "$pidfile" ]; then left="'$(cat "$pidfile" 2>/dev/null)'"; fi
    echo -n "left $left; running"
    for name in ORVIND STUBBORN OTHER SIM; do
        if running "${pids[$name]}"; then echo -n " $name"; fi
    done
    echo "; live.pid '$(cat "$dir/live.pid")'; nothing $(test -e "$dir/nothing" || echo absent)"
}
sim_gone() { ! running "${pids[SIM]}"; }
export ORVIND_STOP_TIMEOUT=1
grep '^#' "$expected" >"$dir/actual"
grep '^\$ ' "$expected" | while read -r _ command file; do
    echo "\$ $command $file"
    rm -f "$pidfile"
    case $file in
    none) ;;
    to-live) ln -s "$dir/live.pid" "$pidfile" ;;
    to-nothing) ln -s "$dir/nothing" "$pidfile" ;;
    "''") : >"$pidfile" ;;
    *) printf '%s' "${pids[$file]:-$file}" >"$pidfile" ;;
    esac
    "$helper" "$command" "$pidfile" 2>/dev/null
    status=$?
    # A reload only sends SIGHUP, which ends the stand-in a moment later.
    if [ "$command $file" = "reload SIM" ]; then wait_for 5 sim_gone; fi
    echo "status $status; $(after)"
done >>"$dir/actual"
for name in "${!pids[@]}"; do sed -i "s/\b${pids[$name]}\b/$name/g" "$dir/actual"; done
check_golden "each call does what pidfile.expected says" "$expected" "$dir/actual"
"$helper" 2>/dev/null
check_eq "a call without a command is a usage error" 2 "$?"
finish
