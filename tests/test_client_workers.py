"""The controller's four classes against real workers, and against fakes that
break the protocol or will not end, all driven through one plain interface."""
import base64
import os
import signal
import sys
import threading
import time
from fractions import Fraction
from pathlib import Path

import pytest

from conftest import POOLS, Driven, processes_with, tagged_worker_argv, wait_for
from varnok.workers.shell_worker_client import (CommandError, CommandResult, RequestError,
                                                WorkerError, grace_periods)

MIB = 1 << 20
PROBE_ANSWER = '{"success": true, "result": []}'


@pytest.fixture
def driven(kind, tag):
    worker = Driven(kind, tagged_worker_argv(tag))
    yield worker
    worker.close()


def fake_worker(tag, script, ignore_term=False):
    """A shell that answers the start-up request, then runs `script`."""
    trap = "trap '' TERM; " if ignore_term else ""
    return ["sh", "-c", f"{trap}read -r l; echo '{PROBE_ANSWER}'; {script}", tag]


def test_results_and_refusals_come_back_as_the_worker_gave_them(kind):
    worker = Driven(kind)  # the default command: this interpreter's worker
    try:
        assert worker.exec("echo hello") == CommandResult("hello\n", "", 0, "echo hello")
        mixed = r"printf 'é€😀 a\377b'; printf 'e\376' >&2; exit 3"
        assert worker.exec(mixed) == CommandResult("é€😀 a\ufffdb", "e\ufffd", 3, mixed)
        assert worker.exec("pwd", cwd="/").stdout == "/\n"
        assert worker.exec("pwd", cwd=Path("/tmp")).stdout == "/tmp\n"
        assert worker.exec_many(("printf a", "", "exit 2")) == [
            CommandResult("a", "", 0, "printf a"), CommandResult("", "", 0, ""),
            CommandResult("", "", 2, "exit 2")]
        assert worker.exec_many([]) == []
        with pytest.raises(RequestError) as refused:
            worker.exec("")
        assert refused.value.error == "No command provided"
        assert worker.exec("true").ok and not worker.exec("false").ok
    finally:
        worker.close()


class BytesPath:
    def __fspath__(self):
        return b"/"


@pytest.mark.parametrize("method, args, options", [
    ("exec", (1,), {}), ("exec", (b"true",), {}), ("exec", (None,), {}),
    ("exec", ("true",), {"timeout": True}), ("exec", ("true",), {"timeout": "1"}),
    ("exec", ("true",), {"cwd": b"/"}), ("exec", ("true",), {"cwd": BytesPath()}),
    ("exec", (["echo", 1],), {}), ("exec", ((b"echo",),), {}), ("exec", ({"echo"},), {}),
    ("exec_many", ("true",), {}), ("exec_many", ([["echo", None]],), {}),
    ("exec_many", (["true", 1],), {}), ("exec_many", (1,), {}),
    ("exec_many", (["true"],), {"timeout": False}),
    ("exec_many", (["true"],), {"cwd": 1}),
])
def test_wrong_types_stop_in_the_caller_and_the_worker_serves_on(driven, method, args, options):
    pid = driven.exec("echo $PPID").stdout
    with pytest.raises(TypeError):
        getattr(driven, method)(*args, **options)
    assert driven.exec("echo $PPID").stdout == pid


def test_any_int_or_float_time_limit_goes_to_the_worker(driven):
    for timeout, shown in [(0, "0.0"), (0.25, "0.25"), (Fraction(1, 4), "0.25")]:
        assert driven.exec("sleep 5", timeout=timeout) == \
            CommandResult("", f"Command timed out after {shown}s", -1, "sleep 5", True)
    assert driven.exec_many(["true"], timeout=3600) == [CommandResult("", "", 0, "true")]
    # No limit: a value the worker's wait accepts (an infinite one comes back
    # at once as a failed command).
    assert driven.exec("echo ok", timeout=None).stdout == "ok\n"
    assert driven.exec_many(["echo ok"], timeout=None)[0].stdout == "ok\n"


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    data = bytearray(base64.b64encode(os.urandom(48 * MIB)))
    for at in range(0, len(data), MIB):  # escapes of every kind on the way
        data[at:at + 16] = "é€😀\n\t\x01\"\\/ ".encode()
    path = tmp_path_factory.mktemp("output") / "big"
    path.write_bytes(data)
    return path, bytes(data)


@pytest.mark.timeout(300)
def test_64_mib_of_output_comes_back_whole(driven, big_file):
    path, data = big_file
    result = driven.exec(f"cat {path}")
    assert result.ok and len(data) == 64 * MIB and result.stdout.encode() == data


@pytest.mark.parametrize("how, returncode, last_words", [
    ("killed", -signal.SIGKILL, None),
    ("overflow", 1, "OverflowError: int too large to convert to float"),
])
def test_a_worker_that_dies_mid_request(driven, tag, unique_argument, how, returncode,
                                       last_words):
    marker = unique_argument()  # a killed worker cannot end its command: the fixture does

    def kill_once_running():
        if wait_for(lambda: processes_with(marker)):
            for pid in processes_with(tag):
                os.kill(pid, signal.SIGKILL)

    if how == "killed":
        threading.Thread(target=kill_once_running).start()
    with pytest.raises(WorkerError) as died:
        driven.exec(f"sleep {marker}", timeout=10**400 if how == "overflow" else 60)
    assert died.value.returncode == returncode
    if last_words:
        assert died.value.stderr_tail[-1] == last_words
    assert died.value.sent and died.value.argv == tuple(tagged_worker_argv(tag))
    if driven.kind in POOLS:
        assert driven.exec("echo replaced").stdout == "replaced\n"
    else:
        started = time.monotonic()
        with pytest.raises(WorkerError) as later:
            driven.exec("true")
        assert later.value.returncode == returncode and time.monotonic() - started < 0.5


