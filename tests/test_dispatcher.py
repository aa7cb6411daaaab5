"""handle_command: actions, defaults, response shapes, and what passes out."""
import pytest

import varnok.workers.shell_worker as sw

NO_COMMAND = {"success": False, "error": "No command provided"}


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
    ({"action": "quit", "command": "x"}, {"success": True, "result": "goodbye"}),
    *[({"action": action}, {"success": False, "error": "Unknown action: " + text})
      for action, text in [(None, "None"), ("EXEC", "EXEC"), (" exec", " exec"), ("", ""),
                           (7, "7"), (True, "True"), (1.5, "1.5"), (1e16, "1e+16"),
                           (["quit"], "['quit']"), ({"a": 1}, "{'a': 1}")]],
    ({"action": "exec_many"}, {"success": True, "result": []}),
    ({"action": "exec_many", "commands": []}, {"success": True, "result": []}),
])
def test_requests_that_run_nothing(calls, request_, response):
    result = sw.handle_command(request_)
    assert result == response and list(result) == list(response)
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
