#!/usr/bin/env bash
# The RPM package for the servers that run the CIM broker: a tree of its own configured
# with the system's CIMC client library (the real headers, from shared/cimc-real/include
# beside the source tree, with the stand-in library that exports the real names), built
# and packaged with cpack -G RPM. Its requirements, files and scriptlets (rpm -qp) are
# compared with tests/data/dist/rpm.expected (ORVIND_UPDATE_GOLDEN=1 writes it anew);
# rpmlint reports no error; no program in it loads both the CIMC library and libfreeipmi.
# Exit status 77 (skipped) without the real headers.
# Usage: test_rpm.sh SOURCE_DIR BUILD_DIR STANDIN_LIBRARY CMAKE CPACK
set -u
. "$(dirname "$0")/lib.sh"
src=$(realpath "$1")
build=$(realpath "$2")
standin=$3
cmake=$4
cpack=$5
expected=$src/tests/data/dist/rpm.expected

headers=$src/../shared/cimc-real/include
[ -f "$headers/cimc/cimc.h" ] ||
    skip "the real CIMC headers are not in $headers (CI has shared/ beside the clone)"

# The installed library: the real headers where they are, the stand-in under a prefix.
tree=$build/dist/rpm-tree
prefix=$tree/cimc
mkdir -p "$prefix/lib"
cp "$standin" "$prefix/lib/libcimcclient.so.0"
ln -sf libcimcclient.so.0 "$prefix/lib/libcimcclient.so"

if ! "$cmake" -S "$src" -B "$tree/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX=/usr -DORVIND_SYSTEM_CIMC=ON -DORVIND_BMC=ipmi \
    -DCMAKE_PREFIX_PATH="$prefix" -DCIMC_INCLUDE_DIR="$(realpath "$headers")" -DORVIND_BUILD_TESTS=OFF -DORVIND_BUILD_BENCH=OFF \
    >"$tree/configure.log" 2>&1 ||
    ! "$cmake" --build "$tree/build" -- -j "$(nproc)" >"$tree/build.log" 2>&1; then
    tail -n 60 "$tree/configure.log" "$tree/build.log"
    not_ok "the tree with the system CIMC library builds"
    finish
fi
out=$tree/package
rm -rf "$out"
if ! "$cpack" -G RPM --config "$tree/build/CPackConfig.cmake" -B "$out" >"$tree/cpack.log" 2>&1; then
    cat "$tree/cpack.log"
    not_ok "cpack -G RPM"
    finish
fi
rpms=("$out"/*.rpm)
check_eq "cpack makes one package, named as rpm names it" \
    "orvind-$(sed -n 's/^project(orvind VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")-1.$(uname -m).rpm" \
    "$(basename "${rpms[0]}")"

# What rpm reads in it. The C library's symbol versions are the build machine's.
{
    echo "# The RPM package's requirements, files (mode, owner, path) and scriptlets, as rpm -qp"
    echo "# shows them (the C and C++ libraries' symbol versions left out)."
    echo "== rpm -qp --qf '%{LICENSE}'"
    rpm -qp --qf '%{LICENSE}\n' "${rpms[0]}"
    echo "== rpm -qp --requires"
    rpm -qp --requires "${rpms[0]}" | grep -vE '\((GLIBC|GLIBCXX|CXXABI|GCC)_[0-9.]+\)'
    echo "== rpm -qp --list"
    rpm -qp --qf '[%{FILEMODES:perms} %{FILEUSERNAME}:%{FILEGROUPNAME} %{FILEFLAGS:fflags} %{FILENAMES}\n]' \
        "${rpms[0]}"
    echo "== rpm -qp --scripts (each the Debian package's script, checked below, after these lines)"
    rpm -qp --scripts "${rpms[0]}" | grep -E 'scriptlet \(|^# The Debian|^if \['
} >"$tree/rpm.txt" 2>&1
check_golden "the package holds what rpm.expected says" "$expected" "$tree/rpm.txt"

# Each scriptlet is the Debian package's maintainer script after its first two lines (and
# the empty ones cpack may put before them).
for pair in POSTIN:postinst PREUN:prerm POSTUN:postrm; do
    check_eq "the ${pair#*:} scriptlet runs the Debian package's ${pair#*:}" \
        "$(sed 1d "$tree/build/dist/debian/${pair#*:}")" \
        "$(rpm -qp --qf "%{${pair%:*}}" "${rpms[0]}" | sed '/./,$!d' | sed 1,2d)"
done

report=$(rpmlint -r "$src/tests/data/dist/rpmlintrc" "${rpms[0]}" 2>&1)
echo "$report" | tail -n 1
check_eq "rpmlint finds no error" "" "$(grep -E '^[^ ]+: E: ' <<<"$report")"

mkdir -p "$out/contents"
(cd "$out/contents" && rpm2cpio "${rpms[0]}" | cpio -idm --quiet)
check_licences "$out/contents" "$prefix/lib"
finish
