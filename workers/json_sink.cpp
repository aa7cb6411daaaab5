#include "json_sink.hpp"

#include <string.h>

#include "../host/constants.hpp"
#include "../host/ref.hpp"

namespace shell_worker {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// How each ASCII character is written: itself (length 1), a two-character
// shorthand, or "\\u00XX" for the other control characters and DEL.  Eight
// bytes of text, so that an escape is copied in one move and the length
// alone says how many of them count.
struct AsciiEscape {
    char text[8];
    unsigned char length;
};

constexpr AsciiEscape escape_of(unsigned c) noexcept {
    switch (c) {
        case '"': return {{'\\', '"'}, 2};
        case '\\': return {{'\\', '\\'}, 2};
        case '\n': return {{'\\', 'n'}, 2};
        case '\r': return {{'\\', 'r'}, 2};
        case '\t': return {{'\\', 't'}, 2};
        case '\b': return {{'\\', 'b'}, 2};
        case '\f': return {{'\\', 'f'}, 2};
        default: break;
    }
    if (c >= ' ' && c <= '~') {
        return {{char(c)}, 1};
    }
    return {{'\\', 'u', '0', '0', hex_digits[(c >> 4) & 0xf], hex_digits[c & 0xf]}, 6};
}

struct AsciiEscapes {
    AsciiEscape of[128];
    constexpr AsciiEscapes() noexcept : of() {
        for (unsigned c = 0; c < 128; ++c) {
            of[c] = escape_of(c);
        }
    }
};

constexpr AsciiEscapes ascii_escapes;

// The two lower-case hexadecimal digits of each byte value.
struct HexPairs {
    char of[256][2];
    constexpr HexPairs() noexcept : of() {
        for (unsigned byte = 0; byte < 256; ++byte) {
            of[byte][0] = hex_digits[byte >> 4];
            of[byte][1] = hex_digits[byte & 0xf];
        }
    }
};

constexpr HexPairs hex_pairs;

// Writes "\uXXXX" for a code unit below 0x10000; six bytes.
char* put_u_escape(char* out, Py_UCS4 unit) noexcept {
    out[0] = '\\';
    out[1] = 'u';
    memcpy(out + 2, hex_pairs.of[(unit >> 8) & 0xff], 2);
    memcpy(out + 4, hex_pairs.of[unit & 0xff], 2);
    return out + 6;
}

constexpr size_t longest_escape = 12;  // a surrogate pair

// Writes `count` characters escaped; the caller has made room for
// longest_escape bytes each.  One loop per character width, so that the
// compiler need not test the width at every character.
template <typename Char>
char* escape_characters(const Char* characters, size_t count, char* out) noexcept {
    for (size_t i = 0; i < count; ++i) {
        Py_UCS4 c = characters[i];
        if (c < 0x80) {
            const AsciiEscape& escape = ascii_escapes.of[c];
            memcpy(out, escape.text, 8);  // all eight: `length` of them count, the rest is room
            out += escape.length;
        } else if (c < 0x10000) {
            out = put_u_escape(out, c);
        } else {
            Py_UCS4 v = c - 0x10000;
            out = put_u_escape(out, 0xd800 | ((v >> 10) & 0x3ff));
            out = put_u_escape(out, 0xdc00 | (v & 0x3ff));
        }
    }
    return out;
}

}  // namespace

namespace {

// One buffer kept for the life of the process, lent to one sink at a time:
// taking and giving back a fresh one for every response costs more than the
// rest of a small response.
char* spare_buffer = nullptr;
bool spare_lent = false;

}  // namespace

JsonSink::~JsonSink() {
    if (own_data_) {
        PyMem_Free(data_);
    } else if (data_) {
        spare_lent = false;
    }
}

bool JsonSink::make_room(size_t needed) noexcept {
    if (!data_) {
        if (!spare_lent) {
            if (!spare_buffer) {
                spare_buffer = static_cast<char*>(PyMem_RawMalloc(capacity));
            }
            if (spare_buffer) {
                data_ = spare_buffer;
                spare_lent = true;
            }
        }
        if (!data_) {  // lent already (a second main loop on another thread), or no memory
            data_ = static_cast<char*>(PyMem_Malloc(capacity));
            if (!data_) {
                PyErr_NoMemory();
                return false;
            }
            own_data_ = true;
        }
    }
    return capacity - size_ >= needed || flush();
}

