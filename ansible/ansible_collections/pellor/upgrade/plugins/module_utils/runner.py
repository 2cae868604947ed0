# Runs the installed programs for the modules: the environment a run takes from the task, and
# `upgrade` with its report written to a private temporary file.
from __future__ import annotations

import contextlib
import os
import shutil
import stat
import tempfile

from ansible_collections.pellor.upgrade.plugins.module_utils import report as reports

# Options every module takes, beside its own.
COMMON_ARGS = dict(
    machine=dict(type="path"),
    bindir=dict(type="path", default="/usr/libexec/pellor"),
    strict=dict(type="bool", default=True),
    log=dict(type="path"),
    backup_dir=dict(type="path"),
    keep_report=dict(type="path"),
)


def environment(params):
    """The variables a run gets from the task's options (unset options leave the host's own)."""
    env = {"PELLOR_STRICT": "1" if params["strict"] else "0"}
    for option, name in (("machine", "PELLOR_MACHINE"), ("log", "PELLOR_LOG"), ("backup_dir", "PELLOR_BACKUP")):
        if params.get(option):
            env[name] = params[option]
    return env


def machine_dir(params):
    """The machine directory a run uses, as the programs choose it."""
    if params.get("machine"):
        return params["machine"]
    data = os.environ.get("XDG_DATA_HOME", "")
    if not data.startswith("/"):
        data = os.path.join(os.path.expanduser("~"), ".local/share")
    return os.path.join(data, "pellor", "machine")


def machine_problem(path):
    """Why the programs would refuse the machine, or None: as they check it, it must be ours and
    not writable by group or others, and so must every directory above it be (or root's), unless
    sticky. A machine not made yet is judged by the directories above it."""
    path = os.path.realpath(path)
    top = path  # the machine itself, which must be ours alone
    while not os.path.lexists(path):
        path = os.path.dirname(path)
    while True:
        st = os.lstat(path)
        if st.st_uid not in (os.geteuid(), 0) or (path == top and st.st_uid != os.geteuid()):
            return "%s does not belong to you" % path
        if st.st_mode & 0o022 and not (path != top and st.st_mode & stat.S_ISVTX):
            return "%s is writable by group or others; refusing to use it" % path
        if path == "/":
            return None
        path = os.path.dirname(path)


@contextlib.contextmanager
def private_machine(params, folder):
    """A private copy of the machine's FOLDER (registry or progman), without its live files
    (sockets, the Program Manager's pid lock): a check runs there and the machine is not touched."""
    def live(where, names):
        return [n for n in names if n == "progman.pid" or not (
            os.path.isdir(os.path.join(where, n)) or os.path.isfile(os.path.join(where, n)))]
    private = tempfile.mkdtemp(prefix="pellor-check.")
    try:
        copy = os.path.join(private, "machine")
        os.mkdir(copy, 0o700)
        source = os.path.join(machine_dir(params), folder)
        if os.path.isdir(source):
            shutil.copytree(source, os.path.join(copy, folder), symlinks=True, ignore=live)
        yield copy
    finally:
        shutil.rmtree(private, ignore_errors=True)


def program(module, name):
    path = os.path.join(module.params["bindir"], name)
    if not os.access(path, os.X_OK):
        module.fail_json(msg="%s is not installed (no %s)" % (name, path))
    return path


def run_upgrade(module, args, extra_env=None):
    """Runs upgrade with ARGS; its report as a summary, with rc and stderr. Fails the task when
    no report was written (a crash, or a program too old to write one)."""
    private = tempfile.mkdtemp(prefix="pellor-report.")
    try:
        path = os.path.join(private, "report.json")
        env = environment(module.params) | (extra_env or {}) | {"PELLOR_REPORT": path}
        rc, _out, err = module.run_command([program(module, "upgrade")] + args, environ_update=env)
        try:
            with open(path, encoding="utf-8") as f:
                text = f.read()
            result = reports.summary(text)
        except (OSError, ValueError) as e:
            module.fail_json(msg="upgrade wrote no report (exit status %d): %s" % (rc, e), rc=rc, stderr=err)
        # A check writes nothing on the host, not even its report.
        if module.params.get("keep_report") and not module.check_mode:
            try:
                shutil.copyfile(path, module.params["keep_report"])
            except OSError as e:
                module.fail_json(**dict(result, msg="the report could not be kept: %s" % e))
        result["stderr"] = err
        return result, reports.parse(text)
    finally:
        shutil.rmtree(private, ignore_errors=True)


def finish(module, result, report=None):
    """Ends the task with a summary: failed with its reason, or changed as it says."""
    if report is not None and module._diff:
        result["diff"] = reports.diff(report)
    if result.pop("failed"):
        module.fail_json(**result)
    module.exit_json(**result)
