"""Argument binding of the three callables: messages, conversions, traceback entries."""
import collections
import ctypes
import pathlib
import traceback

import pytest

import varnok.workers.shell_worker as sw
from conftest import calling, leaking_counters

ex, hc, main = sw.execute_command, sw.handle_command, sw.main
AT_LEAST = "execute_command() takes at least 1 positional argument (0 given)"


def entries(error):
    return [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(error.__traceback__)
            if f.filename == "varnok/workers/shell_worker"]


def entry(function):
    return [("varnok/workers/shell_worker", f"varnok.workers.shell_worker.{function.__name__}",
             function.__code__.co_firstlineno)]


@pytest.mark.parametrize("call, error, message, with_entry", [
    (lambda: ex(), TypeError, AT_LEAST, ex),
    (lambda: ex(timeout=1), TypeError, AT_LEAST, ex),
    (lambda: ex("c", 1, None, 4), TypeError,
     "execute_command() takes at most 3 positional arguments (4 given)", ex),
    (lambda: hc(), TypeError, "handle_command() takes exactly 1 positional argument (0 given)", hc),
    (lambda: hc({}, {}), TypeError,
     "handle_command() takes exactly 1 positional argument (2 given)", hc),
    (lambda: ex("c", command="d"), TypeError,
     "execute_command() got multiple values for keyword argument 'command'", ex),
    (lambda: hc({}, cmd={}), TypeError,
     "handle_command() got multiple values for keyword argument 'cmd'", hc),
    (lambda: ex("c", shell=True), TypeError,
     "execute_command() got an unexpected keyword argument 'shell'", ex),
    (lambda: ex("c", "5"), TypeError, "must be real number, not str", ex),
    (lambda: ex(5, "5"), TypeError, "must be real number, not str", ex),
    (lambda: ex("c", 10**400), OverflowError, "int too large to convert to float", ex),
    (lambda: ex(b"c"), TypeError, "Argument 'command' has incorrect type (expected str, got bytes)",
     None),
    (lambda: ex(None), TypeError,
     "Argument 'command' has incorrect type (expected str, got NoneType)", None),
    (lambda: ex("c", 5, 7), TypeError, "Argument 'cwd' has incorrect type (expected str, got int)",
     None),
    (lambda: ex("c", cwd=pathlib.PurePosixPath("/")), TypeError,
     "Argument 'cwd' has incorrect type (expected str, got PurePosixPath)", None),
    (lambda: hc([]), TypeError, "Argument 'cmd' has incorrect type (expected dict, got list)", None),
    (lambda: hc(None), TypeError,
     "Argument 'cmd' has incorrect type (expected dict, got NoneType)", None),
    (lambda: main(1), TypeError, "main() takes no arguments (1 given)", None),
    (lambda: main(x=1), TypeError, "main() takes no keyword arguments", None),
    (lambda: main(1, x=1), TypeError, "main() takes no keyword arguments", None),
])
def test_refused_calls(fake, call, error, message, with_entry):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message
    assert entries(raised.value) == (entry(with_entry) if with_entry else [])
    assert fake.calls == []
    assert leaking_counters(calling(call, raises=error, match=message)) == []


def vectorcall(function, args, kwnames):
    """Calls through the host's vector call with keyword names Python code cannot make."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    values = (ctypes.py_object * len(args))(*args)
    return call(function, values, len(args) - len(kwnames), kwnames)


@pytest.mark.parametrize("args, kwnames, message", [
    (("c", 1), (1,), "execute_command() keywords must be strings"),
    (("c", 1, 2), ("timeout", "timeout"),
     "execute_command() got multiple values for keyword argument 'timeout'"),
])
def test_keyword_names_python_code_cannot_write(fake, args, kwnames, message):
    with pytest.raises(TypeError) as raised:
        vectorcall(ex, args, kwnames)
    assert str(raised.value) == message
    assert fake.calls == []


@pytest.mark.parametrize("call", [
    lambda: ex("c", 2, "/d"),
    lambda: ex(command="c", timeout=2, cwd="/d"),
    lambda: ex(cwd="/d", command="c", timeout=2),
    lambda: ex("c", cwd="/d", timeout=2.0),
    lambda: ex(*["c"], **{"timeout": 2, "cwd": "/d"}),
    lambda: vectorcall(ex, ("c", 2, "/d"), ()),
])
def test_keywords_in_any_order_bind_like_positions(fake, call):
    call()
    (args, kwargs), = fake.calls
    assert (args, kwargs["timeout"], kwargs["cwd"]) == (("c",), 2.0, "/d")


class Seconds:
    def __index__(self):
        return 7


@pytest.mark.parametrize("timeout, reaches", [
    (True, 1.0), (5, 5.0), (Seconds(), 7.0), (float("inf"), float("inf")), (-1, -1.0), (0, 0.0),
])
def test_timeout_is_converted_to_a_float(fake, timeout, reaches):
    ex("c", timeout)
    assert repr(fake.calls[0][1]["timeout"]) == repr(reaches)


Text = type("Text", (str,), {})


@pytest.mark.parametrize("call, received", [
    (lambda: ex(Text("c")), "Text"),
    (lambda: ex("c", 1, Text("/")), "Text"),
    (lambda: hc(collections.OrderedDict()), "collections.OrderedDict"),
])
def test_subclasses_are_refused_with_a_note(fake, call, received):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value).endswith(f"got {received})")
    note, = raised.value.__notes__
    assert "subclasses" in note and "exactly" in note
    assert fake.calls == []
    assert leaking_counters(calling(call, raises=TypeError, match=received)) == []


def test_inner_calls_go_through_the_module_globals(monkeypatch, capsys):
    seen = []
    monkeypatch.setattr(sw, "execute_command", lambda *a, **k: seen.append((a, k)) or
                        {"stdout": "", "stderr": "", "returncode": 0})
    sw.handle_command({"command": "c"})
    assert seen == [(("c", 30.0, None), {})]

    import io
    monkeypatch.setattr(sw, "handle_command", lambda *a, **k: {"seen": [a, k]})
    monkeypatch.setattr(sw.sys, "stdin", io.StringIO('{"action": "quit"}\n{}\n'))
    assert sw.main() is None
    assert capsys.readouterr().out == '{"seen": [[{"action": "quit"}], {}]}\n'
