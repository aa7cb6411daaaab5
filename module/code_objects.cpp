#include "code_objects.hpp"

#include <initializer_list>

#include "../host/constants.hpp"
#include "../host/module_name.hpp"
#include "../host/ref.hpp"
#include "../host/traceback_entry.hpp"

namespace shell_worker {

CodeObjects code_objects;

namespace {

constexpr int plain_function = CO_OPTIMIZED | CO_NEWLOCALS;

struct CodeSpec {
    PyObject* CodeObjects::*field;
    Function function;
    const char* name;
    long parameters;
    std::initializer_list<PyObject*> locals;
    long flags;
};

// An empty code object of the function, given its parameter count, local
// names and flags through code.replace(), the host's own validated constructor.
PyObject* make_code(const CodeSpec& spec) noexcept {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(SHELL_WORKER_SOURCE_PATH, spec.name, first_line(spec.function))));
    Ref names = empty ? Ref::steal(PyTuple_New(Py_ssize_t(spec.locals.size()))) : Ref();
    if (!names) {
        return nullptr;
    }
    Py_ssize_t index = 0;
    for (PyObject* local : spec.locals) {
        PyTuple_SET_ITEM(names.get(), index++, Py_NewRef(local));
    }
    Ref argcount = Ref::steal(PyLong_FromLong(spec.parameters));
    Ref nlocals = Ref::steal(PyLong_FromSsize_t(index));
    Ref flags = Ref::steal(PyLong_FromLong(spec.flags));
    Ref keywords = Ref::steal(PyTuple_Pack(4, k.co_argcount, k.co_nlocals,
                                           k.co_varnames, k.co_flags));
    if (!argcount || !nlocals || !flags || !keywords) {
        return nullptr;
    }
    PyObject* arguments[] = {empty.get(), argcount.get(), nlocals.get(), names.get(),
                             flags.get()};
    return PyObject_VectorcallMethod(k.replace, arguments, 1, keywords.get());
}

}  // namespace

bool make_code_objects() noexcept {
    const CodeSpec specs[] = {
        {&CodeObjects::execute_command, Function::execute_command, "execute_command", 3,
         {k.command, k.timeout, k.cwd, k.result, k.e}, plain_function},
        {&CodeObjects::handle_command, Function::handle_command, "handle_command", 1,
         {k.cmd, k.action, k.command, k.timeout, k.cwd, k.result, k.success,
          k.commands, k.results, k.all_success, k.genexpr, k.genexpr},
         plain_function},
        {&CodeObjects::genexpr, Function::genexpr, "genexpr", 0, {k.r},
         plain_function | CO_GENERATOR},
        {&CodeObjects::main, Function::main, "main", 0, {k.line, k.cmd, k.e, k.response},
         plain_function},
    };
    for (const CodeSpec& spec : specs) {
        PyObject*& code = code_objects.*spec.field;
        if (!code && !(code = make_code(spec))) {
            return false;
        }
    }
    return true;
}

}  // namespace shell_worker
