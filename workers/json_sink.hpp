// JSON text written as the host's json.dumps writes it with its defaults
// (ensure_ascii: pure ASCII, "\uXXXX" escapes in lower case, astral
// characters as surrogate pairs), into a bounded buffer that is handed to a
// binary stream's write() whenever it fills.  A response of any size is
// then never held whole: the buffer and what the response is made from are
// all that is alive at once.
#pragma once

#include <Python.h>

#include <stddef.h>

namespace shell_worker {

class JsonSink {
public:
    // `target`: a binary stream (borrowed), written through its write().
    // `before_first_write`: a stream (borrowed) flushed before anything goes
    // to the target, so that what it holds goes out first; may be null.
    JsonSink(PyObject* target, PyObject* before_first_write) noexcept
        : target_(target), before_first_write_(before_first_write) {}
    ~JsonSink();
    JsonSink(const JsonSink&) = delete;
    JsonSink& operator=(const JsonSink&) = delete;

    // Each false with the host's error set: memory, or the write's own error.
    bool put(const char* text, size_t size) noexcept;
    bool put(char c) noexcept { return size_ < capacity && data_ ? (data_[size_++] = c, true) : put(&c, 1); }
    // "text", escaped.  `text` is exactly str.
    bool put_string(PyObject* text) noexcept;
    // The characters of `text` escaped, without quotes: a piece of a string.
    bool put_escaped(PyObject* text) noexcept;
    bool put_integer(long long value) noexcept;
    // Hands what is buffered to the target's write().
    bool flush() noexcept;

    // Whether nothing has gone to the target yet: all that was put is
    // still here, in held() (pure ASCII, held_size() bytes).
    bool holds_all() const noexcept { return !writing_; }
    const char* held() const noexcept { return data_ ? data_ : ""; }
    size_t held_size() const noexcept { return size_; }

    // A pipe's own capacity: a write of this much goes into a pipe that its
    // reader keeps empty at once, and the next piece is made while the reader
    // drains it; a larger one would wait for the reader to make room.
    static constexpr size_t capacity = 64 * 1024;

private:
    bool make_room(size_t needed) noexcept;

    PyObject* target_;
    PyObject* before_first_write_;
    char* data_ = nullptr;  // `capacity` bytes: the process's spare buffer, or its own
    bool own_data_ = false;
    size_t size_ = 0;
    bool writing_ = false;  // something has gone to the target
};

}  // namespace shell_worker
