#!/bin/sh
# Concurrent `upgrade /run_inf` runs on one machine, by hand (not in CI):
#
#   bench/concurrent_runs.sh BUILD_DIR [REPETITIONS]
#
# For 2 and 8 runs at once, with and without a Program Manager started
# beforehand, REPETITIONS times each (default 20): each run adds 20 items of
# its own to a group that all of them share. Counts the repetitions where an
# item is missing, a run failed, or a Program Manager that a run started was
# left running. Every process it starts it stops by its pid.
set -u
build=${1:?usage: concurrent_runs.sh BUILD_DIR [REPETITIONS]}
reps=${2:-20}
bin=$(cd "$build/bin" && pwd) || exit 2
base=$(mktemp -d "${TMPDIR:-/var/tmp}/concurrent-runs-XXXXXX") || exit 2
trap 'rm -rf "$base"' EXIT

# wait_gone FILE SECONDS: until FILE is gone; 1 when it stays.
wait_gone() {
    i=0
    while [ -e "$1" ] && [ $i -lt $(($2 * 100)) ]; do sleep 0.01; i=$((i + 1)); done
    [ ! -e "$1" ]
}

printf '%-6s %-10s %5s %9s %11s %9s %9s\n' runs progman reps missing run-failed left-over seconds
for runs in 2 8; do
    for before in no yes; do
        missing=0 failed=0 leftover=0 start=$(date +%s.%N)
        rep=1
        while [ $rep -le "$reps" ]; do
            machine=$base/m$runs$before$rep work=$base/w$runs$before$rep
            mkdir -p "$machine" "$work"
            export PELLOR_MACHINE=$machine
            r=1
            while [ $r -le $runs ]; do
                { echo "[Shared]"; k=1; while [ $k -le 20 ]; do
                    echo "I$k = \"Run $r item $k\", app$r.exe /$k, app$r.exe, 0"; k=$((k + 1)); done; } > "$work/s$r.inf"
                r=$((r + 1))
            done
            hand=
            if [ $before = yes ]; then
                "$bin/progman" & hand=$!
                i=0; while [ ! -s "$machine/progman/progman.pid" ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i + 1)); done
            fi
            pids=
            r=1
            while [ $r -le $runs ]; do
                (cd "$work" && exec "$bin/upgrade" /run_inf "s$r.inf") & pids="$pids $!"
                r=$((r + 1))
            done
            for p in $pids; do wait "$p" || failed=$((failed + 1)); done
            list=$("$bin/progman" --list)
            r=1 lost=0
            while [ $r -le $runs ]; do
                k=1; while [ $k -le 20 ]; do
                    echo "$list" | grep -q "^    Run $r item $k: app$r.exe /$k " || lost=1; k=$((k + 1)); done
                r=$((r + 1))
            done
            missing=$((missing + lost))
            if [ -n "$hand" ]; then
                kill -0 "$hand" 2>/dev/null || leftover=$((leftover + 1))  # the hand-started one must still serve
                "$bin/progman" --exit >/dev/null 2>&1 || kill "$hand" 2>/dev/null
                wait "$hand" 2>/dev/null
            elif ! wait_gone "$machine/progman/progman.pid" 5; then
                leftover=$((leftover + 1))
                pid=$(cat "$machine/progman/progman.pid" 2>/dev/null) && [ -n "$pid" ] && kill "$pid" 2>/dev/null
                wait_gone "$machine/progman/progman.pid" 5
            fi
            rm -rf "$machine" "$work"
            rep=$((rep + 1))
        done
        seconds=$(echo "$(date +%s.%N) - $start" | bc)
        printf '%-6s %-10s %5s %9s %11s %9s %9.1f\n' "$runs" "$before" "$reps" "$missing" "$failed" "$leftover" "$seconds"
    done
done
