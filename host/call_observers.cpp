#include "call_observers.hpp"

#include <Python.h>

#include "ref.hpp"

namespace shell_worker {

namespace {

// sys.gettrace, sys.getprofile and sys.monitoring.get_tool with the numbers
// of its six tools, taken from the interpreter's own sys module at the first
// use: owned, for the life of the process.  They are builtins of the host,
// which the module's own global `sys` has no say over.
struct Askers {
    PyObject* gettrace = nullptr;
    PyObject* getprofile = nullptr;
    PyObject* get_tool = nullptr;   // null on a host without sys.monitoring
    PyObject* tools[6] = {};
    bool made = false;    // asked for once only
    bool usable = false;  // all there: otherwise calls count as watched for good
};

Askers askers;

bool make_askers() noexcept {
    askers.made = true;
    askers.gettrace = Py_XNewRef(PySys_GetObject("gettrace"));
    askers.getprofile = Py_XNewRef(PySys_GetObject("getprofile"));
    if (!askers.gettrace || !askers.getprofile) {
        return false;
    }
    PyObject* monitoring = PySys_GetObject("monitoring");  // borrowed
    if (monitoring) {
        askers.get_tool = PyObject_GetAttrString(monitoring, "get_tool");
        for (long tool = 0; askers.get_tool && tool < 6; ++tool) {
            askers.tools[tool] = PyLong_FromLong(tool);
            if (!askers.tools[tool]) {
                return false;
            }
        }
        if (!askers.get_tool) {
            return false;
        }
    }
    askers.usable = true;
    return true;
}

bool answers_none(PyObject* asked, PyObject* argument = nullptr) noexcept {
    Ref answer = Ref::steal(argument ? PyObject_CallOneArg(asked, argument)
                                     : PyObject_CallNoArgs(asked));
    if (!answer) {
        PyErr_Clear();
        return false;
    }
    return answer.get() == Py_None;
}

}  // namespace

bool python_calls_watched() noexcept {
    if (!askers.made && !make_askers()) {
        PyErr_Clear();
    }
    if (!askers.usable) {
        return true;
    }
    if (!answers_none(askers.gettrace) || !answers_none(askers.getprofile)) {
        return true;
    }
    for (PyObject* tool : askers.tools) {
        if (tool && !answers_none(askers.get_tool, tool)) {
            return true;
        }
    }
    return false;
}

}  // namespace shell_worker
