#!/usr/bin/python
# Runs the icon upgrade of the Pellor upgrade utility on a Linux host, or predicts it.
from __future__ import annotations

DOCUMENTATION = r"""
module: pellor_icons
short_description: Upgrade the Program Manager items of an INF script
description:
  - Runs C(upgrade /run_inf SCRIPT) (or C(/upgrade_icons)) of the installed pellor-upgrade package with
    C(PELLOR_REPORT) and returns what its report says.
  - In check mode nothing is run that changes the machine; the outcome of each item comes from
    C(pmctl plan --json). When no Program Manager serves, the plan is asked of one started on a private
    copy of the machine's groups, as the run would start one on them.
  - With C(--diff), the before and after of every item.
options:
  script:
    description: The INF script on the host.
    type: path
  src:
    description: The INF script on the controller instead, taken to the host for the task alone (under
      C(--check) nothing is left on the host).
    type: path
  mode:
    description: C(run_inf) starts a Program Manager when none serves; C(upgrade_icons) does not.
    type: str
    choices: [run_inf, upgrade_icons]
    default: run_inf
extends_documentation_fragment:
  - pellor.upgrade.common
"""

EXAMPLES = r"""
- pellor.upgrade.pellor_icons:
    script: /var/lib/pellor/upgrade.inf
  register: icons
"""

RETURN = r"""
items:
  description: Every item of the script with its outcome (group, name, vital, outcome, why, differs).
  type: list
  returned: always
counts:
  description: How many items ended (or would end) in each outcome.
  type: dict
  returned: always
backup:
  description: The backup file the run wrote, or null (always null in check mode).
  type: str
  returned: always
"""

import fcntl
import os
import subprocess
import time

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.pellor.upgrade.plugins.module_utils import report as reports
from ansible_collections.pellor.upgrade.plugins.module_utils import runner

# pmctl's actions as the run's report names their outcomes.
PLAN_OUTCOMES = {"add": "added", "replace": "replaced", "re-add": "replaced", "unchanged": "unchanged",
                 "fail": "refused", "skip": "not sent", "unknown": "unknown"}
NOBODY = "no Program Manager answers"
# Predicted outcomes of items a strict run fails on.
LEFT_OUT = {"refused", "not sent"}
READY_SECONDS = 10


def plan(module, env, cwd=None):
    """pmctl's plan as JSON, or None when no Program Manager answers."""
    args = [runner.program(module, "pmctl"), "plan", module.params["script"], "--json"]
    if module.params["mode"] == "upgrade_icons":
        args.append("--upgrade-icons")
    rc, out, err = module.run_command(args, environ_update=env, cwd=cwd)
    if rc in (0, 2):
        return module.from_json(out)
    if NOBODY in err:
        return None
    module.fail_json(msg="pmctl plan failed: " + err.strip(), rc=rc)


def plan_without_progman(module, env):
    """The plan of a Program Manager started, as the run would start one, on a private copy of the
    machine's groups: the machine itself is not touched."""
    with runner.private_machine(module.params, "progman") as copy:
        # The copy's sockets stay in the copy, away from the runtime directory.
        env = dict(env, PELLOR_MACHINE=copy, XDG_RUNTIME_DIR="")
        child_env = {k: v for k, v in (os.environ | env).items() if k != "XDG_RUNTIME_DIR"}
        progman = runner.program(module, "progman")
        server = subprocess.Popen([progman, "/NTSETUP"], env=child_env, cwd=copy, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + READY_SECONDS
            while True:
                found = plan(module, env, cwd=copy)
                if found is not None:
                    return found
                if server.poll() is not None or time.monotonic() > deadline:
                    module.fail_json(msg="a Program Manager on a copy of the machine did not serve")
                time.sleep(0.05)
        finally:
            subprocess.run([progman, "--exit"], env=child_env, cwd=copy, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60, check=False)
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()


def mark_written(module, env):
    """Whether the version mark is there already; a machine without a user hive has none, and
    asking would make one."""
    machine = runner.machine_dir(module.params)
    if not os.path.exists(os.path.join(machine, "registry", "user.db")):
        return False
    rc, out, err = module.run_command([runner.program(module, "reg"), "query", "HKCU\\Software\\Pellor\\UPGRADE",
                                       "/v", "IconVersion"], environ_update=env)
    if rc != 0 and "unable to find" not in (out + err).lower():
        module.fail_json(msg="the machine cannot be read: " + (err or out).strip(), rc=rc)
    return any(line.split() == ["IconVersion", "REG_DWORD", "0x2"] for line in out.splitlines())


def predicted_items(found):
    """The plan's items as the run's report would list them."""
    rows = []
    for group in (found or {}).get("groups", []):
        for item in group.get("items", []):
            row = {"group": group["name"], "name": item["name"], "vital": item.get("vital", False),
                   "outcome": PLAN_OUTCOMES.get(item["action"], item["action"])}
            if item.get("why"):
                row["why"] = item["why"]
            # The report names the fields a replace changes and those a re-add loses alike.
            differs = list(item.get("differs", {})) + list(item.get("loses", {}))
            if differs:
                row["differs"] = differs
            rows.append(row)
    return rows


def serving(machine):
    """Whether a Program Manager serves the machine: it holds its pid file's lock while it runs.
    Asked of the lock, since any DDE client would make the machine's rendezvous directory."""
    try:
        fd = os.open(os.path.join(machine, "progman", "progman.pid"), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    finally:
        os.close(fd)


def check(module):
    env = runner.environment(module.params)
    problem = runner.machine_problem(runner.machine_dir(module.params))
    if problem:
        module.fail_json(msg=problem)
    found = None
    if serving(runner.machine_dir(module.params)):
        found = plan(module, env)
    if found is None and module.params["mode"] == "run_inf":
        found = plan_without_progman(module, env)
    predicted = {"exit": {"status": 0, "reason": "check mode: nothing was run"}, "items": predicted_items(found),
                 "check": True}
    result = reports.summary(predicted)
    # The run writes the version mark whatever the Program Manager does.
    result["changed"] = bool(found and found.get("changes")) or not mark_written(module, env)
    result["plan"] = found
    if module.params["strict"] and (found is None or set(result["counts"]) & LEFT_OUT):
        result.update(failed=True, msg="strict: " + ("no Program Manager answers" if found is None
                                                     else "items would be left out of place"))
    runner.finish(module, result, predicted)


def main():
    module = AnsibleModule(argument_spec=dict(runner.COMMON_ARGS, script=dict(type="path", required=True),
                                              mode=dict(type="str", choices=["run_inf", "upgrade_icons"],
                                                        default="run_inf")),
                           supports_check_mode=True)
    module.params["script"] = os.path.abspath(module.params["script"])
    if not os.path.isfile(module.params["script"]):
        module.fail_json(msg="no script at %s" % module.params["script"])
    if module.check_mode:
        check(module)
    result, report = runner.run_upgrade(module, ["/" + module.params["mode"], module.params["script"]])
    runner.finish(module, result, report)


if __name__ == "__main__":
    main()
