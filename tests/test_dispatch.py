"""handle_command: how actions are matched, that every response is a new map,
and how the executor's result is read."""

import pytest

import varnok.workers.shell_worker as worker


class EqualToAnything(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


@pytest.mark.parametrize("action, response", [
    ("".join(["qu", "it"]), {"success": True, "result": "goodbye"}),
    (EqualToAnything("nothing"), {"success": True, "result": "goodbye"}),
    ("Quit", {"success": False, "error": "Unknown action: Quit"}),
    ("quit ", {"success": False, "error": "Unknown action: quit "}),
    ("exec_man", {"success": False, "error": "Unknown action: exec_man"}),
    ("", {"success": False, "error": "Unknown action: "}),
    (7, {"success": False, "error": "Unknown action: 7"}),
    (None, {"success": False, "error": "Unknown action: None"}),
])
def test_action_matching(action, response):
    assert worker.handle_command({"action": action}) == response


@pytest.mark.parametrize("request_, keys", [
    ({"action": "quit"}, ["success", "result"]),
    ({}, ["success", "error"]),
    ({"command": ""}, ["success", "error"]),
])
def test_fixed_responses_are_new_maps_each_time(request_, keys):
    first = worker.handle_command(request_)
    expected = dict(first)
    first.clear()
    second = worker.handle_command(request_)
    assert second is not first
    assert second == expected and list(second) == keys
