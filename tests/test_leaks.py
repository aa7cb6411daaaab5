"""Reference leaks, in the manner of CPython's refleak runner.

Each case is repeated in rounds after a warm-up; a counter that grows in every
round leaks, one that grows once and settles is a cache filling up.  The
counters are the host's allocated blocks (traced bytes when the host runs on
plain malloc, as in the sanitizer run, where it counts no blocks) and the
reference counts of the objects a call handles.  The interned keys of the
module ("success", "returncode", ...) are immortal in this host, so their
counts cannot move and are not watched.
"""
import io
import os
import signal
import subprocess
import sys
import tracemalloc
import types

import pytest

from conftest import CALLS, calling, leaking_counters
from varnok.workers import shell_worker as sw

with open("/proc/self/maps") as maps:
    # Under valgrind every fork copies the emulated process: calls that start a child
    # are then made fewer times (CHILD_CALLS, below).
    UNDER_VALGRIND = "vgpreload" in maps.read()
COMMAND, CWD, TIMEOUT = "".join(["echo", " leak"]), "/".join(["", "tmp"]), 2.5  # not interned
COMPLETED = types.SimpleNamespace(stdout="".join(["o", "ut"]), stderr="".join(["e", "rr"]),
                                  returncode=0)
FAILED = types.SimpleNamespace(**{**vars(COMPLETED), "returncode": 1})


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text")


class BadEquality:
    def __eq__(self, other):
        raise ArithmeticError("no comparison")


@pytest.fixture
def fake_subprocess(monkeypatch):
    """Binds a stand-in `subprocess`; returns a setter of what its run returns, or raises.

    An error outcome is a factory: raising one instance again would lengthen its traceback."""
    fake = types.SimpleNamespace(TimeoutExpired=subprocess.TimeoutExpired,
                                 DEVNULL=subprocess.DEVNULL)
    monkeypatch.setattr(sw, "subprocess", fake)

    def will(outcome):
        def run(command, **options):
            if callable(outcome):
                raise outcome(command, options["timeout"])
            return outcome
        fake.run = run
        return run
    will(COMPLETED)
    return will


@pytest.mark.parametrize("outcome, args, kwargs, raises, match", [
    (COMPLETED, (COMMAND,), {}, None, None),
    (COMPLETED, (COMMAND, TIMEOUT, CWD), {}, None, None),
    (COMPLETED, (), dict(cwd=CWD, command=COMMAND, timeout=TIMEOUT), None, None),
    (subprocess.TimeoutExpired, (COMMAND, TIMEOUT), {}, None, None),
    (lambda *_: OSError(2, "No such file"), (COMMAND, TIMEOUT, ""), {}, None, None),
    (object(), (COMMAND,), {}, None, None),  # no stdout attribute
    (lambda *_: KeyboardInterrupt(), (COMMAND,), {}, KeyboardInterrupt, ""),
    (lambda *_: Unprintable(), (COMMAND,), {}, ValueError, "no text"),
], ids=["completed", "completed-cwd", "keywords", "time-out", "os-error", "unreadable",
        "interrupt", "unprintable-error"])
def test_execute_command_outcomes(fake_subprocess, outcome, args, kwargs, raises, match):
    run = fake_subprocess(outcome)
    call = calling(sw.execute_command, *args, raises=raises, match=match, **kwargs)
    assert leaking_counters(call, (COMMAND, CWD, COMPLETED.stdout, run, sw.execute_command)) == []


def interrupt(*_):
    raise KeyboardInterrupt


@pytest.fixture
def usr1_interrupts():
    """SIGUSR1 raises KeyboardInterrupt in this process while the test runs."""
    previous = signal.signal(signal.SIGUSR1, interrupt)
    yield
    signal.signal(signal.SIGUSR1, previous)


# Through the host's own subprocess machinery, where the module starts and watches the child
# itself.  Under valgrind, where every fork copies the emulated process, in rounds of 5;
# reaching the output limit moves 256 MiB a call, so that case runs in rounds of 2.
CHILD_CALLS = 5 if UNDER_VALGRIND else CALLS


