"""The controller's protocol core alone: bytes in, answers or trouble out,
with no process behind it."""
import json
from fractions import Fraction
from pathlib import Path

import pytest

from varnok.workers.shell_worker_client.errors import CommandError, RequestError
from varnok.workers.shell_worker_client.protocol import Trouble, WorkerProtocol
from varnok.workers.shell_worker_client.request_lines import exec_request

OK = b'{"success": true, "result": {"stdout": "a", "stderr": "", "returncode": 0}, "error": null}\n'
FAILED = OK.replace(b'"returncode": 0', b'"returncode": 3')


def fed(*chunks, sent=True, check=False, exited=None):
    """A core that sent `exec true` (unless not `sent`) and read `chunks`;
    then `exited` as the rest of a worker's output once it has exited."""
    core = WorkerProtocol(["worker"])
    if sent:
        assert core.send(exec_request("true", 30, None, check)).startswith(b'{"action": "exec"')
    for chunk in chunks:
        core.receive_data(chunk)
    if exited is not None:
        core.exited(exited)
    return core


def outcome(core):
    """The result's stdout, or the class and text of what was raised instead."""
    try:
        line = core.answer_line()
        return "waiting" if line is None else core.read_answer(line).stdout
    except (Trouble, RequestError, CommandError) as error:
        silent = " (silent)" if isinstance(error, Trouble) and error.silent else ""
        return f"{type(error).__name__}: {error}{silent}"


@pytest.mark.parametrize("core, expected", [
    (fed(OK), "a"),
    (fed(OK[:7], OK[7:40], OK[40:]), "a"),
    (fed(OK[:-1]), "waiting"),
    (fed(OK[:-1], exited=b"\n"), "a"),  # the rest came with the exit
    (fed(OK + b"EXTRA\n"),
     "Trouble: the worker broke the lock-step with a line it was not asked for after its "
     "answer: b'EXTRA\\n'"),
    (fed(OK, b"{}\n"), "Trouble: the worker broke the lock-step with a line it was not asked "
                       "for: b'{}\\n'"),
    (fed(b"EXTRA\n", sent=False),
     "Trouble: the worker broke the lock-step with a line it was not asked for: b'EXTRA\\n'"),
    (fed(b"not json\n"), "Trouble: the worker broke the lock-step with a line that is not "
                         "JSON: b'not json\\n'"),
    (fed(OK[:20], b""), "Trouble: the worker ended without answering (silent)"),
    (fed(OK[:20], exited=b""), "Trouble: the worker ended without answering (silent)"),
    (fed(b"", sent=False), "Trouble: the worker had ended before the request was sent (silent)"),
    (fed(b'{"success": false, "error": "No command provided"}\n'),
     "RequestError: No command provided"),
    (fed(FAILED, check=True), "CommandError: Command 'true' returned non-zero exit status 3."),
    (fed(FAILED), "a"),
])
def test_what_the_core_makes_of_the_bytes_it_is_fed(core, expected):
    assert outcome(core) == expected


@pytest.mark.parametrize("answer, serves_on", [
    (OK, True), (b'{"success": false, "error": "No command provided"}\n', True),
    (FAILED, True), (b"[]\n", False), (OK + OK, False),
])
def test_only_a_fitting_answer_leaves_the_core_ready_for_the_next_request(answer, serves_on):
    core = fed(answer, check=True)
    outcome(core)
    assert (core.trouble is None) == serves_on
    if serves_on:
        assert not core.request_sent
        core.send(exec_request("true", 30, None))
    else:
        # A request may have run: whoever reports the fault must say so.
        assert core.request_sent
        with pytest.raises(Trouble):
            core.send(exec_request("true", 30, None))


def test_the_ended_worker_refuses_and_says_why_and_that_nothing_was_sent():
    core = fed(b"")
    error = core.end("the worker ended without answering", 1, ("Traceback", "ValueError: x"))
    assert (error.sent, error.argv, error.returncode) == (True, ("worker",), 1)
    assert str(error) == ("the worker ended without answering; the worker exited with status "
                          "1; its standard error ended with: ValueError: x")
    refused = core.refusal()
    assert not refused.sent and str(refused) == f"the worker has ended ({error})"
    assert core.refusal() is not refused  # each caller raises an error of its own


@pytest.mark.parametrize("command, line", [
    ("echo $HOME", "echo $HOME"),
    (["printf", "%s", "a b; rm -rf x"], "printf %s 'a b; rm -rf x'"),
    (("it's",), "'it'\"'\"'s'"),
])
def test_an_argument_list_is_quoted_into_one_shell_line(command, line):
    request = exec_request(command, None, None)
    assert json.loads(request.line)["command"] == line
    assert json.loads(request.line)["timeout"] == 2_000_000


@pytest.mark.parametrize("command, timeout, cwd", [
    ('say "é\n\t\\"', 30.0, None), ("true", 5, "/tmp/é"), ("true", Fraction(1, 3), Path("/"))])
def test_the_exec_line_holds_exactly_what_was_asked(command, timeout, cwd):
    line = exec_request(command, timeout, cwd).line
    assert line.endswith(b"}\n") and line.count(b"\n") == 1 and line.isascii()
    assert json.loads(line) == {"action": "exec", "command": command,
                                "timeout": float(timeout), "cwd": cwd and str(cwd)}


LARGE_TEXTS = {
    "escapes and pairs": "\x01\\\"\u00e9\N{GRINNING FACE}\ud800x" * 700,
    "backslash runs": "\\" * 3001 + "\"" + "\\" * 2000,
    "plain": "y" * 5000,
    "quotes": '"' * 3000 + '\\"' * 500,
}


@pytest.mark.parametrize("text", LARGE_TEXTS.values(), ids=LARGE_TEXTS)
@pytest.mark.parametrize("piece", [7, 64, 1000])
def test_a_large_line_is_decoded_piece_by_piece_to_the_same_result(monkeypatch, text, piece):
    """Cut in every kind of place: escapes, surrogate pairs, runs of backslashes."""
    from varnok.workers.shell_worker_client import large_lines
    from varnok.workers.shell_worker_client.response_lines import read_batch_answer
    monkeypatch.setattr(large_lines, "LARGE", 100)
    monkeypatch.setattr(large_lines, "PIECE", piece)
    results = [{"stdout": text, "stderr": text[::-1], "returncode": 3},
               {"stdout": "short", "stderr": "", "returncode": 0}]
    line = bytearray(json.dumps({"success": False, "result": results}).encode() + b"\n")
    got = read_batch_answer(line, ["a", "b"], "", False)
    assert [(each.stdout, each.stderr, each.returncode) for each in got] == [
        (text, text[::-1], 3), ("short", "", 0)]
    assert line == b""


@pytest.mark.parametrize("command, timeout, cwd", [
    ("true", 30.0, None), ("printf 'é€😀\\ud800' \"$X\"\t\x00\x7f/", 2.5, "/tmp/é"),
    ("x", 0, ""), ("x", 1e-05, None), ("x", 1e16, None), ("x", -0.0, None),
    ("x", float("nan"), None), ("x", float("inf"), None), ("x", -float("inf"), None),
    ("x", 10**30, None), ("\ud83d\ude00 \udfff", 30, "\n"),
])
def test_the_exec_line_is_what_json_dumps_writes(command, timeout, cwd):
    expected = json.dumps({"action": "exec", "command": command, "timeout": timeout,
                           "cwd": cwd}).encode("ascii") + b"\n"
    assert exec_request(command, timeout, cwd).line == expected
