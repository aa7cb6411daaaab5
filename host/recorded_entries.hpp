// Entries of host dicts that the module relies on staying what they were at
// initialisation: the process machinery that the executor stands in for when
// it starts a child itself, and the JSON encoder and standard output that the
// main loop stands in for when it writes a response itself.  Checked at every
// command or response, so a check must cost next to nothing while nothing has
// changed: a dict watcher raises the flags at any change to a recorded dict,
// and only then are the entries compared one by one, each record's flag
// lowered again once its entries all match (a patch taken back).  Where the
// host has no dict watcher to spare they are compared at every check.
//
// Everything here runs under the interpreter lock.
#pragma once

#include <Python.h>

#include <initializer_list>

namespace shell_worker {

class EntryRecord {
public:
    // Drops what was recorded before; unchanged() is then false until
    // something is recorded.  Never fails.
    void forget() noexcept;

    // Records every entry of `dict` and its size, so that an entry added
    // later counts as a change too.  False with the host's error set.
    bool record_all(PyObject* dict) noexcept;

    // Records the entries of `dict` under `names`, those present.  False with
    // the host's error set.
    bool record(PyObject* dict, std::initializer_list<const char*> names) noexcept;

    // Whether every recorded entry is still the object it was, and every dict
    // recorded whole still has its size.  Never leaves an error set.
    bool unchanged() noexcept;

    // For the watcher: something may have changed.
    void raise_flag() noexcept { maybe_changed_ = true; }

private:
    bool add(PyObject* dict, PyObject* keys, PyObject* size) noexcept;

    PyObject* entries_ = nullptr;  // owned: [(dict, keys, values, size or None), ...]
    bool maybe_changed_ = true;
};

// subprocess, its Popen class, and the os functions Popen calls.
extern EntryRecord machinery_entries;
// json, json.encoder, JSONEncoder, the default encoder, standard output.
extern EntryRecord output_entries;
// os.environ's attributes and the classes that dict(os.environ) goes through.
extern EntryRecord environ_entries;

}  // namespace shell_worker
