# Filters over the report of `upgrade` (PELLOR_REPORT): the same reading the Linux modules
# make, for reports fetched from Windows hosts and for the role's table of the fleet.
from __future__ import annotations

from ansible.errors import AnsibleFilterError
from ansible_collections.pellor.upgrade.plugins.module_utils import report as reports


def pellor_report(report):
    """A report (its JSON text or the parsed object) as the modules return it: changed, failed,
    msg, rc, items, entries, counts, backup."""
    try:
        return reports.summary(report)
    except ValueError as e:
        raise AnsibleFilterError("pellor_report: %s" % e) from e


def pellor_table_row(result, host, run):
    """One line of the fleet's table from a module's result or pellor_report's summary."""
    return reports.table_row(result, host, run)


class FilterModule:
    def filters(self):
        return {"pellor_report": pellor_report, "pellor_table_row": pellor_table_row}