bool JsonSink::flush() noexcept {
    if (size_ == 0) {
        return true;
    }
    if (!writing_) {
        writing_ = true;
        if (before_first_write_ &&
            !Ref::steal(PyObject_CallMethodNoArgs(before_first_write_, k.flush))) {
            return false;
        }
    }
    size_t sent = 0;
    while (sent < size_) {
        // A view of the buffer, released once the write returns, so that a
        // stream that kept the view would find it released rather than the
        // buffer's next text.  The host's own binary streams never keep it;
        // one that kept the buffer itself makes the release fail, and the
        // response with it.
        Ref chunk = Ref::steal(PyMemoryView_FromMemory(data_ + sent, Py_ssize_t(size_ - sent),
                                                        PyBUF_READ));
        if (!chunk) {
            return false;
        }
        Ref result = Ref::steal(PyObject_CallMethodOneArg(target_, k.write, chunk.get()));
        Ref failure = Ref::steal(PyErr_GetRaisedException());  // the write's, if it failed
        Ref released = Ref::steal(PyObject_CallMethodNoArgs(chunk.get(), k.release));
        if (failure) {
            PyErr_Clear();
            PyErr_SetRaisedException(failure.release());
            return false;
        }
        if (!released) {
            return false;
        }
        // An unbuffered stream (python -u) is the raw file, whose write may
        // take less than it was given when a signal cuts it short: the rest
        // goes again.  Anything but such a count (None from a non-blocking
        // file, the buffered stream's full count) ends the chunk, as the text
        // layer's own writes end theirs.
        Py_ssize_t taken = PyLong_CheckExact(result.get()) ? PyLong_AsSsize_t(result.get()) : -1;
        if (taken < 0) {
            PyErr_Clear();  // an odd count: taken as the whole, as the text layer takes it
            break;
        }
        if (taken == 0) {
            break;  // nothing would go: the text layer's writes would not try again either
        }
        sent += size_t(taken);
    }
    size_ = 0;
    return true;
}

bool JsonSink::put(const char* text, size_t size) noexcept {
    while (size > 0) {
        if (!make_room(1)) {
            return false;
        }
        size_t taken = capacity - size_ < size ? capacity - size_ : size;
        memcpy(data_ + size_, text, taken);
        size_ += taken;
        text += taken;
        size -= taken;
    }
    return true;
}

bool JsonSink::put_string(PyObject* text) noexcept {
    return put('"') && put_escaped(text) && put('"');
}

bool JsonSink::put_escaped(PyObject* text) noexcept {
    size_t length = size_t(PyUnicode_GET_LENGTH(text));
    int kind = PyUnicode_KIND(text);
    const char* characters = static_cast<const char*>(PyUnicode_DATA(text));
    size_t done = 0;
    while (done < length) {
        if (!make_room(longest_escape)) {
            return false;
        }
        size_t batch = (capacity - size_) / longest_escape;
        batch = batch < length - done ? batch : length - done;
        char* out = data_ + size_;
        switch (kind) {
            case PyUnicode_1BYTE_KIND:
                out = escape_characters(reinterpret_cast<const Py_UCS1*>(characters) + done,
                                        batch, out);
                break;
            case PyUnicode_2BYTE_KIND:
                out = escape_characters(reinterpret_cast<const Py_UCS2*>(characters) + done,
                                        batch, out);
                break;
            default:
                out = escape_characters(reinterpret_cast<const Py_UCS4*>(characters) + done,
                                        batch, out);
                break;
        }
        size_ = size_t(out - data_);
        done += batch;
    }
    return true;
}

bool JsonSink::put_integer(long long value) noexcept {
    char digits[24];
    size_t count = 0;
    unsigned long long magnitude = value < 0 ? 0ULL - (unsigned long long)value
                                             : (unsigned long long)value;
    do {
        digits[sizeof digits - ++count] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0) {
        digits[sizeof digits - ++count] = '-';
    }
    return put(digits + sizeof digits - count, count);
}

}  // namespace shell_worker
