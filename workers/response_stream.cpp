#include "response_stream.hpp"

#include <utility>

#include "../host/ref.hpp"
#include "captured_output.hpp"

namespace shell_worker {

namespace {

constexpr int deepest = 8;

bool streamable_at(PyObject* value, int depth) noexcept {
    if (value == Py_None || value == Py_True || value == Py_False ||
        PyUnicode_CheckExact(value) || is_captured_output(value)) {
        return true;
    }
    if (PyLong_CheckExact(value)) {
        int overflow;
        (void)PyLong_AsLongLongAndOverflow(value, &overflow);  // cannot fail for an exact int
        return overflow == 0;
    }
    if (depth >= deepest) {
        return false;
    }
    if (PyList_CheckExact(value)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            if (!streamable_at(PyList_GET_ITEM(value, i), depth + 1)) {
                return false;
            }
        }
        return true;
    }
    if (PyDict_CheckExact(value)) {
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* item;
        while (PyDict_Next(value, &position, &key, &item)) {
            if (!PyUnicode_CheckExact(key) || !streamable_at(item, depth + 1)) {
                return false;
            }
        }
        return true;
    }
    return false;
}

// Captured outputs already turned into text: {captured: text}.
bool materialise_in(PyObject* value, PyObject* texts, int depth) noexcept;

// The text for one captured output, made once.
Ref text_for(PyObject* captured, PyObject* texts) noexcept {
    PyObject* known = PyDict_GetItemWithError(texts, captured);  // borrowed; identity hash
    if (known) {
        return Ref::borrow(known);
    }
    if (PyErr_Occurred()) {
        return Ref();
    }
    Ref text = captured_text(captured);
    if (!text || PyDict_SetItem(texts, captured, text.get()) < 0) {
        return Ref();
    }
    return text;
}

// One item of a list or dict: a captured output is replaced through `put`
// (which stores the text in the item's place), anything else is looked into.
template <typename Put>
bool materialise_item(PyObject* item, PyObject* texts, int depth, Put put) noexcept {
    if (!is_captured_output(item)) {
        return materialise_in(item, texts, depth + 1);
    }
    Ref text = text_for(item, texts);
    return text && put(std::move(text));
}

bool materialise_in(PyObject* value, PyObject* texts, int depth) noexcept {
    if (depth >= deepest) {
        return true;  // deeper than any response the dispatcher makes: nothing captured there
    }
    if (PyList_CheckExact(value)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            if (!materialise_item(PyList_GET_ITEM(value, i), texts, depth, [&](Ref text) {
                    return PyList_SetItem(value, i, text.release()) == 0;
                })) {
                return false;
            }
        }
    } else if (PyDict_CheckExact(value)) {
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* item;
        while (PyDict_Next(value, &position, &key, &item)) {
            // Setting an existing key keeps the dict's size and order, so the
            // iteration goes on undisturbed.
            if (!materialise_item(item, texts, depth, [&](Ref text) {
                    return PyDict_SetItem(value, key, text.get()) == 0;
                })) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

bool streamable(PyObject* response) noexcept { return streamable_at(response, 0); }

bool put_response(JsonSink& sink, PyObject* value) noexcept {
    if (value == Py_None) {
        return sink.put("null", 4);
    }
    if (value == Py_True) {
        return sink.put("true", 4);
    }
    if (value == Py_False) {
        return sink.put("false", 5);
    }
    if (PyUnicode_CheckExact(value)) {
        return sink.put_string(value);
    }
    if (PyLong_CheckExact(value)) {
        return sink.put_integer(PyLong_AsLongLong(value));  // in range: streamable() said so
    }
    if (is_captured_output(value)) {
        return put_captured(sink, value);
    }
    if (PyList_CheckExact(value)) {
        if (!sink.put('[')) {
            return false;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            if ((i > 0 && !sink.put(", ", 2)) || !put_response(sink, PyList_GET_ITEM(value, i))) {
                return false;
            }
        }
        return sink.put(']');
    }
    // An exact dict: streamable() allows nothing else.
    if (!sink.put('{')) {
        return false;
    }
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* item;
    bool first = true;
    while (PyDict_Next(value, &position, &key, &item)) {
        if ((!first && !sink.put(", ", 2)) || !sink.put_string(key) || !sink.put(": ", 2) ||
            !put_response(sink, item)) {
            return false;
        }
        first = false;
    }
    return sink.put('}');
}

bool materialise(PyObject* response) noexcept {
    if (is_captured_output(response)) {
        return true;  // the dispatcher never answers with a bare output
    }
    Ref texts = Ref::steal(PyDict_New());
    return texts && materialise_in(response, texts.get(), 0);
}

}  // namespace shell_worker
