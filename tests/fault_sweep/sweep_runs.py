"""One worker process served one request with one system call failing in it.

strace attaches to a worker that waits on its standard input, fails one call
of one kind at one position (counted per process from the attach, which falls
on the worker's read of the request), and follows the children the worker
starts until they exec: a command's own calls are the shell's, not the
worker's, and are left alone.  The worker is then asked `echo next`, looked
at, and its input closed.
"""
from __future__ import annotations

import dataclasses
import errno
import glob
import json
import os
import platform
import re
import select
import signal
import subprocess
import sys
import tempfile
import time

# The worker as the controller library starts it, with no address
# randomisation and a fixed hash seed, so that a call's position names the
# same call in every run.
WORKER = ["setarch", platform.machine(), "-R", sys.executable, "-m",
          "varnok.workers.shell_worker_cli"]
# Buffered standard streams, as the controller library starts it, whatever
# the caller's environment says.
ENVIRONMENT = {**{name: value for name, value in os.environ.items() if name != "PYTHONUNBUFFERED"},
               "PYTHONHASHSEED": "0"}

# What a hang is: no run here takes a second without its fault.
ANSWER_SECONDS = 15
SESSION_GRACE = 2.0

# The worker's own directory, a request's, and one that is not there.
WORKER_DIRECTORY = "/"
DIRECTORY = "/tmp"
MISSING_DIRECTORY = "/nonexistent/fault-sweep"
REQUESTS = {
    "plain": {"command": "echo hi; exit 3"},
    # "; :" keeps the shell alive beside its sleep: both must go at the time-out.
    "time-out": {"command": "sleep 5; :", "timeout": 0.3},
    "exec_many": {"action": "exec_many", "commands": ["printf a", "exit 2"]},
    "cwd": {"command": "pwd", "cwd": DIRECTORY},
    "1 MiB output": {"command": "head -c 1048576 /dev/zero | tr '\\0' x"},
    # A child that reports its own failure: the parent's read of the report
    # may fail too.
    "start failure": {"command": "pwd", "cwd": MISSING_DIRECTORY},
}
NEXT = {"command": "echo next"}

# The numbers of read(2) and of poll(2) and ppoll(2) on this machine, for
# /proc/PID/syscall.
READ_SYSCALL, *POLL_SYSCALLS = {"x86_64": (0, 7, 271), "aarch64": (63, 73)}[platform.machine()]


@dataclasses.dataclass
class Run:
    answer: dict | None = None          # the injected request's
    cut_short: bytes = b""              # what came of an answer that the output's end cut short
    next_answer: dict | None = None
    returncode: int | None = None
    stderr: bytes = b""
    state: dict | None = None           # the worker's, after `echo next`
    survivors: list[str] = dataclasses.field(default_factory=list)
    calls: dict[int, list[str]] = dataclasses.field(default_factory=dict)  # per traced pid
    worker_pid: int = 0


def _decoded(line: bytes) -> dict:
    try:
        return json.loads(line)
    except ValueError:
        raise AssertionError(f"a malformed answer: {line[:200]!r}...{line[-200:]!r}") from None


