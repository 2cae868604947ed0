#!/bin/sh
# Registry load test, run by hand: 8 writer processes x 1,000 operations (no
# failure, nothing missing), 100 rounds of two writers killed with SIGKILL
# (integrity_check ok, no torn value) and the median of single writes.
# Usage: bench/registry_load.sh [path/to/registry_load]   (default build/bin/registry_load)
set -eu
program=${1:-build/bin/registry_load}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
uptime
status=0
"$program" "$work/writers" writers 8 1000 >"$work/writers.txt" || status=1
grep -e failed -e writers "$work/writers.txt" || true
"$program" "$work/kill" kill 100 || status=1
"$program" "$work/latency" latency 2000 || status=1
uptime
echo "exit $status"
exit $status
