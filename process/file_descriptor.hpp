// An owned file descriptor: closed when its owner ends, unless handed on.
// Every member is async-signal-safe: none calls anything but close().
// Process code only; it does not include the host's headers.
#pragma once

#include <unistd.h>

namespace shell_worker {

class FileDescriptor {
public:
    FileDescriptor() noexcept = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}

    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    ~FileDescriptor() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Closes what is held now.  A failed close() is not retried: on Linux the
    // descriptor is gone whatever it reports, and a retry could close another.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            (void)close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace shell_worker
