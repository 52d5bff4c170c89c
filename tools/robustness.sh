#!/usr/bin/env bash
# The robustness run: starts the real server once per probe (overload, garbage, resets,
# slow clients, a huge unauthenticated body, a FIFO, a stop under load) and prints one
# line per probe and the tally. Exit status 1 when a probe failed. About a minute.
#
#   tools/robustness.sh               build in build-robustness/ and run every probe
#   tools/robustness.sh BUILD_DIR     use (and bring up to date) an existing build
#   tools/robustness.sh BUILD_DIR "slow clients" fifo    run the named probes alone
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}
dir=$(realpath -m "${1:-$root/build-robustness}")
[ $# -gt 0 ] && shift

if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$dir" -j"$jobs" --target robustness_run >/dev/null
exec "$dir/tests/robustness/robustness_run" "$@"
