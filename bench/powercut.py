#!/usr/bin/env python3
"""Helper of bench/powercut.sh: cuts the power and checks what a cut left.

  powercut.py cut MOUNTPOINT                      prints the time (ms), then shuts the file system
                                                  down without flushing its log
  powercut.py check STATE PROGMAN_DIR RUNS CUT_MS WINDOW_MS ITEMS
                                                  checks the items and logs after the remount
  powercut.py summary STATE WINDOW_MS             the totals of every check

ITEMS is the number of items per group of the driver's scripts (bench/powercut.sh writes them;
command_line here must say what its make_script writes). STATE (a JSON file outside the file
system cut) keeps the items found after the last cut, the time of that cut and the running
totals. RUNS has one line per run of the driver:
"VERSION START_MS END_MS" (END_MS "-" while it ran at the cut).
"""
import fcntl
import json
import os
import re
import struct
import sys
import time
from datetime import datetime

EXT4_IOC_SHUTDOWN = 0x8004587D  # _IOR('X', 125, __u32)
EXT4_GOING_FLAGS_NOLOGFLUSH = 2

LINE = re.compile(rb'^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)\t([^\x00]*)$')
JOURNAL = re.compile(r'^pid \d+ conv \d+\t(connect|disconnect|.*\t(ACK|NACK))$')
COMMAND = re.compile(r'^\[(\w+)\((.*)\)\]$')


def command_line(item, version):
    """The command line of item number `item` in content version `version`, as powercut.sh writes
    it: its length varies from version to version."""
    return 'app%d.exe /v%d %s' % (item, version, 'p' * (1 + (version * 7 + item) % 40))


def cut(mountpoint):
    fd = os.open(mountpoint, os.O_RDONLY)
    print(int(time.time() * 1000), flush=True)
    fcntl.ioctl(fd, EXT4_IOC_SHUTDOWN, struct.pack('I', EXT4_GOING_FLAGS_NOLOGFLUSH))


def epoch_ms(stamp):
    return int(datetime.fromisoformat(stamp.decode()).timestamp() * 1000)


def read_log(path, body):
    """(lines as (ms, text), holes, torn tail bytes): a hole is a bad line that whole lines follow."""
    try:
        data = open(path, 'rb').read()
    except FileNotFoundError:
        return [], 0, 0
    parts = data.split(b'\n')
    tail = len(parts[-1])
    good, bad_before, lines = [], [], []
    for p in parts[:-1]:
        m = LINE.match(p)
        ok = m is not None and body.match(m.group(2).decode(errors='replace')) is not None
        good.append(ok)
        if ok:
            lines.append((epoch_ms(m.group(1)), m.group(2).decode(errors='replace')))
    last_good = max((i for i, ok in enumerate(good) if ok), default=-1)
    holes = sum(1 for i, ok in enumerate(good) if not ok and i < last_good)
    tail += sum(len(parts[i]) + 1 for i in range(last_good + 1, len(parts) - 1))
    return lines, holes, tail


def item_state(path):
    """('whole', command line), or a kind of damage: 'nul', 'empty' or 'torn'."""
    data = open(path, 'rb').read()
    if not data:
        return 'empty', None
    if data.count(0) == len(data):
        return 'nul', None
    lines = data.split(b'\n')
    name = os.path.basename(path)[:-len('.desktop')]
    try:
        text = [l.decode() for l in lines]
    except UnicodeDecodeError:
        return 'torn', None
    if len(text) != 9 or text[8] != '' or text[:3] != ['[Desktop Entry]', 'Type=Application', 'Version=1.0']:
        return 'torn', None
    keys = ['Name=', 'Exec=', 'Icon=', 'X-Progman-IconIndex=', 'X-Progman-CommandLine=']
    if any(not text[3 + k].startswith(key) for k, key in enumerate(keys)):
        return 'torn', None
    cmd = text[7][len(keys[4]):]
    m = re.match(r'^app(\d+)\.exe /v(\d+) p+$', cmd)
    if text[3] != 'Name=' + name or text[4] != 'Exec=' + cmd or m is None or \
            cmd != command_line(int(m.group(1)), int(m.group(2))):
        return 'torn', None
    return 'whole', cmd


def replay(lines, since_ms):
    """Per item ("group/name"): its acknowledged states after since_ms, as [(ms, command line or None)]."""
    active, events = {}, {}
    for ms, text in lines:
        who, _, rest = text.partition('\t')
        if ms <= since_ms or not rest.endswith('\tACK'):
            continue
        m = COMMAND.match(rest[:-len('\tACK')])
        if m is None:
            continue
        verb, args = m.group(1).lower(), [a.strip() for a in m.group(2).split(',')]
        if verb in ('creategroup', 'showgroup'):
            active[who] = args[0]
        elif verb == 'additem' and who in active:
            events.setdefault(active[who] + '/' + args[1], []).append((ms, args[0]))
        elif verb == 'deleteitem' and who in active:
            events.setdefault(active[who] + '/' + args[0], []).append((ms, None))
    return events


def found_items(root):
    items, damage = {}, {'nul': 0, 'empty': 0, 'torn': 0}
    personal = os.path.join(root, 'Personal')
    for group in sorted(os.listdir(personal)) if os.path.isdir(personal) else []:
        folder = os.path.join(personal, group)
        if group.startswith('.') or not os.path.isdir(folder):
            continue
        for f in os.listdir(folder):
            if f.startswith('.') or not f.endswith('.desktop'):
                continue
            kind, cmd = item_state(os.path.join(folder, f))
            if kind != 'whole':
                damage[kind] += 1
            items[group + '/' + f[:-len('.desktop')]] = cmd
    return items, damage


