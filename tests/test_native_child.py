"""The child that execute_command starts itself is the one subprocess would start: the same
descriptors, signals, process group, directory, environment and decoded output, the same errors
and audit events.  Each comparison runs both ways in one process, so that both see the same
process-wide state (signals, descriptors, locale); a case that changes that state runs in a fresh
interpreter."""
import collections.abc
import json
import os
import re
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import varnok.workers.shell_worker as sw


def run_python(code, options=(), args=(), **settings):
    """`code` in a fresh interpreter given `options`, with `args` as its arguments."""
    return subprocess.run([sys.executable, *options, "-c", textwrap.dedent(code), *args],
                          capture_output=True, text=True, timeout=120, **settings)

PROBES = {
    "signals, umask, credentials": (
        "exec grep -E '^(Umask|SigPnd|ShdPnd|SigBlk|SigIgn|SigCgt|Cap|NoNewPrivs|Seccomp|Uid|Gid"
        "|Groups)' /proc/self/status"),
    "descriptors": "exec ls -l --time-style=+ /proc/self/fd",
    "descriptor flags": "exec grep -h flags /proc/self/fdinfo/0 /proc/self/fdinfo/1 "
                        "/proc/self/fdinfo/2",
    "group, session, terminal": 'set -- $(cut -d" " -f5-8 /proc/$$/stat); '
                                'echo "own group: $(($1 == $$)); session $2; tty $3 $4"',
    "directory, environment": "pwd; exec env",
    "standard input": "readlink /proc/self/fd/0; cat; echo end",
    "bytes and line ends": r"printf 'a\377b\r\nc\rd\r\r\n\303\251\342\202\254'; "
                           r"printf '\376e\r' >&2; exit 3",
    "a signal's death": "kill -TERM $$",
}

# Runs every probe through execute_command and through subprocess.run with the arguments the
# module's child is meant to match; prints both results of each, with what must differ between
# any two children (pipe inodes, process ids) taken out.
RUNNER = """
import json, os, re, signal, subprocess, sys
import varnok.workers.shell_worker as sw
{setup}
def normalised(result):
    return {{key: re.sub(r"pipe:\\[\\d+\\]|/proc/\\d+/", "<n>", value) if isinstance(value, str)
            else value for key, value in result.items()}}
def through_subprocess(command):
    done = subprocess.run(command, shell=True, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, errors="replace", timeout=30.0, cwd={cwd!r} or os.getcwd(),
                          env=dict(os.environ), process_group=0)
    return {{"stdout": done.stdout, "stderr": done.stderr, "returncode": done.returncode}}
results = {{name: [normalised(sw.execute_command(command, 30.0, {cwd!r})),
                  normalised(through_subprocess(command))]
           for name, command in json.loads(sys.argv[1]).items()}}
os.write(1, json.dumps(results).encode())
"""

