#ifndef JSTREAM_JFILESTREAM_H
#define JSTREAM_JFILESTREAM_H

// Streams over host files, and file-time conversion.
//
// Every class takes a file name, or the absolute path of an existing QFile's name (the
// QFile object itself is not used further).

#include <QFile>
#include <QIODevice>
#include <QString>

#include "JStream.h"
#include "JStreamGlobal.h"

// Reads a file through the operating system directly. Other handles may write the file
// while it is read.
class JSTREAM_EXPORT JFileInputStream final : public JInputStream {
  public:
    JFileInputStream();
    explicit JFileInputStream(const QString& path);
    explicit JFileInputStream(const QFile& file);
    ~JFileInputStream() override;

    JFileInputStream(const JFileInputStream&) = delete;
    JFileInputStream& operator=(const JFileInputStream&) = delete;

    // False for an empty path, a path whose attributes cannot be read (a missing file) or a
    // directory. A file opened before is closed first.
    bool open(const QString& path);

    bool seek(qint64 pos) override;
    qint64 size() override;
    using JInputStream::read;
    // Bytes read (at most 0x7FFFFFFF), 0 at the end of the file, -1 on failure, when no
    // file is open or when maxSize is negative.
    qint64 read(char* data, qint64 maxSize) override;
    // Lines are not supported: 0 and an empty array.
    QByteArray readLine() override;
    qint64 readLine(char* data, qint64 maxSize) override;
    bool atEnd() const override;
    qint64 pos() const override;
    void reset() override;
    void close() override;

    // Last-write time in seconds since 1970-01-01 00:00 UTC; 0 when it cannot be read.
    qint64 lastModified() const;

  private:
    int m_handle = -1;  // file descriptor, -1 when no file is open
};

// Writes a file through QFile.
class JSTREAM_EXPORT JFileOutputStream final : public JOutputStream {
  public:
    JFileOutputStream(const QString& path, QIODevice::OpenModeFlag mode);
    JFileOutputStream(const QFile& file, QIODevice::OpenModeFlag mode);
    ~JFileOutputStream() override;

    JFileOutputStream(const JFileOutputStream&) = delete;
    JFileOutputStream& operator=(const JFileOutputStream&) = delete;

    // False for an empty path or a directory; otherwise the result of opening with `mode`.
    bool open(const QString& path, QIODevice::OpenModeFlag mode);

    bool seek(qint64 pos) override;
    qint64 size() override;
    using JOutputStream::write;
    // -1 when the file is not open for writing.
    qint64 write(const char* data, qint64 size) override;
    qint64 pos() const override;
    void reset() override;
    void close() override;
    void flush() override;
    void resize(qint64 size) override;

  private:
    QFile m_file;
};

// Reads and writes a file through QFile; one position serves both.
class JSTREAM_EXPORT JFileStream : public JStream {
  public:
    JFileStream();
    explicit JFileStream(const QString& path);
    explicit JFileStream(const QFile& file);
    // Flushes and closes the file.
    ~JFileStream() override;

    JFileStream(const JFileStream&) = delete;
    JFileStream& operator=(const JFileStream&) = delete;

    // False for an empty path or a directory. Otherwise closes any open file and opens
    // `path` read-write: an existing file keeps its content, a missing one is created.
    bool open(const QString& path);

    bool seek(qint64 pos) override;
    qint64 size() override;
    using JInputStream::read;
    // Bytes read (at most 0x7FFFFFFF); -1 at the end of the file, on failure, when the file
    // is not open or when maxSize is negative.
    qint64 read(char* data, qint64 maxSize) override;
    QByteArray readLine() override;
    qint64 readLine(char* data, qint64 maxSize) override;
    bool atEnd() const override;
    qint64 pos() const override;
    void reset() override;
    void close() override;
    using JOutputStream::write;
    // -1 when the file is not open for writing.
    qint64 write(const char* data, qint64 size) override;
    void flush() override;
    void resize(qint64 size) override;

  protected:
    QFile m_file;
};

// A JFileStream over a temporary file, deleted when the stream is done with it (unless
// told otherwise with setAutoDelete). Programs may derive from it: open is virtual, and
// cleanUp is there for them.
class JSTREAM_EXPORT JTempFileStream : public JFileStream {
  public:
    // Creates a fresh file in the temporary directory, named "/JSTemp" + a unique part.
    JTempFileStream();
    // Uses `path` as the temporary file: it is deleted like a generated one.
    explicit JTempFileStream(const QString& path);
    ~JTempFileStream() override;

    // False for an empty path or a directory. Otherwise cleans up the file opened before
    // and opens `path` read-write.
    virtual bool open(const QString& path);
    void setAutoDelete(bool autoDelete);

  protected:
    // Closes the file, then deletes it when autoDelete is set.
    void cleanUp();

  private:
    bool m_autoDelete = true;
};

class JSTREAM_EXPORT JUtils {
  public:
    JUtils& operator=(const JUtils& other);

    // `fileTime` points to two 32-bit words, low word first: 100-nanosecond intervals since
    // 1601-01-01 UTC. Returns whole seconds since 1970-01-01 UTC, rounded toward minus
    // infinity (0 for a null pointer).
    static qint64 filetimeToUnixTime(int* fileTime);
};

#endif  // JSTREAM_JFILESTREAM_H
