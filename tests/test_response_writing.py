"""How main hands each response to sys.stdout: one write of json.dumps(response)
plus a line feed, whatever json.dumps is bound to and however large the line."""

import io
import json
import sys
import types

import pytest

import varnok.workers.shell_worker as worker


class Recorder:
    """A stand-in for sys.stdout that keeps every call made to it."""

    def __init__(self):
        self.calls = []

    def write(self, text):
        self.calls.append(("write", text))

    def flush(self):
        self.calls.append(("flush",))


@pytest.fixture
def run_main(monkeypatch, sigint_restored):
    """Runs main over `text` with a Recorder as sys.stdout; returns its calls."""
    def run(text):
        out = Recorder()
        with monkeypatch.context() as streams:
            streams.setattr(sys, "stdin", io.StringIO(text))
            streams.setattr(sys, "stdout", out)
            worker.main()
        return out.calls

    return run


def with_dumps(monkeypatch, dumps):
    """Rebinds the module's `json` to an object whose dumps is `dumps`."""
    fake = types.SimpleNamespace(loads=json.loads, dumps=dumps,
                                 JSONDecodeError=json.JSONDecodeError)
    monkeypatch.setattr(worker, "json", fake)


def test_one_write_then_one_flush_per_response(run_main):
    assert run_main('{}\n\n{"action": "quit"}\n{}\n') == [
        ("write", '{"success": false, "error": "No command provided"}\n'),
        ("flush",),
        ("write", '{"success": true, "result": "goodbye"}\n'),
        ("flush",),
    ]


# Text made at run time, so that it is neither interned nor a constant.
SHARED = "".join(["sha", "red"])


class Joined(str):
    def __add__(self, other):
        return "joined by __add__"


@pytest.mark.parametrize("dumped, written", [
    # Text that json.dumps also keeps elsewhere must not change under its holder.
    (lambda: SHARED, "shared\n"),
    (lambda: Joined("text"), "joined by __add__"),
])
def test_line_is_dumps_result_plus_line_feed(monkeypatch, run_main, dumped, written):
    with_dumps(monkeypatch, lambda response: dumped())
    calls = run_main("{}\n{}\n")
    assert calls == [("write", written), ("flush",)] * 2
    assert SHARED == "shared"


def test_dumps_result_that_cannot_take_a_line_feed_ends_main(monkeypatch, run_main):
    with_dumps(monkeypatch, lambda response: b"bytes")
    with pytest.raises(TypeError):
        run_main("{}\n")


@pytest.mark.parametrize("size", [1, 4096, 3 << 20])
def test_large_response_is_written_whole(monkeypatch, run_main, size):
    result = {"stdout": "x" * size + "\u00e9", "stderr": "", "returncode": 0}
    monkeypatch.setattr(worker, "execute_command", lambda command, timeout, cwd: result)
    calls = run_main('{"command": "print"}\n')
    expected = json.dumps({"success": True, "result": result, "error": None}) + "\n"
    assert calls == [("write", expected), ("flush",)]
