import asyncio
import gc
import itertools
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import textwrap
import time
import tracemalloc
import types

import pytest

# The fault-injection sweep runs on its own (tools/fault-sweep), after the suite.
collect_ignore = [] if os.environ.get("SHELL_WORKER_FAULT_SWEEP") == "1" else ["fault_sweep"]

# Workers and hosts started here inherit this process's dispositions.  A run
# started under nohup ignores SIGHUP, and a worker takes no handler for a
# signal its host ignores, so the tests of SIGHUP would see a worker that the
# signal cannot end; they are about a default disposition, as from a terminal.
if signal.getsignal(signal.SIGHUP) is signal.SIG_IGN:
    signal.signal(signal.SIGHUP, signal.SIG_DFL)

WORKER = [sys.executable, "-c", "from varnok.workers.shell_worker import main; main()"]

# The module is written for 3.12: on any other host its import writes this
# RuntimeWarning to standard error, ahead of anything else.
VERSION_WARNING = ("compile time Python version 3.12 of module 'varnok.workers.shell_worker' "
                   f"does not match runtime version {sys.version_info[0]}.{sys.version_info[1]}")
ON_312 = sys.version_info[:2] == (3, 12)


def after_version_warning(stderr: bytes) -> bytes:
    """A fresh process's standard error past the warning its import gives on this host."""
    if ON_312:
        return stderr
    warning = re.match(rb"[^\n]*: RuntimeWarning: %s\n" % re.escape(VERSION_WARNING.encode()), stderr)
    assert warning, f"standard error does not start with the version warning: {stderr[:500]!r}"
    return stderr[warning.end():]


def run_worker(data: bytes, timeout: float = 60, **options) -> subprocess.CompletedProcess:
    """Feeds `data` to a fresh worker process and waits for it to end."""
    return subprocess.run(WORKER, input=data, capture_output=True, timeout=timeout, **options)


def run_python(code: str, timeout: float = 60, **options) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter, where process-wide state starts anew."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, **options)


class Worker:
    """A worker process driven line by line over pipes."""

    def __init__(self, argv=WORKER, **options):
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, **options)

    def send(self, line: bytes) -> None:
        self.process.stdin.write(line)
        self.process.stdin.flush()

    def receive(self) -> bytes:
        return self.process.stdout.readline()

    def receive_within(self, seconds: float) -> bytes:
        """The next line, or b"" when none has begun within `seconds`."""
        ready, _, _ = select.select([self.process.stdout], [], [], seconds)
        return self.process.stdout.readline() if ready else b""

    def close(self) -> tuple[bytes, bytes, int]:
        out, err = self.process.communicate(timeout=60)
        return out, err, self.process.returncode


@pytest.fixture
def worker():
    w = Worker()
    yield w
    if w.process.poll() is None:
        w.process.kill()
        w.process.communicate()


def unique_seconds() -> str:
    """A sleep length like 30.000417263 that no other process in the system has in its argv."""
    return f"30.{os.getpid() % 1000:03d}{next(_counter):06d}"


_counter = itertools.count(int(time.time() * 1000) % 1_000_000)


def processes_with(argument: str) -> list[int]:
    """The live processes (not zombies) with `argument` somewhere in their argv."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                if argument.encode() in cmdline.read():
                    found.append(int(entry))
        except (FileNotFoundError, ProcessLookupError):  # ended meanwhile
            continue
    return found


def wait_for(condition, seconds: float = 5.0) -> bool:
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def tagged_worker_argv(tag: str) -> list[str]:
    """A worker command with `tag` in its argv, for processes_with to find."""
    return [sys.executable, "-c",
            "import sys; from varnok.workers.shell_worker_cli import run; sys.exit(run([]))", tag]


@pytest.fixture
def unique_argument():
    """Makes arguments that no other process has (unique_seconds); whatever still
    carries one of them when the test ends is killed."""
    made = []

    def make() -> str:
        made.append(unique_seconds())
        return made[-1]

    yield make
    for argument in made:
        for pid in processes_with(argument):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


@pytest.fixture
def tag(unique_argument):
    """An argument unique to this test, for a worker's argv (tagged_worker_argv)."""
    return unique_argument()


async def running(marker):
    """Returns once a process with `marker` in its argv is alive."""
    while not processes_with(marker):
        await asyncio.sleep(0.02)


@pytest.fixture
def sigint_restored():
    """Puts back the SIGINT handler this process had before the test: the worker's
    main() run in process leaves SIGINT ignored, and so would every later test."""
    previous = signal.getsignal(signal.SIGINT)
    yield
    signal.signal(signal.SIGINT, previous)


class FakeSubprocess(types.SimpleNamespace):
    """Stands in for the subprocess module in the worker's namespace."""
    TimeoutExpired = subprocess.TimeoutExpired
    DEVNULL = object()

    def __init__(self, outcome=None):
        super().__init__(calls=[])
        self.outcome = outcome or types.SimpleNamespace(stdout="o", stderr="e", returncode=4)

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


@pytest.fixture
def fake(monkeypatch):
    """A FakeSubprocess bound as the worker's `subprocess` for the test."""
    # Imported here, not at the top: a module that fails to import then fails the
    # tests that use it, not the collection of the whole suite.
    import varnok.workers.shell_worker as sw
    fake = FakeSubprocess()
    monkeypatch.setattr(sw, "subprocess", fake)
    return fake


