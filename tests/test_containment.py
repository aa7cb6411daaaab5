"""What a command leaves behind: its whole process group ends at its time limit, when an
interrupt stops it in process, and when the worker is told to terminate; a job that has left
the group on purpose, or a detached one, outlives it.  Processes are found by a unique
argument in their argv, never by their ancestry: a killed shell's children are re-parented."""
import json
import os
import random
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time
from unittest import mock

import pytest

import varnok.workers.shell_worker as sw
from conftest import (WORKER, Worker, after_version_warning, processes_with, run_python, shimmed,
                      unique_seconds, wait_for)


# Signals are blocked while a child starts, and a terminating one that arrives before its
# group is registered is held until then: the "at-once" cases send it that early.


def time_out(seconds):
    return {"success": False, "error": f"Command timed out after {seconds}s",
            "result": {"stdout": "", "stderr": f"Command timed out after {seconds}s",
                       "returncode": -1}}


def ask(worker, request):
    worker.send(json.dumps(request).encode() + b"\n")
    return json.loads(worker.receive())


@pytest.fixture
def marker():
    """A unique sleep length; whatever still sleeps that long afterwards is killed."""
    seconds = unique_seconds()
    yield seconds
    for pid in processes_with(seconds):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


@pytest.mark.parametrize("command", [
    "sleep {t}",
    "sleep {t} | cat",
    "sleep {t}; echo y",
    "sh -c 'sleep {t}'; echo x",
    "sleep {t} &",  # the background job holds the output pipe
    "(sleep {t}; echo z) & wait",
])
def test_a_time_out_ends_every_process_of_the_command(worker, marker, command):
    started = time.monotonic()
    response = ask(worker, {"command": command.format(t=marker), "timeout": 1})
    answered = time.monotonic()
    assert response == time_out(1.0)
    assert answered - started < 3
    time.sleep(0.5)
    assert processes_with(marker) == []


def test_a_detached_job_outlives_a_command_that_ended_in_time(worker, marker):
    started = time.monotonic()
    response = ask(worker, {"command": f"nohup sleep {marker} >/dev/null 2>&1 &"})
    assert time.monotonic() - started < 3
    assert response == {"success": True, "error": None,
                        "result": {"stdout": "", "stderr": "", "returncode": 0}}
    time.sleep(0.2)
    assert len(processes_with(marker)) == 1


def shell_of(marker):
    """The pid of the command's shell, the one process with `marker` whose argv is sh's."""
    for pid in processes_with(marker):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                if cmdline.read().startswith(b"/bin/sh\0-c\0"):
                    return pid
        except FileNotFoundError:
            continue
    return None


def test_a_detached_job_survives_a_sigterm_after_its_command_was_reaped(marker):
    # 250 MB of bytes that are not UTF-8 take the worker a while to answer; its shell is
    # reaped before that begins, and from then on a SIGTERM ends the worker alone.
    worker = Worker()
    flood = "head -c 250000000 /dev/zero | tr '\\000' '\\377'"
    worker.send(json.dumps({"command": f"sleep {marker} >/dev/null 2>&1 & {flood}"}).encode()
                + b"\n")
    assert wait_for(lambda: shell_of(marker) is not None)
    shell = shell_of(marker)
    # Watched closely: the signal is to come while the output is turned into text.
    deadline = time.monotonic() + 60
    while os.path.exists(f"/proc/{shell}"):  # until reaped, not only exited
        assert time.monotonic() < deadline
        time.sleep(0.001)
    worker.process.send_signal(signal.SIGTERM)
    assert worker.process.wait(60) == -signal.SIGTERM
    assert len(processes_with(marker)) == 1


needs_root_and_setpriv = pytest.mark.skipif(
    os.geteuid() != 0 or not shutil.which("setpriv"),
    reason="needs root and setpriv, to run a worker without CAP_KILL")


