"""The varnok-shell-worker command: its options, and the worker when it has none."""
import importlib.metadata
import json
import re
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

from conftest import WORKER

SCRIPT = str(Path(sys.executable).with_name("varnok-shell-worker"))
PYPROJECT = Path(__file__).resolve().parents[1] / "pyproject.toml"


def script(*arguments: str, input: str = "") -> subprocess.CompletedProcess:
    return subprocess.run([SCRIPT, *arguments], input=input, capture_output=True, text=True,
                          timeout=60)


def test_help_says_how_to_talk_to_the_worker_and_its_example_holds():
    done = script("--help", input='{"action": "quit"}\n')
    assert (done.returncode, done.stderr) == (0, "")
    usage = done.stdout
    assert usage.startswith("usage: varnok-shell-worker [--help | --version] "
                            "[--output-limit SIZE] [--exit-with-controller]\n")
    for needed in ("standard input", "standard output", '{"action": "quit"}', "Ctrl-D",
                   "Ctrl-C is ignored"):
        assert needed in " ".join(usage.split()), needed
    # The example request and its answer, indented, in that order: the worker
    # must answer the one with the other.
    request, answer = re.findall(r"^  (\{.*\})$", usage, re.MULTILINE)
    assert json.loads(request)["action"] == "exec"
    worked = subprocess.run(WORKER, input=request + "\n", capture_output=True, text=True,
                            timeout=60)
    assert worked.stdout == answer + "\n"


def test_version_is_the_installed_one_built_from_this_tree():
    done = script("--version")
    with PYPROJECT.open("rb") as file:
        source_version = tomllib.load(file)["project"]["version"]
    assert importlib.metadata.version("varnok-shell-worker") == source_version
    assert (done.returncode, done.stdout, done.stderr) == (
        0, f"varnok-shell-worker {source_version}\n", "")


@pytest.mark.parametrize("short, long", [("-h", "--help"), ("-V", "--version")])
def test_short_options_are_listed_and_do_what_the_long_ones_do(short, long):
    done, expected = script(short), script(long)
    assert (done.returncode, done.stdout, done.stderr) == (0, expected.stdout, "")
    assert re.search(rf"^  {short}, {long} ", script("--help").stdout, re.MULTILINE)


@pytest.mark.parametrize("arguments", [["--bogus"], ["-"], ["run"], ["-v"]])
def test_any_other_argument_is_refused_with_the_usage_and_reads_nothing(arguments):
    usage = script("--help").stdout.partition("\n")[0]
    done = script(*arguments, input="{}\n")
    assert (done.returncode, done.stdout) == (2, "")
    # The usage line and the error, not the whole help.
    assert done.stderr.startswith(usage + "\nvarnok-shell-worker: error: ")
    assert done.stderr.count("\n") == 2
    assert done.stderr.endswith(": unrecognised arguments: " + " ".join(arguments) + "\n")


@pytest.mark.parametrize("lines", ['{}\n{"action": "quit"}\n', "{}\n[]\n{}\n"])
def test_without_arguments_it_is_the_worker_itself(lines):
    # Exit status, responses and the last line of a traceback as the worker
    # started through main gives them (the launcher adds one frame above main).
    done = script(input=lines)
    direct = subprocess.run(WORKER, input=lines, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (direct.returncode, direct.stdout)
    assert done.stderr.splitlines()[-1:] == direct.stderr.splitlines()[-1:]


@pytest.mark.parametrize("arguments, asked", [
    (["--bogus", "--help"], "--help"),
    (["--output-limit", "x", "-h"], "--help"),
    (["--exit-with-controller", "--version"], "--version"),
    (["-V", "--help"], "--version"),
    (["--help", "--version"], "--help"),
    (["--output-limit", "1" * 5000, "--version"], "--version"),
])
def test_help_and_version_win_over_any_other_option(arguments, asked):
    done = script(*arguments, input="{}\n")
    assert (done.returncode, done.stdout, done.stderr) == (0, script(asked).stdout, "")


@pytest.mark.parametrize("size", ["1" * 5000, "0" * 5000 + "9" * 16, "281474976710657",
                                  "262145G"])
def test_an_oversized_limit_is_refused_with_the_usage_line(size):
    usage = script("--help").stdout.partition("\n")[0]
    done = script("--output-limit", size, input="{}\n")
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.startswith(usage + "\nvarnok-shell-worker: error: argument --output-limit: ")
    assert done.stderr.endswith(" is more than 262144G\n")


def test_the_largest_limit_and_leading_zeros_are_accepted():
    done = script("--output-limit", "0" * 5000 + "262144G", input='{"action": "quit"}\n')
    assert (done.returncode, done.stdout) == (0, '{"success": true, "result": "goodbye"}\n')
