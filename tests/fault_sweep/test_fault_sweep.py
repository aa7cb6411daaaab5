"""Every system call that the worker makes while serving a request fails, one
at a time, at each of its positions, with each errno it can really return.

Per run: no crash and no hang; exactly one well-formed answer, or a non-zero
exit with a message on standard error where the fault hit the worker's own
standard input or output; `echo next` answered as without the fault; the
descriptors, signal mask and dispositions and children as after a fault-free
run; nothing of the worker's session alive 2 s after it ends; no wrong answer
(the fault-free one, or a failure result with returncode -1, whose text for
an errno is the host's subprocess's).

Run by tools/fault-sweep, on its own: it is slow for the main suite.
"""
import errno
import functools

import pytest

import sweep_runs
from conftest import after_version_warning
from sweep_runs import REQUESTS

# The errnos each call can really return, EINTR where it can be interrupted.
# A call that the worker newly makes is added here or to LEFT_OUT, or
# test_every_call_is_swept fails.
ERRNOS = {
    "read": [errno.EAGAIN, errno.EINTR, errno.EIO],
    "write": [errno.EAGAIN, errno.EINTR, errno.EIO, errno.EPIPE],
    "poll": [errno.EINTR, errno.ENOMEM],
    "pipe2": [errno.EMFILE, errno.ENFILE],
    "openat": [errno.EMFILE, errno.ENFILE, errno.EACCES],
    "getcwd": [errno.ENOENT, errno.EACCES],
    # ENOSYS and EPERM from a sandbox that refuses vfork but not fork.
    "vfork": [errno.EAGAIN, errno.ENOMEM, errno.ENOSYS, errno.EPERM],
    # ENOSYS and EINVAL: kernels and emulators without pidfds.
    "pidfd_open": [errno.EMFILE, errno.ENFILE, errno.ENOMEM, errno.ENOSYS, errno.EINVAL],
    "pidfd_send_signal": [errno.EPERM, errno.ENOSYS, errno.EINVAL],
    "waitid": [errno.EINTR, errno.EINVAL],
    "wait4": [errno.EINTR, errno.EINVAL],
    "dup2": [errno.EMFILE, errno.EBUSY, errno.EINTR],
    "chdir": [errno.EACCES, errno.ENOENT, errno.EIO, errno.ENOMEM],
    "setpgid": [errno.EPERM],
    "close_range": [errno.ENOSYS, errno.EINVAL],
    "execve": [errno.E2BIG, errno.EACCES, errno.ENOENT, errno.ENOEXEC, errno.ENOMEM],
    # EINVAL is its only failure: for the signals the C library keeps.
    "rt_sigaction": [errno.EINVAL],
    "mmap": [errno.ENOMEM, errno.EAGAIN],
    "munmap": [errno.ENOMEM],
    "mremap": [errno.ENOMEM],
    "kill": [errno.EPERM],
}
LEFT_OUT = {
    # Cannot fail with valid arguments, and every mask the worker passes is
    # one that the call itself returned.
    "rt_sigprocmask": "cannot fail with valid arguments",
    # Linux frees the descriptor whatever close returns: there is nothing to
    # retry or to answer otherwise, and its result is ignored on purpose.
    "close": "the descriptor is gone whatever it returns",
    "getpid": "has no failure",
    "exit_group": "has no failure",
    # Reports failure by returning the old break, never an errno: an injected
    # errno would be taken by the C library for a new break, which no kernel
    # gives.
    "brk": "fails without an errno",
}
# Never injected: ECHILD and ESRCH say that another process is gone (reaped
# by someone else, or no process of a group left).  Injected while it is
# there, they make a world no kernel gives, in which the worker is right to
# leave a live process alone.
assert not {errno.ECHILD, errno.ESRCH} & {n for numbers in ERRNOS.values() for n in numbers}

injected_runs = []  # (case id, whether the fault landed), for the closing summary


@functools.cache
def baselines() -> dict:
    """Each request served without a fault, every call traced."""
    return {kind: sweep_runs.run(request) for kind, request in REQUESTS.items()}


# Calls whose count follows the pace at which a command's output comes (one
# read per piece) or the allocator's state, and so differs from run to run:
# they are swept at a fixed number of positions, past what a run makes, so
# that the sweep is the same every time.  A position that a run does not
# reach fails nothing, and the closing summary counts the faults that landed.
PACED = {"read": "output", "poll": "output", "mmap": "allocator", "mremap": "allocator"}
OUTPUT_POSITIONS = {"plain": 8, "time-out": 8, "exec_many": 12, "cwd": 8, "1 MiB output": 64,
                    "start failure": 4}
ALLOCATOR_POSITIONS = 8


def positions(kind: str, name: str, counted: int) -> int:
    pace = PACED.get(name)
    return {"output": OUTPUT_POSITIONS[kind], "allocator": ALLOCATOR_POSITIONS}.get(pace, counted)


def cases() -> list:
    found = []
    for kind, baseline in baselines().items():
        counted = dict.fromkeys(PACED, 0) | sweep_runs.request_calls(baseline)
        for name, count in sorted(counted.items()):
            for number in ERRNOS.get(name, ()):
                found += [pytest.param(kind, name, number, position,
                                       id=f"{kind}-{name}-{errno.errorcode[number]}-{position}")
                          for position in range(1, positions(kind, name, count) + 1)]
    return found