@needs_root_and_setpriv
def test_a_command_the_worker_may_not_kill_is_answered_at_its_limit(tmp_path):
    # The command becomes another user's process, which a worker without CAP_KILL may not
    # signal; it ends once the test writes to the FIFO that it opened before.
    fifo = tmp_path / "release"
    os.mkfifo(fifo)
    code = (f"import os; fd = os.open({str(fifo)!r}, os.O_RDWR); "
            "os.setresuid(4321, 4321, 4321); os.read(fd, 1)")
    worker = Worker(["setpriv", "--inh-caps=-kill", "--bounding-set=-kill", *WORKER])
    try:
        started = time.monotonic()
        worker.send(json.dumps({"command": f"exec {sys.executable} -c {shlex.quote(code)}",
                                "timeout": 0.5}).encode() + b"\n")
        response = worker.receive_within(30)
        assert time.monotonic() - started < 0.5 + 0.5
        assert json.loads(response) == time_out(0.5)
        [orphan] = processes_with(str(fifo))
        with open(f"/proc/{orphan}/status") as status:
            assert "Uid:\t4321\t" in status.read()
        # Served at once, while the command it could not end still runs.
        worker.send(b'{"command": "echo next"}\n')
        assert json.loads(worker.receive_within(30) or b"null") == {
            "success": True, "error": None,
            "result": {"stdout": "next\n", "stderr": "", "returncode": 0}}
        with open(fifo, "wb") as release:
            release.write(b"x")
        # Reaped once it ends, with the worker idle: no zombie is left.
        assert wait_for(lambda: not os.path.exists(f"/proc/{orphan}"))
        worker.send(b'{"action": "quit"}\n')
        assert worker.close()[2] == 0
    finally:
        if worker.process.poll() is None:
            worker.process.kill()
        for pid in processes_with(str(fifo)):
            os.kill(pid, signal.SIGKILL)


@pytest.mark.parametrize("started", [2, 1, 0], ids=["running", "shell-started", "at-once"])
@pytest.mark.parametrize("signal_number", [signal.SIGTERM, signal.SIGHUP])
def test_a_terminated_worker_ends_its_command_first(marker, signal_number, started):
    # Also while the child may exist but is not yet watched, and before there is any.
    worker = Worker()
    worker.send(json.dumps({"command": f"sleep {marker}; echo never"}).encode() + b"\n")
    assert wait_for(lambda: len(processes_with(marker)) >= started)
    worker.process.send_signal(signal_number)
    out, err, status = worker.close()
    assert (status, out) == (-signal_number, b"")
    assert wait_for(lambda: processes_with(marker) == [], 0.5)


def test_an_idle_worker_ends_at_sigterm_as_before(worker):
    assert ask(worker, {"command": "true"})["success"] is True  # handler installed and removed
    worker.process.send_signal(signal.SIGTERM)
    out, err, status = worker.close()
    assert (status, out, after_version_warning(err)) == (-signal.SIGTERM, b"", b"")


def test_a_worker_that_ignores_sigterm_still_does(marker):
    # The disposition was not the default, so the worker takes no handler of its own.
    worker = Worker(preexec_fn=lambda: signal.signal(signal.SIGTERM, signal.SIG_IGN))
    worker.send(json.dumps({"command": f"sleep 0.5; echo done {marker}"}).encode() + b"\n")
    assert wait_for(lambda: processes_with(marker))
    worker.process.send_signal(signal.SIGTERM)
    assert json.loads(worker.receive())["result"]["stdout"] == f"done {marker}\n"
    worker.send(b'{"action": "quit"}\n')
    assert worker.close()[2] == 0


KEPT_ACTIONS = """
import ctypes, json, signal
import varnok.workers.shell_worker as sw
class Action(ctypes.Structure):
    _fields_ = [("handler", ctypes.c_void_p), ("mask", ctypes.c_ulong * 16),
                ("flags", ctypes.c_int), ("restorer", ctypes.c_void_p)]
libc = ctypes.CDLL(None, use_errno=True)
def action(number):
    current = Action()
    assert libc.sigaction(number, None, ctypes.byref(current)) == 0
    return [current.handler or 0, current.mask[0], current.flags]  # the kernel's 64 signals
signal.signal(signal.SIGTERM, signal.SIG_DFL)  # the host's own call: SA_ONSTACK
wanted = Action()
wanted.flags = 0x10000000  # SA_RESTART
wanted.mask[0] = 1 << (signal.SIGUSR1 - 1)
assert libc.sigaction(signal.SIGHUP, ctypes.byref(wanted), None) == 0
before = [action(signal.SIGTERM), action(signal.SIGHUP)]
sw.execute_command("true")
print(json.dumps({"same": before == [action(signal.SIGTERM), action(signal.SIGHUP)],
                  "flags": [before[0][2] != 0, before[1][2] != 0]}))
"""


def test_the_hosts_default_terminating_actions_are_put_back_whole():
    # The handler replaces a default only, but a default can carry flags and a mask
    # that the host set and may read back; a plain default would lose them.
    result = run_python(KEPT_ACTIONS)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout.splitlines()[-1]) == {"same": True, "flags": [True, True]}


