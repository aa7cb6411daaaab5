#include "traceback_entry.hpp"

#include <Python.h>
#include <frameobject.h>

#include "module_name.hpp"
#include "records.hpp"
#include "ref.hpp"

namespace shell_worker {

namespace {

const char* entry_name(Function function) noexcept {
    switch (function) {
        case Function::execute_command: return SHELL_WORKER_FULL_NAME ".execute_command";
        case Function::handle_command: return SHELL_WORKER_FULL_NAME ".handle_command";
        case Function::genexpr: return SHELL_WORKER_FULL_NAME ".handle_command.genexpr";
        case Function::main: return SHELL_WORKER_FULL_NAME ".main";
        case Function::init: return "init " SHELL_WORKER_FULL_NAME;
    }
    return SHELL_WORKER_FULL_NAME;
}

}  // namespace

void add_traceback_entry_at(Function function, int line) noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    if (!pending) {
        return;
    }
    // A fresh frame that has run nothing reports its code object's first line.
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(SHELL_WORKER_SOURCE_PATH, entry_name(function), line)));
    Ref frame;
    if (code && records.globals) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                        records.globals, nullptr)));
    }
    PyErr_Clear();
    if (!frame) {
        PyErr_SetRaisedException(pending.release());
        return;
    }
    PyErr_SetRaisedException(Ref::borrow(pending.get()).release());
    if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) < 0) {
        PyErr_Clear();
        PyErr_SetRaisedException(pending.release());
    }
}

}  // namespace shell_worker
