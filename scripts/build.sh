#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh DIR [cmake options...] [-- targets...]
# Without targets it builds everything. It prints one line when it configures and one at
# each tenth of the build's steps, with the time since it started; warnings, errors and
# anything else the build prints come whole.
set -euo pipefail
dir=$1
shift
options=()
while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do
    options+=("$1")
    shift
done
[ "$#" -gt 0 ] && shift
targets=("$@")

say() { printf 'build %s: [%3ds] %s\n' "$dir" "$SECONDS" "$1"; }

# Ninja's "[STEP/TOTAL] what" lines, one kept per tenth of the way.
progress() {
    local line shown=-1 tenth
    while IFS= read -r line; do
        if [[ $line =~ ^\[([0-9]+)/([0-9]+)\]\ (.*)$ ]]; then
            tenth=$((BASH_REMATCH[1] * 10 / BASH_REMATCH[2]))
            if [ "${BASH_REMATCH[1]}" -eq 0 ] || [ "$tenth" -eq "$shown" ]; then
                continue
            fi
            shown=$tenth
            say "step ${BASH_REMATCH[1]} of ${BASH_REMATCH[2]}: ${BASH_REMATCH[3]}"
        else
            printf '%s\n' "$line"
        fi
    done
}

say "configuring${options[*]:+ ${options[*]}}"
cmake -S "$(dirname "$0")/.." -B "$dir" -G Ninja "${options[@]}" >/dev/null
say "building ${targets[*]:-everything}"
if [ "${#targets[@]}" -gt 0 ]; then
    cmake --build "$dir" --target "${targets[@]}" -- -j "$(nproc)" | progress
else
    cmake --build "$dir" -- -j "$(nproc)" | progress
fi
say "built"
