#!/usr/bin/env bash
# Mutation testing: puts each plausible bug listed in scripts/mutants.txt into the sources,
# one at a time, rebuilds a plain build tree, runs the tests of the ctest labels the entry
# names and tells whether a failing test caught it. The sources are restored after each
# mutant, also when the run fails or is interrupted.
#
#   scripts/mutants.sh [--tree DIR] [--only REGEX] [--list] [--baseline]
#
#   --tree DIR     the build tree (default build-mutants), configured like the test
#                  command's plain tree when it does not exist yet
#   --only REGEX   only the mutants whose id matches (extended regular expression)
#   --list         print the selected mutants and check that each one applies; run nothing
#   --baseline     first run the selected mutants' tests on the sources as they are
#
# Each mutant ends as one of:
#   killed         some test failed by a failed expectation
#   aborted        the only failures were crashes, aborts or timeouts (not counted as killed)
#   survived       every test passed
#   not applied    its original text does not occur exactly once (an error in the list)
#   did not build  (an error in the list)
# The last lines are "killed K / total T" (T: mutants that applied and built) and the ids
# of the aborted and surviving ones. Exit status: 0 when every mutant was killed, 1 when
# some were not, 2 for errors (a mutant that did not apply or build, a tree that cannot
# be built, a label without tests).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
root=$(pwd)
list=scripts/mutants.txt
tree=build-mutants
only=
list_only=0
baseline=0

usage() {
    sed -n '2,/^set -uo/{/^set -uo/d;s/^# \{0,1\}//;p}' "$0"
}

while [ $# -gt 0 ]; do
    case $1 in
    --tree)
        [ $# -ge 2 ] || { usage >&2; exit 2; }
        tree=$2
        shift 2
        ;;
    --only)
        [ $# -ge 2 ] || { usage >&2; exit 2; }
        only=$2
        shift 2
        ;;
    --list) list_only=1; shift ;;
    --baseline) baseline=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "mutants.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done

die() {
    echo "mutants.sh: $*" >&2
    exit 2
}

command -v python3 >/dev/null || die "python3 is needed to read $list"

# Reads the list and applies a mutation. Commands:
#   index LIST REGEX     one line per selected mutant: id, file, labels, why (tab-separated)
#   count LIST ID        how often the original text occurs in the file
#   apply LIST ID        puts the mutant text in place of the original (exactly once)
mutation() {
    python3 - "$@" <<'PY'
import re
import sys

def fail(message):
    print("mutants.sh: " + message, file=sys.stderr)
    sys.exit(2)

def parse(path):
    entries = []
    current = None
    section = None
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines, 1):
        where = "%s:%d" % (path, number)
        if line.startswith("== "):
            current = {"id": line[3:].strip(), "where": where, "file": "", "labels": [],
                       "why": "", "original": None, "mutant": None}
            if not re.fullmatch(r"[a-z0-9][a-z0-9-]*", current["id"]):
                fail(where + ": an id is lower-case letters, digits and dashes")
            if any(e["id"] == current["id"] for e in entries):
                fail(where + ": the id " + current["id"] + " is given twice")
            entries.append(current)
            section = None
            continue
        if current is None:
            if line.strip() == "" or line.startswith("#"):
                continue
            fail(where + ': text before the first "== ID" line')
        # A comment line ("# ..." or "#") is no text, also between two blocks; the
        # preprocessor's lines ("#include") are.
        if line == "#" or line.startswith("# "):
            continue
        if line in ("--- original", "--- mutant"):
            section = line[4:]
            current[section] = []
            continue
        if section is not None:
            current[section].append(line)
            continue
        if line.strip() == "":
            continue
        m = re.fullmatch(r"(file|labels|why):\s*(.*?)\s*", line)
        if not m:
            fail(where + ': expected "file:", "labels:", "why:" or "--- original"')
        if m.group(1) == "labels":
            current["labels"] = m.group(2).split()
        else:
            current[m.group(1)] = m.group(2)
    for e in entries:
        for section in ("original", "mutant"):
            if e[section] is None:
                fail("%s: %s has no '--- %s' part" % (e["where"], e["id"], section))
            while e[section] and e[section][-1].strip() == "":
                e[section].pop()
            e[section] = "\n".join(e[section])
        if not e["file"] or not e["labels"] or not e["original"]:
            fail("%s: %s needs a file, labels and an original text" % (e["where"], e["id"]))
        if e["original"] == e["mutant"]:
            fail("%s: %s changes nothing" % (e["where"], e["id"]))
    return entries

def find(entries, ident):
    for e in entries:
        if e["id"] == ident:
            return e
    fail("no mutant " + ident)

