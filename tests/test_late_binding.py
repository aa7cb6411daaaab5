"""The executor reaches subprocess and os through the module's globals at every
call, and takes their attributes as the host's attribute lookup gives them:
from a module's namespace, from its __getattr__, from a module subclass's
descriptors, or from any other object."""

import os
import subprocess
import types

import pytest

import varnok.workers.shell_worker as worker

COMPLETED = subprocess.CompletedProcess("true", 0, "out", "err")


class RecordingRun:
    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return COMPLETED


def module_with_run(run):
    fake = types.ModuleType("fake_subprocess")
    fake.run = run
    fake.DEVNULL = subprocess.DEVNULL
    fake.TimeoutExpired = subprocess.TimeoutExpired
    return fake


def module_serving_run_from_getattr(run):
    fake = types.ModuleType("fake_subprocess")
    fake.__getattr__ = lambda name: run if name == "run" else getattr(subprocess, name)
    return fake


class ModuleWithRunProperty(types.ModuleType):
    run_to_give = None

    @property
    def run(self):
        return self.run_to_give


def module_subclass_with_run(run):
    fake = ModuleWithRunProperty("fake_subprocess")
    fake.run_to_give = run
    # Shadowed by the property: the namespace entry must not be what is called.
    fake.__dict__["run"] = None
    fake.DEVNULL = subprocess.DEVNULL
    fake.TimeoutExpired = subprocess.TimeoutExpired
    return fake


def namespace_with_run(run):
    return types.SimpleNamespace(run=run, DEVNULL=subprocess.DEVNULL,
                                 TimeoutExpired=subprocess.TimeoutExpired)


@pytest.mark.parametrize("make_subprocess", [
    module_with_run, module_serving_run_from_getattr, module_subclass_with_run,
    namespace_with_run,
])
def test_run_is_found_as_the_hosts_lookup_finds_it(monkeypatch, tmp_path, make_subprocess):
    run = RecordingRun()
    monkeypatch.setattr(worker, "subprocess", make_subprocess(run))
    assert worker.execute_command("echo hi", 5, str(tmp_path)) == {
        "stdout": "out", "stderr": "err", "returncode": 0}
    [(args, kwargs)] = run.calls
    assert args == ("echo hi",)
    assert list(kwargs) == ["shell", "capture_output", "text", "timeout", "cwd", "env", "stdin"]
    assert kwargs["timeout"] == 5.0 and type(kwargs["timeout"]) is float
    assert kwargs["cwd"] == str(tmp_path)
    assert kwargs["env"] == dict(os.environ) and kwargs["env"] is not os.environ
    assert kwargs["stdin"] == subprocess.DEVNULL


def test_attribute_changed_between_calls_is_used_at_the_next(monkeypatch):
    first, second = RecordingRun(), RecordingRun()
    monkeypatch.setattr(subprocess, "run", first)
    worker.execute_command("true")
    monkeypatch.setattr(subprocess, "run", second)
    worker.execute_command("true")
    assert len(first.calls) == 1 and len(second.calls) == 1


def test_working_directory_comes_from_the_current_os_getcwd(monkeypatch):
    run = RecordingRun()
    monkeypatch.setattr(subprocess, "run", run)
    monkeypatch.setattr(os, "getcwd", lambda: "/from/getcwd")
    worker.execute_command("true", 30.0, "")
    assert run.calls[0][1]["cwd"] == "/from/getcwd"


@pytest.mark.parametrize("fake, message", [
    (types.ModuleType("fake_subprocess"), "module 'fake_subprocess' has no attribute 'run'"),
    (types.SimpleNamespace(), "'types.SimpleNamespace' object has no attribute 'run'"),
])
def test_missing_attribute_is_the_hosts_error_in_a_failure_result(monkeypatch, fake, message):
    monkeypatch.setattr(worker, "subprocess", fake)
    assert worker.execute_command("true") == {"stdout": "", "stderr": message, "returncode": -1}
