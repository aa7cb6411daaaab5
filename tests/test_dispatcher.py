"""handle_command: actions, defaults, response shapes, and what passes out."""
import collections.abc
import json
import sys

import pytest

import varnok.workers.shell_worker as sw

NO_COMMAND = {"success": False, "error": "No command provided"}
GOODBYE = {"success": True, "result": "goodbye"}


class EqualToAnything(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


@pytest.fixture
def calls(monkeypatch):
    """Rebinds execute_command to a recorder that succeeds unless the command says `fail`."""
    calls = []

    def executor(*args, **kwargs):
        calls.append((args, kwargs))
        code = 1 if args[0] == "fail" else 0
        return {"stdout": args[0], "stderr": "err" if code else "", "returncode": code}

    monkeypatch.setattr(sw, "execute_command", executor)
    return calls


@pytest.mark.parametrize("request_, response", [
    ({}, NO_COMMAND),
    *[({"command": falsy, "timeout": "never read"}, NO_COMMAND)
      for falsy in ["", None, False, 0, 0.0, [], {}]],
    ({"action": "quit", "command": "x"}, GOODBYE),
    # Equal texts match whether or not they are interned; other types use their own equality.
    ({"action": "".join(["qu", "it"])}, GOODBYE),
    ({"action": EqualToAnything("nothing")}, GOODBYE),
    *[({"action": action}, {"success": False, "error": "Unknown action: " + text})
      for action, text in [(None, "None"), ("EXEC", "EXEC"), (" exec", " exec"), ("", ""),
                           (sys.intern("Quit"), "Quit"), ("exec_man", "exec_man"),
                           (7, "7"), (True, "True"), (1.5, "1.5"), (1e16, "1e+16"),
                           (["quit"], "['quit']"), ({"a": 1}, "{'a': 1}")]],
    ({"action": "exec_many"}, {"success": True, "result": []}),
    ({"action": json.loads('"exec_many"'), "commands": []}, {"success": True, "result": []}),
])
def test_requests_that_run_nothing(calls, request_, response):
    result = sw.handle_command(request_)
    assert result == response and list(result) == list(response)
    result.clear()  # every response is a new map, the fixed ones included
    assert sw.handle_command(request_) == response
    assert calls == []


def test_exec_passes_members_on_unchanged_and_orders_keys(calls):
    ok = sw.handle_command({"command": " ", "timeout": 5, "cwd": None, "other": 1})
    assert list(ok) == ["success", "result", "error"]
    assert ok == {"success": True, "result": {"stdout": " ", "stderr": "", "returncode": 0},
                  "error": None}
    failed = sw.handle_command({"action": "exec", "command": "fail"})
    assert (failed["success"], failed["error"]) == (False, "err")
    assert calls == [((" ", 5, None), {}), (("fail", 30.0, None), {})]


def test_exec_many_runs_every_command_in_order(calls):
    response = sw.handle_command({"action": "exec_many", "commands": ["fail", "ok"], "cwd": "/"})
    assert list(response) == ["success", "result"]
    assert response["success"] is False
    assert [r["stdout"] for r in response["result"]] == ["fail", "ok"]
    sw.handle_command({"action": "exec_many", "commands": "ab", "timeout": 2})
    assert [c[0] for c in calls] == [("fail", 30.0, "/"), ("ok", 30.0, "/"),
                                     ("a", 2, None), ("b", 2, None)]


class WithMissing(dict):
    def __missing__(self, key):
        return {"returncode": 0, "stderr": "from __missing__"}[key]


class Mapping(collections.abc.Mapping):
    def __init__(self, **items):
        self.items_ = items

    def __getitem__(self, key):
        return self.items_[key]

    __iter__, __len__ = (lambda self: iter(self.items_)), (lambda self: len(self.items_))


@pytest.mark.parametrize("result, error", [
    ({"returncode": 0.0}, None), (WithMissing(), None),
    (WithMissing(returncode=1), "from __missing__"), (Mapping(returncode=3, stderr="m"), "m"),
])
def test_result_is_read_by_subscription(monkeypatch, result, error):
    monkeypatch.setattr(sw, "execute_command", lambda *args: result)
    response = sw.handle_command({"command": "x"})
    assert response["result"] is result and response["error"] == error


def test_all_success_test_stops_at_the_first_failure(monkeypatch):
    class Unreadable(dict):
        def __getitem__(self, key):
            raise AssertionError("looked at after a failure")

    results = iter([{"returncode": 1}, Unreadable()])
    monkeypatch.setattr(sw, "execute_command", lambda *args: next(results))
    response = sw.handle_command({"action": "exec_many", "commands": ["a", "b"]})
    assert response["success"] is False


@pytest.mark.parametrize("request_, error, message", [
    ({"action": "exec_many", "commands": None}, TypeError, "'NoneType' object is not iterable"),
    ({"action": "exec_many", "commands": ["true", 5]}, TypeError,
     "Argument 'command' has incorrect type (expected str, got int)"),
    ({"command": "true", "timeout": "5"}, TypeError, "must be real number, not str"),
    ({"command": "true", "timeout": None}, TypeError, "must be real number, not NoneType"),
    ({"command": "true", "cwd": 0}, TypeError,
     "Argument 'cwd' has incorrect type (expected str, got int)"),
])
def test_bad_members_pass_out_of_handle_command(request_, error, message):
    with pytest.raises(error) as raised:
        sw.handle_command(request_)
    assert str(raised.value) == message


def test_results_without_their_keys_and_an_executor_found_only_in_builtins(monkeypatch):
    monkeypatch.setattr(sw, "execute_command", lambda *args: {"returncode": 2})
    with pytest.raises(KeyError, match="stderr"):
        sw.handle_command({"command": "x"})
    monkeypatch.delattr(sw, "execute_command")
    with pytest.raises(NameError, match="^name 'execute_command' is not defined$"):
        sw.handle_command({"command": "x"})
    import builtins
    monkeypatch.setattr(builtins, "execute_command", lambda *a: {"returncode": 0}, raising=False)
    assert sw.handle_command({"command": "x"})["result"] == {"returncode": 0}


class CountingKey:
    """A key that collides with `name` in a dict and counts its equality tests."""

    def __init__(self, name):
        self.hash, self.calls = hash(name), 0

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        self.calls += 1
        return False


@pytest.mark.parametrize("request_, missing, present", [
    ({"command": "x"}, "returncode", {}),
    ({"action": "exec_many", "commands": ["x"]}, "returncode", {}),
    ({"command": "x"}, "stderr", {"returncode": 1}),
])
def test_a_missing_result_key_is_looked_up_once(monkeypatch, request_, missing, present):
    # The module's lookup must test the colliding key as often as plain Python's
    # result[missing] does: once, or more when the probe sequence of this run's
    # string hash comes back to the key's slot.
    expected = CountingKey(missing)
    with pytest.raises(KeyError):
        {expected: None, **present}[missing]
    key = CountingKey(missing)
    monkeypatch.setattr(sw, "execute_command", lambda *args: {key: None, **present})
    with pytest.raises(KeyError) as raised:
        sw.handle_command(request_)
    assert raised.value.args == (missing,)
    assert key.calls == expected.calls >= 1