@pytest.mark.parametrize("command, timeout, cwd, raises, calls", [
    ("".join(["printf 'o\\377\\r\\n'; ", "exit 3"]), 5.0, None, None, CHILD_CALLS),
    ("".join(["sleep ", "5"]), 0.01, None, None, CHILD_CALLS),  # time-out: the group is killed
    (COMMAND, 5.0, "/".join(["", "nonexistent"]), None, CHILD_CALLS),  # fails to start
    ("".join(["echo a", "\0b"]), 5.0, None, None, CHILD_CALLS),  # refused before the start
    ("".join(["sleep ", "5"]), float("nan"), None, None, CHILD_CALLS),  # a wait poll() refuses
    ("".join(["head -c 268435457 ", "/dev/zero"]), 30.0, None, None, 2),  # output limit
    ("".join(["kill -USR1 $PPID; ", "sleep 5"]), 5.0, None, KeyboardInterrupt, CHILD_CALLS),
], ids=["completed", "time-out", "no-start", "refused", "bad-deadline", "output-limit",
        "interrupt"])
def test_native_outcomes(usr1_interrupts, command, timeout, cwd, raises, calls):
    call = calling(sw.execute_command, command, timeout, cwd, raises=raises, match="")
    watched = (command, cwd, sw.execute_command)
    assert leaking_counters(call, watched, warm_up=calls, calls=calls) == []


def test_native_after_a_change_to_a_watched_dict():
    # The executor then compares every entry it recorded of the process machinery.
    namespace = vars(os)

    def call():
        namespace["_shell_worker_leak_probe"] = object()  # no recorded name: nothing is patched
        sw.execute_command("".join(["tr", "ue"]), 5.0, None)

    try:
        assert leaking_counters(call, (sw.execute_command,), warm_up=CHILD_CALLS,
                                calls=CHILD_CALLS) == []
    finally:
        namespace.pop("_shell_worker_leak_probe", None)


def raising(*_):
    raise LookupError("gone")


EXEC, MANY = {"command": COMMAND}, {"action": "exec_many", "commands": [COMMAND]}
REQUESTS = [  # request, what stands in for execute_command (None: itself), raises, match
    ({"action": "quit", "command": COMMAND}, None, None, None),
    ({}, None, None, None),
    ({"command": COMMAND, "timeout": TIMEOUT, "cwd": CWD}, None, None, None),
    ({"action": "exec_many"}, None, None, None),
    ({"action": "exec_many", "commands": [COMMAND, COMMAND], "cwd": CWD}, None, None, None),
    ({"action": "exec_many", "commands": "ab"}, None, None, None),
    *[({"action": action}, None, None, None) for action in ("EXEC", 7, 1.5, ["quit"], None, "")],
    ({"action": "exec_many", "commands": None}, None, TypeError, "not iterable"),
    ({"action": "exec_many", "commands": [COMMAND, 5]}, None, TypeError, "'command'"),
    ({"command": 5}, None, TypeError, "'command'"),
    ({"command": COMMAND, "timeout": "soon"}, None, TypeError, "must be real number"),
    ({"command": COMMAND, "cwd": 5}, None, TypeError, "'cwd'"),
    (EXEC, lambda *_: {}, KeyError, "returncode"),
    (EXEC, lambda *_: {"returncode": 1}, KeyError, "stderr"),
    (MANY, lambda *_: {}, KeyError, "returncode"),  # inside the all-success test
    (MANY, lambda *_: {"returncode": BadEquality()}, ArithmeticError, "no comparison"),
    (EXEC, raising, LookupError, "gone"),
    (EXEC, "unbound", NameError, "execute_command"),
]


