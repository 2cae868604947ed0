#!/usr/bin/python
# Runs the registry clean-up of the Pellor upgrade utility on a Linux host.
from __future__ import annotations

DOCUMENTATION = r"""
module: pellor_keys
short_description: Remove the obsolete registry entries of a Pellor application server
description:
  - Runs C(upgrade /upgrade_keys) of the installed pellor-upgrade package with C(PELLOR_REPORT) and returns
    what its report says.
  - In check mode the run deletes nothing (C(PELLOR_CHECK=1)) and each entry is reported as C(would remove)
    or C(absent). It runs on a private copy of the machine's registry, so that not even its run log is
    written; a machine the programs would refuse fails the task as the run would.
  - With C(--diff), the before and after of every entry.
extends_documentation_fragment:
  - pellor.upgrade.common
"""

EXAMPLES = r"""
- pellor.upgrade.pellor_keys:
    machine: /srv/pellor/machine
  register: keys
"""

RETURN = r"""
entries:
  description: Every entry of the clean-up, as the report gives it (path, kind, name, outcome, error).
  type: list
  returned: always
counts:
  description: How many entries ended in each outcome.
  type: dict
  returned: always
backup:
  description: The backup file the run wrote, or null.
  type: str
  returned: always
app_server:
  description: Whether the machine is an application server.
  type: bool
  returned: always
system_version:
  description: The product version the run read, or null.
  type: int
  returned: always
"""

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.pellor.upgrade.plugins.module_utils import runner


def main():
    module = AnsibleModule(argument_spec=dict(runner.COMMON_ARGS), supports_check_mode=True)
    if not module.check_mode:
        runner.finish(module, *runner.run_upgrade(module, ["/upgrade_keys"]))
    problem = runner.machine_problem(runner.machine_dir(module.params))
    if problem:
        module.fail_json(msg=problem)
    # On a copy of the registry, since even a run that deletes nothing writes the machine's run log
    # (and would make the machine of a fresh host).
    with runner.private_machine(module.params, "registry") as copy:
        result, report = runner.run_upgrade(module, ["/upgrade_keys"], {
            "PELLOR_CHECK": "1", "PELLOR_MACHINE": copy, "PELLOR_BACKUP": os.path.join(copy, "backup")})
    # A program that does not know PELLOR_CHECK deleted from the copy: its outcomes are no prediction.
    if not result["check"] or result["counts"].get("removed"):
        module.fail_json(msg="this upgrade has no check mode (PELLOR_CHECK): nothing can be predicted")
    result["changed"] = result["counts"].get("would remove", 0) > 0
    runner.finish(module, result, report)


if __name__ == "__main__":
    main()
