# The report `upgrade` writes at the end of a run (PELLOR_REPORT), turned into what a task
# returns. One reader for the Linux modules and for the filter plugin, which reads the reports
# of Windows hosts and makes the role's table, so that every host is summed up the same way.
from __future__ import annotations

import json

# What an outcome says of the thing before and after the run, for --diff. An item or entry
# whose outcome is not listed (a newer program's) is shown as unknown rather than guessed.
ITEM_STATES = {
    "added": ("absent", "present"),
    "replaced": ("present, other fields", "present"),
    "unchanged": ("present", "present"),
    "written": ("unknown", "present"),
    "refused": ("unknown", "unknown (refused)"),
    "timed out": ("unknown", "unknown (timed out)"),
    "not sent": ("unknown", "unknown (not sent)"),
    "failed": ("unknown", "unknown (failed)"),
}
ENTRY_STATES = {
    "removed": ("present", "absent"),
    "would remove": ("present", "absent"),
    "absent": ("absent", "absent"),
    "failed": ("present", "present (not removed)"),
    "not tried": ("unknown", "unknown (not tried)"),
}
# Outcomes that change the machine (or would, under check).
CHANGING = {"added", "replaced", "written", "removed", "would remove"}


def parse(text):
    """The report as a dict: from its JSON text, or as it is when already parsed."""
    report = json.loads(text) if isinstance(text, (str, bytes)) else text
    if not isinstance(report, dict) or not isinstance(report.get("exit"), dict):
        raise ValueError("not a report of upgrade: no exit object")
    return report


def items(report):
    return [dict(i) for i in report.get("items") or []]


def entries(report):
    cleanup = report.get("cleanup") or {}
    return [dict(e) for e in cleanup.get("entries") or []]


def item_label(item):
    return "%s/%s" % (item.get("group", ""), item.get("name", ""))


def entry_label(entry):
    name = entry.get("name")
    return "%s\\%s" % (entry.get("path", ""), name) if name else entry.get("path", "")


def _diff(rows, label, states, header):
    before, after = [], []
    for row in rows:
        was, now = states.get(row.get("outcome"), ("unknown", "unknown"))
        if row.get("differs"):
            was += " (" + ", ".join(row["differs"]) + " differ)"
        before.append("%s: %s\n" % (label(row), was))
        after.append("%s: %s\n" % (label(row), now))
    return {"before": "".join(before), "after": "".join(after),
            "before_header": header + " before", "after_header": header + " after"}


def diff(report):
    """Before and after of each item and clean-up entry, as Ansible shows a diff."""
    rows = _diff(items(report), item_label, ITEM_STATES, "items")
    keys = _diff(entries(report), entry_label, ENTRY_STATES, "registry")
    return {k: rows[k] + keys[k] for k in ("before", "after")} | {
        "before_header": "upgrade before", "after_header": "upgrade after"}


def counts(report):
    """How many items and entries ended in each outcome."""
    tally = {}
    for row in items(report) + entries(report):
        tally[row.get("outcome", "unknown")] = tally.get(row.get("outcome", "unknown"), 0) + 1
    return dict(sorted(tally.items()))


def outcomes(result):
    """Each item and entry of a summary by its label, with its outcome."""
    rows = {item_label(i): i.get("outcome") for i in result.get("items") or []}
    return rows | {entry_label(e): e.get("outcome") for e in result.get("entries") or []}


def summary(report):
    """What a task returns for a run: changed, failed and why, the outcomes, the backup."""
    report = parse(report)
    status = report["exit"].get("status")
    cleanup = report.get("cleanup") or {}
    return {
        "changed": bool(report.get("changed")),
        "failed": status != 0,
        "rc": status,
        "msg": report["exit"].get("reason", ""),
        "items": items(report),
        "entries": entries(report),
        "counts": counts(report),
        "backup": report.get("backup"),
        "app_server": cleanup.get("app_server"),
        "system_version": cleanup.get("version"),
        "check": bool(report.get("check")),
    }


def table_row(result, host, run):
    """One line of the fleet's table: a host's run as its summary (or a module's result) says."""
    return {
        "host": host,
        "run": run,
        "changed": bool(result.get("changed")),
        "failed": bool(result.get("failed")),
        "status": result.get("rc"),
        "reason": result.get("msg", ""),
        "counts": result.get("counts") or {},
        "outcomes": outcomes(result),
        "backup": result.get("backup"),
    }
