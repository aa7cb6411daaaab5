// Entries of host dicts that the executor relies on staying what they were
// at initialisation: the process machinery that it stands in for when it
// starts a child itself.  Checked at every command, so it must cost next to
// nothing while nothing has changed: a dict watcher raises a flag at any
// change to one of the recorded dicts, and only then are the entries compared
// one by one, the flag lowered again once they all match (a patch taken
// back).  Where the host has no dict watcher to spare they are compared at
// every command.
#pragma once

#include <Python.h>

#include <initializer_list>

namespace shell_worker {

// Drops what was recorded before; recorded_entries_unchanged() is then false
// until something is recorded.  Never fails.
void forget_recorded_entries() noexcept;

// Records every entry of `dict` and its size, so that an entry added later
// counts as a change too.  False with the host's error set.
bool record_all_entries(PyObject* dict) noexcept;

// Records the entries of `dict` under `names` (exact str), those present.
// False with the host's error set.
bool record_entries(PyObject* dict, std::initializer_list<const char*> names) noexcept;

// Whether every recorded entry is still the object it was, and every dict
// recorded whole still has its size.  Never leaves an error set.
bool recorded_entries_unchanged() noexcept;

}  // namespace shell_worker
