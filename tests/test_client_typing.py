"""The controller library as a type checker sees it once installed."""
import subprocess
import sys
from pathlib import Path

import pytest

import varnok.workers.shell_worker_client as client

# Every public name, used as a caller would.
USE = """
import asyncio
from concurrent.futures import Future
from pathlib import Path
from varnok.workers.shell_worker_client import (AsyncShellWorker, AsyncShellWorkerPool,
                                                CommandError, CommandResult, CommandTimeout,
                                                RequestError, ShellWorker, ShellWorkerPool,
                                                WorkerError)

def first_line(worker: ShellWorker) -> str:
    return worker.exec("echo hi", timeout=5).stdout.splitlines()[0]

def argv_form(worker: ShellWorker) -> CommandResult:
    result = worker.exec(["printf", "%s", Path("a b")], timeout=None, cwd=Path("/"), check=True,
                         env={"A": "b"})
    result.check_returncode()
    assert result.args == result.command and not result.timed_out
    worker.exec_many(command for command in ["true"])
    return result

def pooled() -> list[str]:
    with ShellWorkerPool(2, argv=["varnok-shell-worker"]) as pool:
        future: Future[CommandResult] = pool.submit("true", check=True)
        ran: list[str] = [result.command for result in pool.map(["true", ["echo", "x"]])]
        statuses = [result.returncode for result in pool.exec_many(["true"], cwd="/")]
        pool.shutdown(wait=False, cancel_futures=True)
        future.cancel()
        pool.close(timeout=1.5)
        pool.kill()
        return ran + [future.result().stdout] + [str(status) for status in statuses]

def why(error: Exception) -> str:
    if isinstance(error, WorkerError):
        return f"{error.argv} {error.sent} {error.returncode} {error.stderr_tail}"
    if isinstance(error, CommandError):
        return f"{error.command} {error.result.stderr} {error.returncode} {error.cmd}"
    if isinstance(error, CommandTimeout):
        return f"{error.result.timed_out} {error.timeout}"
    if isinstance(error, RequestError):
        return error.error
    return ""

async def statuses(pool: AsyncShellWorkerPool) -> list[int]:
    return [result.returncode for result in await pool.exec_many(["true", ["false"]])]

async def both() -> bool:
    async with AsyncShellWorker(env={"PATH": "/bin"}) as worker:
        worker.kill()
        return worker.ended
    async with AsyncShellWorkerPool(argvs=[["a"], ["b"]]) as pool:
        await pool.exec("true", check=True)
        await pool.close(timeout=None)
"""


@pytest.mark.timeout(300)
@pytest.mark.parametrize("extra, complaint", [
    ("", None),
    # The checks must see the library's own annotations, not Any.
    ("wrong: int = ShellWorker().exec('true').stdout\n", 'expression has type "str"'),
    ("ShellWorker().exec(b'true')\n", 'incompatible type "bytes"'),
    ("late: CommandResult = AsyncShellWorkerPool().exec('true')\n", "Coroutine"),
    ("ShellWorkerPool().submit('true').result().stdout + 1\n", "Unsupported operand types"),
    ("ShellWorker().exec('true', env={'A': 1})\n", 'expected "str": "str"'),
])
def test_the_installed_library_passes_mypy_strict_and_types_its_callers(tmp_path, extra,
                                                                        complaint):
    (tmp_path / "use.py").write_text(USE + extra)
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "-p", "varnok.workers.shell_worker_client", "-m", "use"],
                          capture_output=True, text=True, cwd=tmp_path)
    if complaint is None:
        assert done.returncode == 0, done.stdout + done.stderr
        checked = len(list(Path(client.__file__).parent.glob("*.py"))) + 1
        assert done.stdout.startswith(f"Success: no issues found in {checked} source files")
    else:
        assert done.returncode == 1 and complaint in done.stdout, done.stdout + done.stderr
        assert "shell_worker_client" not in done.stdout  # the complaint is about use.py alone