HELD_SIGTERM = """
import signal, threading
import varnok.workers.shell_worker as sw
def start_again_and_again():
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
    while True:  # each start fails in the child, so most of the call is the start
        sw.execute_command("true", 30.0, "/nonexistent-directory")
threading.Thread(target=start_again_and_again, daemon=True).start()
print("ready", flush=True)
threading.Event().wait()
"""


def test_a_sigterm_held_while_a_command_starts_ends_the_process():
    # A SIGTERM that arrives while a thread starts a command is held until the start is
    # over, then sent again by that thread, which blocks SIGTERM here: sent to the thread,
    # it would stay pending for ever; sent to the process, the main thread takes it.  Each
    # try lands in a start or between two, by chance; either way the process must end.
    for attempt in range(20):
        child = subprocess.Popen([sys.executable, "-c", HELD_SIGTERM], stdout=subprocess.PIPE)
        try:
            assert child.stdout.readline() == b"ready\n"
            time.sleep(random.uniform(0.001, 0.02))
            child.send_signal(signal.SIGTERM)
            try:
                assert child.wait(10) == -signal.SIGTERM
            except subprocess.TimeoutExpired:
                pytest.fail(f"try {attempt}: the process outlived its SIGTERM")
        finally:
            child.kill()
            child.wait()


def test_undecodable_output_keeps_its_text_and_status(worker):
    response = ask(worker, {"command": r"printf 'a\377b'; printf 'e\376' >&2; exit 3"})
    assert response["result"] == {"stdout": "a\ufffdb", "stderr": "e\ufffd", "returncode": 3}


# --- in process -------------------------------------------------------------------------

def test_a_time_out_in_process_leaves_nothing(marker):
    assert sw.execute_command(f"sleep {marker}", 0.5) == time_out(0.5)["result"]
    assert wait_for(lambda: processes_with(marker) == [], 0.5)


def signalled_once_busy(code, marker, processes, signal_number):
    """Runs `code` in a fresh interpreter (MARK in its environment: its own argv must not
    hold the marker), sends it `signal_number` once `processes` of the marked commands run;
    returns its exit status and standard output."""
    child = subprocess.Popen([sys.executable, "-c", code], env={**os.environ, "MARK": marker},
                             stdout=subprocess.PIPE, text=True)
    try:
        assert wait_for(lambda: len(processes_with(marker)) == processes)
        child.send_signal(signal_number)
        out, _ = child.communicate(timeout=10)
    finally:
        child.kill()
    return child.returncode, out


def test_an_interrupt_in_process_passes_out_and_leaves_nothing(marker):
    code = ("import os, signal, traceback\n"
            "import varnok.workers.shell_worker as sw\n"
            "signal.signal(signal.SIGINT, signal.default_int_handler)  # not inherited ignored\n"
            "try:\n"
            "    sw.execute_command(f\"sleep {os.environ['MARK']}; echo never\", 30)\n"
            "except KeyboardInterrupt as error:\n"
            "    print('interrupted', [f.name for f in traceback.extract_tb(error.__traceback__)\n"
            "                          if f.filename == 'varnok/workers/shell_worker'])\n")
    # Two processes: the shell and its sleep.
    status, out = signalled_once_busy(code, marker, 2, signal.SIGINT)
    assert (status, out) == (0, "interrupted ['varnok.workers.shell_worker.execute_command']\n")
    assert wait_for(lambda: processes_with(marker) == [], 0.5)


def test_a_terminated_process_ends_the_commands_of_all_its_threads(marker):
    code = ("import os, threading\n"
            "import varnok.workers.shell_worker as sw\n"
            "for n in (1, 2):\n"
            "    threading.Thread(target=sw.execute_command,"
            " args=(f\"sleep {os.environ['MARK']}; echo {n}\",)).start()\n")
    # Four processes: two shells, two sleeps.
    assert signalled_once_busy(code, marker, 4, signal.SIGTERM) == (-signal.SIGTERM, "")
    assert wait_for(lambda: processes_with(marker) == [], 0.5)


def group_of_child():
    return int(sw.execute_command("cut -d ' ' -f 5 /proc/$$/stat")["stdout"])  # sh: no blank in its name


real_run = subprocess.run


class RecordingPopen(subprocess.Popen):
    calls = []

    def __init__(self, *args, **kwargs):
        self.calls.append(kwargs)
        super().__init__(*args, **kwargs)


