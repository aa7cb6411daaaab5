"""The controller library as a type checker sees it once installed."""
import subprocess
import sys

import pytest

USE = """
import asyncio
from varnok.workers.shell_worker_client import CommandResult, ShellWorker, ShellWorkerPool

def first_line(worker: ShellWorker) -> str:
    return worker.exec("echo hi", timeout=5).stdout.splitlines()[0]

async def statuses(pool: ShellWorkerPool) -> list[int]:
    return [result.returncode for result in await pool.exec_many(["true", "false"])]
"""


@pytest.mark.timeout(300)
@pytest.mark.parametrize("extra, complaint", [
    ("", None),
    # The checks must see the library's own annotations, not Any.
    ("wrong: int = ShellWorker().exec('true').stdout\n", 'expression has type "str"'),
    ("ShellWorker().exec(['true'])\n", 'incompatible type "list[str]"'),
])
def test_the_installed_library_passes_mypy_strict_and_types_its_callers(tmp_path, extra,
                                                                        complaint):
    (tmp_path / "use.py").write_text(USE + extra)
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "-p", "varnok.workers.shell_worker_client", "-m", "use"],
                          capture_output=True, text=True, cwd=tmp_path)
    if complaint is None:
        assert done.returncode == 0, done.stdout + done.stderr
        assert done.stdout.startswith("Success: no issues found in 14 source files")
    else:
        assert done.returncode == 1 and complaint in done.stdout, done.stdout + done.stderr
        assert "shell_worker_client" not in done.stdout  # the complaint is about use.py alone
