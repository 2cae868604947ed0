#!/usr/bin/env python3
"""The fleet test's checks over what tests/fleet/run left in its work directory.

  check.py snapshot DIR       every file under DIR with its mode, size and digest, as JSON
  check.py verify WORK HOSTS  the runs' tables, play recaps and reports held to what they must say

HOSTS is the number of hosts; the last one's machine is refused. Prints each failed check and
exits 1 when there is one.
"""
import hashlib
import json
import os
import re
import sys

# A --check run predicts the first run's outcome under another name.
PREDICTED_AS = {"would remove": "removed"}
# Why the refused host fails: as the modules judge it before a check, and as the run says.
REFUSAL = {True: "is writable by group or others; refusing to use it",
           False: "the machine registry could not be read"}
RECAP = re.compile(r"^(\S+)\s*: ok=(\d+)\s+changed=(\d+)\s+unreachable=(\d+)\s+failed=(\d+)", re.M)


def snapshot(top):
    files = {}
    for folder, dirs, names in os.walk(top):
        for name in dirs + names:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            digest = ""
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
            files[os.path.relpath(path, top)] = [st.st_mode, st.st_size if digest else 0, digest]
    return files


def table(path):
    with open(path) as f:
        return {(r["host"], r["run"]): r for r in map(json.loads, filter(str.strip, f))}


def recap(path):
    with open(path) as f:
        return {m[0]: {"changed": int(m[2]), "failed": int(m[4])} for m in RECAP.findall(f.read())}


def report_row(path):
    """What a host's report says, read here without the collection's reader."""
    with open(path) as f:
        r = json.load(f)
    rows = {"%s/%s" % (i["group"], i["name"]): i["outcome"] for i in r.get("items") or []}
    for e in (r.get("cleanup") or {}).get("entries") or []:
        rows[e["path"] + ("\\" + e["name"] if e.get("name") else "")] = e["outcome"]
    return {"changed": r["changed"], "failed": r["exit"]["status"] != 0, "status": r["exit"]["status"],
            "reason": r["exit"]["reason"], "outcomes": rows, "backup": r.get("backup")}


class Checks:
    def __init__(self):
        self.failures = 0

    def expect(self, ok, what):
        if not ok:
            print("fleet: FAILED: " + what)
            self.failures += 1


def verify(work, count):
    hosts = ["host%02d" % n for n in range(1, count + 1)]
    refused, good = hosts[-1], hosts[:-1]
    c = Checks()
    runs = {name: (table(os.path.join(work, name + ".jsonl")), recap(os.path.join(work, name + ".out")))
            for name in ("check", "first", "second")}
    with open(os.path.join(work, "snap-before.json")) as b, open(os.path.join(work, "snap-after.json")) as a:
        before, after = json.load(b), json.load(a)
    c.expect(before == after, "--check changed the hosts' files: %s" % sorted(
        k for k in set(before) | set(after) if before.get(k) != after.get(k)))
    for name, (rows, plays) in runs.items():
        c.expect(sorted(plays) == sorted(hosts + ["localhost"]) or sorted(plays) == sorted(hosts),
                 "%s: the recap names %s" % (name, sorted(plays)))
        c.expect(plays.get(refused, {}).get("failed") == 1, "%s: %s did not fail" % (name, refused))
        c.expect(all(plays.get(h, {}).get("failed") == 0 for h in good), "%s: a good host failed" % name)
        keys = rows.get((refused, "keys"), {})
        c.expect(keys.get("failed") and REFUSAL[name == "check"] in keys.get("reason", ""),
                 "%s: %s's row does not say why: %s" % (name, refused, keys))
        c.expect((refused, "icons") not in rows, "%s: %s went on to the icons" % (name, refused))
    first, second = runs["first"][0], runs["second"][0]
    for h in hosts:
        c.expect(runs["second"][1].get(h, {}).get("changed") == 0, "second: %s changed" % h)
    for h in good:
        c.expect(first.get((h, "icons"), {}).get("changed") is True, "first: %s's icons did not change" % h)
        for run in ("keys", "icons"):
            c.expect(second.get((h, run), {}).get("changed") is False, "second: %s's %s changed" % (h, run))
    # The prediction is the first run's outcome, item by item and entry by entry.
    for key, row in first.items():
        guess = runs["check"][0].get(key, {})
        outcomes = {k: PREDICTED_AS.get(v, v) for k, v in guess.get("outcomes", {}).items()}
        c.expect(outcomes == row["outcomes"], "check: %s %s predicted %s, the run did %s" % (
            key[0], key[1], guess.get("outcomes"), row["outcomes"]))
        c.expect((guess.get("changed"), guess.get("failed")) == (row["changed"], row["failed"]),
                 "check: %s %s predicted changed/failed %s, the run %s" % (
                     key[0], key[1], (guess.get("changed"), guess.get("failed")), (row["changed"], row["failed"])))
    # The table says what each host's own report said.
    for name in ("first", "second"):
        for (h, run), row in runs[name][0].items():
            path = os.path.join(work, "hosts", h, name, run + ".json")
            if not os.path.exists(path):
                c.expect(h == refused, "%s: %s kept no %s report" % (name, h, run))
                continue
            mine = {k: row[k] for k in ("changed", "failed", "status", "reason", "outcomes", "backup")}
            c.expect(mine == report_row(path), "%s: the table's %s %s is not its report: %s" % (name, h, run, mine))
    c.expect(len(first) == 2 * len(good) + 1, "first: the table has %d rows" % len(first))
    return c.failures


def main():
    if sys.argv[1:2] == ["snapshot"]:
        json.dump(snapshot(sys.argv[2]), sys.stdout, sort_keys=True)
        return 0
    failures = verify(sys.argv[2], int(sys.argv[3]))
    print("fleet: %s" % ("checks passed" if failures == 0 else "%d checks failed" % failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
