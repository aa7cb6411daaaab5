"""The controller's errors and arguments against the standard library's own:
what subprocess raises and takes, the controller raises and takes alike."""
import pickle
import subprocess
from pathlib import Path

import pytest

from conftest import Driven, tagged_worker_argv
from varnok.workers.shell_worker_client import (CommandError, CommandResult, CommandTimeout,
                                                ShellWorker)


@pytest.fixture(scope="module")
def worker():
    with ShellWorker() as each:
        yield each


def local_failure(command, **options):
    with pytest.raises(subprocess.SubprocessError) as failed:
        subprocess.run(command, shell=True, capture_output=True, text=True, check=True,
                       **options)
    return failed.value


@pytest.mark.parametrize("command", [
    "exit 3", "echo out; echo 'é err' >&2; exit 255", "kill -9 $$", "kill -HUP $$",
    "echo gone >&2; kill -TERM $$",
])
def test_a_failed_command_raises_what_subprocess_raises(worker, command):
    expected = local_failure(command)
    with pytest.raises(subprocess.CalledProcessError) as failed:
        worker.exec(command, check=True)
    error = failed.value
    assert type(error) is CommandError and not error.result.timed_out
    assert (str(error), error.cmd, error.returncode, error.stdout, error.output, error.stderr) == \
        (str(expected), expected.cmd, expected.returncode, expected.stdout, expected.output,
         expected.stderr)
    assert error.result == worker.exec(command) and error.command == command
    copy = pickle.loads(pickle.dumps(error))
    assert (str(copy), copy.result) == (str(error), error.result)


@pytest.mark.parametrize("timeout", [0.2, 0.5])
def test_a_timed_out_command_raises_what_subprocess_raises(worker, timeout):
    command = "echo partial; sleep 5"
    expected = local_failure(command, timeout=timeout)
    with pytest.raises(subprocess.TimeoutExpired) as failed:
        worker.exec(command, timeout=timeout, check=True)
    error = failed.value
    assert type(error) is CommandTimeout and not isinstance(error, subprocess.CalledProcessError)
    assert (str(error), error.cmd, error.timeout) == (str(expected), command, timeout)
    assert error.result == CommandResult("", f"Command timed out after {timeout}s", -1,
                                         command, timed_out=True)
    copy = pickle.loads(pickle.dumps(error))
    assert (str(copy), copy.result) == (str(error), error.result)
    # The first failure of a batch speaks for it, a time-out as well.
    with pytest.raises(CommandTimeout):
        worker.exec_many(["true", command, "exit 3"], timeout=timeout, check=True)


@pytest.mark.parametrize("command, timeout, timed_out", [
    ("sleep 5", 0.2, True),
    # A shell ended by SIGHUP is -1 as well, and so is a command that cannot
    # start; only the worker's own text for this request's limit is a time-out.
    ("kill -HUP $$", 0.2, False),
    ("echo 'Command timed out after 0.2s' >&2; kill -HUP $$", 30, False),
    ("true", 0.2, False),
])
def test_timed_out_tells_a_time_out_from_other_failures(worker, command, timeout, timed_out):
    result = worker.exec(command, timeout=timeout)
    assert result.timed_out is timed_out
    assert result.args == result.command == command


def test_a_zero_limit_is_a_time_out_whatever_its_sign_and_whatever_came_before(worker):
    # 0.0 and -0.0 are equal and hash alike, but the worker writes each as
    # it was sent: a limit's text kept from an earlier request would miss.
    limits = [0.0, -0.0, 0, -0.0, 0.0]
    results = worker.exec_many(["sleep 5"], timeout=-0.0) + [
        worker.exec("sleep 5", timeout=limit) for limit in limits]
    assert [each.stderr for each in results] == [
        f"Command timed out after {float(limit)!r}s" for limit in [-0.0] + limits]
    assert all(each.timed_out for each in results)


def test_a_failure_that_is_not_a_time_out_under_check_is_a_called_process_error(worker):
    with pytest.raises(CommandError) as failed:
        worker.exec("true", cwd="/nonexistent directory", check=True)
    assert failed.value.returncode == -1 and "nonexistent directory" in failed.value.stderr


VALUES = ["plain", "a  b", "$HOME `id` $(id)", "it's \"quoted\"", "", "two\nlines\n",
          "é€😀", "-n", "; touch injected", "\\", "*"]


def test_env_sets_each_value_exactly_for_that_command_alone(worker, tmp_path):
    env = {f"V{index}": value for index, value in enumerate(VALUES)}
    command = "; ".join(f"printf '%s|' \"$V{index}\"" for index in range(len(VALUES)))
    result = worker.exec(command, env=env, cwd=tmp_path)
    assert result.stdout == "".join(value + "|" for value in VALUES)
    assert result.command == command and not (tmp_path / "injected").exists()
    # Not left behind in the worker: the next command sees none of them.
    assert worker.exec('printf %s "${V0-unset}"').stdout == "unset"
    assert [each.stdout for each in worker.exec_many(
        ['printf %s "$A"', ["printf", "%s", Path("/tmp")]], env={"A": "x y"})] == ["x y", "/tmp"]
    assert worker.exec("exit 3", env={"A": "1"}).returncode == 3
    with pytest.raises(CommandError) as failed:
        worker.exec("exit 4", env={"A": "1"}, check=True)
    assert str(failed.value) == str(local_failure("exit 4"))


@pytest.mark.parametrize("env, error", [
    ({"": "x"}, ValueError), ({"1A": "x"}, ValueError), ({"A-B": "x"}, ValueError),
    ({"A B": "x"}, ValueError), ({"A=B": "x"}, ValueError), ({"É": "x"}, ValueError),
    ({"A\n": "x"}, ValueError), ({"A": "x\0y"}, ValueError),
    ({"A": 1}, TypeError), ({1: "x"}, TypeError), ({"A": Path("/")}, TypeError),
    ([("A", "x")], TypeError), ("A=x", TypeError),
])
def test_env_refuses_what_is_no_variable_and_sends_nothing(worker, env, error):
    pid = worker.exec("echo $PPID").stdout
    with pytest.raises(error):
        worker.exec("true", env=env)
    with pytest.raises(error):
        worker.exec_many(["true"], env=env)
    assert worker.exec("echo $PPID").stdout == pid


@pytest.mark.parametrize("kind", ["sync", "async", "pool", "async pool"])
def test_every_class_takes_paths_generators_and_env(kind, tag):
    driven = Driven(kind, tagged_worker_argv(tag))
    try:
        commands = (["printf", "%s", Path("/") / name] for name in ("a b", "c"))
        assert [each.stdout for each in driven.exec_many(commands)] == ["/a b", "/c"]
        assert driven.exec('printf %s "$X"', env={"X": "y"}).stdout == "y"
        with pytest.raises(CommandTimeout):
            driven.exec("sleep 5", timeout=0.1, check=True)
    finally:
        driven.close()
