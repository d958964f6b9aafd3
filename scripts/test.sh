#!/usr/bin/env bash
# Installs what is missing, builds the project three ways (plain, ASan+UBSan, TSan) and runs
# in each tree the tests that tree is for, checks the production sources with clang-tidy,
# then fuzzes the document parser for a bounded time. Every build has warnings as errors.
#
# Which tree runs what (the labels of tests/CMakeLists.txt): the plain tree runs every test;
# the ASan+UBSan tree (clang, with the fuzz target) the tests labelled asan; the TSan tree
# those labelled tsan. A sanitizer tree builds only what its tests need, at low priority
# while the previous tree's tests run: most tests wait on the daemon, not on the CPU.
#
# Must run as root: the end-to-end tests put the daemon in a private mount namespace.
# ORVIND_FUZZ_SECONDS (default 60) sets the fuzzing time, ORVIND_TEST_JOBS the number of
# tests run side by side. Refuses to run with ORVIND_UPDATE_GOLDEN set, and fails when
# tests/data is not as committed after the run.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
root=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/test.sh: run as root (the end-to-end tests need mount namespaces)" >&2
    exit 2
fi
# The golden files change only by a deliberate edit that someone reads: never here.
if [ -n "${ORVIND_UPDATE_GOLDEN+set}" ]; then
    echo "scripts/test.sh: ORVIND_UPDATE_GOLDEN is set; the test command never writes the" \
        "golden files (unset it; to rewrite them, run one test with it and read git diff)" >&2
    exit 2
fi
started=$SECONDS
phase() { # TEXT
    printf '== [%3ds] %s\n' "$((SECONDS - started))" "$1"
}

phase "setup: checking the packages"
scripts/setup.sh || exit 1

fuzz_seconds=${ORVIND_FUZZ_SECONDS:-60}
jobs=${ORVIND_TEST_JOBS:-$(($(nproc) * 2))}
passed=0
failed=0
status=0

fail() { # WHAT
    echo "== $1 FAILED"
    failed=$((failed + 1))
    status=1
}

run_ctest() { # NAME DIR [ctest options...]
    local name=$1 dir=$2 log
    shift 2
    log=$(mktemp)
    phase "$name: ctest $*"
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300 "$@" 2>&1 | tee "$log"
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

# A build in the background, at the lowest priority so that the tests running meanwhile
# keep their timing: start_build NAME DIR CMAKE_OPTIONS... -- TARGETS..., then end_build.
declare -A build_pid
tidy_pid=
fuzz_pids=()
start_build() {
    local name=$1 dir=$2
    shift 2
    mkdir -p "$dir"
    phase "$name: build (in the background)"
    nice -n 19 scripts/build.sh "$dir" "$@" >"$dir/build.log" 2>&1 &
    build_pid[$name]=$!
}

# Back to the normal priority: the process and everything it has started (the compilers
# that the build starts from now on inherit it).
raise_priority() { # PID
    local child
    renice -n 0 -p "$1" >/dev/null 2>&1
    for child in $(pgrep -P "$1"); do
        raise_priority "$child"
    done
}

# Nothing else runs while a build is awaited, so it gets the normal priority back.
end_build() { # NAME DIR -> non-zero if the build failed
    local name=$1 dir=$2
    phase "$name: waiting for its build ($(grep -a '^build ' "$dir/build.log" | tail -n 1))"
    raise_priority "${build_pid[$name]}"
    if wait "${build_pid[$name]}"; then
        phase "$name: built"
        return 0
    fi
    tail -n 80 "$dir/build.log"
    fail "$name: build"
    return 1
}

# Background work that is still running when the command ends (interrupted, say) ends
# with it: the process and everything it has started.
# shellcheck disable=SC2317 # called through the trap
stop_tree() { # PID
    local child
    for child in $(pgrep -P "$1"); do
        stop_tree "$child"
    done
    kill "$1" 2>/dev/null
}
# shellcheck disable=SC2154 # pid is the loop's own variable
trap 'for pid in "${build_pid[@]}" $tidy_pid "${fuzz_pids[@]#*:}"; do stop_tree "$pid"; done' EXIT

# scripts/tidy.sh over the plain tree's compile commands, in the background.
start_tidy() {
    [ -x scripts/tidy.sh ] || return 0
    phase "tidy (in the background)"
    nice -n 19 scripts/tidy.sh build >build/tidy.log 2>&1 &
    tidy_pid=$!
}

end_tidy() {
    [ -n "$tidy_pid" ] || return 0
    raise_priority "$tidy_pid"
    if wait "$tidy_pid"; then
        passed=$((passed + 1))
        phase "tidy: no findings"
    else
        tail -n 80 build/tidy.log
        fail "tidy"
    fi
}

strict=(-DORVIND_STRICT=ON)
# Line tables are all a sanitizer's stack trace needs, at a fraction of the full debug
# information's compile time.
debug=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# The plain tree is the one the package is made from, so its daemon talks to a real BMC
# (IPMI); the tests run the daemon with the simulated BMC that the tree builds beside it.
phase "plain: build"
if scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVIND_BMC=ipmi "${strict[@]}"; then
    plain=1
    start_tidy
else
    plain=0
    fail "plain: build"
fi

start_build asan build-asan "${debug[@]}" -DORVIND_SANITIZE=address -DORVIND_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DORVIND_BUILD_BENCH=OFF "${strict[@]}" \
    -- orvind_asan_tests orvind_fuzz
[ "$plain" -eq 1 ] && run_ctest plain build

start_build_tsan() {
    start_build tsan build-tsan "${debug[@]}" -DORVIND_SANITIZE=thread \
        -DORVIND_BUILD_BENCH=OFF "${strict[@]}" -- orvind_tsan_tests
}
if end_build asan build-asan; then
    start_build_tsan
    run_ctest asan build-asan -L asan
else
    start_build_tsan
fi

# The fuzz targets, for fuzz_seconds each, side by side with the TSan tree's tests.
start_fuzz() {
    local target name
    for target in build-asan/fuzz/fuzz_*; do
        [ -x "$target" ] || continue
        name=$(basename "$target")
        phase "fuzz: $name for ${fuzz_seconds}s (in the background)"
        mkdir -p "build-asan/$name.corpus"
        nice -n 19 "$target" -max_total_time="$fuzz_seconds" -max_len=65536 -timeout=10 \
            -rss_limit_mb=4096 -artifact_prefix="$root/build-asan/" "build-asan/$name.corpus" \
            "$root/tests/data/corpus" >"build-asan/$name.log" 2>&1 &
        fuzz_pids+=("$name:$!")
    done
}

end_fuzz() {
    local entry name
    for entry in "${fuzz_pids[@]}"; do
        name=${entry%%:*}
        if wait "${entry#*:}"; then
            passed=$((passed + 1))
            phase "fuzz: $name found nothing"
            tail -n 2 "build-asan/$name.log"
        else
            fail "fuzz: $name"
            tail -n 60 "build-asan/$name.log"
        fi
    done
}

end_tidy
if end_build tsan build-tsan; then
    start_fuzz
    run_ctest tsan build-tsan -L tsan
else
    start_fuzz
fi
end_fuzz

# Nothing the tests ran may have written into the test data.
changed=$(git status --porcelain tests/data)
if [ -n "$changed" ]; then
    echo "$changed"
    fail "tests/data changed during the run (git status --porcelain tests/data)"
fi

scripts/share.sh
phase "done"
echo "total: $passed passed, $failed failed"
exit $status
