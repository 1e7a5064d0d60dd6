// SPDX-License-Identifier: GPL-3.0-or-later
// Loaded into the window the I/O sweep attaches strace to (LD_PRELOAD). The toolkit wakes its
// threads with write() and read() on an eventfd, and strace counts those among the window's
// file writes and reads, in every thread alike: failing the Nth write would fail a wake-up in
// one thread as often as a file write in another, and a lost wake-up only stalls the toolkit,
// which no real eventfd ever does. Here every write and read on an anonymous inode (eventfd,
// inotify) goes through writev() and readv(), which the sweep leaves alone.

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

bool anonymous(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && (st.st_mode & S_IFMT) == 0;
}

template <class F> F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" ssize_t write(int fd, const void* buffer, size_t size) {
    if (anonymous(fd)) {
        iovec part{const_cast<void*>(buffer), size};
        return writev(fd, &part, 1);
    }
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    return real(fd, buffer, size);
}

extern "C" ssize_t read(int fd, void* buffer, size_t size) {
    if (anonymous(fd)) {
        iovec part{buffer, size};
        return readv(fd, &part, 1);
    }
    static const auto real = next<ssize_t (*)(int, void*, size_t)>("read");
    return real(fd, buffer, size);
}
