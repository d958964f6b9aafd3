#!/usr/bin/env bash
# The example alert rules that the package ships are valid Prometheus rules, and fire as
# tests/data/dist/rules.test.yml says (promtool, from Debian's prometheus package).
# Usage: test_rules.sh SOURCE_DIR
set -u
. "$(dirname "$0")/lib.sh"
source_dir=$(realpath "$1")

check "promtool check rules accepts dist/orvind.rules.yml" \
    promtool check rules "$source_dir/dist/orvind.rules.yml"
# promtool reads the rule files relative to the test file.
check "the alerts fire as rules.test.yml says" \
    bash -c "cd '$source_dir/tests/data/dist' && promtool test rules rules.test.yml"
finish
