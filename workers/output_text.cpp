#include "output_text.hpp"

#include <langinfo.h>
#include <strings.h>

#include "../host/constants.hpp"

namespace shell_worker {

namespace {

// sys.flags.<name> as a C int; -1 with the host's error set.
int sys_flag(PyObject* name) noexcept {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (!flags) {
        PyErr_SetString(PyExc_AttributeError, "module 'sys' has no attribute 'flags'");
        return -1;
    }
    Ref value = Ref::steal(PyObject_GetAttr(flags, name));
    return value ? PyObject_IsTrue(value.get()) : -1;
}

bool names_utf8(const char* name) noexcept {
    return strcasecmp(name, "utf-8") == 0 || strcasecmp(name, "utf8") == 0;
}

}  // namespace

bool choose_text_encoding(TextEncoding& encoding) noexcept {
    int warn = sys_flag(k.warn_default_encoding);
    if (warn < 0 || (warn && PyErr_WarnEx(PyExc_EncodingWarning,
                                          "'encoding' argument not specified.", 1) < 0)) {
        return false;
    }
    int utf8_mode = sys_flag(k.utf8_mode);
    if (utf8_mode < 0) {
        return false;
    }
    if (utf8_mode) {
        encoding.name = Ref::borrow(k.utf_8);
        encoding.utf8 = true;
        return true;
    }
    // The locale's encoding as the host's locale.getencoding() reads it.
    // An empty name means UTF-8 there too.  Only another encoding's name is
    // needed as text: UTF-8 is decoded without a codec lookup.
    const char* codeset = nl_langinfo(CODESET);
    if (!codeset || !*codeset || names_utf8(codeset)) {
        encoding.name = Ref::borrow(k.utf_8);
        encoding.utf8 = true;
        return true;
    }
    encoding.name = Ref::steal(PyUnicode_DecodeLocale(codeset, "surrogateescape"));
    return bool(encoding.name);
}

bool check_text_encoding(const TextEncoding& encoding) noexcept {
    if (encoding.utf8) {
        return true;
    }
    const char* name = PyUnicode_AsUTF8(encoding.name.get());
    return name && Ref::steal(PyCodec_Decoder(name));
}

void prepare_output(OutputBuffer& buffer, const TextEncoding& encoding) noexcept {
    if (encoding.utf8) {
        translate_newlines(buffer);
    }
}

Ref decode_prepared(const char* data, size_t size, const TextEncoding& encoding) noexcept {
    data = data ? data : "";
    if (encoding.utf8) {
        return Ref::steal(PyUnicode_DecodeUTF8(data, Py_ssize_t(size), "replace"));
    }
    const char* name = PyUnicode_AsUTF8(encoding.name.get());
    Ref text = name ? Ref::steal(PyUnicode_Decode(data, Py_ssize_t(size), name, "replace"))
                    : Ref();
    if (!text) {
        return Ref();
    }
    Py_ssize_t found = PyUnicode_FindChar(text.get(), '\r', 0, PyUnicode_GET_LENGTH(text.get()), 1);
    if (found == -2) {
        return Ref();
    }
    if (found >= 0) {
        text = Ref::steal(PyUnicode_Replace(text.get(), k.carriage_return_line_feed,
                                            k.line_feed, -1));
        text = text ? Ref::steal(PyUnicode_Replace(text.get(), k.carriage_return, k.line_feed, -1))
                    : Ref();
    }
    return text;
}

Ref decoded_output(OutputBuffer& buffer, const TextEncoding& encoding) noexcept {
    prepare_output(buffer, encoding);
    Ref text = decode_prepared(buffer.data(), buffer.size(), encoding);
    buffer.clear();
    return text;
}

}  // namespace shell_worker
