#!/usr/bin/env bash
# Runs shellcheck on every shell script of scripts/, dist/, tests/ and bench/: the *.sh files
# and every other file whose first line starts sh or bash (the package's maintainer
# scripts among them). Settings in the tree's .shellcheckrc; any finding fails.
# Usage: test_shellcheck.sh SOURCE_DIR
set -u
cd "$1" || exit 1
mapfile -t scripts < <(find scripts dist tests bench -type f \( -name '*.sh' -o -exec sh -c \
    'head -n 1 "$1" | grep -qE "^#!.*[/ ](ba)?sh( |$)"' _ {} \; \) -print | sort)
echo "${#scripts[@]} scripts: ${scripts[*]}"
shellcheck --format=gcc "${scripts[@]}"
