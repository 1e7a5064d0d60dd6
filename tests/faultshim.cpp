// SPDX-License-Identifier: GPL-3.0-or-later
// Loaded with LD_PRELOAD into a program under test, it makes one kind of system call on one
// file fail as a failing disk makes it fail. Set in the environment:
//   VAROZIDI_FAULT_FILE   a part of the file's path ("Python/Hello.py", "varozidi.mdb")
//   VAROZIDI_FAULT_CALL   read (read, pread, fread), write (write, pwrite), open (any open),
//                         open-write (an open for writing), unlink, unlock (fcntl F_UNLCK)
//   VAROZIDI_FAULT_AFTER  how many such calls on the file succeed first (0)
//   VAROZIDI_FAULT_ERRNO  the error, as its number (EIO)
//   VAROZIDI_FAULT_PART   read only: the first failing read returns this many bytes, as a
//                         disk does before a bad sector, and the failures follow it
//   VAROZIDI_FAULT_TIMES  how many calls fail (all from the first on, as on a bad disk)
//   VAROZIDI_FAULT_COUNT  a file that is told, at exit, how many such calls there were

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/types.h>
#include <unistd.h>

namespace {

long number(const char* name, long otherwise) {
    const char* value = std::getenv(name);
    return value && *value ? std::atol(value) : otherwise;
}

std::string text(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

struct Fault {
    std::string file = text("VAROZIDI_FAULT_FILE");
    std::string call = text("VAROZIDI_FAULT_CALL");
    long after = number("VAROZIDI_FAULT_AFTER", 0);
    int error = int(number("VAROZIDI_FAULT_ERRNO", EIO));
    long part = number("VAROZIDI_FAULT_PART", -1);
    long times = number("VAROZIDI_FAULT_TIMES", -1);
    long seen = 0;
    ~Fault() {
        if (const char* count = std::getenv("VAROZIDI_FAULT_COUNT"))
            if (FILE* out = std::fopen(count, "w")) {
                std::fprintf(out, "%ld\n", seen);
                std::fclose(out);
            }
    }
};

Fault& fault() {
    static Fault f;
    return f;
}

std::string pathOf(int fd) {
    char link[64];
    char target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, std::size_t(n)) : std::string();
}

enum class Outcome { Pass, Part, Fail };

// What becomes of this call on the file at path (or on the descriptor fd): it passes, returns
// part (a read), or fails with errno set.
Outcome outcome(const char* call, const char* path, int fd = -1) {
    Fault& f = fault();
    if (f.call != call || f.file.empty() ||
        (path ? std::string(path) : pathOf(fd)).find(f.file) == std::string::npos)
        return Outcome::Pass;
    const long n = f.seen++ - f.after;
    if (n < 0 || (f.times >= 0 && n >= f.times + (f.part >= 0 ? 1 : 0)))
        return Outcome::Pass;
    if (n == 0 && f.part >= 0)
        return Outcome::Part;
    errno = f.error;
    return Outcome::Fail;
}

template <class F> F next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

mode_t modeOf(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) ? mode_t(va_arg(args, int)) : 0;
}

} // namespace

extern "C" {

ssize_t read(int fd, void* buffer, size_t size) {
    static const auto real = next<ssize_t (*)(int, void*, size_t)>("read");
    switch (outcome("read", nullptr, fd)) {
    case Outcome::Pass:
        return real(fd, buffer, size);
    case Outcome::Part:
        return real(fd, buffer, std::min(size, size_t(fault().part)));
    case Outcome::Fail:
        break;
    }
    return -1;
}

ssize_t pread64(int fd, void* buffer, size_t size, off_t offset) {
    static const auto real = next<ssize_t (*)(int, void*, size_t, off_t)>("pread64");
    switch (outcome("read", nullptr, fd)) {
    case Outcome::Pass:
        return real(fd, buffer, size, offset);
    case Outcome::Part:
        return real(fd, buffer, std::min(size, size_t(fault().part)), offset);
    case Outcome::Fail:
        break;
    }
    return -1;
}

// libmdb reads through a stream; a failure looks to it like a page that is not there.
size_t fread(void* buffer, size_t size, size_t count, FILE* stream) {
    static const auto real = next<size_t (*)(void*, size_t, size_t, FILE*)>("fread");
    if (outcome("read", nullptr, ::fileno(stream)) != Outcome::Fail)
        return real(buffer, size, count, stream);
    stream->_flags |= _IO_ERR_SEEN; // as glibc marks a stream whose read failed
    return 0;
}

// libmdb opens its file as a stream, which opens it inside the C library.
FILE* fopen(const char* path, const char* mode) {
    static const auto real = next<FILE* (*)(const char*, const char*)>("fopen");
    return outcome("open", path) == Outcome::Fail ? nullptr : real(path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
    return fopen(path, mode);
}

int fcntl(int fd, int command, ...) {
    static const auto real = next<int (*)(int, int, ...)>("fcntl");
    va_list args;
    va_start(args, command);
    void* arg = va_arg(args, void*);
    va_end(args);
    const bool unlock = (command == F_SETLK || command == F_SETLKW) &&
                        static_cast<struct flock*>(arg)->l_type == F_UNLCK;
    if (unlock && outcome("unlock", nullptr, fd) == Outcome::Fail)
        return -1;
    return real(fd, command, arg);
}

int fcntl64(int fd, int command, ...) {
    va_list args;
    va_start(args, command);
    void* arg = va_arg(args, void*);
    va_end(args);
    return fcntl(fd, command, arg);
}

ssize_t write(int fd, const void* buffer, size_t size) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    return outcome("write", nullptr, fd) == Outcome::Fail ? -1 : real(fd, buffer, size);
}

ssize_t pwrite64(int fd, const void* buffer, size_t size, off_t offset) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64");
    return outcome("write", nullptr, fd) == Outcome::Fail ? -1 : real(fd, buffer, size, offset);
}

int unlink(const char* path) {
    static const auto real = next<int (*)(const char*)>("unlink");
    return outcome("unlink", path) == Outcome::Fail ? -1 : real(path);
}

int openat(int dir, const char* path, int flags, ...) {
    static const auto real = next<int (*)(int, const char*, int, ...)>("openat");
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    if (((flags & O_ACCMODE) != O_RDONLY && outcome("open-write", path) == Outcome::Fail) ||
        outcome("open", path) == Outcome::Fail)
        return -1;
    return real(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return openat(dir, path, flags, mode);
}

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return openat(AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return openat(AT_FDCWD, path, flags, mode);
}

} // extern "C"
