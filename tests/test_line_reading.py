"""How main takes its lines from sys.stdin: each is stripped as its own strip
method strips it, and a line that is empty after that gets no response."""

import io
import sys

import pytest

import varnok.workers.shell_worker as worker


class StripsToQuit(str):
    def strip(self):
        return '{"action": "quit"}'


@pytest.mark.parametrize("lines, written", [
    (["  {}\r\n", "\t\x0b\x0c\r\n", "\u3000\u2028{}\u00a0", "\n", ""], 2),
    (["\u3000{\"action\": \"quit\"}\u3000\n", "{}\n"], 1),
    ([StripsToQuit("not json"), "{}\n"], 1),
])
def test_lines_are_stripped_by_their_own_strip(monkeypatch, sigint_restored, lines, written):
    out = io.StringIO()
    monkeypatch.setattr(sys, "stdin", lines)
    monkeypatch.setattr(sys, "stdout", out)
    worker.main()
    responses = out.getvalue().splitlines()
    assert len(responses) == written
    assert "Invalid JSON" not in out.getvalue()
