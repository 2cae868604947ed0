"""The collection's Python on its own: the filter, whose reading of a report Windows hosts depend
on (no Windows host is at hand to run the playbook that uses it), and the modules' judgement of a
machine the programs would refuse, which a --check run gives instead of running them."""
import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "ansible"))

from ansible.errors import AnsibleFilterError  # noqa: E402
from ansible_collections.pellor.upgrade.plugins.filter.report import FilterModule  # noqa: E402
from ansible_collections.pellor.upgrade.plugins.module_utils import runner  # noqa: E402

FILTERS = FilterModule().filters()


def report(status=0, reason="ok", changed=False, items=(), entries=None, backup=None):
    cleanup = None if entries is None else {"app_server": True, "version": 2, "entries": list(entries)}
    return {"exit": {"status": status, "reason": reason}, "changed": changed, "items": list(items),
            "cleanup": cleanup, "backup": backup}


ADDED = {"group": "Accessories", "name": "Calculator", "vital": True, "outcome": "added"}
REPLACED = {"group": "Games", "name": "Solitaire", "vital": False, "outcome": "replaced",
            "differs": ["commandLine", "iconIndex"]}
REMOVED = {"path": "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Pellor", "kind": "value", "name": "OemId",
           "outcome": "removed"}
WOULD = {"path": "HKLM\\SOFTWARE\\Pellor\\Compatibility", "kind": "key", "outcome": "would remove"}
FAILED = {"path": "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Pellor\\Wds", "kind": "key", "outcome": "failed",
          "error": 5}


class Summary(unittest.TestCase):
    CASES = [
        # (what, report, changed, failed, rc, msg, counts, backup)
        ("an icon run that added an item", report(changed=True, items=[ADDED, REPLACED]), True, False, 0, "ok",
         {"added": 1, "replaced": 1}, None),
        ("a clean-up that failed an entry", report(2, "1 entry could not be removed", True, entries=[REMOVED, FAILED],
                                                   backup="/m/backup/keys-1.reg"),
         True, True, 2, "1 entry could not be removed", {"failed": 1, "removed": 1}, "/m/backup/keys-1.reg"),
        ("a run with nothing to do", report(entries=[]), False, False, 0, "ok", {}, None),
        ("a refused machine", report(2, "the machine registry could not be read"), False, True, 2,
         "the machine registry could not be read", {}, None),
    ]

    def test_reports(self):
        for what, r, changed, failed, rc, msg, counts, backup in self.CASES:
            for given in (r, json.dumps(r)):
                with self.subTest(what, given=type(given).__name__):
                    s = FILTERS["pellor_report"](given)
                    self.assertEqual((s["changed"], s["failed"], s["rc"], s["msg"], s["counts"], s["backup"]),
                                     (changed, failed, rc, msg, counts, backup))

    def test_not_a_report(self):
        for text in ("{}", "[1]", '{"exit": 2}', "not json"):
            with self.subTest(text=text), self.assertRaises((AnsibleFilterError, ValueError)):
                FILTERS["pellor_report"](text)


class TableRow(unittest.TestCase):
    def test_rows(self):
        cases = [
            (report(changed=True, items=[ADDED]), {"Accessories/Calculator": "added"}),
            (report(entries=[REMOVED, WOULD]), {"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Pellor\\OemId": "removed",
                                                "HKLM\\SOFTWARE\\Pellor\\Compatibility": "would remove"}),
        ]
        for r, outcomes in cases:
            with self.subTest(outcomes=outcomes):
                row = FILTERS["pellor_table_row"](FILTERS["pellor_report"](r), "win01", "icons")
                self.assertEqual((row["host"], row["run"], row["outcomes"]), ("win01", "icons", outcomes))


class Diff(unittest.TestCase):
    def test_before_and_after(self):
        from ansible_collections.pellor.upgrade.plugins.module_utils import report as reports
        d = reports.diff(report(items=[ADDED, REPLACED], entries=[REMOVED, WOULD, FAILED]))
        lines = list(zip(d["before"].splitlines(), d["after"].splitlines()))
        self.assertEqual(lines, [
            ("Accessories/Calculator: absent", "Accessories/Calculator: present"),
            ("Games/Solitaire: present, other fields (commandLine, iconIndex differ)", "Games/Solitaire: present"),
            ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Pellor\\OemId: present",
             "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Pellor\\OemId: absent"),
            ("HKLM\\SOFTWARE\\Pellor\\Compatibility: present", "HKLM\\SOFTWARE\\Pellor\\Compatibility: absent"),
            ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Pellor\\Wds: present",
             "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Pellor\\Wds: present (not removed)"),
        ])


class MachineProblem(unittest.TestCase):
    def test_refusals(self):
        cases = [
            # (what, directories made with their modes, machine, refused because of)
            ("a private machine", [("m", 0o700)], "m", None),
            ("a machine others can write", [("m", 0o777)], "m", "m"),
            ("a machine group can write", [("m", 0o770)], "m", "m"),
            ("a machine not made yet", [], "new/m", None),
            ("a machine under a directory others can write", [("open", 0o777)], "open/m", "open"),
            ("a machine under a sticky one", [("tmp", 0o1777), ("tmp/m", 0o700)], "tmp/m", None),
        ]
        for what, dirs, machine, culprit in cases:
            with self.subTest(what), tempfile.TemporaryDirectory() as top:
                for name, mode in dirs:
                    os.mkdir(os.path.join(top, name))
                    os.chmod(os.path.join(top, name), mode)
                problem = runner.machine_problem(os.path.join(top, machine))
                if culprit is None:
                    self.assertIsNone(problem)
                else:
                    self.assertEqual(problem, os.path.realpath(os.path.join(top, culprit)) +
                                     " is writable by group or others; refusing to use it")


if __name__ == "__main__":
    unittest.main()
