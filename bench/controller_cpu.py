"""The controller's own CPU time per request, against the least a
controller of its kind must do, each side with its own worker: `true`,
REQUESTS requests in turn per sample, the two sides' samples alternating.

- ShellWorker.exec against the bare sync loop: json.dumps the request,
  write the line, read the line, json.loads it;
- AsyncShellWorkerPool(1), awaited one request at a time, against the bare
  asyncio loop: write the line, await a future that a reader callback
  (loop.add_reader) resolves, json.loads the line;
- ShellWorkerPool(1).exec against the bare sync loop.

CPU time is this process's, all its threads included (time.process_time),
so the workers' own time is left out and a pool's threads are counted.
"""

from __future__ import annotations

import asyncio
import json
import os
import subprocess
import sys
from time import process_time
from typing import Any, Callable

from harness import Row, Target, paired
from pool_throughput import BareAsyncLoop

from varnok.workers.shell_worker_client import (AsyncShellWorkerPool, CommandResult,
                                                ShellWorker, ShellWorkerPool)

REQUESTS = 250
WORKER = [sys.executable, "-m", "varnok.workers.shell_worker_cli"]
REQUEST = {"action": "exec", "command": "true", "timeout": 30, "cwd": None}
RESULT = {"stdout": "", "stderr": "", "returncode": 0}
EXPECTED = CommandResult("", "", 0, "true")
US = 1e6


def per_request(run: Callable[[], Any]) -> float:
    start = process_time()
    run()
    return (process_time() - start) / REQUESTS


def check(answer: Any) -> None:
    if answer != EXPECTED and (not isinstance(answer, dict) or answer["result"] != RESULT):
        raise SystemExit(f"another answer to `true`: {answer!r}")


class BareSync:
    def __init__(self) -> None:
        self.process = subprocess.Popen(WORKER, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        bufsize=0)
        assert self.process.stdin is not None and self.process.stdout is not None
        self.stdin = self.process.stdin.fileno()
        self.stdout = open(self.process.stdout.fileno(), "rb", closefd=False)

    def run(self) -> None:
        for _ in range(REQUESTS):
            os.write(self.stdin, json.dumps(REQUEST).encode() + b"\n")
            check(json.loads(self.stdout.readline()))

    def close(self) -> None:
        self.stdout.close()
        self.process.communicate(b'{"action": "quit"}\n')


class BareAsync(BareAsyncLoop):
    """The throughput bench's bare asyncio loop, its requests in turn from
    one task, and each answer decoded."""

    def run(self) -> None:
        async def in_turn() -> None:
            loop = asyncio.get_running_loop()
            for _ in range(REQUESTS):
                os.write(self.stdin, json.dumps(REQUEST).encode() + b"\n")
                self.waiter = loop.create_future()
                await self.waiter
                check(json.loads(self.received))
                self.received = b""
        self.runner.run(in_turn())


def bench_controller_cpu(settings: Any) -> list[Row]:
    pairs = settings.round_trip_pairs
    with asyncio.Runner() as runner:
        bare_sync, bare_async = BareSync(), BareAsync(runner)
        worker = ShellWorker(WORKER)
        pool = ShellWorkerPool(1, argv=WORKER)
        async_pool = AsyncShellWorkerPool(1, argv=WORKER)
        try:
            runner.run(async_pool.start())

            def in_turn(target: ShellWorker | ShellWorkerPool) -> Callable[[], None]:
                def run() -> None:
                    for _ in range(REQUESTS):
                        check(target.exec("true"))
                return run

            def awaited_in_turn() -> None:
                async def run() -> None:
                    for _ in range(REQUESTS):
                        check(await async_pool.exec("true"))
                runner.run(run())

            cases = [("ShellWorker.exec", in_turn(worker), bare_sync.run, "bare sync loop", 1.3),
                     ("AsyncShellWorkerPool(1).exec, awaited in turn", awaited_in_turn,
                      bare_async.run, "bare asyncio loop", 1.3),
                     ("ShellWorkerPool(1).exec", in_turn(pool), bare_sync.run, "bare sync loop",
                      1.6)]
            return [Row(f"{name}: controller CPU", "µs/request",
                        paired(lambda run=run: per_request(run),
                               lambda bare=bare: per_request(bare), pairs).scaled(US),
                        bare_name, Target(high=bound))
                    for name, run, bare, bare_name, bound in cases]
        finally:
            runner.run(async_pool.close())
            pool.close()
            worker.close()
            bare_async.close()
            bare_sync.close()