# Reference leaks, counted in the manner of CPython's refleak runner (see test_leaks.py).
ROUNDS, CALLS = 3, 20


def leaking_counters(call, watched=(), warm_up=CALLS, calls=CALLS):
    """Indexes of the counters (0: allocation, 1...: watched refcounts) that grew every round
    of `calls` calls, after `warm_up` calls."""
    traced = sys.getallocatedblocks() == 0
    if traced:
        tracemalloc.start()
    deltas = [[0] * (1 + len(watched)) for _ in range(ROUNDS)]  # made first: no growth of its own

    def sample():
        gc.collect()
        allocated = tracemalloc.get_traced_memory()[0] if traced else sys.getallocatedblocks()
        return [allocated, *map(sys.getrefcount, watched)]

    try:
        for _ in range(warm_up):
            call()
        before = sample()
        for round_deltas in deltas:
            for _ in range(calls):
                call()
            after = sample()
            round_deltas[:] = [a - b for a, b in zip(after, before)]
            before = after
    finally:
        if traced:
            tracemalloc.stop()
    return [i for i in range(1 + len(watched)) if all(d[i] >= 1 for d in deltas)]


def calling(function, *args, raises=None, match=None, **kwargs):
    """A call of `function` that must return, or must raise `raises` matching `match`."""
    def call():
        try:
            function(*args, **kwargs)
        except BaseException as error:  # noqa: BLE001 - checked just below
            if raises is None or not isinstance(error, raises) or match not in str(error):
                raise
        else:
            assert raises is None, f"{function.__name__} did not raise {raises}"
    return call


# The controller library's four classes, driven through one plain interface.
POOLS = ("pool", "async pool")


class Driven:
    """A ShellWorker, an AsyncShellWorker or a pool of one of either kind,
    called plainly.  A pool's failure to start, an ExceptionGroup of one, is
    raised as the WorkerError it holds."""

    def __init__(self, kind, argv=None, size=1, **options):
        from varnok.workers.shell_worker_client import (AsyncShellWorker, AsyncShellWorkerPool,
                                                        ShellWorker, ShellWorkerPool)
        self.kind, self.runner = kind, None
        try:
            if kind == "sync":
                self.target = ShellWorker(argv, **options)
            elif kind == "pool":
                self.target = ShellWorkerPool(size, argv=argv, **options)
            else:
                self.runner = asyncio.Runner()
                self.target = (AsyncShellWorker(argv, **options) if kind == "async"
                               else AsyncShellWorkerPool(size, argv=argv, **options))
                self.run(self.target.start())
        except ExceptionGroup as group:
            assert kind in POOLS and len(group.exceptions) == 1, group
            self.close_runner()
            raise group.exceptions[0] from None
        except BaseException:
            self.close_runner()
            raise

    def close_runner(self):
        if self.runner is not None:
            self.runner.close()

    def run(self, outcome):
        return outcome if self.runner is None else self.runner.run(outcome)

    def exec(self, *args, **options):
        return self.run(self.target.exec(*args, **options))

    def exec_many(self, *args, **options):
        return self.run(self.target.exec_many(*args, **options))

    def kill(self):
        self.target.kill()

    def close(self, **options):
        self.run(self.target.close(**options))
        self.close_runner()


@pytest.fixture(params=["sync", "async", "pool", "async pool"])
def kind(request):
    return request.param


# A stand-in worker: answers the start-up request, then runs `body`, with
# line() to read a request, say() to write lines in one write, and answer()
# for an exec answer whose stdout is given.
STAND_IN = """
import json, os, signal, sys, time
def line(): return sys.stdin.buffer.readline()
def say(*lines): os.write(1, "".join(each + "\\n" for each in lines).encode())
def answer(stdout): return json.dumps({"success": True, "error": None,
    "result": {"stdout": stdout, "stderr": "", "returncode": 0}})
line(); say('{"success": true, "result": []}')
"""


def stand_in(tag, body, *arguments):
    """The argv of a stand-in worker with `tag` (and `arguments`) in sys.argv[1:]."""
    return [sys.executable, "-c", STAND_IN + textwrap.dedent(body), tag, *map(str, arguments)]


def parent_of(pid):
    with open(f"/proc/{pid}/stat") as stat:
        return int(stat.read().rsplit(")", 1)[1].split()[1])


@pytest.fixture(scope="session")
def process_shim(tmp_path_factory):
    """tests/process_shim.c built into a library to preload (its comment lists what it does)."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("needs a C compiler, to build the preloaded shim")
    library = tmp_path_factory.mktemp("shim") / "process_shim.so"
    source = os.path.join(os.path.dirname(__file__), "process_shim.c")
    subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", str(library), source, "-ldl"],
                   check=True)
    return str(library)


def shimmed(shim: str, **settings) -> dict:
    """This environment with `shim` preloaded after whatever is preloaded already (a
    sanitizer's runtime must come first) and its SHIM_ settings."""
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), shim]))
    return {**os.environ, "LD_PRELOAD": preload,
            **{f"SHIM_{name.upper()}": str(value) for name, value in settings.items()}}
