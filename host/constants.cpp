#include "constants.hpp"

#include "fill_once.hpp"

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

// The entry's object, or empty with an error set.
Ref make(const Entry& entry) noexcept {
    switch (entry.kind) {
        case Kind::text: {
            Ref text = Ref::steal(PyUnicode_InternFromString(entry.text));
            // Hashed now, so that no lookup by this name hashes it later.
            if (text && PyObject_Hash(text.get()) == -1) {
                return Ref();
            }
            return text;
        }
        case Kind::integer: return Ref::steal(PyLong_FromLong(long(entry.number)));
        case Kind::real: return Ref::steal(PyFloat_FromDouble(entry.number));
    }
    return Ref();
}

}  // namespace

bool make_constants() noexcept { return fill_once(k, table, make); }

}  // namespace shell_worker
