#!/usr/bin/env bash
# shellcheck disable=SC2317 # functions called through trap and check
# The pid-file helper that the unit runs before every start and the package scripts run
# before removal: a pid file goes only when no running orvind has its pid, and only an
# orvind is ever signalled. Stand-ins for the daemon are copies of sleep named orvind.
# Usage: test_pidfile.sh SOURCE_DIR
set -u
. "$(dirname "$0")/lib.sh"
helper=$(realpath "$1")/dist/orvind-pidfile

dir=$(mktemp -d)
children=()
cleanup() {
    exec 2>/dev/null
    kill -KILL "${children[@]}" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
cp "$(command -v sleep)" "$dir/orvind"
pidfile=$dir/orvind.pid

# start_fake [ignore-term]: a process whose command is orvind; its pid in $fake.
start_fake() {
    if [ "${1:-}" = ignore-term ]; then
        (trap '' TERM && exec "$dir/orvind" 60) &
    else
        "$dir/orvind" 60 &
    fi
    fake=$!
    children+=("$fake")
    for _ in $(seq 50); do # until the exec has happened
        [ "$(cat "/proc/$fake/comm" 2>/dev/null)" = orvind ] && return
        sleep 0.02
    done
}
alive() { kill -0 "$1" 2>/dev/null; }
# helper COMMAND: runs the helper on the pid file; prints its status and what is left
# at the pid file's path (its content, or "absent").
helper() {
    "$helper" "$1" "$pidfile" 2>/dev/null
    local rc=$?
    if [ -e "$pidfile" ] || [ -L "$pidfile" ]; then
        echo "$rc $(cat "$pidfile" 2>/dev/null)"
    else
        echo "$rc absent"
    fi
}

check_eq "clear-stale without a pid file succeeds and makes none" "0 absent" "$(helper clear-stale)"
start_fake
printf '%d' "$fake" >"$pidfile"
check_eq "the pid file of a running orvind stays" "0 $fake" "$(helper clear-stale)"
check "and that orvind is left alone" alive "$fake"

sleep 60 &
other=$!
children+=("$other")
sh -c 'exit 0' &
dead=$!
wait "$dead"
# An orvind that has ended but was not yet reaped by its parent is gone all the same.
bash -c "'$dir/orvind' 0 & echo \$! >'$dir/zombie'; exec sleep 60" &
children+=("$!")
for _ in $(seq 100); do
    zombie=$(cat "$dir/zombie" 2>/dev/null)
    [ -n "$zombie" ] && grep -q '^[^)]*) Z' "/proc/$zombie/stat" 2>/dev/null && break
    sleep 0.02
done
check "the stand-in has ended and waits for its parent" grep -q '^[^)]*) Z' "/proc/$zombie/stat"
for content in "$other" "$dead" "$zombie" "" "garbage" "12ab"; do
    printf '%s' "$content" >"$pidfile"
    check_eq "a pid file holding '$content' and no live orvind is removed" "0 absent" \
        "$(helper clear-stale)"
done

# A link is never read through, never left behind, and its target never touched.
for to in "$dir/live.pid" "$dir/nothing"; do
    printf '%d' "$fake" >"$dir/live.pid"
    for command in clear-stale stop; do
        ln -s "$to" "$pidfile"
        check_eq "$command removes a link to ${to##*/}" "0 absent" "$(helper $command)"
        check_eq "and leaves its target and the orvind behind it alone" "$fake absent" \
            "$(cat "$dir/live.pid") $(test -e "$dir/nothing" && echo present || echo absent)"
        check "that orvind still runs" alive "$fake"
    done
done

printf '%d' "$fake" >"$pidfile"
check_eq "stop ends the running orvind and removes the pid file it left" "0 absent" "$(helper stop)"
check "the orvind is gone" test ! -e "/proc/$fake"
printf '%d' "$other" >"$pidfile"
check_eq "stop never signals a program that is not orvind, and removes the stale pid file" \
    "0 absent" "$(helper stop)"
check "that program still runs" alive "$other"
start_fake ignore-term
printf '%d' "$fake" >"$pidfile"
export ORVIND_STOP_TIMEOUT=1
check_eq "stop reports an orvind that outlives its time limit and keeps its pid file" \
    "1 $fake" "$(helper stop)"
check "that orvind still runs" alive "$fake"
"$helper" 2>/dev/null
check_eq "a call without a command is a usage error" 2 "$?"
finish
