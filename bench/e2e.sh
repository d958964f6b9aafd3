#!/usr/bin/env bash
# The end-to-end benchmark: builds the plain tree, then runs the daemon in an isolated
# root on this machine's disk and prints its rates beside the limits measured in the
# same run. Run as root from anywhere; options go to orvind-bench-e2e:
#   --count N      indications to raise (default 10000)
#   --dir PARENT   where the work folder goes (default $TMPDIR or /tmp): the disk measured
#   --keep         keep the work folder (the daemon's log, database, FPL) afterwards
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# The benchmark and what it runs, whatever options the tree was configured with before.
cmake -S "$top" -B "$top/build" -G Ninja -DORVIND_BUILD_BENCH=ON >/dev/null
cmake --build "$top/build" --target orvind-bench-e2e
exec "$top/build/bench/orvind-bench-e2e" "$@"