def pytest_generate_tests(metafunc):
    if "position" in metafunc.fixturenames:
        metafunc.parametrize("kind, name, number, position", cases())


@pytest.mark.parametrize("kind", REQUESTS)
def test_every_call_is_swept(kind):
    """The table covers every call made: a new call is swept or left out with a reason."""
    made = set(sweep_runs.request_calls(baselines()[kind]))
    assert made - ERRNOS.keys() - LEFT_OUT.keys() == set()


def failure(message: str) -> dict:
    return {"stdout": "", "stderr": message, "returncode": -1}


MISSING = f"[Errno 2] No such file or directory: '{sweep_runs.MISSING_DIRECTORY}'"
EXPECTED = {
    "plain": {"success": False, "result": {"stdout": "hi\n", "stderr": "", "returncode": 3},
              "error": ""},
    "time-out": {"success": False, "result": {"stdout": "", "stderr": "Command timed out after 0.3s",
                                              "returncode": -1},
                 "error": "Command timed out after 0.3s"},
    "exec_many": {"success": False, "result": [{"stdout": "a", "stderr": "", "returncode": 0},
                                               {"stdout": "", "stderr": "", "returncode": 2}]},
    "cwd": {"success": True, "result": {"stdout": "/tmp\n", "stderr": "", "returncode": 0},
            "error": None},
    "1 MiB output": {"success": True, "result": {"stdout": "x" * 1048576, "stderr": "",
                                                 "returncode": 0}, "error": None},
    "start failure": {"success": False, "result": failure(MISSING), "error": MISSING},
}


@pytest.mark.parametrize("kind", REQUESTS)
def test_fault_free_runs(kind):
    """What the faulty runs are measured against is itself right."""
    baseline = baselines()[kind]
    assert baseline.answer == EXPECTED[kind]
    assert baseline.next_answer == {"success": True, "result": {"stdout": "next\n", "stderr": "",
                                                                "returncode": 0}, "error": None}
    assert baseline.state["children"] == [] and baseline.survivors == []
    assert (baseline.returncode, after_version_warning(baseline.stderr)) == (0, b"")


def check_result(result, expected, number):
    """The fault-free result, or a failure result whose text for an errno is the host's."""
    if result == expected:
        return
    message = result.get("stderr") if isinstance(result, dict) else None
    assert isinstance(message, str) and result == failure(message), \
        f"a wrong answer: {str(result)[:300]}"
    if message.startswith("[Errno"):
        assert message in sweep_runs.start_error_texts(number)


def check_answer(kind, answer, expected, number):
    if answer == expected:
        return
    assert answer["success"] is False, answer
    if kind == "exec_many":
        assert list(answer) == ["success", "result"] and len(answer["result"]) == 2, answer
        for result, fault_free in zip(answer["result"], expected["result"]):
            check_result(result, fault_free, number)
    else:
        assert list(answer) == ["success", "result", "error"], answer
        check_result(answer["result"], expected["result"], number)
        assert answer["error"] == answer["result"]["stderr"]


def own_stream(call: tuple[bool, str]) -> bool:
    """Whether an injected call was the worker's read of its input or write of its output."""
    by_worker, line = call
    return by_worker and (line.startswith("read(0,") or line.startswith("write(1,"))


@pytest.fixture(scope="module", autouse=True)
def landed_summary(request):
    """Says at the end how many runs had their fault land: a call at a
    position past what a run made (output read in fewer pieces) fails nothing."""
    yield
    if injected_runs:
        plugins = request.config.pluginmanager
        with plugins.get_plugin("capturemanager").global_and_fixture_disabled():
            plugins.get_plugin("terminalreporter").write_line(
                f"fault sweep: {len(injected_runs)} injected runs, "
                f"{sum(injected_runs)} with their fault landed")


def test_fault(kind, name, number, position):
    baseline = baselines()[kind]
    run = sweep_runs.run(REQUESTS[kind], trace=name,
                         inject=f"{name}:error={errno.errorcode[number]}:when={position}")
    injected = sweep_runs.injected_calls(run)
    injected_runs.append(bool(injected))
    stderr = after_version_warning(run.stderr)
    assert run.returncode >= 0, f"killed by signal {-run.returncode}: {stderr[-2000:]!r}"
    assert run.survivors == [], "alive after the worker ended"
    if run.answer is None or run.next_answer is None:
        assert any(map(own_stream, injected)), \
            f"ended without answering, fault {injected}: {stderr[-2000:]!r}"
        assert run.returncode != 0 and stderr.strip(), "ended in silence"
    else:
        assert run.cut_short == b"", f"an answer cut short: {run.cut_short[-200:]!r}"
    if run.answer is not None:
        check_answer(kind, run.answer, baseline.answer, number)
    if run.next_answer is not None:
        assert run.next_answer == baseline.next_answer
        assert run.state == baseline.state
        assert (run.returncode, stderr) == (0, b"")
