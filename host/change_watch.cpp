#include "change_watch.hpp"

namespace shell_worker {

namespace {

std::uint64_t changes = 0;

// The watchers' numbers: -1 before they are asked for, -2 when the host had
// none to spare.
int dict_watcher = -1;
int function_watcher = -1;

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    // Called before the change is made: whoever reads the count next sees it
    // moved, and looks again at what will by then be changed.
    ++changes;
    return 0;
}

int on_function_event(PyFunction_WatchEvent event, PyFunctionObject*, PyObject*) {
    // Creation and destruction change no function that was looked at; any
    // code, defaults or keyword defaults replaced may.  Rare enough in a
    // program that any function's change moves the count.
    if (event != PyFunction_EVENT_CREATE && event != PyFunction_EVENT_DESTROY) {
        ++changes;
    }
    return 0;
}

void ask_for_watchers() noexcept {
    dict_watcher = PyDict_AddWatcher(on_dict_event);
    function_watcher = PyFunction_AddWatcher(on_function_event);
    if (dict_watcher < 0 || function_watcher < 0) {
        PyErr_Clear();  // all taken, by the host's and other modules' watchers
        dict_watcher = dict_watcher < 0 ? -2 : dict_watcher;
        function_watcher = function_watcher < 0 ? -2 : function_watcher;
    }
}

}  // namespace

std::uint64_t change_count() noexcept {
    if (dict_watcher == -1) {
        ask_for_watchers();
    }
    if (dict_watcher < 0 || function_watcher < 0) {
        return ++changes;  // nothing watches: never trust an earlier look
    }
    return changes;
}

void watch_changes(PyObject* dict) noexcept {
    if (dict_watcher == -1) {
        ask_for_watchers();
    }
    if (dict_watcher >= 0 && PyDict_Check(dict) && PyDict_Watch(dict_watcher, dict) < 0) {
        PyErr_Clear();  // cannot happen for a dict and a watcher of ours
        dict_watcher = -2;
    }
}

}  // namespace shell_worker
