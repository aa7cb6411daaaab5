"""Traceback entries along main -> handle_command -> execute_command / genexpr."""
import io
import json
import traceback

import pytest

import varnok.workers.shell_worker as sw
from conftest import FakeSubprocess

PREFIX = "varnok.workers.shell_worker."


def module_entries(error):
    frames = traceback.extract_tb(error.__traceback__)
    assert all(f.lineno > 0 for f in frames if f.filename == "varnok/workers/shell_worker")
    return [f.name.removeprefix(PREFIX) for f in frames
            if f.filename == "varnok/workers/shell_worker"]


@pytest.mark.parametrize("request_, patch, error, chain", [
    ({"command": "c"}, ("subprocess", FakeSubprocess(KeyboardInterrupt())), KeyboardInterrupt,
     ["main", "handle_command", "execute_command"]),
    ({"command": "c", "timeout": "x"}, None, TypeError,
     ["main", "handle_command", "execute_command"]),
    ({"action": "exec_many", "commands": ["c"]}, ("execute_command", lambda *a: {}), KeyError,
     ["main", "handle_command", "handle_command.genexpr"]),
    ({"action": "exec_many", "commands": 3}, None, TypeError, ["main", "handle_command"]),
    ({"command": "c"}, ("execute_command", None), NameError, ["main", "handle_command"]),
    ({"command": 1}, None, TypeError, ["main", "handle_command"]),
    ([], None, TypeError, ["main"]),
    ({}, ("json", type("Json", (), {"loads": json.loads, "JSONDecodeError": ValueError})),
     AttributeError, ["main"]),
])
def test_each_level_adds_its_entry(monkeypatch, capsys, request_, patch, error, chain):
    if patch and patch[1] is None:
        monkeypatch.delattr(sw, patch[0])
    elif patch:
        monkeypatch.setattr(sw, *patch)
    monkeypatch.setattr(sw.sys, "stdin", io.StringIO(json.dumps(request_) + "\n"))
    with pytest.raises(error) as raised:
        sw.main()
    assert module_entries(raised.value) == chain
    assert capsys.readouterr().out == ""


def test_entries_pass_the_same_error_on(monkeypatch):
    original = KeyboardInterrupt("stop")
    original.add_note("kept")
    monkeypatch.setattr(sw, "subprocess", FakeSubprocess(original))
    with pytest.raises(KeyboardInterrupt) as raised:
        sw.handle_command({"command": "c"})
    assert raised.value is original and original.__notes__ == ["kept"]
    assert module_entries(raised.value) == ["handle_command", "execute_command"]
