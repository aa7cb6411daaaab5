"""varnok-shell-worker --exit-with-controller: when nobody can read the answer any more, the
running command's group ends and so does the worker, with one line on standard error; without
the option the command runs to its end, as the protocol has it."""
import json
import os
import socket
import subprocess
import sys

import pytest

from conftest import after_version_warning, processes_with, run_python, wait_for

SCRIPT = os.path.join(os.path.dirname(sys.executable), "varnok-shell-worker")
MESSAGE = (b"shell worker: nobody can read its answers any more (its standard output was "
           b"closed); the command's process group was ended\n")

# Commands that run until their sleep is killed: one still writing to its pipes (the wait
# for its output), one that has let them go (the wait for its exit).
COMMANDS = {
    "reading its output": "sleep {t}; echo never",
    "waiting for its exit": "exec >/dev/null 2>&1; sleep {t}",
}


def start(arguments, stdout):
    return subprocess.Popen([SCRIPT, *arguments], stdin=subprocess.PIPE, stdout=stdout,
                            stderr=subprocess.PIPE)


def send(worker, request):
    worker.stdin.write(json.dumps(request).encode() + b"\n")
    worker.stdin.flush()


@pytest.fixture
def marker(unique_argument):
    return unique_argument()


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("transport", ["pipe", "socket"])
def test_a_gone_controller_ends_the_command_and_the_worker(marker, command, transport):
    if transport == "pipe":
        worker = start(["--exit-with-controller"], subprocess.PIPE)
        reader = worker.stdout
    else:
        ours, theirs = socket.socketpair()
        worker = start(["--exit-with-controller"], theirs)
        theirs.close()
        reader = ours
    try:
        send(worker, {"command": COMMANDS[command].format(t=marker)})
        assert wait_for(lambda: processes_with(marker))
        reader.close()  # a pipe's writer then sees POLLERR, a socket's POLLHUP
        assert worker.wait(30) == 1
        assert after_version_warning(worker.stderr.read()) == MESSAGE
        assert wait_for(lambda: processes_with(marker) == [], 2)
    finally:
        if worker.poll() is None:
            worker.kill()


CLOSING_STDOUT_MIDWAY = """
import os, sys, threading
import varnok.workers.shell_worker as sw
from varnok.workers import shell_worker_settings
shell_worker_settings.exit_with_controller = True
def close_stdout():
    open(os.environ["READY"], "rb").close()  # the command has begun
    os.close(1)
    open(os.environ["GO"], "wb").close()  # and goes on, to wake the worker's wait
threading.Thread(target=close_stdout).start()
try:
    print("answered", sw.execute_command(os.environ["COMMAND"], 5.0), file=sys.stderr)
except SystemExit as error:
    print(error, file=sys.stderr)
"""


@pytest.mark.parametrize("command", [
    "echo tick; sleep {t}; echo never",  # wakes the wait for its output
    "exec >/dev/null 2>&1; sleep {t}",  # ends it, for the wait for its exit
])
def test_a_standard_output_closed_midway_ends_the_wait_at_once(marker, command, tmp_path):
    # A poll that began before the close does not see it; every later one reports POLLNVAL
    # at once, for ever: no busy loop until the time limit, and the command's group ends as
    # for a reader that has gone.
    ready, go = tmp_path / "ready", tmp_path / "go"
    os.mkfifo(ready)
    os.mkfifo(go)
    body = f": >{ready}; : <{go}; " + command.format(t=marker)
    result = run_python(CLOSING_STDOUT_MIDWAY, env={**os.environ, "READY": str(ready),
                                                    "GO": str(go), "COMMAND": body})
    assert after_version_warning(result.stderr.encode()) == MESSAGE
    assert wait_for(lambda: processes_with(marker) == [], 2)


def test_a_standard_output_closed_from_the_start_runs_nothing(marker):
    # Its number would otherwise go to the command's own pipe, which would then be watched.
    worker = subprocess.Popen(["sh", "-c", 'exec "$@" >&-', "sh", SCRIPT,
                               "--exit-with-controller"],
                              stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        send(worker, {"command": f"sleep {marker}; echo never"})
        assert worker.wait(30) == 1
        assert after_version_warning(worker.stderr.read()) == (
            b"shell worker: nobody can read its answers any more (its standard output was "
            b"closed); the command was not started\n")
        assert processes_with(marker) == []
    finally:
        if worker.poll() is None:
            worker.kill()


def test_without_the_option_the_command_runs_to_its_end(tmp_path):
    done = tmp_path / "done"
    worker = start([], subprocess.PIPE)
    try:
        send(worker, {"command": f"sleep 0.5; touch {done}"})
        worker.stdout.close()
        # The command ends on its own; only then does the answer fail to go out.
        assert worker.wait(30) == 1
        assert done.exists()
        assert worker.stderr.read().endswith(b"BrokenPipeError: [Errno 32] Broken pipe\n")
    finally:
        if worker.poll() is None:
            worker.kill()


def test_a_reader_that_stays_gets_its_answers():
    worker = start(["--exit-with-controller", "--output-limit", "1K"], subprocess.PIPE)
    send(worker, {"command": "printf hello"})
    assert json.loads(worker.stdout.readline())["result"]["stdout"] == "hello"
    send(worker, {"action": "quit"})
    assert worker.stdout.readline() == b'{"success": true, "result": "goodbye"}\n'
    assert worker.wait(30) == 0


@pytest.mark.parametrize("value", [1, "yes", None])
def test_a_bad_setting_in_process_is_the_commands_failure(monkeypatch, value):
    import varnok.workers.shell_worker as sw
    from varnok.workers import shell_worker_settings
    monkeypatch.setattr(shell_worker_settings, "exit_with_controller", value)
    assert sw.execute_command("true") == {"stdout": "", "returncode": -1, "stderr": (
        "varnok.workers.shell_worker_settings.exit_with_controller must be True or False, "
        f"not {value!r}")}
