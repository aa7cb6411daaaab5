"""What ShellWorkerPool and AsyncShellWorkerPool take to be made: the
arguments, checked once here, and each pool opens its own way."""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence

from .pool_slots import pool_argvs
from .worker_argv import checked_start_timeout


class PoolFront:
    """A pool's constructor, written once for both."""

    def __init__(self, size: int | None = None, *, argv: Sequence[str] | None = None,
                 argvs: Sequence[Sequence[str]] | None = None,
                 env: Mapping[str, str] | None = None,
                 cwd: str | os.PathLike[str] | None = None,
                 start_timeout: float | None = None, allow_preamble: bool = True) -> None:
        self._open(pool_argvs(size, argv, argvs), env, cwd,
                   checked_start_timeout(start_timeout), allow_preamble)

    def _open(self, argvs: list[list[str]], env: Mapping[str, str] | None,
              cwd: str | os.PathLike[str] | None, start_timeout: float | None,
              allow_preamble: bool) -> None:
        """Makes the pool's state from the checked arguments (the sync pool
        starts its workers here too)."""
        raise NotImplementedError
