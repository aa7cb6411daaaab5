"""tools/worker: at a terminal it says when the worker is ready for input; its
standard output carries nothing but the worker's."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import after_version_warning

TOOLS = Path(__file__).resolve().parents[1] / "tools"
READY = b'ready: one JSON request per line; Ctrl-D or {"action": "quit"} ends\n'
REQUESTS = b'{"command": "echo hi"}\n{"action": "quit"}\n'
RESPONSES = (b'{"success": true, "result": {"stdout": "hi\\n", "stderr": "", "returncode": 0}, '
             b'"error": null}\n{"success": true, "result": "goodbye"}\n')


@pytest.fixture
def worker_script(tmp_path):
    """tools/worker beside a stand-in for environment.sh that builds nothing and
    points at the venv of the interpreter running the tests (the sanitizer's or
    3.13's, say), which the real one would not choose."""
    script = tmp_path / "worker"
    shutil.copy(TOOLS / "worker", script)
    venv = Path(sys.executable).parent.parent
    (tmp_path / "environment.sh").write_text(
        f"venv='{venv}'\n"
        "take_python_option() { taken=0; }\n"
        "ensure_worker_installed() { :; }\n")
    return script


def run(script, arguments, stdin_is_terminal):
    if not stdin_is_terminal:
        return subprocess.run(["bash", script, *arguments], input=REQUESTS, capture_output=True,
                              timeout=60)
    controller, terminal = os.openpty()
    try:
        process = subprocess.Popen(["bash", script, *arguments], stdin=terminal,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        os.close(terminal)
        terminal = None
        # Canonical mode: each line reaches the worker when its line feed is typed.
        os.write(controller, REQUESTS)
        try:
            out, err = process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            process.kill()
            raise
    finally:
        os.close(controller)
        if terminal is not None:
            os.close(terminal)
    return subprocess.CompletedProcess(process.args, process.returncode, out, err)


@pytest.mark.parametrize("stdin_is_terminal, arguments, says_ready", [
    (True, [], True),
    (False, [], False),
    (True, ["--version"], False),  # no worker to type to
])
def test_ready_line_at_a_terminal_only(worker_script, stdin_is_terminal, arguments, says_ready):
    done = run(worker_script, arguments, stdin_is_terminal)
    assert done.returncode == 0, done.stderr
    if arguments:
        assert done.stdout.startswith(b"varnok-shell-worker ") and done.stderr == b""
        return
    assert done.stdout == RESPONSES
    err = done.stderr
    if says_ready:
        assert err.startswith(READY)
        err = err[len(READY):]
    assert after_version_warning(err) == b""
