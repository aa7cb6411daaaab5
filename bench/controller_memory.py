"""What one large answer costs the controller: the growth of a controller
process's peak resident size (VmHWM) while a worker answers 100 MiB of text
or of random bytes, or 50 MiB of control bytes (escaped as six bytes each),
through ShellWorker and through AsyncShellWorker, against
a plain controller that reads the same line with readline() and json.loads()
on the bytes.  Each sample is a fresh process, started and answering first,
so that only the answer is counted.  The target: the growth stays within the
line's length plus the decoded result plus 64 MiB.
"""

from __future__ import annotations

import asyncio
import json
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any, Callable

from harness import Row, Target, paired

from varnok.workers.shell_worker_client import AsyncShellWorker, ShellWorker

MIB = 1 << 20
OUTPUT = 100 * MIB
SLACK_MIB = 64
WORKER = [sys.executable, "-m", "varnok.workers.shell_worker_cli"]


def peak_mib() -> float:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM")) / 1024


def answer_sizes(stdout: str) -> tuple[float, float]:
    """The answer line's length and the decoded stdout's size, in MiB."""
    line = json.dumps({"success": True, "result": {"stdout": stdout, "stderr": "",
                                                    "returncode": 0}, "error": None})
    return (len(line) + 1) / MIB, sys.getsizeof(stdout) / MIB


def sync_controller(command: str) -> tuple[float, str]:
    with ShellWorker() as worker:
        worker.exec("true")
        before = peak_mib()
        stdout = worker.exec(command, timeout=600).stdout
        return peak_mib() - before, stdout


def asyncio_controller(command: str) -> tuple[float, str]:
    async def main() -> tuple[float, str]:
        async with AsyncShellWorker() as worker:
            await worker.exec("true")
            before = peak_mib()
            stdout = (await worker.exec(command, timeout=600)).stdout
            return peak_mib() - before, stdout
    return asyncio.run(main())


def plain_controller(command: str) -> tuple[float, str]:
    worker = subprocess.Popen(WORKER, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    assert worker.stdin is not None and worker.stdout is not None
    worker.stdin.write(b'{"command": "true"}\n')
    worker.stdin.flush()
    worker.stdout.readline()
    before = peak_mib()
    worker.stdin.write(json.dumps({"command": command, "timeout": 600}).encode() + b"\n")
    worker.stdin.flush()
    stdout = json.loads(worker.stdout.readline())["result"]["stdout"]
    growth = peak_mib() - before
    worker.stdin.close()
    worker.wait()
    return growth, stdout


CONTROLLERS: dict[str, Callable[[str], tuple[float, str]]] = {
    "ShellWorker": sync_controller, "AsyncShellWorker": asyncio_controller,
    "plain": plain_controller}


def sample(controller: str, path: Path) -> tuple[float, float, float]:
    """One fresh process's growth, line and result, in MiB."""
    done = subprocess.run([sys.executable, __file__, controller, str(path)], check=True,
                          capture_output=True, text=True)
    growth, line, result = map(float, done.stdout.split())
    return growth, line, result


def bench_controller_memory(settings: Any) -> list[Row]:
    rows = []
    with tempfile.TemporaryDirectory(prefix="bench-controller-") as directory:
        text, random, control = (Path(directory, name) for name in ("text", "random", "control"))
        line = b"the quick brown fox jumps over the lazy dog, 0123456789 times\n"
        text.write_bytes((line * (OUTPUT // len(line) + 1))[:OUTPUT])
        with open("/dev/urandom", "rb") as source:
            random.write_bytes(source.read(OUTPUT))
        control.write_bytes(b"\x01" * (OUTPUT // 2))
        for what, path in (("100 MiB of text", text), ("100 MiB of random bytes", random),
                           ("50 MiB of control bytes", control)):
            _, line_mib, result_mib = sample("plain", path)
            bound = line_mib + result_mib + SLACK_MIB
            for controller in ("ShellWorker", "AsyncShellWorker"):
                comparison = paired(lambda: sample(controller, path)[0],
                                    lambda: sample("plain", path)[0],
                                    settings.memory_pairs, warmup=0)
                rows.append(Row(f"controller: {controller}, {what} "
                                f"(line {line_mib:.0f} MiB, result {result_mib:.0f} MiB)",
                                "MiB growth", comparison, "readline + json.loads",
                                Target(high=bound, of_module=True)))
    return rows


if __name__ == "__main__":
    growth, stdout = CONTROLLERS[sys.argv[1]](f"cat {sys.argv[2]}")
    print(growth, *answer_sizes(stdout))
