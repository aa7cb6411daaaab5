"""execute_command: the subprocess.run call it makes and the results it returns."""
import io
import os
import subprocess
import time
import types

import pytest

import varnok.workers.shell_worker as sw
from conftest import FakeSubprocess


def test_run_gets_the_command_and_seven_keywords_in_order(fake, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("SHELL_WORKER_PROBE", "1")
    assert sw.execute_command("cmd", 2) == {"stdout": "o", "stderr": "e", "returncode": 4}
    sw.execute_command("cmd", 2.5, "/somewhere")
    (args, first), (_, second) = fake.calls
    assert args == ("cmd",)
    assert list(first) == ["shell", "capture_output", "text", "timeout", "cwd", "env", "stdin"]
    assert first["shell"] is first["capture_output"] is first["text"] is True
    assert type(first["timeout"]) is float and first["timeout"] == 2.0
    assert (first["cwd"], second["cwd"]) == (str(tmp_path), "/somewhere")
    assert type(first["env"]) is dict and first["env"] == dict(os.environ)
    assert first["env"] is not second["env"]
    assert first["stdin"] is FakeSubprocess.DEVNULL


class SlowDown(subprocess.TimeoutExpired):
    pass


@pytest.mark.parametrize("raised, timeout, stderr", [
    (subprocess.TimeoutExpired("c", 5, output="partial"), 5, "Command timed out after 5.0s"),
    (SlowDown("c", 1), 0.5, "Command timed out after 0.5s"),
    (subprocess.TimeoutExpired("c", 1), 1e-05, "Command timed out after 1e-05s"),
    (subprocess.TimeoutExpired("c", 1), 1e16, "Command timed out after 1e+16s"),
    (subprocess.TimeoutExpired("c", 1), float("-inf"), "Command timed out after -infs"),
    (subprocess.TimeoutExpired("c", 1), float("nan"), "Command timed out after nans"),
    (OSError(2, "No such file"), 1, "[Errno 2] No such file"),
    (ValueError("bad"), 1, "bad"),
])
def test_time_outs_and_failures_become_results(monkeypatch, raised, timeout, stderr):
    monkeypatch.setattr(sw, "subprocess", FakeSubprocess(raised))
    assert sw.execute_command("c", timeout) == {"stdout": "", "stderr": stderr, "returncode": -1}


def as_module(fake, module_type=types.ModuleType):
    module = module_type("fake_subprocess")
    vars(module).update(run=fake.run, DEVNULL=fake.DEVNULL, TimeoutExpired=fake.TimeoutExpired)
    return module


class RunProperty(types.ModuleType):
    run = property(lambda self: vars(self)["give"])


def with_getattr(fake):
    module = types.ModuleType("fake_subprocess")
    module.__getattr__ = lambda name: getattr(fake, name)
    return module


def shadowed(fake):
    module = as_module(fake, RunProperty)
    module.give, vars(module)["run"] = fake.run, None  # the property wins over the namespace
    return module


@pytest.mark.parametrize("wrap", [as_module, with_getattr, shadowed])
def test_attributes_are_found_as_the_hosts_lookup_finds_them(monkeypatch, wrap):
    fake = FakeSubprocess()
    monkeypatch.setattr(sw, "subprocess", wrap(fake))
    assert sw.execute_command("c")["returncode"] == 4
    assert fake.calls[0][1]["stdin"] is FakeSubprocess.DEVNULL
    monkeypatch.setattr(sw.os, "getcwd", lambda: "/from/getcwd")
    sw.execute_command("c", 1, "")
    assert fake.calls[1][1]["cwd"] == "/from/getcwd"


@pytest.mark.parametrize("fake, message", [
    (types.ModuleType("fake_subprocess"), "module 'fake_subprocess' has no attribute 'run'"),
    (types.SimpleNamespace(), "'types.SimpleNamespace' object has no attribute 'run'"),
])
def test_a_missing_attribute_is_a_failure_result(monkeypatch, fake, message):
    monkeypatch.setattr(sw, "subprocess", fake)
    assert sw.execute_command("true") == {"stdout": "", "stderr": message, "returncode": -1}


@pytest.mark.parametrize("broken", ["subprocess", "os"])
def test_a_missing_host_module_is_a_failure_result(monkeypatch, broken):
    monkeypatch.delattr(sw, broken)
    result = sw.execute_command("true")
    assert result == {"stdout": "", "stderr": f"name '{broken}' is not defined", "returncode": -1}


@pytest.mark.parametrize("raised", [KeyboardInterrupt(), SystemExit(3)])
def test_interrupts_pass_out(monkeypatch, raised):
    monkeypatch.setattr(sw, "subprocess", FakeSubprocess(raised))
    with pytest.raises(type(raised)):
        sw.execute_command("c")


def test_real_command_outcomes(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("SHELL_WORKER_PROBE", "seen")
    assert sw.execute_command("echo out; echo err >&2; exit 3") == {
        "stdout": "out\n", "stderr": "err\n", "returncode": 3}
    assert sw.execute_command("pwd; echo $SHELL_WORKER_PROBE", 5, "")["stdout"] == (
        f"{tmp_path}\nseen\n")
    missing = sw.execute_command("pwd", 5, str(tmp_path / "missing"))
    assert missing == {"stdout": "", "returncode": -1,
                       "stderr": f"[Errno 2] No such file or directory: '{tmp_path / 'missing'}'"}
    started = time.monotonic()
    assert sw.execute_command("printf early; exec sleep 5", 0.5) == {
        "stdout": "", "stderr": "Command timed out after 0.5s", "returncode": -1}
    assert time.monotonic() - started < 4


def test_an_error_without_text_passes_on_with_the_original_as_context(monkeypatch):
    class Unprintable(Exception):
        def __str__(self):
            raise ValueError("no text")

    original = Unprintable()
    monkeypatch.setattr(sw, "subprocess", FakeSubprocess(original))
    with pytest.raises(ValueError, match="no text") as raised:
        sw.execute_command("c")
    assert raised.value.__context__ is original


class ItsOwnFault(Exception):
    """An error whose text, or whose class's lookup, raises the error itself."""

    def __str__(self):
        raise self

    def __getattr__(self, name):  # stands in for the json module below
        if name == "JSONDecodeError":
            raise self
        raise AttributeError(name)

    def loads(self, line):
        raise self


def executor_reports(error, monkeypatch):
    monkeypatch.setattr(sw, "subprocess", FakeSubprocess(error))
    sw.execute_command("c")


def main_decodes(error, monkeypatch):
    monkeypatch.setattr(sw, "json", error)
    monkeypatch.setattr(sw.sys, "stdin", io.StringIO("{}\n"))
    sw.main()


@pytest.mark.parametrize("run", [executor_reports, main_decodes])
def test_an_error_is_never_its_own_context(monkeypatch, sigint_restored, run):
    error = ItsOwnFault()
    with pytest.raises(ItsOwnFault) as raised:
        run(error, monkeypatch)
    assert raised.value is error and error.__context__ is None
