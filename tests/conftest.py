import subprocess
import sys
import textwrap

import pytest

WORKER = [sys.executable, "-c", "from varnok.workers.shell_worker import main; main()"]


def run_worker(data: bytes, timeout: float = 60, **options) -> subprocess.CompletedProcess:
    """Feeds `data` to a fresh worker process and waits for it to end."""
    return subprocess.run(WORKER, input=data, capture_output=True, timeout=timeout, **options)


def run_python(code: str, timeout: float = 60, **options) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter, where process-wide state starts anew."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, **options)


class Worker:
    """A worker process driven line by line over pipes."""

    def __init__(self, **options):
        self.process = subprocess.Popen(WORKER, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, **options)

    def send(self, line: bytes) -> None:
        self.process.stdin.write(line)
        self.process.stdin.flush()

    def receive(self) -> bytes:
        return self.process.stdout.readline()

    def close(self) -> tuple[bytes, bytes, int]:
        out, err = self.process.communicate(timeout=60)
        return out, err, self.process.returncode


@pytest.fixture
def worker():
    w = Worker()
    yield w
    if w.process.poll() is None:
        w.process.kill()
        w.process.communicate()
