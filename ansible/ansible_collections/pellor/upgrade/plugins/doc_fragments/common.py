# The options every module of the collection takes (runner.COMMON_ARGS), documented once.
from __future__ import annotations


class ModuleDocFragment:
    DOCUMENTATION = r"""
options:
  machine:
    description: The emulated machine directory (C(PELLOR_MACHINE)); the user's default when not given.
    type: path
  bindir:
    description: Where the programs are installed.
    type: path
    default: /usr/libexec/pellor
  strict:
    description: C(PELLOR_STRICT=1), so that a run that left something undone (items out of place, no Program
      Manager, the version mark not written, an entry not removed) fails.
    type: bool
    default: true
  log:
    description: C(PELLOR_LOG), the run log's file.
    type: path
  backup_dir:
    description: C(PELLOR_BACKUP), where the run keeps its backup.
    type: path
  keep_report:
    description: A path to copy the run's report to (not under check mode); otherwise it is removed.
    type: path
"""
