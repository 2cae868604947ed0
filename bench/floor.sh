#!/usr/bin/env bash
# The icon upgrade against this machine's floor, in one run: bin/floor_bench measures a local socket
# round trip, rewriting a small file with a rename, and a rename; then every build given runs
# the same upgrades (the real upgrade /run_inf against the progman it starts, as
# bench/icons_e2e.sh does), alternating build after build, on disk and on tmpfs.
#
#   bench/floor.sh [-b BUSY] [-r RUNS] [-n BIG] [-k] BUILD_DIR [BUILD_DIR...]
#
#   -b BUSY  busy loops (sh -c 'while :; do :; done') kept running throughout; 0 by default
#   -r RUNS  timed runs per case and build, after one that fills the machine; 5 by default
#   -n BIG   also a machine of BIG items (1,000 groups), quiet and with two more busy loops: the
#            upgrade of them all, the start of progman with them (a one-item run) against listing
#            their files; 0 (none) by default
#   -k       also every build with its backups off (PELLOR_BACKUP=off), as the pass ran before
#            backups: a run that backs up asks the Program Manager for every group's items first
#
# The floor per command of an upgrade pass is one round trip plus half a rename: each item is
# four commands, and the least its file can cost is two renames (its delete takes the file out
# of its name, its add puts it back unchanged). A rewrite is what an item that changed costs
# on top; it is shown, not counted. A run's time per command is a mean (its time over its commands), so it is set
# against the floor's means, measured again (5,000 of each) before each round of a case, as the
# machine's own pace drifts; the first measure's median and p99 are shown too, as on a quiet
# machine it is bimodal (a processor that must wake costs tens of microseconds).
#
# The flush tail is the time from the end of upgrade, just after its last acknowledgement, to
# the exit of progman, which exits once the last conversation ended and everything is on
# disk. Where progman logs its flush lag (first acknowledgement of a batch to on-disk), the
# batches of all the runs over 100 ms, the worst run's p99 and the max are shown as well. Every process started is stopped by its pid and
# the machines are removed at the end. Disk is $TMPDIR (default /var/tmp), tmpfs /dev/shm.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
BUSY=0 RUNS=5 BIG=0 NOBACKUP=0
while getopts b:r:n:k opt; do
    case $opt in
        b) BUSY=$OPTARG ;;
        r) RUNS=$OPTARG ;;
        n) BIG=$OPTARG ;;
        k) NOBACKUP=1 ;;
        *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ $# -ge 1 ] || { echo "usage: bench/floor.sh [-b BUSY] [-r RUNS] [-n BIG] [-k] BUILD_DIR..." >&2; exit 2; }
BINS=() LABELS=() BACKUPS=()
for b in "$@"; do
    LABELS+=("$b")
    bin=$(cd "$b/bin" 2>/dev/null && pwd) || { echo "floor: no $b/bin" >&2; exit 2; }
    [ -x "$bin/upgrade" ] && [ -x "$bin/progman" ] || { echo "floor: build upgrade and progman in $b" >&2; exit 2; }
    BINS+=("$bin") BACKUPS+=("")
    if [ "$NOBACKUP" = 1 ]; then
        BINS+=("$bin") LABELS+=("$b, no backup") BACKUPS+=(off)
    fi
done
FLOOR=
for bin in "${BINS[@]}"; do [ -x "$bin/floor_bench" ] && FLOOR=$bin/floor_bench && break; done
[ -n "$FLOOR" ] || { echo "floor: build the floor benchmark in one of the builds" >&2; exit 2; }
DISK_DIR=${TMPDIR:-/var/tmp}
SHM_DIR=/dev/shm

MACHINES=() LOOPS=() FLOORS=()
cleanup() {
    local m p
    for m in "${MACHINES[@]}"; do
        stop_progman "$m"
        rm -rf "$m"
    done
    for p in "${LOOPS[@]}"; do kill "$p" 2>/dev/null; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for ((i = 0; i < BUSY; i++)); do
    sh -c 'while :; do :; done' &
    LOOPS+=($!)
done

now_us() { echo $(($(date +%s%N) / 1000)); }

# The pid of machine $1's progman while it runs, else nothing.
progman_pid() {
    local pid
    pid=$(cat "$1/progman/progman.pid" 2>/dev/null) || return 0
    [[ $pid =~ ^[0-9]+$ ]] && [[ "$(readlink "/proc/$pid/exe" 2>/dev/null)" == */bin/progman ]] && echo "$pid"
}

# Microseconds until machine $1's progman has exited by itself (at most 600 s), then stops it.
wait_exit() {
    local pid start
    start=$(now_us)
    pid=$(progman_pid "$1")
    while [ -n "$pid" ] && [ -e "/proc/$pid" ] && [ $(($(now_us) - start)) -lt 600000000 ]; do sleep 0.002; done
    echo $(($(now_us) - start))
    stop_progman "$1"
}

stop_progman() {
    local pid
    pid=$(progman_pid "$1")
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    while [ -n "$pid" ] && [ -e "/proc/$pid" ]; do sleep 0.01; done
}

# A script of $1 groups of $2 items each, written to $3.
make_script() {
    awk -v groups="$1" -v items="$2" 'BEGIN {
        for (g = 0; g < groups; g++) {
            printf "[Bench Group %d]\r\n", g
            for (i = 0; i < items; i++) printf "I%d = \"Item %d\", app%d.exe /x, app%d.exe, %d, VITAL\r\n", i, i, i, i, i % 7
        } }' >"$3"
}

