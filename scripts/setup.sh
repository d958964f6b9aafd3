#!/usr/bin/env bash
# Installs every Debian package that building, testing and running the project needs.
# Safe to run again: quiet, and without calling apt-get, when nothing is missing. It works
# whether none, some or all of the packages are installed; when apt-get fails it says which
# command failed and shows its output.
set -uo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    libxml2-dev libsqlite3-dev sqlite3 libsystemd-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev clang-format clang-tidy
    util-linux procps psmisc xxd
    systemd logrotate dpkg-dev fakeroot
    libfreeipmi-dev openipmi ipmitool
    lintian python3-prometheus-client file
    shellcheck rpm rpmlint prometheus
)

# The installed ones: dpkg-query exits 1 when any of the list is not installed at all (and
# names it on standard error), so its status says nothing about the others; its output does.
installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
    awk '/ install ok installed$/ { print $1 }')
missing=()
for p in "${packages[@]}"; do
    grep -qxF "$p" <<<"$installed" || missing+=("$p")
done

[ "${#missing[@]}" -eq 0 ] && exit 0

run() { # COMMAND... : runs it, its output kept; on failure names it and shows the output
    local out
    if ! out=$("$@" 2>&1); then
        echo "setup: failed: $*" >&2
        printf '%s\n' "$out" >&2
        exit 1
    fi
}

echo "setup: installing ${#missing[@]} packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
run apt-get update -qq
run apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "setup: installed ${#missing[@]} packages"