def _waiting_for_input(pid: int) -> bool:
    """Whether `pid` sleeps (not stopped by its tracer) in a read of its
    standard input or a wait for it to be readable, or has ended."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            state = stat.read().rsplit(")", 1)[1].split()[0]
        with open(f"/proc/{pid}/syscall") as status:
            fields = status.read().split()
    except (FileNotFoundError, ProcessLookupError):
        return True
    if state in "ZX":
        return True
    if state != "S" or not fields[0].isdigit():
        return False
    number = int(fields[0])
    return (number == READ_SYSCALL and fields[1] == "0x0") or number in POLL_SYSCALLS


def _wait_until_waiting_for_input(pid: int) -> None:
    deadline = time.monotonic() + ANSWER_SECONDS
    while not _waiting_for_input(pid):
        if time.monotonic() > deadline:
            raise AssertionError(f"worker {pid} never went back to waiting for its input: a hang")
        time.sleep(0.002)


class _Lines:
    """Lines from a pipe, waited for at most so long: a worker that writes
    part of a line and stops is a hang, not a test that waits forever."""

    def __init__(self, fd: int):
        self.fd = fd
        self.held = b""

    def next(self, seconds: float) -> bytes | None:
        """One line, b"" at the end, None when none came whole within `seconds`."""
        deadline = time.monotonic() + seconds
        while b"\n" not in self.held:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return None
            data = os.read(self.fd, 1 << 20)
            if not data:
                line, self.held = self.held, b""
                return line
            self.held += data
        line, self.held = self.held.split(b"\n", 1)
        return line + b"\n"


def _state(pid: int) -> dict:
    """What must be as after a fault-free run: descriptors, signal mask and
    dispositions, children."""
    descriptors = {}
    for fd in os.listdir(f"/proc/{pid}/fd"):
        target = os.readlink(f"/proc/{pid}/fd/{fd}")
        descriptors[int(fd)] = re.sub(r"\[\d+\]$", "", target)
    with open(f"/proc/{pid}/status") as status:
        fields = dict(line.split(":\t", 1) for line in status.read().splitlines())
    children = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as listed:
            children += listed.read().split()
    return {"descriptors": descriptors, "blocked": fields["SigBlk"], "ignored": fields["SigIgn"],
            "caught": fields["SigCgt"], "children": children}


def _session_members(session: int) -> list[str]:
    """The live processes (not zombies) of `session`, with their command lines."""
    members = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            if fields[0] != "Z" and int(fields[3]) == session:
                with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                    argv = cmdline.read().replace(b"\0", b" ").decode(errors="replace")
                members.append(f"{entry}: {argv}")
        except (FileNotFoundError, ProcessLookupError):
            continue
    return members


def _traced_calls(log_prefix: str) -> dict[int, list[str]]:
    calls = {}
    for path in glob.glob(log_prefix + ".*"):
        with open(path, errors="replace") as log:
            calls[int(path.rsplit(".", 1)[1])] = log.read().splitlines()
    return calls


def run(request: dict, trace: str | None = None, inject: str | None = None) -> Run:
    """Serves `request` under strace, tracing the calls named in `trace`
    (every call when None) and injecting `inject`, then `echo next`."""
    outcome = Run()
    worker = subprocess.Popen(WORKER, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=ENVIRONMENT, cwd=WORKER_DIRECTORY,
                              start_new_session=True)
    outcome.worker_pid = worker.pid
    answers = _Lines(worker.stdout.fileno())
    with tempfile.TemporaryDirectory(prefix="fault-sweep-") as logs:
        try:
            _wait_until_waiting_for_input(worker.pid)
            strace = ["strace", "-f", "-b", "execve", "-ff", "-o", f"{logs}/log"]
            if trace:
                strace += ["-e", f"trace={trace}"]
            if inject:
                strace += ["-e", f"inject={inject}"]
            tracer = subprocess.Popen(strace + ["-p", str(worker.pid)], stderr=subprocess.PIPE)
            try:
                # Printed once the worker is stopped for tracing: from then on
                # every call it makes is counted.
                attached = tracer.stderr.readline()
                assert b"attached" in attached, attached
                worker.stdin.write(json.dumps(request).encode() + b"\n")
                worker.stdin.flush()
                line = answers.next(ANSWER_SECONDS)
                assert line is not None, f"no whole answer within {ANSWER_SECONDS} s: a hang"
                # Detached once the worker waits for `echo next`, which must
                # meet no fault: a detach while a fault is being injected
                # would make one of its own (ENOSYS).
                _wait_until_waiting_for_input(worker.pid)
            finally:
                tracer.send_signal(signal.SIGTERM)
                tracer.communicate(timeout=ANSWER_SECONDS)
            outcome.calls = _traced_calls(f"{logs}/log")
            if line and not line.endswith(b"\n"):
                outcome.cut_short, line = line, b""
            if line:
                outcome.answer = _decoded(line)
                try:
                    worker.stdin.write(json.dumps(NEXT).encode() + b"\n")
                    worker.stdin.flush()
                except BrokenPipeError:
                    pass  # it has ended after its answer: its output says the rest
                line = answers.next(ANSWER_SECONDS)
                assert line is not None, f"no answer to echo next within {ANSWER_SECONDS} s"
                if line:
                    outcome.next_answer = _decoded(line)
                    outcome.state = _state(worker.pid)
            try:
                worker.stdin.close()
            except BrokenPipeError:
                pass
            outcome.stderr = worker.stderr.read()
            outcome.returncode = worker.wait(timeout=ANSWER_SECONDS)
        finally:
            if worker.poll() is None:
                worker.kill()
                worker.wait()
            for stream in (worker.stdin, worker.stdout, worker.stderr):
                if not stream.closed:
                    stream.close()
    deadline = time.monotonic() + SESSION_GRACE
    while (survivors := _session_members(worker.pid)) and time.monotonic() < deadline:
        time.sleep(0.05)
    outcome.survivors = survivors
    for survivor in survivors:
        try:
            os.kill(int(survivor.split(":")[0]), signal.SIGKILL)
        except ProcessLookupError:
            pass
    return outcome


CALL = re.compile(r"(\w+)\((.*)")


def request_calls(run_: Run) -> dict[str, int]:
    """How many calls of each kind a fault-free run made while serving its
    request, most made by one process: the worker's from the attach to the
    answer's last write, a started child's up to its exec."""
    most: dict[str, int] = {}
    for pid, lines in run_.calls.items():
        counted: dict[str, int] = {}
        answered = False
        for line in lines:
            call = CALL.match(line)
            if not call:
                continue
            name, arguments = call.groups()
            if pid == run_.worker_pid:
                if name == "write" and arguments.startswith("1,"):
                    answered = True
                elif answered:
                    break  # the wait for the next request
            counted[name] = counted.get(name, 0) + 1
        for name, count in counted.items():
            most[name] = max(most.get(name, 0), count)
    return most


def injected_calls(run_: Run) -> list[tuple[bool, str]]:
    """The injected calls: (whether the worker made it, its line)."""
    return [(pid == run_.worker_pid, line) for pid, lines in sorted(run_.calls.items())
            for line in lines if "(INJECTED)" in line]


def start_error_texts(number: int) -> set[str]:
    """What the host's subprocess raises for a start that failed with
    `number`: without a file name (pipes, fork, set-up in the child) or with
    the one the failure concerns."""
    message = os.strerror(number)
    return {str(OSError(number, message))} | {
        str(OSError(number, message, name)) for name in (WORKER_DIRECTORY, DIRECTORY, MISSING_DIRECTORY, "/bin/sh", "/dev/null")}


def errno_name(number: int) -> str:
    return errno.errorcode[number]
