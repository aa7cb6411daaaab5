"""A pool of workers over a real ssh transport: a private sshd on a free
localhost port, with a host key and a client key made for the test."""
import asyncio
import os
import pwd
import shlex
import shutil
import socket
import subprocess
import sys
import time

import pytest

from conftest import processes_with, wait_for
from varnok.workers.shell_worker_client import ShellWorker, AsyncShellWorkerPool, WorkerError

SSHD = shutil.which("sshd") or shutil.which("sshd", path="/usr/sbin:/usr/local/sbin")
SSH, KEYGEN = shutil.which("ssh"), shutil.which("ssh-keygen")
pytestmark = [
    pytest.mark.skipif(not (SSHD and SSH and KEYGEN),
                       reason="needs sshd, ssh and ssh-keygen (on Debian: apt-get install "
                              "openssh-server openssh-client)"),
    pytest.mark.timeout(120),
]
# The sanitizer run preloads its runtimes into every process it starts.  sshd,
# ssh and ssh-keygen are no business of that run; the remote worker gets the
# settings back on its command line.
SANITIZER_SETTINGS = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")
PLAIN_ENV = {name: value for name, value in os.environ.items() if name not in SANITIZER_SETTINGS}
REMOTE_WORKER = shlex.join(
    ["env", *(f"{name}={os.environ[name]}" for name in SANITIZER_SETTINGS if name in os.environ),
     os.path.join(os.path.dirname(sys.executable), "varnok-shell-worker")])


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def ssh_argv(port, key):
    return [SSH, "-T", "-p", str(port), "-i", str(key), "-o", "StrictHostKeyChecking=no",
            "-o", "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes", "-o", "LogLevel=ERROR",
            f"{pwd.getpwuid(os.getuid()).pw_name}@127.0.0.1", REMOTE_WORKER]


@pytest.fixture
def sshd(tmp_path):
    """The port of a running sshd that lets the client key in."""
    if not os.path.isdir("/run/sshd"):  # its privilege-separation directory
        try:
            os.makedirs("/run/sshd", mode=0o755)
        except PermissionError:
            pytest.skip("sshd needs /run/sshd, which only root can make here")
    for key in ("host_key", "client_key"):
        subprocess.run([KEYGEN, "-q", "-t", "ed25519", "-N", "", "-f", tmp_path / key],
                       check=True, env=PLAIN_ENV)
    (tmp_path / "authorized_keys").write_bytes((tmp_path / "client_key.pub").read_bytes())
    port = free_port()
    config = tmp_path / "sshd_config"
    config.write_text(f"ListenAddress 127.0.0.1\nPort {port}\nHostKey {tmp_path}/host_key\n"
                      f"AuthorizedKeysFile {tmp_path}/authorized_keys\nPubkeyAuthentication yes\n"
                      "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                      "PermitRootLogin prohibit-password\nStrictModes no\nUsePAM no\n"
                      "PidFile none\n")
    log = open(tmp_path / "sshd.log", "wb")
    server = subprocess.Popen([SSHD, "-D", "-e", "-f", config], stderr=log, env=PLAIN_ENV)

    def listening():
        assert server.poll() is None, (tmp_path / "sshd.log").read_text()
        with socket.socket() as client:
            return client.connect_ex(("127.0.0.1", port)) == 0

    try:
        assert wait_for(listening, 10), (tmp_path / "sshd.log").read_text()
        yield port, tmp_path / "client_key"
    finally:
        server.terminate()
        server.wait(10)
        log.close()


def test_a_pool_of_two_over_ssh(sshd):
    port, key = sshd

    async def main():
        async with AsyncShellWorkerPool(2, argv=ssh_argv(port, key), env=PLAIN_ENV) as pool:
            answers = await asyncio.gather(*(pool.exec('sleep 0.3; echo "$PPID $SSH_CONNECTION"')
                                             for _ in range(4)))
            text = await pool.exec_many(["printf 'é€😀'", "exit 4"])
            return answers, text

    answers, text = asyncio.run(main())
    assert [(result.stdout, result.returncode) for result in text] == [("é€😀", 0), ("", 4)]
    workers = {result.stdout.split()[0] for result in answers}
    assert len(workers) == 2  # both served, each through its own ssh session
    assert all(result.stdout.split()[1] == "127.0.0.1" for result in answers)
    assert wait_for(lambda: not any(os.path.exists(f"/proc/{pid}") for pid in workers))


def test_a_cancelled_request_over_ssh_ends_the_remote_command(sshd, unique_argument):
    # Cancelling ends the local ssh; the remote worker, told --exit-with-controller, sees
    # that nobody can read its answer any more and ends the command's group.
    port, key = sshd
    marker = unique_argument()
    argv = ssh_argv(port, key)
    argv[-1] += " --exit-with-controller"

    async def main():
        async with AsyncShellWorkerPool(1, argv=argv, env=PLAIN_ENV) as pool:
            request = asyncio.ensure_future(pool.exec(f"sleep {marker}; echo never"))
            while not processes_with(marker):
                await asyncio.sleep(0.02)
            request.cancel()
            with pytest.raises(asyncio.CancelledError):
                await request
            cancelled = time.monotonic()
            while processes_with(marker) and time.monotonic() < cancelled + 2:
                await asyncio.sleep(0.02)
            return processes_with(marker)

    assert asyncio.run(main()) == []


def test_a_transport_that_cannot_connect_says_why(tmp_path):
    started = time.monotonic()
    with pytest.raises(WorkerError) as failed:
        ShellWorker(ssh_argv(free_port(), tmp_path / "no_key"), env=PLAIN_ENV)
    assert failed.value.returncode == 255 and time.monotonic() - started < 10
    assert "Connection refused" in failed.value.stderr_tail[-1]
