"""Pool throughput: `true` through pools of 1, 2 and 4 workers, each compared
with the pool of 1, and the pool of 1 compared with one plain worker driven in
lock-step over bare pipes (the worker's own single-process figure).

Every worker is started and answering before the first sample; a sample is
REQUESTS requests handed to the pool at once (or sent in turn to the plain
worker), timed by the wall clock, and every answer is checked.
"""

from __future__ import annotations

import asyncio
import subprocess
import sys
from time import perf_counter
from typing import Any, Callable

from harness import Row, Target, paired

from varnok.workers.shell_worker_client import CommandResult, ShellWorkerPool

REQUESTS = 200
SIZES = (1, 2, 4)
WORKER = [sys.executable, "-m", "varnok.workers.shell_worker_cli"]
REQUEST = b'{"command": "true"}\n'
ANSWER = b'{"success": true, "result": {"stdout": "", "stderr": "", "returncode": 0}, "error": null}\n'


class PlainWorker:
    def __init__(self) -> None:
        self.process = subprocess.Popen(WORKER, stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def seconds_per_request(self) -> float:
        stdin, stdout = self.process.stdin, self.process.stdout
        assert stdin is not None and stdout is not None
        start = perf_counter()
        for _ in range(REQUESTS):
            stdin.write(REQUEST)
            stdin.flush()
            if stdout.readline() != ANSWER:
                raise SystemExit("the plain worker gave another answer to `true`")
        return (perf_counter() - start) / REQUESTS

    def close(self) -> None:
        self.process.communicate(b'{"action": "quit"}\n')


def pool_sampler(runner: asyncio.Runner, pool: ShellWorkerPool) -> Callable[[], float]:
    async def seconds_per_request() -> float:
        start = perf_counter()
        results = await asyncio.gather(*(pool.exec("true") for _ in range(REQUESTS)))
        elapsed = perf_counter() - start
        if results != [CommandResult("", "", 0)] * REQUESTS:
            raise SystemExit("the pool gave another answer to `true`")
        return elapsed / REQUESTS
    return lambda: runner.run(seconds_per_request())


def bench_pool(settings: Any) -> list[Row]:
    pairs = settings.round_trip_pairs
    with asyncio.Runner() as runner:
        pools = {size: ShellWorkerPool(size, argv=WORKER) for size in SIZES}
        plain = PlainWorker()
        try:
            for pool in pools.values():
                runner.run(pool.start())
            one = pool_sampler(runner, pools[1])
            rows = [Row("pool of 1 worker: true", "requests/s",
                        paired(one, plain.seconds_per_request, pairs).inverted(),
                        "one plain worker", Target(low=0.9))]
            for size in SIZES[1:]:
                rows.append(Row(f"pool of {size} workers: true", "requests/s",
                                paired(pool_sampler(runner, pools[size]), one, pairs).inverted(),
                                "pool of 1 worker", Target(low=1.3)))
            return rows
        finally:
            plain.close()
            for pool in pools.values():
                runner.run(pool.close())