command, path = sys.argv[1], sys.argv[2]
entries = parse(path)
if command == "index":
    pattern = re.compile(sys.argv[3]) if len(sys.argv) > 3 and sys.argv[3] else None
    for e in entries:
        if pattern is None or pattern.search(e["id"]):
            print("\t".join([e["id"], e["file"], " ".join(e["labels"]), e["why"] or "-"]))
elif command in ("count", "apply"):
    e = find(entries, sys.argv[3])
    try:
        with open(e["file"], encoding="utf-8") as f:
            text = f.read()
    except OSError as error:
        fail("%s: %s" % (e["file"], error.strerror))
    found = text.count(e["original"])
    if command == "count":
        print(found)
    elif found != 1:
        fail("%s: the original text occurs %d times in %s" % (e["id"], found, e["file"]))
    else:
        with open(e["file"], "w", encoding="utf-8") as f:
            f.write(text.replace(e["original"], e["mutant"], 1))
else:
    fail("unknown command " + command)
PY
}

[ -f "$list" ] || die "no $list"
index=$(mutation index "$list" "$only") || exit 2
[ -n "$index" ] || die "no mutant matches '$only'"
mapfile -t entries <<<"$index"

if [ "$list_only" -eq 1 ]; then
    status=0
    for entry in "${entries[@]}"; do
        IFS=$'\t' read -r id file labels why <<<"$entry"
        found=$(mutation count "$list" "$id") || exit 2
        state="applies"
        if [ "$found" != 1 ]; then
            state="NOT APPLIED: the original occurs $found times"
            status=2
        fi
        printf '%-32s %s (%s)\n    %s\n    tests: %s\n' "$id" "$file" "$state" "$why" "$labels"
    done
    echo "${#entries[@]} mutants"
    exit $status
fi

# The files to mutate must be as committed: the restored text is the committed one, and
# a mutant left behind by a crash shows in git status.
files=()
while IFS= read -r f; do files+=("$f"); done < <(printf '%s\n' "${entries[@]}" | cut -f2 | sort -u)
git rev-parse --is-inside-work-tree >/dev/null 2>&1 || die "not a git checkout"
for f in "${files[@]}"; do
    [ -f "$f" ] || die "$f does not exist"
    git ls-files --error-unmatch -- "$f" >/dev/null 2>&1 || die "$f is not committed"
done
if ! git diff --quiet HEAD -- "${files[@]}"; then
    git status --short -- "${files[@]}" >&2
    die "these files have uncommitted changes; commit or stash them first"
fi

mkdir -p "$tree" || die "cannot make $tree"
tree=$(cd "$tree" && pwd)
logs=$tree/mutants
mkdir -p "$logs"
exec 9>"$logs/lock"
flock -n 9 || die "another mutants.sh runs on $tree"

# Every command runs as a job of its own process group (job control), so that an
# interrupt stops the build or the tests with everything they started.
set -m
child=
run() { # LOG COMMAND...
    local log=$1
    shift
    "$@" >"$log" 2>&1 </dev/null &
    child=$!
    wait "$child"
    local rc=$?
    child=
    return $rc
}

applied=
backup=$logs/original
restore() {
    if [ -n "$applied" ]; then
        cat "$backup" >"$applied" && applied=
    fi
}
# shellcheck disable=SC2317 # called through the trap
interrupted() {
    if [ -n "$child" ]; then
        kill -TERM -- "-$child" 2>/dev/null
        wait "$child" 2>/dev/null
    fi
    restore
    echo
    echo "mutants.sh: interrupted; the sources are restored" >&2
    exit 2
}
trap restore EXIT
trap interrupted INT TERM HUP

if [ ! -f "$tree/build.ninja" ]; then
    echo "== configuring $tree (plain: RelWithDebInfo, IPMI backend)"
    run "$logs/configure.log" cmake -S "$root" -B "$tree" -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVIND_BMC=ipmi ||
        { tail -n 30 "$logs/configure.log" >&2; die "cmake failed (see $logs/configure.log)"; }
fi

# What to build for a set of labels: the test executables they name (a label is the name
# of its executable) and the daemons those run; everything for a label of a script test.
targets_for() { # LABELS...
    local label targets=() all=0
    for label in "$@"; do
        if ninja -C "$tree" -t query "$label" >/dev/null 2>&1; then
            targets+=("$label")
        else
            all=1
        fi
    done
    if [ "$all" -eq 1 ]; then
        echo all
        return
    fi
    for label in orvind orvind-sim orvind-ipmi; do
        if ninja -C "$tree" -t query "$label" >/dev/null 2>&1; then
            targets+=("$label")
        fi
    done
    echo "${targets[@]}"
}

build() { # LOG LABELS...
    local log=$1
    shift
    # shellcheck disable=SC2046
    run "$log" cmake --build "$tree" --target $(targets_for "$@")
}

label_regex() { # LABELS... -> one regular expression for ctest -L
    local IFS='|'
    echo "^($*)\$"
}

