#!/usr/bin/env bash
# The daemon and the tools built with an installed CIMC client library, the one that
# ORVIND_SYSTEM_CIMC=AUTO finds, played by a stand-in: the real API's headers
# (../shared/cimc-real/include beside the source tree, as CI has them; our own headers when
# they are absent) and a shared libcimcclient.so.0 that exports only the real library's names.
# Checks that ON without a library is refused, that the sources compile unchanged against the
# installed headers, that the build names the library it uses, that only orvind-subscribe
# takes NewCIMCEnv and ReleaseCIMCEnv from the library (the daemon, which links libfreeipmi,
# never loads it), that no symbol of ours clashes with one the library exports, that the
# registration through orvind-subscribe has the outcome it has in the build against ours, and
# that documents give the same rows.
#   test_system_cimc.sh SOURCE_DIR STANDIN_LIBRARY CMAKE
set -euo pipefail
src=$1
standin=$2
cmake=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The installed library: headers under include/cimc, the library under lib.
mkdir -p "$work/prefix/include/cimc" "$work/prefix/lib"
real=$src/../shared/cimc-real/include
if [ -f "$real/cimc/cimc.h" ]; then
    headers=$(cd "$real" && pwd)
    echo "headers: the real API's, $headers"
else
    headers=$work/prefix/include
    cp "$src"/platform/cimc/include/cimc/*.h "$headers/cimc/"
    echo "headers: ours; the build against the real API's is skipped: no $real/cimc/cimc.h"
fi
cp "$standin" "$work/prefix/lib/libcimcclient.so.0"
ln -s libcimcclient.so.0 "$work/prefix/lib/libcimcclient.so"

exported=$(nm -D --defined-only "$work/prefix/lib/libcimcclient.so.0" | awk '$2 ~ /[TDBRVWi]/ {print $3}' | sort -u)
[ "$exported" = "$(printf 'NewCIMCEnv\nReleaseCIMCEnv')" ] ||
    fail "the stand-in exports more than the real names: $exported"

# Asked for the installed library while there is none, configuring fails and names what is
# missing (nothing is searched outside an empty root).
mkdir "$work/empty"
if "$cmake" -S "$src" -B "$work/none" -G Ninja -DORVIND_SYSTEM_CIMC=ON -DCMAKE_FIND_ROOT_PATH="$work/empty" \
    -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY >"$work/none.log" 2>&1; then
    fail "ORVIND_SYSTEM_CIMC=ON configured without the library"
fi
grep -q "missing the header cimc/cimc.h" "$work/none.log" || fail "no word of what is missing: $(cat "$work/none.log")"

# The default, AUTO, takes the installed library it finds on the search path.
"$cmake" -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_PREFIX_PATH="$work/prefix;$(dirname "$headers")" -DORVIND_BUILD_TESTS=ON -DORVIND_BUILD_BENCH=OFF \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure"; }
# Warnings count as failures: the sources must build as they stand.
"$cmake" --build "$work/build" --target orvind orvind-broker orvind-bmc orvindctl orvind-subscribe \
    synchronizer_test_parser_walk synchronizer_test_sfcbclient \
    -- -j "$(nproc)" >"$work/build.log" 2>&1 || { tail -n 60 "$work/build.log"; fail "build"; }
! grep -E "warning:|-fpermissive" "$work/build.log" || fail "the build against the installed library warns"

daemon=$work/build/synchronizer/orvind
helper=$work/build/synchronizer/orvind-subscribe
grep -q "CIM client: system library $work/prefix/lib/libcimcclient.so.0 (headers in $headers;" \
    "$work/configure.log" || fail "configuring does not name the library: $(grep 'CIM client' "$work/configure.log")"
# orvindctl (no daemon of this build runs) names the library of its build.
status=$("$work/build/tools/orvindctl" status || true)
grep -qx "CIM client: system library $work/prefix/lib/libcimcclient.so.0" <<<"$status" ||
    fail "orvindctl status does not name the library: $status"

# The entry points come from the library, and only the registration helper needs it.
undefined=$(nm -D --undefined-only "$helper" | awk '{print $2}')
for name in NewCIMCEnv ReleaseCIMCEnv; do
    grep -qx "$name" <<<"$undefined" || fail "orvind-subscribe does not take $name from the library"
done
libraries=$(LD_LIBRARY_PATH=$work/prefix/lib ldd "$helper")
grep -q "libcimcclient.so.0 => $work/prefix/lib/" <<<"$libraries" ||
    fail "orvind-subscribe does not load libcimcclient.so.0: $libraries"
! grep -q "libfreeipmi" <<<"$libraries" || fail "orvind-subscribe loads libfreeipmi: $libraries"
if readelf -d "$daemon" | grep -q "cimcclient"; then
    fail "the daemon needs the library: $(readelf -d "$daemon" | grep NEEDED)"
fi

# No symbol of ours, in the helper or in our object library, is one the library exports. (The
# daemon defines the two entry points itself, for its connector that runs the helper.)
ours=$( (nm --defined-only -g "$helper"; nm --defined-only -g "$work/build/platform/cimc/libcimc_objects.a") |
    awk 'NF == 3 {print $3}' | sort -u)
clash=$(comm -12 <(echo "$ours") <(echo "$exported"))
[ -z "$clash" ] || fail "symbols of ours clash with the library's: $clash"

# The parser's documents through this build's code give the rows they give in the build
# against ours (null_and_missing.xml, the rule for NULL and missing properties, among them).
LD_LIBRARY_PATH=$work/prefix/lib "$work/build/tests/synchronizer_test_parser_walk" \
    --gtest_filter=ParserTest.EachGoldenDocumentGivesItsRowsAndLog \
    >"$work/rule.log" 2>&1 || {
    cat "$work/rule.log"
    fail "the row of the document differs in the build against the installed library"
}
grep -q "1 test from 1 test suite ran" "$work/rule.log" || fail "the rule's case did not run"

# The client's registrations, through orvind-subscribe and the library, log and leave in the
# broker what they do in the build against ours (the helper's copy lies beside the test).
LD_LIBRARY_PATH=$work/prefix/lib "$work/build/tests/synchronizer_test_sfcbclient" \
    >"$work/register.log" 2>&1 || {
    cat "$work/register.log"
    fail "the registration through orvind-subscribe differs"
}
grep -q "1 test from 1 test suite ran" "$work/register.log" || fail "the registration case did not run"

echo "daemon and tools built against the installed library; only orvind-subscribe loads it; no symbol clashes; same registrations and rows"
