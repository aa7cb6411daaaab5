"""The function objects as introspection, pickling and type checkers see them."""
import inspect
import os
import pickle
import subprocess
import sys
import warnings

import pytest

import varnok.workers.shell_worker as sw
from conftest import FakeSubprocess

ATTRIBUTES = {
    "execute_command": ("Execute a single shell command and return structured output.", (30.0, None),
                        {"command": "str", "timeout": "float", "cwd": "str | None", "return": "dict"},
                        ("command", "timeout", "cwd", "result", "e"), 3),
    "handle_command": ("Process a single command and return the response.", None,
                       {"cmd": "dict", "return": "dict"},
                       ("cmd", "action", "command", "timeout", "cwd", "result", "success",
                        "commands", "results", "all_success", "genexpr", "genexpr"), 1),
    "main": ("Main loop: read JSON commands from stdin, write JSON responses to stdout.", None, {},
             ("line", "cmd", "e", "response"), 0),
}
SIGNATURES = {
    "execute_command": "(command: 'str', timeout: 'float' = 30.0, cwd: 'str | None' = None) -> 'dict'",
    "handle_command": "(cmd: 'dict') -> 'dict'",
    "main": "()",
}


@pytest.mark.parametrize("name", ATTRIBUTES)
def test_attribute_table_and_signature(name):
    function = getattr(sw, name)
    doc, defaults, annotations, local_names, parameters = ATTRIBUTES[name]
    assert (function.__name__, function.__qualname__, function.__module__) == (
        name, name, "varnok.workers.shell_worker")
    assert (function.__doc__, function.__defaults__, function.__kwdefaults__) == (doc, defaults, None)
    assert function.__annotations__ == annotations
    assert list(function.__annotations__) == list(annotations)
    assert function.__annotations__ is function.__annotations__
    assert function.__globals__ is vars(sw) and function.__closure__ is None
    code = function.__code__
    assert (code.co_name, code.co_qualname, code.co_filename) == (
        name, name, "varnok/workers/shell_worker")
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (parameters, 0, 0)
    assert code.co_varnames == local_names
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert repr(function).startswith(f"<function {name} at 0x")
    assert pickle.loads(pickle.dumps(function)) is function


@pytest.mark.parametrize("attribute, value, error", [
    ("__name__", 1, TypeError), ("__qualname__", None, TypeError),
    ("__defaults__", [1], TypeError), ("__kwdefaults__", (), TypeError),
    ("__annotations__", [], TypeError), ("__code__", None, AttributeError),
    ("__globals__", {}, AttributeError), ("__module__", "x", AttributeError),
    ("__closure__", None, AttributeError),
])
def test_refused_assignments_change_nothing(attribute, value, error):
    before = getattr(sw.execute_command, attribute)
    with pytest.raises(error):
        setattr(sw.execute_command, attribute, value)
    assert getattr(sw.execute_command, attribute) == before


@pytest.fixture
def restored():
    function = sw.execute_command
    saved = {a: getattr(function, a) for a in
             ("__name__", "__qualname__", "__doc__", "__annotations__", "__defaults__", "__kwdefaults__")}
    yield function
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for attribute, value in saved.items():
            setattr(function, attribute, value)


def test_accepted_assignments(restored):
    restored.__name__, restored.__qualname__, restored.__doc__ = "renamed", "q", None
    restored.__annotations__ = None
    assert (restored.__name__, restored.__qualname__, restored.__doc__) == ("renamed", "q", None)
    assert restored.__annotations__ == {}


@pytest.mark.parametrize("attribute, value", [("__defaults__", (5.0, "/")), ("__kwdefaults__", {"x": 1})])
def test_defaults_assignment_warns_and_calls_keep_their_own(restored, monkeypatch, attribute, value):
    with pytest.warns(RuntimeWarning, match="does not affect the values used in calls"):
        setattr(restored, attribute, value)
    assert getattr(restored, attribute) == value
    fake = FakeSubprocess()
    monkeypatch.setattr(sw, "subprocess", fake)
    restored("c")
    assert (fake.calls[0][1]["timeout"], fake.calls[0][1]["cwd"]) == (30.0, os.getcwd())
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            setattr(restored, attribute, None)
    assert getattr(restored, attribute) == value


STUBTEST = """
import sys, warnings
import varnok.workers.shell_worker as sw, varnok.workers.shell_worker_cli as cli
warnings.simplefilter("ignore")
{drift}
from mypy.stubtest import main
sys.argv = ["stubtest", "varnok.workers.shell_worker", "varnok.workers.shell_worker_cli"]
sys.exit(main())
"""


@pytest.mark.parametrize("drift, returncode", [
    ("", 0),
    # The check must notice when either module moves away from its stub.
    ("sw.execute_command.__defaults__ = (31.0, None)", 1),
    ("cli.run = lambda: None", 1),
])
def test_type_stubs_match_the_module(tmp_path, drift, returncode):
    done = subprocess.run([sys.executable, "-c", STUBTEST.format(drift=drift)],
                          capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == returncode, done.stdout + done.stderr
