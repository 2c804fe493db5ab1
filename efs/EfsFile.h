// Host file layer: the only way the volume reaches the operating system's files.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

// One host file. Results are reported in-band and nothing throws: counts and
// positions are -1 on failure. The volume owns each object it creates, closes it and
// then destroys it; one object serves one host file at a time.
class EfsFile {
  public:
    virtual ~EfsFile() = default;

    // Opens path for reading and writing, creating an empty file when it is missing.
    // Other openers may read and write the same file at the same time. Only a regular
    // file is a host file: a FIFO, a device, a socket or a folder is refused at once,
    // without waiting for a peer and without being changed. A failure leaves the reason in
    // errno: EISDIR for a folder, EINVAL for a file of another kind, the system's own
    // otherwise (the volume words it from there).
    virtual bool open(const QString& path) = 0;
    // Every call that fails leaves the system's reason in errno where there is one.
    // Reads up to count bytes at the current position: bytes read, 0 at the end, -1 on error.
    virtual int32_t read(void* buffer, int32_t count) = 0;
    // Writes count bytes at the current position: bytes written, or -1.
    virtual int32_t write(const void* buffer, int32_t count) = 0;
    // Sets the position from the start of the file: the new position, or -1.
    virtual int64_t seek(int64_t position) = 0;
    // read and write at position, as seek followed by read or write; implementations may
    // do it in one call and leave the current position where it was.
    virtual int32_t readAt(int64_t position, void* buffer, int32_t count) {
        return seek(position) == position ? read(buffer, count) : -1;
    }
    virtual int32_t writeAt(int64_t position, const void* buffer, int32_t count) {
        return seek(position) == position ? write(buffer, count) : -1;
    }
    // Two buffers moved as one range from position: na bytes to or from a, then nb bytes
    // to or from b. The result counts both, as readAt and writeAt do; implementations may
    // move both in one call.
    virtual int32_t readAtSplit(int64_t position, void* a, int32_t na, void* b, int32_t nb) {
        const int32_t first = readAt(position, a, na);
        if (first != na) return first;
        const int32_t second = readAt(position + na, b, nb);
        return second < 0 ? -1 : na + second;
    }
    virtual int32_t writeAtSplit(int64_t position, const void* a, int32_t na, const void* b,
                                 int32_t nb) {
        const int32_t first = writeAt(position, a, na);
        if (first != na) return first < 0 ? -1 : first;
        const int32_t second = writeAt(position + na, b, nb);
        return second < 0 ? -1 : na + second;
    }
    // Copies count bytes from descriptor fd at fdOffset into this file at position: bytes
    // copied, fewer when fd ends first, or -1. The descriptor's own offset is not used or
    // moved. This version goes through a buffer; implementations may copy inside the kernel.
    virtual int64_t copyIn(int64_t position, int fd, int64_t fdOffset, int64_t count);
    // The other way: count bytes of this file from position to fd at fdOffset; bytes
    // copied, fewer at the end of this file, or -1.
    virtual int64_t copyOut(int64_t position, int fd, int64_t fdOffset, int64_t count);
    // The current position; 0 when it cannot be obtained.
    virtual int64_t pos() = 0;
    // The file's length in bytes; -1 when it cannot be obtained.
    virtual int64_t size() = 0;
    virtual bool close() = 0;
    // Ends the file at length, shortening or extending it.
    virtual bool truncate(int64_t length) = 0;
    virtual bool isEmpty() = 0;
    // Delete and move act on the given paths, not on this object's file. remove ignores
    // failures (a missing file included). move renames from to to, replacing a file at to
    // in one step; false, with errno set, when it did not happen.
    virtual void remove(const QString& path) = 0;
    virtual bool move(const QString& from, const QString& to) = 0;
    // Makes everything written so far durable.
    virtual bool sync() = 0;
    // Opens an existing regular file for reading only; never creates one. Other kinds
    // of file are refused at once, as by open.
    virtual bool openReadOnly(const QString& path) = 0;
};

// Makes a fresh host-file object, for each open and for deleting and moving host files.
using EfsFileFactory = std::function<std::unique_ptr<EfsFile>()>;

// EfsFile on POSIX descriptors. Paths are passed to the system in its file-name encoding.
class EfsPosixFile final : public EfsFile {
  public:
    EfsPosixFile() = default;
    ~EfsPosixFile() override;
    EfsPosixFile(const EfsPosixFile&) = delete;
    EfsPosixFile& operator=(const EfsPosixFile&) = delete;

    bool open(const QString& path) override;
    int32_t read(void* buffer, int32_t count) override;
    int32_t write(const void* buffer, int32_t count) override;
    int64_t seek(int64_t position) override;
    int32_t readAt(int64_t position, void* buffer, int32_t count) override;
    int32_t writeAt(int64_t position, const void* buffer, int32_t count) override;
    int32_t readAtSplit(int64_t position, void* a, int32_t na, void* b, int32_t nb) override;
    int32_t writeAtSplit(int64_t position, const void* a, int32_t na, const void* b,
                         int32_t nb) override;
    int64_t copyIn(int64_t position, int fd, int64_t fdOffset, int64_t count) override;
    int64_t copyOut(int64_t position, int fd, int64_t fdOffset, int64_t count) override;
    int64_t pos() override;
    int64_t size() override;
    bool close() override;
    bool truncate(int64_t length) override;
    bool isEmpty() override;
    void remove(const QString& path) override;
    bool move(const QString& from, const QString& to) override;
    bool sync() override;
    bool openReadOnly(const QString& path) override;

  private:
    int m_fd = -1;  // -1 while no file is open
};

namespace efs {

// count bytes at offset of descriptor fd, whatever interrupted or partial calls it takes;
// false on an error, or (reading) when fd ends first. fd's own offset is not used.
bool readFully(int fd, void* buffer, int64_t count, int64_t offset);
bool writeFully(int fd, const void* buffer, int64_t count, int64_t offset);

}  // namespace efs
