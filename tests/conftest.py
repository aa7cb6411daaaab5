import itertools
import os
import subprocess
import sys
import textwrap
import time

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


def unique_seconds() -> str:
    """A sleep length like 30.000417263 that no other process in the system has in its argv."""
    return f"30.{os.getpid() % 1000:03d}{next(_counter):06d}"


_counter = itertools.count(int(time.time() * 1000) % 1_000_000)


def processes_with(argument: str) -> list[int]:
    """The live processes (not zombies) with `argument` somewhere in their argv."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                if argument.encode() in cmdline.read():
                    found.append(int(entry))
        except (FileNotFoundError, ProcessLookupError):  # ended meanwhile
            continue
    return found


def wait_for(condition, seconds: float = 5.0) -> bool:
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True
