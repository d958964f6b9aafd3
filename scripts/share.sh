#!/usr/bin/env bash
# Prints how large the tests are beside the code they test: non-blank lines of every
# test source, test support file and test script against those of the production
# sources (the daemon, the platform layers, the tools and the installed scripts), of the
# build (CMake files, the scripts a user runs: setup.sh, build.sh, demo.sh) and of the
# shipped configuration that tests check (units, tmpfiles, defaults, alerting rules, the
# stand-in library's version script).
# The project's own checking tools (test.sh, tidy.sh, mutants.sh, this script), test data
# under tests/data, benchmarks and the fuzz target are counted in neither, except
# what is test code written as data: the step scripts and case tables that a runner walks
# (store.cases, forwarder/scenarios.txt, settle/match.txt, promtool's rules.test.yml, ...:
# every non-blank line), the stand-in programs (the files that begin with "#!": every
# non-blank line) and the command lines of the shell transcripts ("$ " and "@ " lines,
# which a shell runs).
set -euo pipefail
cd "$(dirname "$0")/.."

count() { # FILES... -> non-blank lines
    if [ "$#" -eq 0 ]; then
        echo 0
        return
    fi
    cat "$@" | grep -cv '^[[:space:]]*$' || true
}

mapfile -t tests < <(git ls-files -co --exclude-standard tests |
    grep -v '^tests/data/' | grep -E '\.(cpp|h|sh|py)$|CMakeLists\.txt$')
mapfile -t code < <(git ls-files -co --exclude-standard synchronizer platform tools dist cmake \
    CMakeLists.txt scripts/setup.sh scripts/build.sh scripts/demo.sh |
    grep -E '\.(cpp|h|c|sh|py|in|cmake|socket|timer|tmpfiles|default|rules\.yml|map)$|CMakeLists\.txt$|^dist/orvind-pidfile$')

mapfile -t data < <(git ls-files -co --exclude-standard tests/data)
mapfile -t steps < <(printf '%s\n' "${data[@]}" | grep -E \
    '(\.cases|/cases|/scenarios\.txt|/events\.txt|/records\.txt|/cuts\.txt|/error_codes\.txt|/match\.txt|\.test\.yml)$')
for f in "${data[@]}"; do
    if head -c 2 "$f" | grep -qa '^#!'; then
        steps+=("$f")
    fi
done
t=$(($(count "${tests[@]}") + $(count "${steps[@]}")))
if [ "${#data[@]}" -gt 0 ]; then
    t=$((t + $(cat "${data[@]}" | grep -ac '^[$@] ' || true)))
fi
c=$(count "${code[@]}")
awk -v t="$t" -v c="$c" 'BEGIN { printf "test share: %d test lines / %d code lines = %.2f\n", t, c, (c ? t / c : 0) }'
