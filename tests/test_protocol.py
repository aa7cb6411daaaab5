"""The worker as its controlling process sees it: bytes in, bytes out."""
import json
import signal

import pytest

from conftest import Worker, after_version_warning, run_worker

NO_COMMAND = b'{"success": false, "error": "No command provided"}\n'
GOODBYE = b'{"success": true, "result": "goodbye"}\n'


def request(**members) -> bytes:
    return json.dumps(members).encode() + b"\n"


@pytest.mark.parametrize("lines, expected", [
    (b"{}\n", NO_COMMAND),
    (b'{"action": "exec_many"}\n', b'{"success": true, "result": []}\n'),
    (b'{"action": null}\n', b'{"success": false, "error": "Unknown action: None"}\n'),
    (b'{"action": "quit"}\n{"command": "echo after"}\n{}\n', GOODBYE),
    (b'{"action": "quit", "command": "echo ran"}\n', GOODBYE),
    (b'\n   \n\t\r\n{"action": "quit"}\r\n', GOODBYE),
    (b'  {"action": "Quit"}  \n{"action": "quit "}\n{}',
     b'{"success": false, "error": "Unknown action: Quit"}\n'
     b'{"success": false, "error": "Unknown action: quit "}\n' + NO_COMMAND),
    (b"quit\n{}\n",
     b'{"success": false, "error": "Invalid JSON: Expecting value: line 1 column 1 (char 0)"}\n'
     + NO_COMMAND),
    (b"{} {}\n", b'{"success": false, "error": "Invalid JSON: Extra data: line 1 column 4 (char 3)"}\n'),
    (b'{"command":\n"echo split"}\n',
     b'{"success": false, "error": "Invalid JSON: Expecting value: line 1 column 12 (char 11)"}\n'
     b'{"success": false, "error": "Invalid JSON: Extra data: line 1 column 13 (char 12)"}\n'),
    (request(command="printf 'caf\\303\\251\\n\"/\\\\x\\t'"),
     b'{"success": true, "result": {"stdout": "caf\\u00e9\\n\\"/\\\\x\\t", "stderr": "", '
     b'"returncode": 0}, "error": null}\n'),
    (request(command="echo out; echo err >&2; exit 3"),
     b'{"success": false, "result": {"stdout": "out\\n", "stderr": "err\\n", "returncode": 3}, '
     b'"error": "err\\n"}\n'),
    (b"", b""),
])
def test_responses_byte_for_byte(lines, expected):
    done = run_worker(lines)
    assert (done.stdout, after_version_warning(done.stderr), done.returncode) == (expected, b"", 0)


@pytest.mark.parametrize("line, received", [
    (b"[]", "list"), (b'"quit"', "str"), (b"7", "int"), (b"null", "NoneType"),
])
def test_json_that_is_not_an_object_ends_the_worker_without_a_response(line, received):
    done = run_worker(b"{}\n" + line + b"\n{}\n")
    assert done.stdout == NO_COMMAND
    assert done.returncode == 1
    assert (f"TypeError: Argument 'cmd' has incorrect type (expected dict, got {received})"
            in done.stderr.decode())


@pytest.mark.parametrize("member", [
    {"command": 5}, {"command": "true", "timeout": "5"}, {"command": "true", "cwd": 7},
    {"action": "exec_many", "commands": None}, {"action": "exec_many", "commands": ["true", 5]},
])
def test_bad_member_types_end_the_worker(member):
    done = run_worker(request(**member) + b"{}\n")
    assert (done.stdout, done.returncode) == (b"", 1)
    assert b"Traceback" in done.stderr


def test_command_reading_its_input_does_not_swallow_queued_requests(worker):
    # All three lines are in the pipe before the first command starts.
    worker.send(request(command="cat", timeout=10) + request(command="echo one")
                + request(command='read x; echo "$?[$x]"'))
    responses = [json.loads(worker.receive()) for _ in range(3)]
    assert [r["result"] for r in responses] == [
        {"stdout": "", "stderr": "", "returncode": 0},
        {"stdout": "one\n", "stderr": "", "returncode": 0},
        {"stdout": "1[]\n", "stderr": "", "returncode": 0},
    ]
    worker.send(request(action="quit"))
    out, err, code = worker.close()
    assert (out, after_version_warning(err), code) == (GOODBYE, b"", 0)


def test_interrupt_while_waiting_for_input_is_ignored(worker):
    worker.send(b"{}\n")
    assert worker.receive() == NO_COMMAND  # by now main has set SIGINT aside
    worker.process.send_signal(signal.SIGINT)
    worker.send(b'{"action": "exec_many"}\n')
    assert worker.receive() == b'{"success": true, "result": []}\n'
    worker.send(request(action="quit"))
    out, err, code = worker.close()
    assert (out, after_version_warning(err), code) == (GOODBYE, b"", 0)


def test_console_script_and_python_c_run_the_same_worker():
    import shutil
    import subprocess
    import sys
    from pathlib import Path
    script = Path(sys.executable).with_name("varnok-shell-worker")
    assert shutil.which(str(script))
    done = subprocess.run([str(script)], input=b"{}\n", capture_output=True, timeout=60)
    assert (done.stdout, done.returncode) == (NO_COMMAND, 0)