# Runs the tests of the labels; sets `verdict` (killed, aborted, survived, no tests) and
# `failures` (the failing tests, with how each failed).
verdict=
failures=
test_labels() { # LOG LABELS...
    local log=$1
    shift
    run "$log" ctest --test-dir "$tree" -L "$(label_regex "$@")" -j 2 --timeout 120 \
        --output-on-failure
    local results
    results=$(grep -E '^ *[0-9]+/[0-9]+ +Test +#[0-9]+: ' "$log")
    failures=$(grep -v ' Passed \| Skipped\| Disabled' <<<"$results" |
        sed -E 's/^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: ([^ ]+) .*[. ](\*\*\*)?(Failed|Exception: [A-Za-z]+|Timeout|Not Run|Subprocess aborted|Child aborted)( |\*).*/\1 (\3)/')
    if [ -z "$results" ]; then
        verdict="no tests"
    elif grep -q '\*\*\*Failed' <<<"$results"; then
        verdict=killed
    elif grep -qE 'Exception|Timeout|aborted' <<<"$results"; then
        verdict=aborted
    elif grep -q 'Not Run' <<<"$results"; then
        verdict="no tests"
    else
        verdict=survived
    fi
}

# The tests must pass without a mutant (optional), and the tree must build.
mapfile -t all_labels < <(printf '%s\n' "${entries[@]}" | cut -f3 | tr ' ' '\n' | sort -u)
echo "== building $tree for ${#entries[@]} mutants"
build "$logs/build.log" "${all_labels[@]}" ||
    { tail -n 30 "$logs/build.log" >&2; die "the tree does not build without mutants"; }
# Every label must name tests: a misspelt one would make its mutants look survived.
known=$(ctest --test-dir "$tree" --print-labels 2>/dev/null | sed -n 's/^  *//p')
for label in "${all_labels[@]}"; do
    grep -qxF -- "$label" <<<"$known" || die "no test carries the label $label"
done
if [ "$baseline" -eq 1 ]; then
    echo "== baseline: ${all_labels[*]}"
    test_labels "$logs/baseline.log" "${all_labels[@]}"
    if [ "$verdict" != survived ]; then
        # shellcheck disable=SC2001 # every line indented, not one replacement
        sed 's/^/    /' <<<"$failures" >&2
        die "the tests do not pass without a mutant ($verdict; see $logs/baseline.log)"
    fi
fi

killed=()
aborted=()
survived=()
errors=()
n=0
for entry in "${entries[@]}"; do
    IFS=$'\t' read -r id file labels why <<<"$entry"
    n=$((n + 1))
    read -ra labels_of <<<"$labels"
    start=$SECONDS
    cp "$file" "$backup"
    applied=$root/$file
    if ! mutation apply "$list" "$id" 2>"$logs/$id.apply.log"; then
        restore
        outcome="not applied"
        detail=$(sed 's/^mutants.sh: //' "$logs/$id.apply.log")
        errors+=("$id (not applied)")
    elif ! build "$logs/$id.build.log" "${labels_of[@]}"; then
        restore
        outcome="did not build"
        detail="see $logs/$id.build.log"
        errors+=("$id (did not build)")
    else
        built=$((SECONDS - start))
        test_labels "$logs/$id.test.log" "${labels_of[@]}"
        restore
        outcome=$verdict
        detail="build ${built}s, tests $((SECONDS - start - built))s"
        if [ -n "$failures" ]; then
            detail="$detail; $(head -n 3 <<<"$failures" | paste -sd ';' | sed 's/;/; /g')"
            more=$(($(wc -l <<<"$failures") - 3))
            [ "$more" -gt 0 ] && detail="$detail; +$more more"
        fi
        case $verdict in
        killed) killed+=("$id") ;;
        aborted) aborted+=("$id") ;;
        survived) survived+=("$id") ;;
        *) errors+=("$id (no tests for: $labels)") ;;
        esac
    fi
    printf '[%2d/%d] %-13s %-32s %s\n' "$n" "${#entries[@]}" "$outcome" "$id" "$detail"
done

# Leave the tree built from the sources as they are.
build "$logs/build.log" "${all_labels[@]}" >/dev/null 2>&1

total=$((${#killed[@]} + ${#aborted[@]} + ${#survived[@]}))
echo "killed ${#killed[@]} / total $total"
echo "aborted: ${aborted[*]:-none}"
echo "survived: ${survived[*]:-none}"
if [ ${#errors[@]} -gt 0 ]; then
    echo "errors: ${errors[*]}"
fi
echo "(logs in $logs)"
if [ ${#errors[@]} -gt 0 ]; then
    exit 2
fi
[ ${#killed[@]} -eq "$total" ] && exit 0
exit 1