# One run on machine $1 with script $2 by the build in $3, PELLOR_BACKUP=$4 (empty: the default):
# "microseconds commands flush-tail-us".
run_once() {
    local machine=$1 journal=$1/progman/journal.log start end status commands tail
    rm -f "$journal" "$journal.1"
    start=$(now_us)
    (cd "$(dirname "$2")" && PELLOR_MACHINE=$machine PELLOR_BACKUP=${4:-} DISPLAY= WAYLAND_DISPLAY= "$3/upgrade" /run_inf "./$(basename "$2")" \
        </dev/null >/dev/null 2>>"$machine/upgrade.err")
    status=$?
    end=$(now_us)
    tail=$(wait_exit "$machine")
    [ $status = 0 ] || { echo "floor: upgrade exited with $status" >&2; return 1; }
    commands=$(cat "$journal.1" "$journal" 2>/dev/null | grep -cE $'\t(ACK|NACK)$')
    echo "$((end - start)) $commands $tail"
}

# The flush lag lines progman logged, added up: "K/N" batches over 100 ms of all the runs' (the
# promise holds at p99 while K is at most N / 100; "?" from a progman that does not count them),
# then the worst run's p99 and the max, in ms; or "-".
logged_lag() {
    cat "$@" 2>/dev/null | awk '/\tflush lag: / {
        for (i = 1; i <= NF; i++) {
            if ($i == "p99") p = $(i + 1) + 0; if ($i == "max") m = $(i + 1) + 0
            if ($i == "lag:") n += $(i + 1); if ($i == "over") { k += $(i - 1); counted = 1 }
        }
        if (p > wp) wp = p; if (m > wm) wm = m; seen = 1 }
        END { if (seen) printf "%s/%d %d %d", counted ? k : "?", n, wp, wm; else printf "-" }'
}

# Mean, median, p99 and max of floor_bench's measures for directory $1, as "name mean median p99 max" lines.
measure_floor() { "$FLOOR" "$1" 20000; }

floor_per_command() {
    awk '{ m[$1] = $2 } END { printf "%.2f", m["roundtrip"] + m["rename"] / 2 }' <<<"$1"
}

# One case, every build alternating: $1 label, $2 directory, $3 groups, $4 items.
bench_case() {
    local where=$1 dir=$2 groups=$3 items=$4 floor b r out us commands tail machine script roundFloor floorSum=0
    local expected=$((groups * items * 4 + 1))
    local -a machines=() sums=() tails=() counts=()
    for b in "${!BINS[@]}"; do
        machine=$(mktemp -d "$dir/pellor-floor.XXXXXX") || return 1
        MACHINES+=("$machine")
        machines[b]=$machine
        make_script "$groups" "$items" "$machine/bench.inf"
        run_once "$machine" "$machine/bench.inf" "${BINS[b]}" "${BACKUPS[b]}" >/dev/null || return 1
        rm -f "$machine/progman/progman.log"*
        sums[b]=0 tails[b]=0 counts[b]=0
    done
    for ((r = 0; r < RUNS; r++)); do
        # The machine's pace drifts over minutes: the floor is measured again
        # before each round, and the case is set against the mean of its rounds'.
        roundFloor=$(floor_per_command "$("$FLOOR" "$dir" 5000)") || return 1
        floorSum=$(awk -v a="$floorSum" -v b="$roundFloor" 'BEGIN { printf "%.4f", a + b }')
        for b in "${!BINS[@]}"; do
            out=$(run_once "${machines[b]}" "${machines[b]}/bench.inf" "${BINS[b]}" "${BACKUPS[b]}") || return 1
            read -r us commands tail <<<"$out"
            [ "$commands" = "$expected" ] || { echo "floor: $commands commands, expected $expected" >&2; return 1; }
            sums[b]=$((sums[b] + us)) counts[b]=$((counts[b] + commands))
            [ "$tail" -gt "${tails[b]}" ] && tails[b]=$tail
        done
    done
    floor=$(awk -v s="$floorSum" -v n="$RUNS" 'BEGIN { printf "%.2f", s / n }')
    for b in "${!BINS[@]}"; do
        awk -v where="$where" -v shape="$groups x $items" -v build="${LABELS[b]}" \
            -v us="${sums[b]}" -v n="${counts[b]}" -v floor="$floor" -v tail="${tails[b]}" \
            -v lag="$(logged_lag "${machines[b]}"/progman/progman.log*)" 'BEGIN {
            per = us / n
            printf "| %-5s | %-10s | %-24s | %8.2f | %6.2f | %6.2f | %9.1f | %-20s |\n", where, shape, build, per, floor, per / floor, tail / 1000, lag }'
    done
}

