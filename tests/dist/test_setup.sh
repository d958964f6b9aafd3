#!/usr/bin/env bash
# scripts/setup.sh on machines where none, some or all of its packages are installed, and
# with an apt-get that fails, through stand-ins for dpkg-query and apt-get first on the
# PATH. Each case's output, exit status and the apt-get calls it made are compared with
# tests/data/dist/setup.expected (ORVIND_UPDATE_GOLDEN=1 writes it anew).
# Usage: test_setup.sh SOURCE_DIR
set -u
. "$(dirname "$0")/lib.sh"
setup=$(realpath "$1")/scripts/setup.sh
expected=$(dirname "$0")/../data/dist/setup.expected

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/bin"

# dpkg-query -W -f=FORMAT PACKAGE...: the packages named in $dir/installed are installed,
# those in $dir/removed left only their configuration files; for any other it names the
# package on standard error and exits 1, as dpkg-query does.
cat >"$dir/bin/dpkg-query" <<STANDIN
#!/bin/sh
status=0
shift 2
for p in "\$@"; do
    echo "\$p" >>"$dir/asked"
    if grep -qxF "\$p" "$dir/installed"; then
        echo "\$p install ok installed"
    elif grep -qxF "\$p" "$dir/removed"; then
        echo "\$p deinstall ok config-files"
    else
        echo "dpkg-query: no packages found matching \$p" >&2
        status=1
    fi
done
exit \$status
STANDIN
# apt-get ARGS...: records its arguments; an install fails, as apt-get fails for a
# package it does not know, when $dir/broken exists.
cat >"$dir/bin/apt-get" <<STANDIN
#!/bin/sh
echo "apt-get \$*" >>"$dir/calls"
if [ "\$1" = install ] && [ -e "$dir/broken" ]; then
    echo "Reading package lists..."
    echo "E: Unable to locate package rpmlint"
    exit 100
fi
echo "Reading package lists..."
exit 0
STANDIN
chmod +x "$dir/bin/dpkg-query" "$dir/bin/apt-get"

# One case: the installed and removed packages (a pattern over the ones asked about:
# everything, nothing, or all but some), then the run's transcript.
transcript=$dir/transcript
run_case() { # NAME INSTALLED_FILTER REMOVED [broken]
    local every
    rm -f "$dir/asked" "$dir/calls" "$dir/broken"
    [ "${4:-}" != broken ] || touch "$dir/broken"
    printf '%s\n' "$everything" | grep -vxE "$2" >"$dir/installed"
    printf '%s\n' "$3" >"$dir/removed"
    echo "== $1" >>"$transcript"
    PATH=$dir/bin:$PATH "$setup" >"$dir/out" 2>&1
    echo "status $?" >>"$transcript"
    # The whole list of packages is written as ALL, so that adding one to setup.sh
    # changes no expected line but the count.
    every=$(printf '%s\n' "$everything" | xargs)
    sed "s/$every/ALL/" "$dir/out" >>"$transcript"
    [ ! -e "$dir/calls" ] || sed "s/^/called: /; s/$every/ALL/" "$dir/calls" >>"$transcript"
}

# Which packages setup.sh asks about, from a run that finds none installed.
: >"$dir/installed"
: >"$dir/removed"
PATH=$dir/bin:$PATH "$setup" >/dev/null 2>&1
everything=$(cat "$dir/asked")
check "setup.sh asks dpkg-query about its packages" test -n "$everything"
: >"$transcript"
{
    echo "# scripts/setup.sh with stand-ins for dpkg-query and apt-get: its output, exit status and"
    echo "# the apt-get calls it made (ALL: every package it asks about, N: their number)."
} >>"$transcript"
run_case "none installed" '.*' ''
run_case "all installed" '' ''
run_case "all but cmake and shellcheck; rpmlint removed, its configuration kept" \
    'cmake|shellcheck|rpmlint' rpmlint
run_case "apt-get cannot install" 'cmake|rpmlint' '' broken
count=$(wc -l <<<"$everything")
sed -i "s/ing $count packages/ing N packages/; s/installed $count packages/installed N packages/" "$transcript"
check_golden "each case gives what setup.expected says" "$expected" "$transcript"
finish
