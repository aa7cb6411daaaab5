#include "constants.hpp"

namespace shell_worker {

Constants k;

namespace {

enum class Kind { text, integer, real };

struct Entry {
    PyObject* Constants::*field;
    Kind kind;
    const char* text;
    double number;
};

constexpr Entry table[] = {
#define SHELL_WORKER_TEXT_ENTRY(field, literal) {&Constants::field, Kind::text, literal, 0},
#define SHELL_WORKER_INTEGER_ENTRY(field, value) {&Constants::field, Kind::integer, nullptr, value},
#define SHELL_WORKER_FLOAT_ENTRY(field, value) {&Constants::field, Kind::real, nullptr, value},
    SHELL_WORKER_TEXTS(SHELL_WORKER_TEXT_ENTRY)
    SHELL_WORKER_INTEGERS(SHELL_WORKER_INTEGER_ENTRY)
    SHELL_WORKER_FLOATS(SHELL_WORKER_FLOAT_ENTRY)
#undef SHELL_WORKER_TEXT_ENTRY
#undef SHELL_WORKER_INTEGER_ENTRY
#undef SHELL_WORKER_FLOAT_ENTRY
};

// A new reference to the entry's object, or null with an error set.
PyObject* make(const Entry& entry) noexcept {
    switch (entry.kind) {
        case Kind::text: {
            PyObject* text = PyUnicode_InternFromString(entry.text);
            // Hashed now, so that no lookup by this name hashes it later.
            if (text && PyObject_Hash(text) == -1) {
                Py_CLEAR(text);
            }
            return text;
        }
        case Kind::integer: return PyLong_FromLong(long(entry.number));
        case Kind::real: return PyFloat_FromDouble(entry.number);
    }
    return nullptr;
}

}  // namespace

bool make_constants() noexcept {
    for (const Entry& entry : table) {
        PyObject*& constant = k.*entry.field;
        if (!constant && !(constant = make(entry))) {
            return false;
        }
    }
    return true;
}

}  // namespace shell_worker
