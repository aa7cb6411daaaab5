"""Controlling shell workers from Python: one worker, or a pool of them, on
this machine or, through any transport that carries standard streams (ssh,
kubectl exec -i, docker exec -i), on others.

    with ShellWorker() as worker:
        worker.exec("echo hello")        # CommandResult(stdout='hello\\n', stderr='', returncode=0)

    async with ShellWorkerPool(4) as pool:
        results = await asyncio.gather(*(pool.exec(f"sleep 1; echo {i}") for i in range(8)))
"""

from .async_worker import AsyncShellWorker
from .errors import RequestError, WorkerError
from .pool import ShellWorkerPool
from .results import CommandResult
from .sync_worker import ShellWorker

__all__ = ["AsyncShellWorker", "CommandResult", "RequestError", "ShellWorker",
           "ShellWorkerPool", "WorkerError"]
