# pellor_icons with `src`: the script is taken from the controller into the task's own temporary
# directory on the host, which goes with the task. A --check run predicts from it without
# putting anything on the host.
from __future__ import annotations

from ansible.plugins.action import ActionBase


class ActionModule(ActionBase):
    TRANSFERS_FILES = True

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = dict(self._task.args)
        src = args.pop("src", None)
        if src is not None and args.get("script"):
            return dict(result, failed=True, msg="give script or src, not both")
        try:
            if src is not None:
                if self._connection._shell.tmpdir is None:
                    self._make_tmp_path()
                remote = self._connection._shell.join_path(self._connection._shell.tmpdir, "upgrade.inf")
                self._transfer_file(self._find_needle("files", src), remote)
                self._fixup_perms2((self._connection._shell.tmpdir, remote))
                args["script"] = remote
            result.update(self._execute_module(module_name="pellor.upgrade.pellor_icons", module_args=args,
                                               task_vars=task_vars))
        finally:
            self._remove_tmp_path(self._connection._shell.tmpdir)
        return result
