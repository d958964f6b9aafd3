#!/usr/bin/env bash
# Installs what is missing, builds the project three ways (plain, ASan+UBSan, TSan) and
# runs every test in each, then fuzzes the document parser for a bounded time.
# Must run as root: the end-to-end tests put the daemon in a private mount namespace.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/test.sh: run as root (the end-to-end tests need mount namespaces)" >&2
    exit 2
fi
scripts/setup.sh || exit 1

fuzz_seconds=${ORVIND_FUZZ_SECONDS:-60}
passed=0
failed=0
status=0

run_ctest() { # NAME DIR
    local name=$1 dir=$2 log
    log=$(mktemp)
    echo "== $name: ctest"
    ctest --test-dir "$dir" -j "$(nproc)" --output-on-failure --timeout 300 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    local line total fail
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    if [ -n "$line" ]; then
        total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
        fail=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
        passed=$((passed + total - fail))
        failed=$((failed + fail))
    fi
    [ "$rc" -eq 0 ] || status=1
    rm -f "$log"
}

build() { # NAME DIR OPTIONS...
    local name=$1 dir=$2
    shift 2
    echo "== $name: build"
    if ! scripts/build.sh "$dir" "$@"; then
        echo "== $name: build FAILED"
        status=1
        failed=$((failed + 1))
        return 1
    fi
}

# The plain tree is the one the package is made from, so its daemon talks to a real BMC
# (IPMI); the tests run the daemon with the simulated BMC that the tree builds beside it.
build plain build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVIND_BMC=ipmi && run_ctest plain build

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build asan build-asan -DCMAKE_BUILD_TYPE=Debug -DORVIND_SANITIZE=address -DORVIND_BUILD_BENCH=OFF &&
    run_ctest asan build-asan

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
build tsan build-tsan -DCMAKE_BUILD_TYPE=Debug -DORVIND_SANITIZE=thread -DORVIND_BUILD_BENCH=OFF &&
    run_ctest tsan build-tsan

if build fuzz build-fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DORVIND_FUZZ=ON -DORVIND_BUILD_TESTS=OFF -DORVIND_BUILD_BENCH=OFF; then
    for target in build-fuzz/fuzz/fuzz_*; do
        [ -x "$target" ] || continue
        name=$(basename "$target")
        corpus=$(mktemp -d)
        echo "== fuzz: $name for ${fuzz_seconds}s"
        if "$target" -max_total_time="$fuzz_seconds" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
            -artifact_prefix="$root/build-fuzz/" "$corpus" "$root/tests/data/corpus" >build-fuzz/$name.log 2>&1; then
            passed=$((passed + 1))
            tail -n 3 build-fuzz/$name.log
        else
            failed=$((failed + 1))
            status=1
            tail -n 60 build-fuzz/$name.log
        fi
        rm -rf "$corpus"
    done
fi

scripts/share.sh
echo "total: $passed passed, $failed failed"
exit $status
