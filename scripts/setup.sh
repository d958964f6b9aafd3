#!/usr/bin/env bash
# Installs every Debian package that building, testing and running the project needs.
# Safe to run again: it only calls apt-get when something is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    libxml2-dev libsqlite3-dev sqlite3 libsystemd-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev clang-format clang-tidy
    util-linux procps psmisc xxd
    systemd logrotate dpkg-dev fakeroot
    libfreeipmi-dev openipmi ipmitool
    libsystemd-dev lintian python3-prometheus-client file
)

# One query for all of them: the installed ones, then whatever of the list is not among them.
installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
    awk '/ install ok installed$/ { print $1 }')
missing=()
for p in "${packages[@]}"; do
    grep -qxF "$p" <<<"$installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