HOST_STATES = {
    "plain": ("", {}),
    "signals, mask, umask, inheritable descriptor": ("""
        signal.signal(signal.SIGUSR1, lambda *_: None)  # caught: the default in the child
        signal.signal(signal.SIGUSR2, signal.SIG_IGN)   # ignored: stays ignored
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGHUP, signal.SIGUSR1})
        os.umask(0o027)
        os.set_inheritable(os.open("/dev/null", os.O_RDONLY), True)
        """, {}),
    "standard input and error closed": ("os.close(0); os.close(2)", {}),
    "SIGCHLD ignored": ("signal.signal(signal.SIGCHLD, signal.SIG_IGN)", {}),
    "ASCII locale": ("", {"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}),
    "UTF-8 mode": ("", {"LC_ALL": "C", "PYTHONUTF8": "1"}),
}


@pytest.fixture(scope="module")
def odd_directory(tmp_path_factory):
    """A working directory whose name is not valid UTF-8."""
    path = tmp_path_factory.mktemp("cwd") / "d\udcff"
    path.mkdir()
    return str(path)


@pytest.mark.parametrize("state", HOST_STATES)
def test_probes_see_the_child_that_subprocess_makes(state, odd_directory):
    setup, environment = HOST_STATES[state]
    code = RUNNER.format(setup=textwrap.dedent(setup), cwd=odd_directory)
    ran = run_python(code, args=[json.dumps(PROBES)], env={**os.environ, **environment})
    assert ran.returncode == 0, ran.stderr
    results = json.loads(ran.stdout)
    for name, (native, reference) in results.items():
        assert native == reference, name
    # And what both must be, so that a difference in subprocess itself would show.
    assert results["standard input"][0]["stdout"] == "/dev/null\nend\n"
    listed = results["descriptors"][0]["stdout"]
    assert re.findall(r" (\d+) -> ", listed) == ["0", "1", "2", "3"], listed
    assert "own group: 1" in results["group, session, terminal"][0]["stdout"]
    assert results["a signal's death"][0]["returncode"] == (0 if "SIGCHLD" in state else -15)


def through_subprocess(command, cwd):
    try:
        done = subprocess.run(command, shell=True, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, errors="replace", timeout=30.0, cwd=cwd or os.getcwd(),
                              env=dict(os.environ), process_group=0)
    except Exception as error:
        return {"stdout": "", "stderr": str(error), "returncode": -1}
    return {"stdout": done.stdout, "stderr": done.stderr, "returncode": done.returncode}


@pytest.mark.parametrize("command, cwd, environ, returncode", [
    ("echo a\0b", None, None, -1),
    ("echo \ud800", None, None, -1),
    ("printf '%s' \udcff", None, None, 0),  # an escaped byte goes through as that byte
    ("true", "/tmp\0x", None, -1),
    ("true", "/tmp/\ud800", None, -1),
    ("true", "/nonexistent-\udcff", None, -1),
    ("true", "/nonexistent", None, -1),
    ("true", "/etc/passwd", None, -1),
    ("true", None, {"A=B": "1"}, -1),
    ("true", None, {"A": "x\0y"}, -1),
    ("true", None, {"\ud800": "1"}, -1),
    ("true", None, {"A": "\ud800"}, -1),
    ("true", None, {"A": 1}, -1),
    ("echo $A", None, {"A": b"bytes"}, 0),
    ("x" * 200_000, None, None, -1),  # longer than one exec argument may be
], ids=["nul-command", "surrogate-command", "escaped-command", "nul-cwd", "surrogate-cwd",
        "escaped-missing-cwd", "missing-cwd", "file-cwd", "equals-name", "nul-value",
        "surrogate-name", "surrogate-value", "int-value", "bytes-value", "too-long"])
def test_bad_input_gives_the_text_subprocess_gives(monkeypatch, command, cwd, environ,
                                                   returncode):
    if environ is not None:
        monkeypatch.setattr(os, "environ", environ)
    native = sw.execute_command(command, 30.0, cwd)
    assert native == through_subprocess(command, cwd)
    assert native["returncode"] == returncode


AUDITED = """
    import os, subprocess, sys, warnings
    import varnok.workers.shell_worker as sw
    events = None
    sys.addaudithook(lambda event, args: events is None or events.append((event, args)))
    def observed(call):
        global events
        events = []
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            call()
        seen, events = events, None
        # subprocess's wait with a time limit polls with time.sleep (audited from 3.13 on)
        # for as long as the child runs, which the machine's load decides.
        seen = [(event, args) for event, args in seen if event != "time.sleep"]
        if sys.flags.warn_default_encoding:  # subprocess then audits its own frame walk too
            seen = [(event, args) for event, args in seen if event in ("open", "subprocess.Popen")]
        return seen, [(w.category.__name__, str(w.message), w.filename, w.lineno) for w in caught]
    native, reference = observed(lambda: sw.execute_command("echo hi", 5.0, "/tmp")), observed(lambda: subprocess.run("echo hi", shell=True, stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace", timeout=5.0, cwd="/tmp", env=dict(os.environ), process_group=0))
    print(native == reference, [event for event, _ in native[0]],
          [(category, message) for category, message, *_ in native[1]])
    """


@pytest.mark.parametrize("options, warnings", [
    ([], "[]"),
    (["-X", "warn_default_encoding"], "[('EncodingWarning', \"'encoding' argument not specified.\")]"),
])
def test_audit_events_and_warnings_are_those_of_subprocess(options, warnings):
    ran = run_python(AUDITED, options=options)
    assert ran.returncode == 0, ran.stderr
    assert ran.stdout == f"True ['open', 'open', 'open', 'subprocess.Popen'] {warnings}\n"


def test_commands_on_four_threads_run_side_by_side(tmp_path):
    # Each command waits until all four have arrived: run one after another, the first
    # would wait alone until its time limit.
    command = f"touch {tmp_path}/$$; until [ $(ls {tmp_path} | wc -l) -ge 4 ]; do sleep 0.01; done"
    results = []
    threads = [threading.Thread(target=lambda: results.append(sw.execute_command(command, 60)))
               for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [{"stdout": "", "stderr": "", "returncode": 0}] * 4


# A flood that stays under the output limit, then a command that outlives its time limit:
# however fast the machine reads, the answer is the time-out.
FLOOD = "head -c 200000000 /dev/zero"


@pytest.mark.parametrize("command", [f"{FLOOD}; sleep 5", f"{FLOOD} >&2; sleep 5",
                                     f"{FLOOD} | tee /dev/stderr; sleep 5"])
def test_a_flood_is_answered_on_time(command):
    started = time.monotonic()
    result = sw.execute_command(command, 0.25)
    assert time.monotonic() - started < 0.25 + 0.3
    assert result == {"stdout": "", "stderr": "Command timed out after 0.25s", "returncode": -1}


LIMIT = 268_435_456


@pytest.mark.timeout(300)
@pytest.mark.parametrize("stream, redirect", [("stdout", ""), ("stderr", " >&2")])
def test_the_output_limit_keeps_exactly_its_bytes_and_not_one_more(stream, redirect):
    whole = sw.execute_command(f"head -c {LIMIT} /dev/zero{redirect}")
    assert (len(whole[stream]), whole["returncode"]) == (LIMIT, 0)
    del whole
    over = sw.execute_command(f"head -c {LIMIT + 1} /dev/zero{redirect}")
    assert over == {"stdout": "", "returncode": -1,
                    "stderr": f"Command output exceeded {LIMIT} bytes on {stream}"}


def environment_seen(command="/usr/bin/env -0"):
    """The environment a command gets, as a dict."""
    output = sw.execute_command(command, 30.0, None)["stdout"]
    return dict(entry.split("=", 1) for entry in output.split("\0") if entry)


SHELLS_OWN = {"PWD", "OLDPWD", "SHLVL", "_"}  # what the shell sets for itself


def swapcasing_decoder():
    """Code for a function like os.environ's decode, closed over one name (whose value is
    the function's own cell), that decodes otherwise."""
    encoding = "utf-8"
    return lambda value: value.decode(encoding, "surrogateescape").swapcase()


ENVIRONMENT_PATCHES = {
    "nothing": lambda mp: None,
    "its class's __getitem__": lambda mp: mp.setattr(
        os._Environ, "__getitem__", lambda self, key: "patched"),
    "its decodevalue": lambda mp: mp.setattr(
        os.environ, "decodevalue", lambda value: value.decode("latin-1")),
    "the encoding it decodes with": lambda mp: mp.setattr(
        os.environ.decodekey.__closure__[0], "cell_contents", "latin-1"),
    "the code of its decodekey": lambda mp: mp.setattr(
        os.environ.decodekey, "__code__", swapcasing_decoder().__code__),
    "Mapping.keys": lambda mp: mp.setattr(
        collections.abc.Mapping, "keys", lambda self: ["SW_PROBE", "PATH"]),
    "the mapping itself": lambda mp: mp.setattr(os, "environ", {**os.environ, "SW_PROBE": "dict"}),
}


@pytest.mark.parametrize("patch", ENVIRONMENT_PATCHES)
def test_the_child_gets_what_dict_of_os_environ_gives(monkeypatch, patch):
    # The executor copies the host's own os.environ from its bytes; anything patched on the
    # way that dict(os.environ) goes makes it take that way, and the child sees the result,
    # or the command fails as that copy fails.
    monkeypatch.setenv("SW_PROBE", "caf\u00e9 \udcff")
    ENVIRONMENT_PATCHES[patch](monkeypatch)
    try:
        expected = dict(os.environ)
    except KeyError as error:  # decoded keys that no longer find their bytes
        assert sw.execute_command("true") == {"stdout": "", "stderr": str(error),
                                              "returncode": -1}
        return
    if patch == "its class's __getitem__":
        assert set(expected.values()) == {"patched"}
    seen = environment_seen()
    for name in SHELLS_OWN:
        expected.pop(name, None)
    for name, value in expected.items():
        # The child's text is decoded as the host decodes it: an escaped byte comes back
        # as U+FFFD.
        assert seen[name] == value.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
    assert set(seen) - set(expected) <= SHELLS_OWN