@pytest.mark.parametrize("argv, returncode, tail", [
    (["/nonexistent/worker"], None, ()),
    ([sys.executable, "-c", "import sys; print('no worker', file=sys.stderr); sys.exit(3)"],
     3, ("no worker",)),
    (["sh", "-c", "echo '{\"success\": true'; sleep 60"], -signal.SIGTERM, ()),
])
def test_a_worker_that_cannot_start(kind, argv, returncode, tail):
    with pytest.raises(WorkerError) as failed:
        Driven(kind, argv)
    assert (failed.value.returncode, failed.value.stderr_tail) == (returncode, tail)


def test_a_transport_in_front_of_the_worker(kind):
    path = os.pathsep.join([os.path.dirname(sys.executable), os.environ["PATH"]])
    worker = Driven(kind, ["sh", "-c", "exec varnok-shell-worker"],
                    env={**os.environ, "PATH": path})
    pid = int(worker.exec("echo $PPID").stdout)
    with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
        assert b"varnok-shell-worker" in cmdline.read()
    worker.close()
    assert not os.path.exists(f"/proc/{pid}")


@pytest.mark.parametrize("answer, request_, ignore_term", [
    ("not json", ("exec", "true"), False),
    ("[]", ("exec", "true"), False),
    (PROBE_ANSWER, ("exec", "true"), False),
    ('{"success": true, "result": "goodbye"}', ("exec", "true"), False),
    ('{"success": true, "result": {"stdout": "", "stderr": "", "returncode": "0"}}',
     ("exec", "true"), False),
    ('{"success": true, "result": [{"stdout": "", "stderr": "", "returncode": 0}]}',
     ("exec_many", ["true", "true"]), False),
    ("not json", ("exec", "true"), True),
])
def test_an_answer_out_of_step_ends_the_worker(kind, tag, monkeypatch, answer, request_,
                                               ignore_term):
    monkeypatch.setattr(grace_periods, "AFTER_TERM", 0.5)
    worker = Driven(kind, fake_worker(tag, f"read -r l; echo '{answer}'; exec sleep {tag}",
                                      ignore_term))
    try:
        broken_one = processes_with(tag)
        with pytest.raises(WorkerError, match="lock-step") as broken:
            getattr(worker, request_[0])(request_[1])
        # Ended before the error was raised (a pool may have started another since).
        assert not set(broken_one) & set(processes_with(tag))
        assert broken.value.returncode == (-signal.SIGKILL if ignore_term else -signal.SIGTERM)
        if kind not in POOLS:
            with pytest.raises(WorkerError):
                worker.exec("true")
    finally:
        worker.close()


@pytest.mark.parametrize("script, ignore_term, least, most", [
    # Ends at quit: the real worker, and a fake that ends only at that line.
    (None, False, 0, 0.5),
    ("read -r l; [ \"$l\" = '{\"action\": \"quit\"}' ] && exit; exec sleep TAG", False, 0, 0.5),
    ("exec sleep TAG", False, 0.5, 1.5),  # at SIGTERM
    ("exec sleep TAG", True, 1.5, 3),  # at SIGKILL
])
def test_closing_ends_the_worker_step_by_step(kind, tag, monkeypatch, script, ignore_term,
                                              least, most):
    monkeypatch.setattr(grace_periods, "AFTER_QUIT", 0.5)
    monkeypatch.setattr(grace_periods, "AFTER_TERM", 1.0)
    argv = (tagged_worker_argv(tag) if script is None
            else fake_worker(tag, script.replace("TAG", tag), ignore_term))
    worker = Driven(kind, argv)
    started = time.monotonic()
    worker.close()
    assert least <= time.monotonic() - started < most
    assert processes_with(tag) == []


def test_check_raises_for_a_failed_command_after_the_whole_batch(driven, tmp_path):
    with pytest.raises(CommandError) as failed:
        driven.exec("echo out; exit 3", check=True)
    assert (failed.value.command, failed.value.result) == \
        ("echo out; exit 3", CommandResult("out\n", "", 3, "echo out; exit 3"))
    assert str(failed.value) == "Command 'echo out; exit 3' returned non-zero exit status 3."
    with pytest.raises(CommandError) as failed:
        driven.exec_many(["false", f"touch {tmp_path}/ran", "exit 4"], check=True)
    assert failed.value.command == "false" and (tmp_path / "ran").exists()
    result = driven.exec("exit 5")
    with pytest.raises(CommandError):
        result.check_returncode()
    driven.exec("true", check=True).check_returncode()
    assert driven.exec("echo $PPID").ok  # the worker serves on


def test_a_command_given_as_arguments_is_quoted_for_the_shell(driven, tmp_path):
    trap = f"a b; touch {tmp_path}/injected"
    result = driven.exec(["printf", "%s|", trap, "$HOME", "it's"])
    assert result.stdout == f"{trap}|$HOME|it's|" and not (tmp_path / "injected").exists()
    assert result.command == f"printf '%s|' '{trap}' '$HOME' 'it'\"'\"'s'"
    assert [each.stdout for each in driven.exec_many([["echo", "a  b"], "echo c"])] == \
        ["a  b\n", "c\n"]
