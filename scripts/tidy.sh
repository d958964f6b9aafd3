#!/usr/bin/env bash
# Runs clang-tidy (the checks of .clang-tidy) over the production sources of one build
# tree: scripts/tidy.sh [BUILD_DIR] (default build). The tree must have been configured
# (it reads BUILD_DIR/compile_commands.json); configure it with -DORVIND_STRICT=ON so that
# the compiler's strict warnings are checked as well. Runs one clang-tidy per source file,
# nproc at a time, prints every finding and exits 1 when there is any.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build}
tidy=${CLANG_TIDY:-clang-tidy}

if [ ! -f "$dir/compile_commands.json" ]; then
    echo "tidy: $dir/compile_commands.json not found; configure the tree first" >&2
    exit 2
fi
if ! command -v "$tidy" >/dev/null; then
    echo "tidy: $tidy not found (Debian: clang-tidy; scripts/setup.sh installs it)" >&2
    exit 2
fi

# The daemon, the platform layers and the tools, each source once.
mapfile -t sources < <(grep -o '"file": *"[^"]*"' "$dir/compile_commands.json" |
    sed -E 's/"file": *"(.*)"/\1/' | grep -E "^$root/(synchronizer|platform|tools)/" | sort -u)
if [ "${#sources[@]}" -eq 0 ]; then
    echo "tidy: no production sources in $dir/compile_commands.json" >&2
    exit 2
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
start=$SECONDS
# shellcheck disable=SC2016 # expanded by the sh that xargs starts
printf '%s\n' "${sources[@]}" | cat -n | xargs -P "$(nproc)" -n 2 sh -c \
    '"$0" --quiet -p "$1" "$4" >"$2/$3.log" 2>&1 || echo "$4" >"$2/$3.failed"' \
    "$tidy" "$dir" "$out"

# clang-tidy prints a finding as file:line:col: warning|error: text [check]; the notes
# and source lines around it follow.
findings=$(cat "$out"/*.log | grep -cE '^[^ ]+:[0-9]+:[0-9]+: (warning|error): ' || true)
failed=$(cat "$out"/*.failed 2>/dev/null | wc -l)
if [ "$findings" -gt 0 ] || [ "$failed" -gt 0 ]; then
    cat "$out"/*.log | grep -v -E '^[0-9]+ (warnings?|errors?) (and [0-9]+ (warnings?|errors?) )?generated\.$'
    echo "tidy: $findings findings in ${#sources[@]} files ($((SECONDS - start)) s)"
    exit 1
fi
echo "tidy: ${#sources[@]} files clean ($((SECONDS - start)) s)"
