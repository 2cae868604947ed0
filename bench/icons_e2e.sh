#!/usr/bin/env bash
# End-to-end cost of the icon upgrade: the real upgrade against the real progman, which the
# run starts itself ("PROGMAN /NTSETUP") and asks to exit at the end, on a private machine
# directory, once on disk and once on tmpfs.
#
#   bench/icons_e2e.sh [BUILD_DIR] [RUNS]     default: build, 3 runs per case
#
# Each case is a generated script of GROUPS x ITEMS; its commands are counted from the
# Program Manager's journal (every item is CreateGroup, DeleteItem, CreateGroup, AddItem,
# plus one exitprogman at the end). The first run of a case fills the machine and is not
# counted; the table shows the median of the others, in milliseconds per command and
# commands per second. Every progman the runs leave is stopped by its pid, and the machine
# directories are removed at the end.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
BIN=$(cd "${1:-build}/bin" 2>/dev/null && pwd) || { echo "icons_e2e: no ${1:-build}/bin" >&2; exit 2; }
RUNS=${2:-3}
[ -x "$BIN/upgrade" ] && [ -x "$BIN/progman" ] || { echo "icons_e2e: build upgrade and progman first" >&2; exit 2; }
[ "$RUNS" -ge 2 ] 2>/dev/null || { echo "icons_e2e: RUNS is 2 or more" >&2; exit 2; }

DISK_DIR=${TMPDIR:-/tmp}
SHM_DIR=/dev/shm
MACHINES=()
cleanup() {
    local m
    for m in "${MACHINES[@]}"; do
        stop_progman "$m"
        rm -rf "$m"
    done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Stops the Program Manager of machine $1, if one still runs, by the pid it recorded.
stop_progman() {
    local pid i
    pid=$(cat "$1/progman/progman.pid" 2>/dev/null) || return 0
    [[ $pid =~ ^[0-9]+$ ]] || return 0
    # Only while that pid is still our progman: a stale file may name someone else's process.
    for i in $(seq 1 50); do
        [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$BIN/progman" ] || return 0
        sleep 0.1
    done
    kill "$pid" 2>/dev/null
}

# A script of $1 groups of $2 items each, written to $3.
make_script() {
    local g i
    for ((g = 0; g < $1; g++)); do
        printf '[Bench Group %d]\r\n' "$g"
        for ((i = 0; i < $2; i++)); do
            printf 'I%d = "Item %d", app%d.exe /x, app%d.exe, %d, VITAL\r\n' "$i" "$i" "$i" "$i" $((i % 7))
        done
    done >"$3"
}

# One run of the upgrade on machine $1 with script $2: "milliseconds commands", or fails.
run_once() {
    local machine=$1 journal=$1/progman/journal.log start end status commands
    # Each run's journal on its own (it may rotate once within a run); commands are the lines
    # that end in the server's answer, not its connects and disconnects.
    rm -f "$journal" "$journal.1"
    start=$(date +%s%N)
    (cd "$(dirname "$2")" && PELLOR_MACHINE=$machine DISPLAY= WAYLAND_DISPLAY= "$BIN/upgrade" /run_inf "./$(basename "$2")" \
        </dev/null >/dev/null 2>>"$machine/upgrade.err")
    status=$?
    end=$(date +%s%N)
    stop_progman "$machine"
    [ $status = 0 ] || { echo "icons_e2e: upgrade exited with $status" >&2; return 1; }
    commands=$(cat "$journal.1" "$journal" 2>/dev/null | grep -cE $'\t(ACK|NACK)$')
    echo "$(((end - start) / 1000)) $commands"
}

# The median of the numbers on standard input.
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One case: $1 label, $2 directory for the machine, $3 groups, $4 items per group.
bench_case() {
    local machine script r out us commands times=() expected=$(($3 * $4 * 4 + 1))
    machine=$(mktemp -d "$2/pellor-e2e.XXXXXX") || return 1
    MACHINES+=("$machine")
    script=$machine/bench.inf
    make_script "$3" "$4" "$script"
    for ((r = 0; r < RUNS; r++)); do
        out=$(run_once "$machine" "$script") || return 1
        read -r us commands <<<"$out"
        [ "$commands" = "$expected" ] || { echo "icons_e2e: $commands commands in the journal, expected $expected" >&2; return 1; }
        [ $r = 0 ] || times+=("$us")
    done
    us=$(printf '%s\n' "${times[@]}" | median)
    awk -v label="$1" -v shape="$3 x $4" -v n="$commands" -v us="$us" 'BEGIN {
        printf "| %-5s | %-14s | %8d | %8.1f | %10.3f | %10.0f |\n", label, shape, n, us / 1000, us / 1000 / n, n / (us / 1e6) }'
}

echo "upgrade /run_inf, median of $((RUNS - 1)) runs after one that fills the machine; load: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "| where | groups x items | commands | total ms | ms/command | commands/s |"
echo "|-------|----------------|----------|----------|------------|------------|"
failed=0
for shape in "100 20" "1 2000"; do
    read -r groups items <<<"$shape"
    bench_case disk "$DISK_DIR" "$groups" "$items" || failed=1
    bench_case tmpfs "$SHM_DIR" "$groups" "$items" || failed=1
done
echo "disk: $(df --output=fstype "$DISK_DIR" | tail -n 1) at $DISK_DIR; tmpfs: $SHM_DIR; load after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $failed
