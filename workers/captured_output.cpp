#include "captured_output.hpp"

#include <stdlib.h>

#include "../host/constants.hpp"
#include "worker_objects.hpp"

namespace shell_worker {

namespace {

struct CapturedObject {
    PyObject_HEAD
    char* data;          // malloc'd, as the pipe's reads left it; null when empty
    size_t size;
    bool utf8;
    PyObject* encoding;  // owned: the encoding's name
};

CapturedObject* as_captured(PyObject* object) noexcept {
    return reinterpret_cast<CapturedObject*>(object);
}

void captured_dealloc(PyObject* self) noexcept {
    CapturedObject* captured = as_captured(self);
    free(captured->data);
    Py_XDECREF(captured->encoding);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot captured_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(captured_dealloc)},
    {Py_tp_doc, const_cast<char*>("A command's output bytes on their way into a response.")},
    {0, nullptr},
};

PyType_Spec captured_spec = {
    SHELL_WORKER_FULL_NAME ".CapturedOutput",
    sizeof(CapturedObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    captured_slots,
};

// How much of the bytes is decoded at a time: the pieces of text alive at
// once stay small whatever the output's size.
constexpr size_t decode_chunk = 16 * 1024;

bool put_utf8(JsonSink& sink, const char* data, size_t size) noexcept {
    size_t position = 0;
    while (position < size) {
        size_t piece = size - position < decode_chunk ? size - position : decode_chunk;
        bool last = position + piece == size;
        Py_ssize_t consumed = Py_ssize_t(piece);
        // Stateful: an incomplete sequence at the piece's end is left for the
        // next piece, where a decoding of the whole would have found it.
        Ref text = Ref::steal(PyUnicode_DecodeUTF8Stateful(
            data + position, Py_ssize_t(piece), "replace", last ? nullptr : &consumed));
        if (!text || !sink.put_escaped(text.get())) {
            return false;
        }
        // A piece of 16 KiB always decodes something: a sequence left
        // incomplete is at most three bytes long.
        position += consumed > 0 ? size_t(consumed) : piece;
    }
    return true;
}

// The text of one piece with its newlines translated: "\r\n" and a lone "\r"
// made "\n", where a "\n" that begins the piece belongs to a "\r" that ended
// the one before.
Ref translated_piece(PyObject* text, bool& after_carriage_return) noexcept {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 0) {
        return Ref::borrow(text);
    }
    Py_ssize_t start = after_carriage_return && PyUnicode_READ_CHAR(text, 0) == '\n' ? 1 : 0;
    after_carriage_return = PyUnicode_READ_CHAR(text, length - 1) == '\r';
    Ref piece = start ? Ref::steal(PyUnicode_Substring(text, start, length)) : Ref::borrow(text);
    if (!piece) {
        return Ref();
    }
    Py_ssize_t found = PyUnicode_FindChar(piece.get(), '\r', 0, PyUnicode_GET_LENGTH(piece.get()), 1);
    if (found == -2) {
        return Ref();
    }
    if (found == -1) {
        return piece;
    }
    piece = Ref::steal(PyUnicode_Replace(piece.get(), k.carriage_return_line_feed, k.line_feed, -1));
    return piece ? Ref::steal(PyUnicode_Replace(piece.get(), k.carriage_return, k.line_feed, -1))
                 : Ref();
}

// Through the codec's incremental decoder, as the host's text streams decode.
bool put_through_codec(JsonSink& sink, const char* data, size_t size, PyObject* encoding) noexcept {
    const char* name = PyUnicode_AsUTF8(encoding);
    Ref decoder = name ? Ref::steal(PyCodec_IncrementalDecoder(name, "replace")) : Ref();
    if (!decoder) {
        return false;
    }
    bool after_carriage_return = false;
    size_t position = 0;
    do {
        size_t piece = size - position < decode_chunk ? size - position : decode_chunk;
        bool last = position + piece == size;
        Ref bytes = Ref::steal(PyBytes_FromStringAndSize(data ? data + position : "",
                                                         Py_ssize_t(piece)));
        Ref text = bytes ? Ref::steal(PyObject_CallMethodObjArgs(decoder.get(), k.decode,
                                                                 bytes.get(),
                                                                 last ? Py_True : Py_False,
                                                                 nullptr))
                         : Ref();
        if (text && !PyUnicode_CheckExact(text.get())) {
            PyErr_Format(PyExc_TypeError, "decoder returned '%.100s' instead of 'str'",
                         Py_TYPE(text.get())->tp_name);
            return false;
        }
        Ref translated = text ? translated_piece(text.get(), after_carriage_return) : Ref();
        if (!translated || !sink.put_escaped(translated.get())) {
            return false;
        }
        position += piece;
    } while (position < size);
    return true;
}

}  // namespace

Ref make_captured_output_type() noexcept { return Ref::steal(PyType_FromSpec(&captured_spec)); }

Ref capture_output(OutputBuffer& buffer, const TextEncoding& encoding) noexcept {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(worker_objects.captured_output_type);
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object) {
        return Ref();
    }
    prepare_output(buffer, encoding);
    CapturedObject* captured = as_captured(object.get());
    captured->size = buffer.size();
    captured->data = buffer.release();
    captured->utf8 = encoding.utf8;
    captured->encoding = Py_NewRef(encoding.name.get());
    return object;
}

bool is_captured_output(PyObject* object) noexcept {
    return Py_IS_TYPE(object, reinterpret_cast<PyTypeObject*>(worker_objects.captured_output_type));
}

Ref captured_text(PyObject* object) noexcept {
    CapturedObject* captured = as_captured(object);
    TextEncoding encoding;
    encoding.name = Ref::borrow(captured->encoding);
    encoding.utf8 = captured->utf8;
    return decode_prepared(captured->data, captured->size, encoding);
}

bool put_captured(JsonSink& sink, PyObject* object) noexcept {
    CapturedObject* captured = as_captured(object);
    if (!sink.put('"')) {
        return false;
    }
    bool put = captured->utf8
                   ? put_utf8(sink, captured->data, captured->size)
                   : put_through_codec(sink, captured->data, captured->size, captured->encoding);
    return put && sink.put('"');
}

}  // namespace shell_worker