@pytest.mark.parametrize("attribute, replacement", [
    ("Popen", RecordingPopen),
    ("run", lambda *args, **kwargs: RecordingPopen.calls.append(kwargs) or real_run(
        *args, **kwargs)),
])
def test_replaced_process_machinery_gets_the_plain_run_call(monkeypatch, attribute,
                                                            replacement):
    assert group_of_child() != os.getpgid(0)  # the host's own machinery: a group of its own
    RecordingPopen.calls.clear()
    monkeypatch.setattr(subprocess, attribute, replacement)
    assert group_of_child() == os.getpgid(0)
    keywords = RecordingPopen.calls[0]
    assert "process_group" not in keywords and "errors" not in keywords
    assert keywords["stdin"] is subprocess.DEVNULL and keywords["shell"] is True


def delegating(original):
    def patched(*args, **kwargs):
        return original(*args, **kwargs)
    return patched


@pytest.mark.parametrize("owner, name", [
    (subprocess.Popen, "__init__"),
    (subprocess.Popen, "_execute_child"),
    (subprocess.Popen, "communicate"),
    (subprocess.Popen, "wait"),
    (subprocess.Popen, "poll"),
    (subprocess.Popen, "kill"),
    (subprocess.Popen, "send_signal"),
    (subprocess.Popen, "__getattribute__"),  # not its own: an entry added counts too
    (subprocess, "_fork_exec"),
    (os, "waitpid"),
], ids=lambda value: getattr(value, "__name__", value))
def test_a_patched_part_of_the_machinery_gets_the_plain_call(monkeypatch, owner, name):
    monkeypatch.setattr(owner, name, delegating(getattr(owner, name)), raising=False)
    assert group_of_child() == os.getpgid(0)
    monkeypatch.undo()
    assert group_of_child() != os.getpgid(0)  # the native start is back


def test_a_popen_patched_to_fail_gives_what_run_gives():
    with mock.patch.object(subprocess.Popen, "_execute_child",
                           side_effect=PermissionError("blocked by test")):
        assert sw.execute_command("echo ran") == {"stdout": "", "stderr": "blocked by test",
                                                  "returncode": -1}
    assert sw.execute_command("echo ran") == {"stdout": "ran\n", "stderr": "", "returncode": 0}
    assert group_of_child() != os.getpgid(0)


def test_a_handler_set_during_a_command_stays(marker):
    # The module puts the default back only where the handler is still its own.
    code = ("import os, signal, threading, time\n"
            "import varnok.workers.shell_worker as sw\n"
            "worker = threading.Thread(target=sw.execute_command,"
            " args=(f\"sleep 0.5; echo {os.environ['MARK']}\",))\n"
            "worker.start(); time.sleep(0.2)\n"
            "signal.signal(signal.SIGTERM, lambda *_: print('handled'))\n"
            "worker.join(); os.kill(os.getpid(), signal.SIGTERM); time.sleep(0.1)\n"
            "print(signal.getsignal(signal.SIGHUP) is signal.SIG_DFL)\n")
    result = run_python(code, env={**os.environ, "MARK": marker})
    assert (result.returncode, result.stdout) == (0, "handled\nTrue\n")


