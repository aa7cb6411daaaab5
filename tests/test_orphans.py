"""Commands that outlive a refused kill: each is reaped once it ends, however many there
are, by identity rather than by number, and the host's SIGCHLD action is as it was.  Each
host runs as pid 1 of a pid namespace of its own, as root without CAP_KILL, so that its
commands can become processes it may not signal and its numbers can be chosen for reuse."""
import json
import os
import shutil
import subprocess
import sys

import pytest

NAMESPACE = ["unshare", "--pid", "--fork", "--mount-proc",
             "setpriv", "--inh-caps=-kill", "--bounding-set=-kill"]


def namespaces_available() -> bool:
    if os.geteuid() != 0 or not (shutil.which("unshare") and shutil.which("setpriv")):
        return False
    return subprocess.run([*NAMESPACE, "true"], capture_output=True).returncode == 0


pytestmark = pytest.mark.skipif(
    not namespaces_available(),
    reason="needs root, setpriv and unshare --pid --fork --mount-proc: a host without "
           "CAP_KILL in a pid namespace of its own")

# The host's side: a command that the worker may not kill (it becomes another user's
# process, reading one line from the FIFO that it opened first), and ways to find, end and
# wait for such orphans.
PRELUDE = """
import ctypes, json, os, signal, subprocess, sys, threading, time
import varnok.workers.shell_worker as sw
FIFO = sys.argv[1]
UNKILLABLE = (f"exec 3<>{FIFO}; exec setpriv --reuid=4321 --regid=4321 --clear-groups "
              "sh -c 'read line' <&3")  # the shell reads a byte at a time: one line each

def orphans():
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/status") as status:
                text = status.read()
        except OSError:
            continue
        if "\\nUid:\\t4321\\t" in text and f"\\nPPid:\\t{os.getpid()}\\n" in text:
            found.append(int(entry))
    return found

def state(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError):  # reaped, perhaps while being read
        return "gone"

def release(count):
    with open(FIFO, "wb", buffering=0) as fifo:
        fifo.write(b"\\n" * count)

def until(condition):
    deadline = time.monotonic() + 20
    while not condition():
        assert time.monotonic() < deadline
        time.sleep(0.01)

def orphaned(count):
    threads = [threading.Thread(target=sw.execute_command, args=(UNKILLABLE, 3.0))
               for _ in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    found = orphans()
    assert len(found) == count, f"{len(found)} orphans of {count}"
    return found

def report(**values):
    print(json.dumps(values))
"""


def run_host(tmp_path, code):
    fifo = tmp_path / "release"
    os.mkfifo(fifo)
    result = subprocess.run([*NAMESPACE, sys.executable, "-c", PRELUDE + code, str(fifo)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


def test_orphans_past_the_table_are_reaped_at_the_next_command(tmp_path):
    code = """
found = orphaned(68)
release(68)
until(lambda: all(state(pid) in ("Z", "gone") for pid in found))
sw.execute_command("true")
report(left=[pid for pid in found if state(pid) != "gone"])
"""
    assert run_host(tmp_path, code) == {"left": []}


@pytest.mark.parametrize("reaping", ["waitpid", "SIGCHLD ignored"])
def test_an_orphan_reaped_by_the_host_is_not_mistaken_for_a_reused_pid(tmp_path, reaping):
    # The host reaps the orphan itself, and its number goes to the host's next child (the
    # namespace's ns_last_pid makes sure of it), which has exited unreaped when the next
    # command starts.  The host's wait must still get that child's status.
    code = f"""
if {reaping!r} == "waitpid":
    signal.signal(signal.SIGCHLD, lambda *_: None)  # the host's own: the module sets none
    [orphan] = orphaned(1)
    release(1)
    os.waitpid(orphan, 0)
else:
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)  # the kernel reaps
    [orphan] = orphaned(1)
    release(1)
    until(lambda: state(orphan) == "gone")
    signal.signal(signal.SIGCHLD, signal.SIG_DFL)
with open("/proc/sys/kernel/ns_last_pid", "w") as last:
    last.write(str(orphan - 1))
child = subprocess.Popen(["sh", "-c", "exit 7"])
os.waitid(os.P_PID, child.pid, os.WEXITED | os.WNOWAIT)
sw.execute_command("true")
report(reused=child.pid == orphan, status=child.wait())
"""
    assert run_host(tmp_path, code) == {"reused": True, "status": 7}


@pytest.mark.parametrize("flags, mask", [
    ("SA_NOCLDWAIT", []),  # a flag: the module installs nothing
    ("", ["SIGUSR1"]),  # a mask only: the module's handler comes and goes
])
def test_the_hosts_sigchld_action_is_kept_whole(tmp_path, flags, mask):
    code = f"""
class Action(ctypes.Structure):
    _fields_ = [("handler", ctypes.c_void_p), ("mask", ctypes.c_ulong * 16),
                ("flags", ctypes.c_int), ("restorer", ctypes.c_void_p)]
libc = ctypes.CDLL(None, use_errno=True)
def action():
    current = Action()
    assert libc.sigaction(signal.SIGCHLD, None, ctypes.byref(current)) == 0
    return [current.handler or 0, current.mask[0], current.flags]  # the kernel's 64 signals
wanted = Action()
wanted.flags = {2 if flags else 0}  # SA_NOCLDWAIT
for name in {mask!r}:
    wanted.mask[0] |= 1 << (getattr(signal, name) - 1)
assert libc.sigaction(signal.SIGCHLD, ctypes.byref(wanted), None) == 0
before = action()
[orphan] = orphaned(1)
release(1)
until(lambda: state(orphan) == "gone")
sw.execute_command("true")
after = action()
# Children that the host never waits for: with SA_NOCLDWAIT the kernel reaps them.
started = [subprocess.Popen(["true"]).pid for _ in range(3)]
if {flags!r}:
    try:
        os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOWAIT)  # returns only once all have ended
    except ChildProcessError:
        pass
report(same=before == after, zombies=sum(state(pid) == "Z" for pid in started) if {flags!r} else 0)
"""
    assert run_host(tmp_path, code) == {"same": True, "zombies": 0}
