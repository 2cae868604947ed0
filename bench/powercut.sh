#!/usr/bin/env bash
# Power cuts under the icon upgrade, by hand (root only, not in CI):
#
#   bench/powercut.sh BUILD_DIR [CUTS] [WINDOW_MS]     default: 40 cuts, a 100 ms window
#
# Makes an ext4 file system (mkfs.ext4 defaults: ordered data, a journal) in a 256 MiB image
# on a loop device and puts the machine in it. The image and the scratch files go under
# $POWERCUT_DIR (default /dev/shm: over a file on a slow, busy disk the shutdown ioctl was
# seen to wait minutes for the disk; the file system's own ordering is the same). Each
# cut: mount it, start progman (PELLOR_MACHINE inside it), run `upgrade /run_inf` over and
# over with generated scripts (every other run changes every item's command line and
# length, the others add them again unchanged), then, at a random moment 0.3-2.8 s in, shut
# the file system down without flushing its log (EXT4_IOC_SHUTDOWN, NOLOGFLUSH), which
# leaves on the device what a power cut would. Then stop every process by its pid, unmount,
# mount again (the log is replayed) and check: every item file whole, none older than the
# last version the journal acknowledged more than WINDOW_MS before the cut, and the
# journal's and progman.log's lines whole (a torn tail is counted apart: the next start
# cuts it off, so lines never follow it). Prints one line per cut and a summary; exit
# status 1 when anything was found, 2 when it could not run.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
BIN=$(cd "${1:-build}/bin" 2>/dev/null && pwd) || { echo "powercut: no ${1:-build}/bin" >&2; exit 2; }
CUTS=${2:-40}
WINDOW=${3:-100}
HELPER=$PWD/bench/powercut.py
GROUPS_=10 ITEMS=30
[ "$(id -u)" = 0 ] || { echo "powercut: run it as root (loop devices, mount)" >&2; exit 2; }
for tool in mkfs.ext4 losetup mount umount python3; do
    command -v $tool >/dev/null || { echo "powercut: $tool is missing" >&2; exit 2; }
done
[ -x "$BIN/upgrade" ] && [ -x "$BIN/progman" ] || { echo "powercut: build upgrade and progman first" >&2; exit 2; }

WORK=$(mktemp -d "${POWERCUT_DIR:-/dev/shm}/pellor-powercut.XXXXXX") || exit 2
MNT=$WORK/mnt LOOP= DRIVER= PROGMAN=
# upgrade alone in a directory of its own: with no progman beside it or on PATH it can start
# none, so every process that touches the file system is one this script started.
mkdir -p "$MNT" "$WORK/bin" && cp "$BIN/upgrade" "$WORK/bin/"

# Stops the driver, the upgrade it runs and progman, each by its pid.
stop_all() {
    local pid
    [ -n "$DRIVER" ] && kill -TERM "$DRIVER" 2>/dev/null && wait "$DRIVER" 2>/dev/null
    pid=$(cat "$WORK/upgrade.pid" 2>/dev/null)
    if [ -n "$pid" ] && [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$WORK/bin/upgrade" ]; then
        kill -KILL "$pid" 2>/dev/null
        while [ -e "/proc/$pid" ]; do sleep 0.01; done
    fi
    [ -n "$PROGMAN" ] && kill -KILL "$PROGMAN" 2>/dev/null && wait "$PROGMAN" 2>/dev/null
    DRIVER= PROGMAN=
    rm -f "$WORK/upgrade.pid"
}
cleanup() {
    stop_all
    mountpoint -q "$MNT" && umount "$MNT"
    [ -n "$LOOP" ] && losetup -d "$LOOP"
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The script of content version $1 in $2: item i's command line is "appI.exe /vV" and a word of
# 1 + (7V + i) % 40 letters p, so its length changes (bench/powercut.py checks it the same way).
make_script() {
    local g i pad
    for ((g = 0; g < GROUPS_; g++)); do
        printf '[PC Group %d]\r\n' $g
        for ((i = 0; i < ITEMS; i++)); do
            printf -v pad '%*s' $((1 + ($1 * 7 + i) % 40)) ''
            printf 'I%d = "Item%d", app%d.exe /v%d %s, app%d.exe, 0\r\n' $i $i $i $1 "${pad// /p}" $i
        done
    done >"$2"
}

# Runs the upgrade over and over, run r with content version r/2; one line per run in
# $WORK/runs: "VERSION START_MS END_MS".
drive() {
    local r=$1 v start pid
    trap 'exit 0' TERM
    while :; do
        v=$((r / 2))
        [ -f "$WORK/v$v.inf" ] || make_script $v "$WORK/v$v.inf"
        start=$(date +%s%3N)
        (cd "$WORK" && PELLOR_MACHINE=$MNT/machine PATH=/usr/bin:/bin exec "$WORK/bin/upgrade" /run_inf "./v$v.inf") \
            </dev/null >/dev/null 2>&1 &
        pid=$!
        echo "$pid" >"$WORK/upgrade.pid"
        wait "$pid"
        echo "$v $start $(date +%s%3N)" >>"$WORK/runs"
        r=$((r + 1))
        echo $r >"$WORK/next-run"
    done
}

# Starts progman on the machine and waits until it serves (its pid in progman.pid).
start_progman() {
    local i
    PELLOR_MACHINE=$MNT/machine "$BIN/progman" </dev/null >/dev/null 2>"$WORK/progman.err" &
    PROGMAN=$!
    for i in $(seq 1 500); do
        [ "$(cat "$MNT/machine/progman/progman.pid" 2>/dev/null)" = "$PROGMAN" ] && return 0
        sleep 0.01
    done
    echo "powercut: progman did not start: $(cat "$WORK/progman.err")" >&2
    return 1
}

fallocate -l 256M "$WORK/disk.img" && mkfs.ext4 -q -F "$WORK/disk.img" || exit 2
LOOP=$(losetup -f --show "$WORK/disk.img") || { echo "powercut: no loop device" >&2; exit 2; }
mount "$LOOP" "$MNT" && mkdir -m 700 "$MNT/machine" && umount "$MNT" || exit 2
echo 0 >"$WORK/next-run"
echo "powercut: $CUTS cuts, ext4 on $LOOP, $GROUPS_ groups x $ITEMS items; load: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((c = 1; c <= CUTS; c++)); do
    mount "$LOOP" "$MNT" || exit 2
    start_progman || exit 2
    : >"$WORK/runs"
    drive "$(cat "$WORK/next-run")" &
    DRIVER=$!
    sleep "$(awk -v s="$RANDOM" 'BEGIN { printf "%.3f", 0.3 + (s % 2500) / 1000 }')"
    cut_ms=$(python3 "$HELPER" cut "$MNT") || exit 2
    stop_all
    umount "$MNT" || { sleep 1; umount "$MNT"; } || exit 2
    mount "$LOOP" "$MNT" || exit 2
    cp "$WORK/runs" "$WORK/runs.done"
    echo "$(($(cat "$WORK/next-run") / 2)) 0 -" >>"$WORK/runs.done"  # the run the cut stopped
    printf 'cut %d: ' $c
    python3 "$HELPER" check "$WORK/state.json" "$MNT/machine/progman" "$WORK/runs.done" "$cut_ms" "$WINDOW" $ITEMS || exit 2
    umount "$MNT" || exit 2
done
python3 "$HELPER" summary "$WORK/state.json" "$WINDOW"
