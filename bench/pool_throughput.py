"""Pool throughput and cost: `true` through asyncio pools of 1, 2 and 4
workers and through synchronous pools of 1 and 4, each larger pool compared
with the pool of 1 of its kind, and each pool of 1 compared with one plain
worker driven in lock-step over bare pipes (the worker's own single-process
figure); and the controller's own CPU time per request: the asyncio pool of
1 against a bare asyncio loop (what asyncio alone costs a lock-step
controller), the thread pool of 1 against the plain lock-step loop.

Every worker is started and answering before the first sample; a sample is
REQUESTS requests handed to the pool at once (or sent in turn to the plain
worker), timed by the wall clock, and every answer is checked.  The CPU
rows time the same samples with the CPU clock of this whole process (its
threads included), so the workers' own time is left out.
"""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys
from time import perf_counter, process_time
from typing import Any, Callable

from harness import Row, Target, paired

from varnok.workers.shell_worker_client import (AsyncShellWorkerPool, CommandResult,
                                                ShellWorkerPool)

REQUESTS = 200
ASYNC_SIZES = (1, 2, 4)
SYNC_SIZES = (1, 4)
WORKER = [sys.executable, "-m", "varnok.workers.shell_worker_cli"]
REQUEST = b'{"command": "true"}\n'
ANSWER = b'{"success": true, "result": {"stdout": "", "stderr": "", "returncode": 0}, "error": null}\n'
EXPECTED = [CommandResult("", "", 0, "true")] * REQUESTS
US = 1e6

Sampler = Callable[[], float]


def timed(clock: Callable[[], float], run: Callable[[], list[CommandResult] | None]) -> float:
    """Seconds of `clock` per request for one sample of `run`, whose
    answers are checked."""
    start = clock()
    results = run()
    elapsed = clock() - start
    if results is not None and results != EXPECTED:
        raise SystemExit("a pool gave another answer to `true`")
    return elapsed / REQUESTS


class PlainWorker:
    def __init__(self) -> None:
        self.process = subprocess.Popen(WORKER, stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def run(self) -> None:
        stdin, stdout = self.process.stdin, self.process.stdout
        assert stdin is not None and stdout is not None
        for _ in range(REQUESTS):
            stdin.write(REQUEST)
            stdin.flush()
            if stdout.readline() != ANSWER:
                raise SystemExit("the plain worker gave another answer to `true`")

    def close(self) -> None:
        self.process.communicate(b'{"action": "quit"}\n')


class BareAsyncLoop:
    """The least an asyncio controller does per request: REQUESTS tasks take
    turns behind a lock, each writes its request and awaits a future that a
    reader callback resolves with the answer."""

    def __init__(self, runner: asyncio.Runner) -> None:
        self.runner = runner
        self.process = subprocess.Popen(WORKER, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        bufsize=0)
        assert self.process.stdin is not None and self.process.stdout is not None
        self.stdin, self.stdout = self.process.stdin.fileno(), self.process.stdout.fileno()
        os.set_blocking(self.stdout, False)
        self.received = b""
        self.waiter: asyncio.Future[None] | None = None
        runner.get_loop().add_reader(self.stdout, self.readable)

    def readable(self) -> None:
        self.received += os.read(self.stdout, 65536)
        if self.received.endswith(b"\n") and self.waiter is not None:
            self.waiter.set_result(None)

    def run(self) -> None:
        lock = asyncio.Lock()

        async def ask() -> None:
            async with lock:
                os.write(self.stdin, REQUEST)
                self.waiter = asyncio.get_running_loop().create_future()
                await self.waiter
                if self.received != ANSWER:
                    raise SystemExit("the bare loop got another answer to `true`")
                self.received = b""

        async def all_at_once() -> None:
            await asyncio.gather(*(ask() for _ in range(REQUESTS)))
        self.runner.run(all_at_once())

    def close(self) -> None:
        self.runner.get_loop().remove_reader(self.stdout)
        self.process.communicate(b'{"action": "quit"}\n')


def async_run(runner: asyncio.Runner, pool: AsyncShellWorkerPool
              ) -> Callable[[], list[CommandResult]]:
    async def all_at_once() -> list[CommandResult]:
        return list(await asyncio.gather(*(pool.exec("true") for _ in range(REQUESTS))))
    return lambda: runner.run(all_at_once())


def sync_run(pool: ShellWorkerPool) -> Callable[[], list[CommandResult]]:
    return lambda: list(pool.map(["true"] * REQUESTS))


def bench_pool(settings: Any) -> list[Row]:
    pairs = settings.round_trip_pairs
    rows = []
    with asyncio.Runner() as runner:
        async_pools = {size: AsyncShellWorkerPool(size, argv=WORKER) for size in ASYNC_SIZES}
        sync_pools: dict[int, ShellWorkerPool] = {}
        plain = PlainWorker()
        bare = BareAsyncLoop(runner)
        try:
            for pool in async_pools.values():
                runner.run(pool.start())
            for size in SYNC_SIZES:
                sync_pools[size] = ShellWorkerPool(size, argv=WORKER)
            kinds = [("asyncio pool", {size: async_run(runner, pool)
                                       for size, pool in async_pools.items()}),
                     ("thread pool", {size: sync_run(pool) for size, pool in sync_pools.items()})]
            plain_wall = lambda: timed(perf_counter, plain.run)  # noqa: E731
            for kind, runs in kinds:
                one = lambda run=runs[1]: timed(perf_counter, run)  # noqa: E731
                rows.append(Row(f"{kind} of 1 worker: true", "requests/s",
                                paired(one, plain_wall, pairs).inverted(),
                                "one plain worker", Target(low=0.9)))
                for size, run in runs.items():
                    if size > 1:
                        rows.append(Row(f"{kind} of {size} workers: true", "requests/s",
                                        paired(lambda run=run: timed(perf_counter, run), one,
                                               pairs).inverted(),
                                        f"{kind} of 1 worker", Target(low=1.3)))
            baselines = [("bare asyncio loop", lambda: timed(process_time, bare.run)),
                         ("one plain worker", lambda: timed(process_time, plain.run))]
            for (kind, runs), (name, baseline) in zip(kinds, baselines):
                rows.append(Row(f"{kind} of 1: controller CPU", "µs/request",
                                paired(lambda run=runs[1]: timed(process_time, run),
                                       baseline, pairs).scaled(US),
                                name, Target(high=100, of_module=True)))
            return rows
        finally:
            plain.close()
            bare.close()
            for pool in async_pools.values():
                runner.run(pool.close())
            for sync_pool in sync_pools.values():
                sync_pool.close()
