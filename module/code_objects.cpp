#include "code_objects.hpp"

#include <initializer_list>

#include "../host/constants.hpp"
#include "../host/module_name.hpp"
#include "../host/ref.hpp"
#include "../host/fill_once.hpp"
#include "../host/traceback_entry.hpp"
#include "../workers/dispatcher_steps.hpp"
#include "../workers/executor_steps.hpp"
#include "../workers/main_loop_steps.hpp"
#include "init_steps.hpp"

namespace shell_worker {

CodeObjects code_objects;

namespace {

constexpr int plain_function = CO_OPTIMIZED | CO_NEWLOCALS;

// Each function's block of traceback lines begins at its code object's first
// line and ends before the next function's begins.
static_assert(ends_before(block_of<ExecutorStep>, block_of<DispatchStep>));
static_assert(ends_before(block_of<DispatchStep>, block_of<GenexprStep>));
static_assert(ends_before(block_of<GenexprStep>, block_of<MainLoopStep>));
static_assert(ends_before(block_of<MainLoopStep>, block_of<InitStep>));

struct CodeSpec {
    PyObject* CodeObjects::*field;
    int first_line;
    const char* name;
    long parameters;
    std::initializer_list<PyObject*> locals;
    long flags;
};

// An empty code object of the function, given its parameter count, local
// names and flags through code.replace(), the host's own validated constructor.
Ref make_code(const CodeSpec& spec) noexcept {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(SHELL_WORKER_SOURCE_PATH, spec.name, spec.first_line)));
    Ref names = empty ? Ref::steal(PyTuple_New(Py_ssize_t(spec.locals.size()))) : Ref();
    if (!names) {
        return Ref();
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
        return Ref();
    }
    PyObject* arguments[] = {empty.get(), argcount.get(), nlocals.get(), names.get(),
                             flags.get()};
    return Ref::steal(PyObject_VectorcallMethod(k.replace, arguments, 1, keywords.get()));
}

}  // namespace

bool make_code_objects() noexcept {
    const CodeSpec specs[] = {
        {&CodeObjects::execute_command, block_of<ExecutorStep>.first_line, "execute_command", 3,
         {k.command, k.timeout, k.cwd, k.result, k.e}, plain_function},
        {&CodeObjects::handle_command, block_of<DispatchStep>.first_line, "handle_command", 1,
         {k.cmd, k.action, k.command, k.timeout, k.cwd, k.result, k.success,
          k.commands, k.results, k.all_success, k.genexpr, k.genexpr},
         plain_function},
        {&CodeObjects::main, block_of<MainLoopStep>.first_line, "main", 0,
         {k.line, k.cmd, k.e, k.response}, plain_function},
    };
    return fill_once(code_objects, specs, make_code);
}

}  // namespace shell_worker