def unjournaled(lines, runs_path, items_per_group):
    """What commands the cut took with their journal lines may have left: (first position, version)
    pairs, meaning every item from that position on, in a run's order, may be deleted or hold that
    version with no journal line saying so. The driver's runs that ended after the journal's last
    line, and the one the cut stopped, are those runs; the first of them is where the journal ends."""
    runs = [r.split() for r in open(runs_path).read().split('\n') if r]
    if not lines:
        return [(0, int(v)) for v, _, _ in runs]
    last_ms, who = lines[-1][0], lines[-1][1].partition('\t')[0]
    after = [int(v) for v, _, end in runs if end == '-' or int(end) >= last_ms]
    if lines[-1][1].endswith('\tdisconnect'):
        return [(0, v) for v in after[1:]]
    group = item = None
    for _, text in reversed(lines):
        w, _, rest = text.partition('\t')
        if w != who or group is not None:
            break
        m = re.search(r'Item(\d+)', rest)
        if item is None and m is not None:
            item = int(m.group(1))
        m = re.match(r'\[CreateGroup\(PC Group (\d+)', rest)
        if item is not None and m is not None:
            group = int(m.group(1))
    first = (group or 0) * items_per_group + (item or 0) if item is not None else 0
    return [(first, after[0])] + [(0, v) for v in after[1:]]


def position_of(key, items_per_group):
    m = re.match(r'^PC Group (\d+)/Item(\d+)$', key)
    return (int(m.group(1)) * items_per_group + int(m.group(2)), int(m.group(2))) if m else (None, None)


def check(state_path, root, runs_path, cut_ms, window, items_per_group):
    state = json.load(open(state_path)) if os.path.exists(state_path) else {}
    totals = state.setdefault('totals', {})
    baseline, since = state.get('items', {}), state.get('cut_ms', 0)
    items, damage = found_items(root)
    lines, holes, tail = [], 0, 0
    for name in ('journal.log.1', 'journal.log'):
        l, h, t = read_log(os.path.join(root, name), JOURNAL)
        lines, holes, tail = lines + l, holes + h, tail + t
    _, log_holes, log_tail = read_log(os.path.join(root, 'progman.log'), re.compile('.*'))
    lines = [(ms, t) for ms, t in lines if ms > since]
    last_line = lines[-1][0] if lines else since
    later = unjournaled(lines, runs_path, items_per_group)
    events = replay(lines, since)
    stale = lost_age = 0
    for key in sorted(set(items) | set(events) | set(baseline)):
        history = [(since, baseline.get(key))] + events.get(key, [])
        actual = items.get(key)
        position, item = position_of(key, items_per_group)
        if position is not None and any(position >= first and actual in (None, command_line(item, v))
                                        for first, v in later):
            continue  # newer than the journal's last line
        # The newest acknowledged state the file shows; the ACKs after it were lost.
        newest = max((i for i, (_, s) in enumerate(history) if s == actual), default=None)
        if newest is None:
            stale += 1
            print('  %s: %r, a version never acknowledged' % (key, actual))
        elif newest + 1 < len(history):
            age = cut_ms - history[newest + 1][0]
            lost_age = max(lost_age, age)
            if age > window:
                stale += 1
                print('  %s: %r, but %r was acknowledged %d ms before the cut'
                      % (key, actual, history[newest + 1][1], age))
    counts = {'cuts': 1, 'items': len(items), 'whole': len(items) - sum(damage.values()), **damage,
              'stale': stale, 'journal_lines': len(lines), 'journal_holes': holes, 'journal_tail_bytes': tail,
              'torn_tails': int(tail > 0), 'log_holes': log_holes, 'log_tail_bytes': log_tail}
    for k, v in counts.items():
        totals[k] = totals.get(k, 0) + v
    totals['oldest_lost_ack_ms'] = max(totals.get('oldest_lost_ack_ms', 0), lost_age)
    state.update(items={k: v for k, v in items.items() if v is not None}, cut_ms=cut_ms, totals=totals)
    json.dump(state, open(state_path, 'w'))
    print('items %d: %d whole, %d NUL-filled, %d empty, %d torn, %d older than their last ACK before the window'
          ' (oldest ACK lost %d ms); journal: %d lines, %d holes, %d torn-tail bytes, last line %d ms before'
          ' the cut; progman.log: %d holes, %d torn-tail bytes'
          % (len(items), counts['whole'], damage['nul'], damage['empty'], damage['torn'], stale, lost_age,
             len(lines), holes, tail, cut_ms - last_line, log_holes, log_tail))


def summary(state_path, window):
    t = json.load(open(state_path))['totals']
    print('powercut: %d cuts, %d item files checked (summed over the cuts): %d NUL-filled, %d empty, %d torn,'
          ' %d older than their last ACK more than %d ms before the cut (oldest ACK lost: %d ms); journal: %d'
          ' holes (NULs or broken lines before whole ones), %d cuts left a torn tail (%d bytes in all);'
          ' progman.log: %d holes'
          % (t['cuts'], t['items'], t['nul'], t['empty'], t['torn'], t['stale'], window, t['oldest_lost_ack_ms'],
             t['journal_holes'], t['torn_tails'], t['journal_tail_bytes'], t['log_holes']))
    bad = t['nul'] + t['empty'] + t['torn'] + t['stale'] + t['journal_holes'] + t['log_holes']
    return 1 if bad else 0


def main(argv):
    if len(argv) == 3 and argv[1] == 'cut':
        cut(argv[2])
    elif len(argv) == 8 and argv[1] == 'check':
        check(argv[2], argv[3], argv[4], int(argv[5]), int(argv[6]), int(argv[7]))
    elif len(argv) == 4 and argv[1] == 'summary':
        return summary(argv[2], int(argv[3]))
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
