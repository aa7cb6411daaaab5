#include "traceback_entry.hpp"

#include <Python.h>
#include <frameobject.h>

#include "records.hpp"
#include "ref.hpp"

namespace shell_worker {

namespace {

const char* entry_name(Function function) noexcept {
    switch (function) {
        case Function::execute_command: return "varnok.workers.shell_worker.execute_command";
        case Function::handle_command: return "varnok.workers.shell_worker.handle_command";
        case Function::genexpr: return "varnok.workers.shell_worker.handle_command.genexpr";
        case Function::main: return "varnok.workers.shell_worker.main";
        case Function::init: return "init varnok.workers.shell_worker";
    }
    return "varnok.workers.shell_worker";
}

}  // namespace

void add_traceback_entry(Function function, int step) noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    if (!pending) {
        return;
    }
    // A fresh frame that has run nothing reports its code object's first line.
    int line = first_line(function) + step;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(source_path, entry_name(function), line)));
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
