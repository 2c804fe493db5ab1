#include "efs/EfsFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

// Opens name without waiting (a FIFO with no writer, a device that waits for a peer) and
// keeps the descriptor only when it is a regular file: a host file must hold blocks that
// stay where they were written. The descriptor blocks again once it is known to be a
// plain file. -1 with errno set otherwise (EISDIR for a folder, EINVAL for a file of any
// other kind).
int openRegular(const char* name, int flags) {
    // A file known to be of another kind is not opened at all (a socket cannot be).
    struct stat before {};
    if (::stat(name, &before) == 0 && !S_ISREG(before.st_mode)) {
        errno = S_ISDIR(before.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    int fd;
    do {
        fd = ::open(name, flags | O_NONBLOCK | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st {};
    int error = 0;
    if (::fstat(fd, &st) != 0)
        error = errno;
    else if (S_ISDIR(st.st_mode))
        error = EISDIR;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        error = errno;
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

EfsPosixFile::~EfsPosixFile() { close(); }

bool EfsPosixFile::open(const QString& path) {
    if (m_fd >= 0) return false;
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty()) return false;
    m_fd = openRegular(name.constData(), O_RDWR | O_CREAT);
    return m_fd >= 0;
}

bool EfsPosixFile::openReadOnly(const QString& path) {
    if (m_fd >= 0) return false;
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty()) return false;
    m_fd = openRegular(name.constData(), O_RDONLY);
    return m_fd >= 0;
}

int32_t EfsPosixFile::read(void* buffer, int32_t count) {
    if (m_fd < 0 || count < 0 || (buffer == nullptr && count > 0)) return -1;
    auto* p = static_cast<char*>(buffer);
    int32_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(m_fd, p + done, static_cast<size_t>(count - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<int32_t>(n);
    }
    return done;
}

int32_t EfsPosixFile::write(const void* buffer, int32_t count) {
    if (m_fd < 0 || count < 0 || (buffer == nullptr && count > 0)) return -1;
    const auto* p = static_cast<const char*>(buffer);
    int32_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(m_fd, p + done, static_cast<size_t>(count - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) return -1;
        done += static_cast<int32_t>(n);
    }
    return done;
}

int64_t EfsPosixFile::seek(int64_t position) {
    if (m_fd < 0 || position < 0) return -1;
    const off_t r = ::lseek(m_fd, static_cast<off_t>(position), SEEK_SET);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int32_t EfsPosixFile::readAt(int64_t position, void* buffer, int32_t count) {
    if (m_fd < 0 || position < 0 || count < 0 || (buffer == nullptr && count > 0)) return -1;
    auto* p = static_cast<char*>(buffer);
    int32_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(m_fd, p + done, static_cast<size_t>(count - done),
                                  static_cast<off_t>(position + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<int32_t>(n);
    }
    return done;
}

int32_t EfsPosixFile::writeAt(int64_t position, const void* buffer, int32_t count) {
    if (m_fd < 0 || position < 0 || count < 0 || (buffer == nullptr && count > 0)) return -1;
    return efs::writeFully(m_fd, buffer, count, position) ? count : -1;
}

int32_t EfsPosixFile::readAtSplit(int64_t position, void* a, int32_t na, void* b, int32_t nb) {
    if (m_fd < 0 || position < 0 || na < 0 || nb < 0) return -1;
    iovec parts[2] = {{a, static_cast<size_t>(na)}, {b, static_cast<size_t>(nb)}};
    ssize_t n;
    do {
        n = ::preadv(m_fd, parts, 2, static_cast<off_t>(position));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    // A short transfer (a signal, the end of the file) goes on piece by piece.
    if (n < na) {
        const int32_t rest =
            readAt(position + n, static_cast<char*>(a) + n, na - static_cast<int32_t>(n));
        if (rest < 0) return -1;
        n += rest;
        if (n < na) return static_cast<int32_t>(n);
    }
    if (n < static_cast<ssize_t>(na) + nb) {
        const auto inB = static_cast<int32_t>(n - na);
        const int32_t rest = readAt(position + n, static_cast<char*>(b) + inB, nb - inB);
        if (rest < 0) return -1;
        n += rest;
    }
    return static_cast<int32_t>(n);
}

int32_t EfsPosixFile::writeAtSplit(int64_t position, const void* a, int32_t na, const void* b,
                                   int32_t nb) {
    if (m_fd < 0 || position < 0 || na < 0 || nb < 0) return -1;
    iovec parts[2] = {{const_cast<void*>(a), static_cast<size_t>(na)},
                      {const_cast<void*>(b), static_cast<size_t>(nb)}};
    ssize_t n;
    do {
        n = ::pwritev(m_fd, parts, 2, static_cast<off_t>(position));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    if (n < na) {
        const int32_t rest =
            writeAt(position + n, static_cast<const char*>(a) + n, na - static_cast<int32_t>(n));
        if (rest < 0) return -1;
        n += rest;
    }
    if (n < static_cast<ssize_t>(na) + nb) {
        const auto inB = static_cast<int32_t>(n - na);
        const int32_t rest = writeAt(position + n, static_cast<const char*>(b) + inB, nb - inB);
        if (rest < 0) return -1;
        n += rest;
    }
    return static_cast<int32_t>(n);
}

namespace efs {

bool readFully(int fd, void* buffer, int64_t count, int64_t offset) {
    auto* p = static_cast<char*>(buffer);
    for (int64_t done = 0; done < count;) {
        const ssize_t n = ::pread(fd, p + done, static_cast<size_t>(count - done), offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // an error, or the end before count bytes
        done += n;
    }
    return true;
}

bool writeFully(int fd, const void* buffer, int64_t count, int64_t offset) {
    const auto* p = static_cast<const char*>(buffer);
    for (int64_t done = 0; done < count;) {
        const ssize_t n = ::pwrite(fd, p + done, static_cast<size_t>(count - done), offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

}  // namespace efs

namespace {

constexpr int64_t kCopyBuffer = 1 << 20;

// Copies inside the kernel, page cache to page cache, as cp copies: bytes copied, fewer when
// the source ends first, or -1. *refused is set when the two files do not allow it (other
// file systems, special files); the caller then copies the rest through a buffer.
int64_t kernelCopy(int from, int64_t fromAt, int to, int64_t toAt, int64_t count, bool* refused) {
    int64_t done = 0;
    while (done < count) {
        loff_t source = fromAt + done;
        loff_t target = toAt + done;
        const ssize_t n =
            ::copy_file_range(from, &source, to, &target, static_cast<size_t>(count - done), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *refused = errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                       errno == EOPNOTSUPP || errno == EBADF;
            return *refused ? done : -1;
        }
        if (n == 0) break;  // the source ended
        done += n;
    }
    return done;
}

// Copies are large and written once: the disk can start on them now, while the next one is
// copied, and the final sync then waits for less. Only a hint; the sync still makes them
// durable.
void startWriteBack(int fd, int64_t at, int64_t bytes) {
    if (bytes > 0) ::sync_file_range(fd, at, bytes, SYNC_FILE_RANGE_WRITE);
}

}  // namespace

int64_t EfsFile::copyIn(int64_t position, int fd, int64_t fdOffset, int64_t count) {
    if (position < 0 || fd < 0 || fdOffset < 0 || count < 0) return -1;
    std::vector<char> buffer(static_cast<size_t>(std::min(count, kCopyBuffer)));
    int64_t done = 0;
    while (done < count) {
        const auto want = static_cast<size_t>(std::min<int64_t>(count - done, buffer.size()));
        const ssize_t n = ::pread(fd, buffer.data(), want, fdOffset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;  // the source ended
        if (writeAt(position + done, buffer.data(), static_cast<int32_t>(n)) != n) return -1;
        done += n;
    }
    return done;
}

int64_t EfsFile::copyOut(int64_t position, int fd, int64_t fdOffset, int64_t count) {
    if (position < 0 || fd < 0 || fdOffset < 0 || count < 0) return -1;
    std::vector<char> buffer(static_cast<size_t>(std::min(count, kCopyBuffer)));
    int64_t done = 0;
    while (done < count) {
        const auto want = static_cast<int32_t>(std::min<int64_t>(count - done, buffer.size()));
        const int32_t n = readAt(position + done, buffer.data(), want);
        if (n < 0) return -1;
        if (n == 0) break;  // this file ended
        if (!efs::writeFully(fd, buffer.data(), n, fdOffset + done)) return -1;
        done += n;
    }
    return done;
}

int64_t EfsPosixFile::copyIn(int64_t position, int fd, int64_t fdOffset, int64_t count) {
    if (m_fd < 0 || position < 0 || fd < 0 || fdOffset < 0 || count < 0) return -1;
    bool refused = false;
    int64_t done = kernelCopy(fd, fdOffset, m_fd, position, count, &refused);
    if (refused) {
        const int64_t rest = EfsFile::copyIn(position + done, fd, fdOffset + done, count - done);
        done = rest < 0 ? -1 : done + rest;
    }
    startWriteBack(m_fd, position, done);
    return done;
}

int64_t EfsPosixFile::copyOut(int64_t position, int fd, int64_t fdOffset, int64_t count) {
    if (m_fd < 0 || position < 0 || fd < 0 || fdOffset < 0 || count < 0) return -1;
    bool refused = false;
    int64_t done = kernelCopy(m_fd, position, fd, fdOffset, count, &refused);
    if (refused) {
        const int64_t rest = EfsFile::copyOut(position + done, fd, fdOffset + done, count - done);
        done = rest < 0 ? -1 : done + rest;
    }
    startWriteBack(fd, fdOffset, done);
    return done;
}

int64_t EfsPosixFile::pos() {
    if (m_fd < 0) return 0;
    const off_t r = ::lseek(m_fd, 0, SEEK_CUR);
    return r < 0 ? 0 : static_cast<int64_t>(r);
}

int64_t EfsPosixFile::size() {
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool EfsPosixFile::close() {
    if (m_fd < 0) return false;
    const int r = ::close(m_fd);
    m_fd = -1;
    return r == 0;
}

bool EfsPosixFile::truncate(int64_t length) {
    if (m_fd < 0 || length < 0) return false;
    if (seek(length) < 0) return false;
    int r;
    do {
        r = ::ftruncate(m_fd, static_cast<off_t>(length));
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

bool EfsPosixFile::isEmpty() { return size() == 0; }

void EfsPosixFile::remove(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    if (!name.isEmpty()) ::unlink(name.constData());
}

bool EfsPosixFile::move(const QString& from, const QString& to) {
    const QByteArray a = QFile::encodeName(from);
    const QByteArray b = QFile::encodeName(to);
    if (a.isEmpty() || b.isEmpty()) {
        errno = ENOENT;
        return false;
    }
    // rename replaces an existing target in one step, so the target path never disappears.
    return ::rename(a.constData(), b.constData()) == 0;
}

bool EfsPosixFile::sync() {
    if (m_fd < 0) return false;
    int r;
    do {
        r = ::fsync(m_fd);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}