def test_commands_on_two_threads_are_both_contained(marker):
    results = []
    threads = [threading.Thread(target=lambda: results.append(
        sw.execute_command(f"sleep {marker}", 0.5))) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [time_out(0.5)["result"]] * 2
    assert wait_for(lambda: processes_with(marker) == [], 0.5)


# --- windows widened by a preloaded shim ------------------------------------------------

STARTER_WOKEN_BY_THE_DYING = """
import os, select, signal, threading, time
import varnok.workers.shell_worker as sw
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})  # for the threads: main takes it
def running(text):
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                if text.encode() in cmdline.read():
                    return True
        except OSError:
            pass
    return False
def started(command):
    thread = threading.Thread(target=sw.execute_command, args=(command,), daemon=True)
    thread.start()
    return thread
def start_once_woken():
    select.select([int(os.environ["WAKE"])], [], [])
    sw.execute_command(f"sleep {os.environ['MARK']}")
# A command in the first slot that ends, one in the second that runs on: the handler's
# kill of the second leaves the first slot free behind it.
first = started(f"read x <{os.environ['FIFO']}")
while not running(os.environ["FIFO"]): time.sleep(0.005)
started(f"sleep {os.environ['MARK']}")
while not running(os.environ["MARK"]): time.sleep(0.005)
with open(os.environ["FIFO"], "w") as fifo:
    fifo.write("\\n")
first.join()
threading.Thread(target=start_once_woken, daemon=True).start()
signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGTERM})
print("ready", flush=True)
threading.Event().wait()
"""


def test_a_command_started_while_the_handler_kills_is_not_left(process_shim, marker,
                                                               tmp_path):
    # The shim holds the handler's kill of the running command for 300 ms and wakes a
    # thread that starts another meanwhile, into the slot that the handler has passed.
    fifo = tmp_path / "first"
    os.mkfifo(fifo)
    wake, notify = os.pipe()
    try:
        env = shimmed(process_shim, kill_delay_ms=300, notify_fd=notify)
        child = subprocess.Popen([sys.executable, "-c", STARTER_WOKEN_BY_THE_DYING],
                                 env={**env, "WAKE": str(wake), "MARK": marker,
                                      "FIFO": str(fifo)},
                                 pass_fds=(wake, notify), stdout=subprocess.PIPE)
        try:
            assert child.stdout.readline() == b"ready\n"
            child.send_signal(signal.SIGTERM)
            assert child.wait(30) == -signal.SIGTERM
        finally:
            child.kill()
    finally:
        os.close(wake)
        os.close(notify)
    assert wait_for(lambda: processes_with(marker) == [], 0.5)


SECOND_SIGNAL_ON_ANOTHER_THREAD = """
import os, signal, threading
import varnok.workers.shell_worker as sw
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGHUP})  # SIGTERM here, SIGHUP there
def other():
    signal.pthread_sigmask(signal.SIG_SETMASK, {signal.SIGTERM})
    threading.Event().wait()
threading.Thread(target=other, daemon=True).start()
sw.execute_command(f"sleep {os.environ['MARK']}; echo never")
"""


@pytest.mark.parametrize("host", ["main loop", "another thread"])
def test_a_second_terminating_signal_waits_for_the_first_handlers_kill(process_shim, marker,
                                                                       host):
    # The first handler holds the command's slot while the shim delays its kill by 300 ms;
    # SIGHUP arrives meanwhile, on the same thread (the worker's main loop) or on another.
    read_end, notify = os.pipe()
    try:
        env = shimmed(process_shim, kill_delay_ms=300, notify_fd=notify)
        if host == "main loop":
            worker = subprocess.Popen(WORKER, env=env, pass_fds=(notify,), stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE)
            worker.stdin.write(json.dumps({"command": f"sleep {marker}"}).encode() + b"\n")
            worker.stdin.flush()
        else:
            worker = subprocess.Popen([sys.executable, "-c", SECOND_SIGNAL_ON_ANOTHER_THREAD],
                                      env={**env, "MARK": marker}, pass_fds=(notify,),
                                      stdout=subprocess.PIPE)
        try:
            assert wait_for(lambda: processes_with(marker))
            worker.send_signal(signal.SIGTERM)
            assert os.read(read_end, 1) == b"!"  # the first handler's kill has begun
            worker.send_signal(signal.SIGHUP)
            assert worker.wait(30) in (-signal.SIGTERM, -signal.SIGHUP)
        finally:
            worker.kill()
    finally:
        os.close(read_end)
        os.close(notify)
    assert wait_for(lambda: processes_with(marker) == [], 0.5)


def test_without_pidfds_the_exit_checks_after_a_kill_start_short(process_shim, tmp_path):
    # The wait for the command's exit has stretched its checks to 50 ms when its time runs
    # out.  After the kill the shim makes the first check find nothing, as for a child slow
    # to die: the next check must come after the shortest interval, not the longest.
    log = tmp_path / "log"
    code = ("import os, varnok.workers.shell_worker as sw\n"
            "log = os.open(os.environ['LOG'], os.O_WRONLY | os.O_CREAT | os.O_APPEND)\n"
            "os.dup2(log, 9)\n"
            "print(sw.execute_command('exec >/dev/null 2>&1; exec sleep 5', 0.3))\n")
    result = run_python(code, env={**shimmed(process_shim, no_pidfd=1, hide_exit=1, log_fd=9),
                                   "LOG": str(log)})
    assert result.stdout == repr(time_out(0.3)["result"]) + "\n"
    lines = log.read_text().split()
    before, after = " ".join(lines).split("kill", 1)
    slept_before = [int(n) for n in before.split()[1::2]]
    slept_after = [int(n) for n in after.split()[1::2]]
    assert max(slept_before) == 50_000_000
    assert slept_after and slept_after[0] <= 1_000_000
