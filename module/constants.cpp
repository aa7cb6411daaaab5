#include "constants.hpp"

#include "globals.hpp"
#include "ref.hpp"

namespace shell_worker {

Constants k;

namespace {

struct TextEntry {
    Text Constants::*field;
    const char* literal;
};

constexpr TextEntry text_table[] = {
#define SHELL_WORKER_ENTRY(field, literal) {&Constants::field, literal},
    SHELL_WORKER_TEXTS(SHELL_WORKER_ENTRY)
#undef SHELL_WORKER_ENTRY
};

bool make_texts() noexcept {
    for (const TextEntry& entry : text_table) {
        Text& text = k.*entry.field;
        if (text.str) {
            continue;
        }
        Ref str = Ref::steal(PyUnicode_InternFromString(entry.literal));
        if (!str) {
            return false;
        }
        Py_hash_t hash = PyObject_Hash(str.get());
        if (hash == -1) {
            return false;
        }
        // Borrowed, and no error: the type's own lookup never fails.
        text.module_type_attribute = _PyType_Lookup(&PyModule_Type, str.get()) != nullptr;
        text.str = str.release();
        text.hash = hash;
    }
    return true;
}

bool make_numbers() noexcept {
    if (!k.default_timeout && !(k.default_timeout = PyFloat_FromDouble(30.0))) {
        return false;
    }
    if (!k.zero && !(k.zero = PyLong_FromLong(0))) {
        return false;
    }
    if (!k.minus_one && !(k.minus_one = PyLong_FromLong(-1))) {
        return false;
    }
    return true;
}

bool make_methods() noexcept {
    if (!k.str_strip) {
        k.str_strip = PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyUnicode_Type), k.strip.str);
    }
    return k.str_strip != nullptr;
}

bool make_run_keywords() noexcept {
    if (k.run_keywords) {
        return true;
    }
    k.run_keywords = PyTuple_Pack(7, k.shell.str, k.capture_output.str, k.text.str,
                                  k.timeout.str, k.cwd.str, k.env.str, k.stdin_.str);
    return k.run_keywords != nullptr;
}

struct ResponseEntry {
    PyObject* Constants::*field;
    PyObject* success;
    const Text* key;
    const Text* value;
};

bool make_fixed_responses() noexcept {
    const ResponseEntry responses[] = {
        {&Constants::quit_response, Py_True, &k.result, &k.goodbye},
        {&Constants::no_command_response, Py_False, &k.error, &k.no_command},
    };
    for (const ResponseEntry& entry : responses) {
        PyObject*& response = k.*entry.field;
        if (response) {
            continue;
        }
        response = new_map({&k.success, entry.key}, {entry.success, entry.value->str}).release();
        if (!response) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool make_constants() noexcept {
    return make_texts() && make_numbers() && make_methods() && make_run_keywords() &&
           make_fixed_responses();
}

}  // namespace shell_worker