# The machine of BIG items: filled once (by the last build), copied for every build; then for
# each build, quiet and with two more busy loops: the upgrade of them all, and three one-item
# runs (progman's start with them) against listing their files.
big_case() {
    local groups=1000 items=$((BIG / 1000)) b machine filled out us commands tail one list i busy loops
    filled=$(mktemp -d "$DISK_DIR/pellor-floor.XXXXXX") || return 1
    MACHINES+=("$filled")
    make_script "$groups" "$items" "$filled/big.inf"
    make_script 1 1 "$filled/one.inf"
    run_once "$filled" "$filled/big.inf" "${BINS[-1]}" >/dev/null || return 1
    for busy in 0 2; do
        loops=()
        for ((i = 0; i < busy; i++)); do
            sh -c 'while :; do :; done' &
            loops+=($!)
            LOOPS+=($!)
        done
        for b in "${!BINS[@]}"; do
            machine=$(mktemp -d "$DISK_DIR/pellor-floor.XXXXXX") || return 1
            MACHINES+=("$machine")
            cp -a "$filled/." "$machine/" && rm -f "$machine/progman/progman.log"*
            sync -f "$machine/"  # the copy's own writeback is not the run's to wait for
            out=$(run_once "$machine" "$machine/big.inf" "${BINS[b]}" "${BACKUPS[b]}") || return 1
            read -r us commands tail <<<"$out"
            commands=$((groups * items * 4 + 1))  # the journal rotated: only its last MiB is there to count
            one=() list=()
            for ((i = 0; i < 3; i++)); do
                out=$(run_once "$machine" "$machine/one.inf" "${BINS[b]}" "${BACKUPS[b]}") || return 1
                one+=("${out%% *}")
                local s=$(now_us)
                find "$machine/progman" >/dev/null
                list+=($(($(now_us) - s)))
            done
            one=$(printf '%s\n' "${one[@]}" | sort -n | head -n 2 | tail -n 1)
            list=$(printf '%s\n' "${list[@]}" | sort -n | head -n 2 | tail -n 1)
            printf '| %-24s | +%d | %8d | %8.2f | %9.1f | %-20s | %8.1f | %8.1f | %5.2f |\n' \
                "${LABELS[b]}" "$busy" "$commands" "$(awk -v u="$us" -v n="$commands" 'BEGIN { print u / n }')" \
                "$(awk -v t="$tail" 'BEGIN { print t / 1000 }')" "$(logged_lag "$machine"/progman/progman.log*)" \
                "$(awk -v t="$one" 'BEGIN { print t / 1000 }')" "$(awk -v t="$list" 'BEGIN { print t / 1000 }')" \
                "$(awk -v a="$one" -v b="$list" 'BEGIN { print a / b }')"
            rm -rf "$machine"
        done
        for i in "${loops[@]}"; do kill "$i" 2>/dev/null; done
    done
}

echo "bench/floor.sh -b $BUSY -r $RUNS -n $BIG $([ "$NOBACKUP" = 1 ] && echo "-k ")$*; load at start: $(cut -d' ' -f1-3 /proc/loadavg)"
failed=0
for place in "disk $DISK_DIR" "tmpfs $SHM_DIR"; do
    read -r where dir <<<"$place"
    floor=$(measure_floor "$dir") || { echo "floor: the floor benchmark failed" >&2; exit 1; }
    echo "floor on $where ($(df --output=fstype "$dir" | tail -n 1) at $dir), us: name mean median p99 max"
    sed 's/^/    /' <<<"$floor"
    FLOORS[${#FLOORS[@]}]="$where $(floor_per_command "$floor")"
done
echo "| where | shape      | build                    | us/cmd   | floor  | ratio  | tail ms   | lag >100/N p99 max   |"
echo "|-------|------------|--------------------------|----------|--------|--------|-----------|----------------------|"
for shape in "100 20" "1 2000"; do
    read -r groups items <<<"$shape"
    for entry in "${FLOORS[@]}"; do
        read -r where perCommand <<<"$entry"
        [ "$where" = disk ] && dir=$DISK_DIR || dir=$SHM_DIR
        bench_case "$where" "$dir" "$groups" "$items" || failed=1
    done
done
if [ "$BIG" -ge 1000 ]; then
    echo "$BIG items on disk, quiet (+0) and with two more busy loops (+2): the upgrade of them all, then a one-item run"
    echo "against listing them (find), ms (median of 3)"
    echo "| build                    | busy | commands | us/cmd   | tail ms   | lag >100/N p99 max   | one run  | listing  | ratio |"
    echo "|--------------------------|------|----------|----------|-----------|----------------------|----------|----------|-------|"
    big_case || failed=1
fi
echo "load at end: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $failed
