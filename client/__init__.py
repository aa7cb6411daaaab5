"""Controlling shell workers from Python: one worker, or a pool of them, on
this machine or, through any transport that carries standard streams (ssh,
kubectl exec -i, docker exec -i), on others.

    with ShellWorker() as worker:
        worker.exec("echo hello")        # CommandResult(stdout='hello\\n', ...)

    with ShellWorkerPool(4) as pool:
        results = list(pool.map(f"sleep 1; echo {i}" for i in range(8)))

    async with AsyncShellWorkerPool(4) as pool:
        results = await asyncio.gather(*(pool.exec(f"sleep 1; echo {i}") for i in range(8)))
"""

from .async_pool import AsyncShellWorkerPool
from .async_worker import AsyncShellWorker
from .errors import CommandError, CommandTimeout, RequestError, WorkerError
from .results import CommandResult
from .sync_pool import ShellWorkerPool
from .sync_worker import ShellWorker

__all__ = ["AsyncShellWorker", "AsyncShellWorkerPool", "CommandError", "CommandResult",
           "CommandTimeout", "RequestError", "ShellWorker", "ShellWorkerPool", "WorkerError"]
