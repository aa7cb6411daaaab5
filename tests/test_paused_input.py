"""Standard input that has nothing yet (a non-blocking descriptor) is waited
for, never taken for its end: a worker whose parent handed it such an input
answers every line, and ends only when the input does."""

import os
import platform
import subprocess
import sys
import time

import pytest

import varnok.workers.shell_worker as worker
from conftest import WORKER, after_version_warning

# poll(2) and ppoll(2), as /proc/PID/syscall names them on this machine.
POLL_SYSCALLS = {"x86_64": {"7", "271"}, "aarch64": {"73"}}.get(platform.machine())


def wait_until_polling(process: subprocess.Popen) -> None:
    """Returns once the worker sleeps in a wait for its input to become
    readable: then the input has paused for it, not raced it."""
    deadline = time.monotonic() + 30
    while True:
        with open(f"/proc/{process.pid}/syscall") as status:
            if status.read().split()[0] in POLL_SYSCALLS:
                return
        assert process.poll() is None, f"the worker ended with status {process.returncode}"
        assert time.monotonic() < deadline, "the worker never waited for its input"
        time.sleep(0.005)


def answered(stdout: str) -> str:
    return (f'{{"success": true, "result": {{"stdout": "{stdout}", "stderr": "", '
            f'"returncode": 0}}, "error": null}}\n')


@pytest.mark.skipif(POLL_SYSCALLS is None, reason="poll's number on this machine is not known")
def test_a_non_blocking_input_is_waited_for_across_pauses():
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)
    process = subprocess.Popen(WORKER, stdin=read_end, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    os.close(read_end)
    try:
        # Each piece is written once the worker has found nothing after the
        # one before: a pause before a line, inside one, inside a character.
        pieces = [b'{"command": "echo one"}\n{"comm', b'and": "echo two"}\n',
                  '{"command": "echo \u00e9'.encode()[:-1], '\u00e9"}\n'.encode()[-4:]]
        for piece in pieces:
            wait_until_polling(process)
            os.write(write_end, piece)
        wait_until_polling(process)
    finally:
        os.close(write_end)
    out, err = process.communicate(timeout=60)
    assert out.decode() == answered("one\\n") + answered("two\\n") + answered("\\u00e9\\n")
    assert (process.returncode, after_version_warning(err)) == (0, b"")


class PausedInput:
    """An input with no descriptor whose reads find nothing: it ends, with
    errno left at EAGAIN, as the host's own stream over such a read does."""

    def __iter__(self):
        return self

    def __next__(self):
        read_end, write_end = os.pipe()
        os.set_blocking(read_end, False)
        try:
            os.read(read_end, 1)
        except BlockingIOError:
            raise StopIteration from None
        finally:
            os.close(read_end)
            os.close(write_end)


def test_an_input_that_pauses_and_cannot_be_waited_for_ends_the_worker_saying_why(
        monkeypatch, sigint_restored):
    monkeypatch.setattr(sys, "stdin", PausedInput())
    with pytest.raises(SystemExit) as ended:
        worker.main()
    assert str(ended.value) == (
        "shell worker: its standard input had nothing to read yet (it is non-blocking) and it "
        "has no descriptor to wait on: Resource temporarily unavailable")
