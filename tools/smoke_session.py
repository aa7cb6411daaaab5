"""Runs the README's protocol transcript through an installed worker and
compares every answer byte for byte; run by tools/dist for each
distribution it has installed.

    python tools/smoke_session.py README.md VENV

The `>` lines of the transcript (in the Protocol section) go to VENV's
varnok-shell-worker in a fresh temporary directory; its standard output must
be the `<` lines exactly, its exit status 0, and its standard error empty on
Python 3.12 or just the module's version warning on another host.
"""
import re
import subprocess
import sys
import tempfile
from pathlib import Path

WARNING = ("compile time Python version 3.12 of module 'varnok.workers.shell_worker' "
           "does not match runtime version {}")


def transcript(readme: str) -> tuple[bytes, bytes]:
    """The requests and the answers of the README's transcript, as lines."""
    protocol = readme.split("\n## Protocol\n", 1)[1].split("\n## ", 1)[0]
    block = re.search(r"^```text\n(.*?)^```$", protocol, re.MULTILINE | re.DOTALL)
    if block is None:
        sys.exit("smoke: no transcript in the README's Protocol section")
    lines = block.group(1).splitlines(keepends=True)
    requests = b"".join(line[2:].encode() for line in lines if line.startswith("> "))
    answers = b"".join(line[2:].encode() for line in lines if line.startswith("< "))
    if not requests or requests.count(b"\n") != answers.count(b"\n"):
        sys.exit("smoke: the transcript does not pair each request with one answer")
    return requests, answers


def main() -> int:
    readme, venv = Path(sys.argv[1]), Path(sys.argv[2]).resolve()
    requests, answers = transcript(readme.read_text(encoding="utf-8"))
    python_version = subprocess.run(
        [venv / "bin" / "python", "-c", "import sys; print(*sys.version_info[:2], sep='.')"],
        capture_output=True, text=True, check=True).stdout.strip()
    script = venv / "bin" / "varnok-shell-worker"
    with tempfile.TemporaryDirectory() as elsewhere:
        version = subprocess.run([script, "--version"], capture_output=True, text=True,
                                 check=True, cwd=elsewhere).stdout.strip()
        done = subprocess.run([script], input=requests, capture_output=True, timeout=120,
                              cwd=elsewhere)
    asked, got, wanted = (lines.splitlines(keepends=True)
                          for lines in (requests, done.stdout, answers))
    print(f"smoke: {version} on Python {python_version}, {len(asked)} requests from the README")
    for line in done.stderr.decode(errors="replace").splitlines():
        print(f"smoke: stderr: {line}")
    expected_stderr = b"" if python_version == "3.12" else (
        rb"[^\n]*: RuntimeWarning: " + re.escape(WARNING.format(python_version).encode()) + rb"\n")
    failures = []
    if done.returncode != 0:
        failures.append(f"exit status {done.returncode}")
    if not re.fullmatch(expected_stderr, done.stderr):
        failures.append("standard error is not " + ("empty" if python_version == "3.12"
                                                    else "exactly the version warning"))
    if len(got) != len(wanted):
        failures.append(f"{len(got)} answer lines where the README has {len(wanted)}")
    if done.stdout != answers:
        failures += [f"answer {number} differs:\n  got    {mine!r}\n  wanted {theirs!r}"
                     for number, (mine, theirs) in enumerate(zip(got, wanted), 1)
                     if mine != theirs]
    for failure in failures:
        print(f"smoke: FAILED: {failure}")
    if not failures:
        print(f"smoke: all {len(wanted)} answers byte for byte as in the README")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
