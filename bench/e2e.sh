#!/usr/bin/env bash
# The end-to-end benchmark: builds the plain tree, then runs the daemon in an isolated
# root on this machine's disk, in three scenarios (steady, a burst from 8 threads, the
# burst with a polling reader), and prints its rates beside the limits measured in the
# same run. Run as root from anywhere; options go to orvind-bench-e2e:
#   --count N          indications per scenario (default 10000)
#   --scenarios LIST   any of steady,burst,reader,holder,memory (default steady,burst,reader);
#                      holder: the burst with a reader holding a transaction for 60 s;
#                      memory stops once all is stored: --count 100000 for the memory figure
#   --threads T        raising threads of the bursts (default 8)
#   --fpl-only         every indication to the FPL only (none for halcyon)
#   --dir PARENT       where the work folder goes (default $TMPDIR or /tmp): the disk measured
#   --keep             keep the work folder (the last scenario's log, database, BMC files)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# The benchmark and what it runs, whatever options the tree was configured with before.
cmake -S "$top" -B "$top/build" -G Ninja -DORVIND_BUILD_BENCH=ON >/dev/null
cmake --build "$top/build" --target orvind-bench-e2e
exec "$top/build/bench/orvind-bench-e2e" "$@"
