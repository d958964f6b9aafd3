#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh DIR [cmake options...] [-- targets...]
# Without targets it builds everything.
set -euo pipefail
dir=$1
shift
options=()
while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do
    options+=("$1")
    shift
done
[ "$#" -gt 0 ] && shift
cmake -S "$(dirname "$0")/.." -B "$dir" -G Ninja "${options[@]}" >/dev/null
if [ "$#" -gt 0 ]; then
    cmake --build "$dir" --target "$@" -- -j "$(nproc)"
else
    cmake --build "$dir" -- -j "$(nproc)"
fi
