"""What both pools keep of their workers' places: the command that starts
each, and how its starts have gone, for the backoff of a place whose worker
keeps failing to start and for the error of a pool where every one does;
and the settings that every place's worker starts with."""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence

from . import forks, grace_periods
from .errors import WorkerError
from .worker_argv import checked_argv

# Why a request to a pool was not sent: refused once the pool closes, or
# still waiting when it was closed or killed.
IS_CLOSED = "the pool is closed; the request was not sent"
WAS_CLOSED = "the pool was closed; the request was not sent"
WAS_KILLED = "the pool was killed; the request was not sent"


def pool_argvs(size: int | None, argv: Sequence[str] | None,
               argvs: Sequence[Sequence[str]] | None) -> list[list[str]]:
    """One command per worker: `size` times `argv` (by default as many as
    there are CPUs), or one per entry of `argvs`."""
    if size is not None:
        if isinstance(size, bool) or not isinstance(size, int):
            raise TypeError(f"size must be an int, not {type(size).__name__}")
        if size < 1:
            raise ValueError(f"size must be at least 1, not {size}")
    if argvs is None:
        return [checked_argv(argv)] * (usable_cpus() if size is None else size)
    if argv is not None:
        raise ValueError("give argv (one command for every worker) or argvs "
                         "(one per worker), not both")
    if isinstance(argvs, (str, bytes)):
        raise TypeError("argvs must be a list of argument lists")
    commands = [checked_argv(each) for each in argvs]
    if not commands:
        raise ValueError("argvs is empty: a pool needs at least one worker")
    if size is not None and size != len(commands):
        raise ValueError(f"size is {size} but argvs has {len(commands)} entries")
    return commands


def usable_cpus() -> int:
    """The CPUs this process may run on: its affinity (and, from 3.13, what
    the interpreter is told to use), not every CPU of the machine."""
    process_cpu_count = getattr(os, "process_cpu_count", None)
    if process_cpu_count is not None:
        return process_cpu_count() or 1
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):  # no affinity on this system
        return os.cpu_count() or 1


def start_failures(places: Sequence[Place], outcomes: Sequence[BaseException | None],
                   ) -> ExceptionGroup[Exception] | None:
    """The error of a pool's start, naming each worker that failed, or None
    when every one started."""
    failures = [failure if not isinstance(failure, WorkerError) else WorkerError(
                    f"worker {place.index} of the pool: {failure.message}", failure.returncode,
                    failure.stderr_tail, failure.argv, sent=False)
                for place, failure in zip(places, outcomes)
                if isinstance(failure, Exception)]
    if not failures:
        return None
    return ExceptionGroup(f"cannot start {len(failures)} of the pool's {len(places)} workers",
                          failures)


class Place:
    """One worker's place in a pool.  While its latest start has failed it
    serves nothing and is tried again after a delay that doubles with each
    failure, from RESTART_FIRST up to RESTART_CAP; `error` says how it failed."""

    def __init__(self, index: int, argv: list[str]) -> None:
        self.index = index
        self.argv = argv
        self.failures = 0
        self.error: WorkerError | None = None

    def started(self) -> None:
        self.failures = 0
        self.error = None

    def failed(self, error: WorkerError) -> float:
        """Records a failed start; the seconds until the next try."""
        self.failures += 1
        delay = min(grace_periods.RESTART_CAP,
                    grace_periods.RESTART_FIRST * 2.0 ** (self.failures - 1))
        self.error = WorkerError(
            f"{error.message} (worker {self.index} of the pool: {self.failures} failed "
            f"start{'s' if self.failures > 1 else ''} in a row, the next try in {delay:g} s)",
            error.returncode, error.stderr_tail, error.argv, sent=False)
        return delay


def every_place_failing(places: Sequence[Place]) -> WorkerError | None:
    """The error for a request to a pool none of whose workers can start, or
    None while one can still serve.  A fresh one each time: each caller
    raises its own."""
    for place in places:  # asked on every request: no generator
        if place.error is None:
            return None
    errors = [place.error for place in places if place.error is not None]
    last = errors[-1]
    return WorkerError("every worker of the pool is failing to start; the request was not "
                       "sent: " + "; ".join(error.message for error in errors),
                       last.returncode, last.stderr_tail, last.argv, sent=False)


class PoolState:
    """What both pools' states begin with: the places, what every worker
    starts with, and the process the pool belongs to."""

    def __init__(self, argvs: list[list[str]], env: Mapping[str, str] | None,
                 cwd: str | os.PathLike[str] | None, start_timeout: float | None,
                 allow_preamble: bool) -> None:
        self.env, self.cwd = env, cwd
        self.start_timeout, self.allow_preamble = start_timeout, allow_preamble
        self.generation = forks.generation
        self.places = [Place(index, argv) for index, argv in enumerate(argvs)]

    def foreign(self) -> bool:
        """Whether the pool belongs to the parent of a fork (whose threads
        or tasks alone serve it)."""
        return self.generation != forks.generation