@pytest.mark.parametrize("outcome", [COMPLETED, FAILED], ids=["succeeding", "failing"])
@pytest.mark.parametrize("request_, executor, raises, match", REQUESTS)
def test_handle_command_branches(fake_subprocess, monkeypatch, outcome, request_, executor,
                                 raises, match):
    fake_subprocess(outcome)
    if executor == "unbound":
        monkeypatch.delattr(sw, "execute_command")
    elif executor:
        monkeypatch.setattr(sw, "execute_command", executor)
    call = calling(sw.handle_command, request_, raises=raises, match=match)
    watched = (request_, *request_.values(), COMPLETED.stderr, vars(sw).get("execute_command"))
    assert leaking_counters(call, watched) == []


@pytest.fixture
def streams(monkeypatch, sigint_restored):
    """Lets a test rebind sys.stdin and sys.stdout; restores them and SIGINT afterwards."""
    monkeypatch.setattr(sys, "stdin", sys.stdin)
    monkeypatch.setattr(sys, "stdout", sys.stdout)


def closed_output():
    out = io.StringIO()
    out.close()
    return out


@pytest.mark.parametrize("text, output, raises, match", [
    ("", io.StringIO, None, None),
    (f' \n\r\nnot json\n{{"command": "{COMMAND}"}}\n{{}}\n{{"action": "quit"}}\n[]\n',
     io.StringIO, None, None),
    ("[1]\n", io.StringIO, TypeError, "expected dict, got list"),
    ('{"action": "exec_many", "commands": 5}', io.StringIO, TypeError, "not iterable"),
    ("[" * 100_000, io.StringIO, RecursionError, ""),
    ("{}\n", closed_output, ValueError, "closed file"),
], ids=["empty", "session", "not-an-object", "handler-error", "decoder-error", "write-error"])
def test_main_over_in_memory_streams(fake_subprocess, streams, text, output, raises, match):
    def session():
        sys.stdin, sys.stdout = io.StringIO(text), output()
        calling(sw.main, raises=raises, match=match)()
    assert leaking_counters(session, (sw.handle_command, sw.json.loads, sw.json.dumps)) == []


@pytest.fixture
def own_stdout(monkeypatch, sigint_restored):
    """Lets a test make main() write to the process's own standard output, whose descriptor
    pytest has taken over: the way that writes each response straight from the commands'
    bytes.  Set in the test itself: pytest puts its own sys.stdout back as the test begins."""
    monkeypatch.setattr(sys, "stdin", sys.stdin)
    return lambda: monkeypatch.setattr(sys, "stdout", sys.__stdout__)


STREAMED = [
    '{"command": "head -c 300000 /dev/zero | tr \'\\\\000\' \'\\\\377\'; exit 1"}\n',
    '{"action": "exec_many", "commands": ["printf \'\\\\342\\\\202\'", "exit 2"]}\n'
    '{}\nnot json\n{"action": "quit"}\n',
    '{"command": "sleep 5", "timeout": 0.01}\n{"action": "exec_many", "commands": 5}\n',
]


@pytest.mark.parametrize("text", STREAMED, ids=["large", "session", "time-out-then-error"])
def test_main_writing_responses_itself(own_stdout, text):
    own_stdout()

    def session():
        sys.stdin = io.StringIO(text)
        calling(sw.main, raises=TypeError if "5}" in text else None, match="")()
        sys.__stdout__.flush()

    # The streamed way indeed: the 300,000 bytes never became text in the host's memory.
    tracemalloc.start()
    session()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 1_000_000
    assert leaking_counters(session, (sw.handle_command, sw.execute_command),
                            warm_up=CHILD_CALLS, calls=CHILD_CALLS) == []


kept = []


@pytest.mark.parametrize("calls", [CALLS, 2])
@pytest.mark.parametrize("leak", [lambda: kept.append({}), lambda: kept.append(COMMAND)],
                         ids=["new-object", "reference"])
def test_one_object_per_call_is_caught(leak, calls):
    assert leaking_counters(leak, (COMMAND,), warm_up=calls, calls=calls) != []
    kept.clear()
