"""handle_command: how actions are matched, that every response is a new map,
and how the executor's result is read."""

import collections
import json
import sys

import pytest

import varnok.workers.shell_worker as worker


class EqualToAnything(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


@pytest.mark.parametrize("action, response", [
    ("".join(["qu", "it"]), {"success": True, "result": "goodbye"}),
    (json.loads('"exec_many"'), {"success": True, "result": []}),
    (sys.intern("exec_many"), {"success": True, "result": []}),
    (sys.intern("Quit"), {"success": False, "error": "Unknown action: Quit"}),
    (EqualToAnything("nothing"), {"success": True, "result": "goodbye"}),
    ("Quit", {"success": False, "error": "Unknown action: Quit"}),
    ("quit ", {"success": False, "error": "Unknown action: quit "}),
    ("exec_man", {"success": False, "error": "Unknown action: exec_man"}),
    ("", {"success": False, "error": "Unknown action: "}),
    (7, {"success": False, "error": "Unknown action: 7"}),
    (None, {"success": False, "error": "Unknown action: None"}),
])
def test_action_matching(action, response):
    assert worker.handle_command({"action": action}) == response


@pytest.mark.parametrize("request_, keys", [
    ({"action": "quit"}, ["success", "result"]),
    ({}, ["success", "error"]),
    ({"command": ""}, ["success", "error"]),
])
def test_fixed_responses_are_new_maps_each_time(request_, keys):
    first = worker.handle_command(request_)
    expected = dict(first)
    first.clear()
    second = worker.handle_command(request_)
    assert second is not first
    assert second == expected and list(second) == keys


class WithMissing(dict):
    def __missing__(self, key):
        return {"returncode": 0, "stderr": "from __missing__"}[key]


class Mapping(collections.abc.Mapping):
    def __init__(self, **items):
        self.items_ = items

    def __getitem__(self, key):
        return self.items_[key]

    def __iter__(self):
        return iter(self.items_)

    def __len__(self):
        return len(self.items_)


@pytest.mark.parametrize("result, error", [
    ({"returncode": 0}, None),
    ({"returncode": 0.0}, None),
    ({"returncode": 2, "stderr": "why"}, "why"),
    (WithMissing(), None),
    (WithMissing(returncode=1), "from __missing__"),
    (Mapping(returncode=3, stderr="mapped"), "mapped"),
])
def test_result_is_read_by_subscription(monkeypatch, result, error):
    monkeypatch.setattr(worker, "execute_command", lambda command, timeout, cwd: result)
    response = worker.handle_command({"command": "x"})
    assert list(response) == ["success", "result", "error"]
    assert response["result"] is result and response["error"] == error


@pytest.mark.parametrize("result, missing", [
    ({"stdout": "", "stderr": ""}, "returncode"),
    ({"returncode": 1}, "stderr"),
])
def test_result_without_a_member_raises_the_hosts_key_error(monkeypatch, result, missing):
    monkeypatch.setattr(worker, "execute_command", lambda command, timeout, cwd: result)
    with pytest.raises(KeyError) as raised:
        worker.handle_command({"command": "x"})
    assert raised.value.args == (missing,)
