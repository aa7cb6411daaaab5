#include "input_pause.hpp"

#include <errno.h>
#include <poll.h>
#include <string.h>

#include <utility>

namespace shell_worker {

namespace {

// Whether the host's last read found nothing yet.  Its read of a descriptor
// that has nothing leaves errno at EAGAIN and reports no error; errno is set
// to 0 before each line, so nothing older is taken for it.
bool read_had_nothing() noexcept {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

// Ends the worker with status 1 and `why` on one line of standard error, as
// the host prints a SystemExit with a text.
void cannot_wait(const char* why, int error_number) noexcept {
    PyErr_Format(PyExc_SystemExit,
                 "shell worker: its standard input had nothing to read yet (it is "
                 "non-blocking) and %s: %s",
                 why, strerror(error_number));
}

// After a read that found nothing: waits until `in` is readable.  False with
// an error set where it cannot.
bool wait_for_input(PyObject* in) noexcept {
    int error_number = errno;
    int fd = PyObject_AsFileDescriptor(in);
    if (fd < 0) {
        PyErr_Clear();
        cannot_wait("it has no descriptor to wait on", error_number);
        return false;
    }
    for (;;) {
        struct pollfd event = {fd, POLLIN, 0};
        int ready;
        Py_BEGIN_ALLOW_THREADS
        ready = poll(&event, 1, -1);
        error_number = errno;
        Py_END_ALLOW_THREADS
        if (ready > 0) {
            return true;  // data, or the end, which the next read tells
        }
        if (ready < 0 && error_number != EINTR) {
            cannot_wait("waiting for it failed", error_number);
            return false;
        }
        if (PyErr_CheckSignals() < 0) {
            return false;
        }
    }
}

// Whether `line` is text that lacks its closing line feed.
bool cut_short(PyObject* line) noexcept {
    if (!PyUnicode_Check(line)) {
        return false;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(line);
    return length == 0 || PyUnicode_READ_CHAR(line, length - 1) != '\n';
}

}  // namespace

Ref next_input_line(PyObject* in, PyObject* lines) noexcept {
    Ref pending;  // the part of a line before a pause
    for (;;) {
        errno = 0;
        Ref line = Ref::steal(PyIter_Next(lines));
        bool paused = read_had_nothing();
        if (!line && PyErr_Occurred()) {
            if (paused && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
                // The host decodes what it has as final at a pause: a
                // character cut in two by it cannot be put together again.
                int error_number = errno;
                PyErr_Clear();
                cannot_wait("a character was cut in two by the pause", error_number);
            }
            return Ref();
        }
        if (line && pending) {
            line = Ref::steal(PyNumber_Add(pending.get(), line.get()));
            if (!line) {
                return Ref();
            }
        } else if (!line) {
            line = std::move(pending);  // the end, or the input's last line without a line feed
        }
        if (!paused || (line && !cut_short(line.get()))) {
            return line;
        }
        pending = std::move(line);
        if (!wait_for_input(in)) {
            return Ref();
        }
    }
}

}  // namespace shell_worker
