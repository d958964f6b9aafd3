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

# start_fake [trap-term]: a process whose command is orvind; its pid in $fake.
start_fake() {
    if [ "${1:-}" = ignore-term ]; then
        (trap '' TERM && exec "$dir/orvind" 60) &
    else
        "$dir/orvind" 60 &
    fi
    fake=$!
    children+=("$fake")
    # Wait until the exec has happened and the command name is orvind.
    for _ in $(seq 50); do
        [ "$(cat "/proc/$fake/comm" 2>/dev/null)" = orvind ] && return
        sleep 0.02
    done
}

alive() {
    kill -0 "$1" 2>/dev/null
}

# --- clear-stale ----------------------------------------------------------------------
"$helper" clear-stale "$pidfile" 2>/dev/null
check_eq "clear-stale without a pid file succeeds and makes none" "0 absent" \
    "$? $(test -e "$pidfile" && echo present || echo absent)"

start_fake
printf '%d' "$fake" >"$pidfile"
"$helper" clear-stale "$pidfile" 2>/dev/null
check_eq "the pid file of a running orvind stays" "0 $fake" "$? $(cat "$pidfile" 2>&1)"
check "and that orvind is left alone" alive "$fake"

sleep 60 &
other=$!
children+=("$other")
printf '%d' "$other" >"$pidfile"
"$helper" clear-stale "$pidfile" 2>/dev/null
check_eq "a pid file whose pid now belongs to another program is removed" "0 absent" \
    "$? $(test -e "$pidfile" && echo present || echo absent)"

sh -c 'exit 0' &
dead=$!
wait "$dead"
for content in "$dead" "" "garbage" "12ab"; do
    printf '%s' "$content" >"$pidfile"
    "$helper" clear-stale "$pidfile" 2>/dev/null
    check_eq "a pid file holding '$content' and no live orvind is removed" "0 absent" \
        "$? $(test -e "$pidfile" && echo present || echo absent)"
done

# An orvind that has ended but was not yet reaped by its parent is gone all the same.
bash -c "'$dir/orvind' 0 & echo \$! >'$dir/zombie'; exec sleep 60" &
children+=("$!")
for _ in $(seq 100); do
    zombie=$(cat "$dir/zombie" 2>/dev/null)
    [ -n "$zombie" ] && grep -q '^[^)]*) Z' "/proc/$zombie/stat" 2>/dev/null && break
    sleep 0.02
done
check "the stand-in has ended and waits for its parent" grep -q '^[^)]*) Z' "/proc/$zombie/stat"
printf '%d' "$zombie" >"$pidfile"
"$helper" clear-stale "$pidfile" 2>/dev/null
check_eq "a pid file naming an orvind zombie is removed" "0 absent" \
    "$? $(test -e "$pidfile" && echo present || echo absent)"

# A link is never read through, never left behind, and its target never touched.
for to in "$dir/live.pid" "$dir/nothing"; do
    printf '%d' "$fake" >"$dir/live.pid"
    ln -s "$to" "$pidfile"
    "$helper" clear-stale "$pidfile" 2>/dev/null
    check_eq "clear-stale removes a link to ${to##*/}" "0 absent $fake" \
        "$? $(test -L "$pidfile" && echo present || echo absent) $(cat "$dir/live.pid")"
    check "and creates nothing" test ! -e "$dir/nothing"
    ln -s "$to" "$pidfile"
    "$helper" stop "$pidfile" 2>/dev/null
    check_eq "stop signals no orvind through a link to ${to##*/}" "0 absent" \
        "$? $(test -L "$pidfile" && echo present || echo absent)"
    check "the orvind behind it still runs" alive "$fake"
done
rm -f "$dir/live.pid"

# --- stop -----------------------------------------------------------------------------
printf '%d' "$fake" >"$pidfile"
"$helper" stop "$pidfile" 2>/dev/null
rc=$?
check_eq "stop ends the running orvind and removes the pid file it left" "0 absent" \
    "$rc $(test -e "$pidfile" && echo present || echo absent)"
check "the orvind is gone" test ! -e "/proc/$fake"

printf '%d' "$other" >"$pidfile"
"$helper" stop "$pidfile" 2>/dev/null
check "stop never signals a program that is not orvind" alive "$other"
check "and removes the stale pid file" test ! -e "$pidfile"

start_fake ignore-term
printf '%d' "$fake" >"$pidfile"
ORVIND_STOP_TIMEOUT=1 "$helper" stop "$pidfile" 2>/dev/null
check_eq "stop reports an orvind that outlives its time limit and keeps its pid file" \
    "1 $fake" "$? $(cat "$pidfile" 2>&1)"
check "that orvind still runs" alive "$fake"

"$helper" 2>/dev/null
check_eq "a call without a command is a usage error" 2 "$?"

finish
