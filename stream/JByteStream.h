#ifndef JSTREAM_JBYTESTREAM_H
#define JSTREAM_JBYTESTREAM_H

// Streams over memory, as adapters to QBuffer.

#include <QBuffer>
#include <QByteArray>
#include <QIODevice>

#include "JStream.h"
#include "JStreamGlobal.h"

// Reads from a byte array. The stream holds its own (implicitly shared) reference to the
// bytes, so later changes to the caller's array are not seen.
class JSTREAM_EXPORT JByteInputStream final : public JInputStream {
  public:
    // Copies `size` bytes of `data`; a null pointer or a negative size gives an empty source.
    JByteInputStream(const char* data, qint64 size);
    explicit JByteInputStream(const QByteArray& data);
    ~JByteInputStream() override;

    JByteInputStream(const JByteInputStream&) = delete;
    JByteInputStream& operator=(const JByteInputStream&) = delete;

    // Starts reading `data` from position 0; returns whether the device could be opened.
    bool setSource(const QByteArray& data);

    bool seek(qint64 pos) override;
    qint64 size() override;
    using JInputStream::read;
    // 0 at the end of the data, -1 when the stream is closed or maxSize is negative.
    qint64 read(char* data, qint64 maxSize) override;
    QByteArray readLine() override;
    qint64 readLine(char* data, qint64 maxSize) override;
    bool atEnd() const override;
    qint64 pos() const override;
    void reset() override;
    void close() override;

  private:
    QBuffer m_device;
};

// Writes into the caller's byte array. "*array" must outlive the stream.
class JSTREAM_EXPORT JByteOutputStream final : public JOutputStream {
  public:
    JByteOutputStream(QByteArray& array, QIODevice::OpenModeFlag mode);
    ~JByteOutputStream() override;

    JByteOutputStream(const JByteOutputStream&) = delete;
    JByteOutputStream& operator=(const JByteOutputStream&) = delete;

    bool seek(qint64 pos) override;
    qint64 size() override;
    using JOutputStream::write;
    // -1 when the device is not open for writing.
    qint64 write(const char* data, qint64 size) override;
    qint64 pos() const override;
    void reset() override;
    void close() override;
    // Resizes the caller's array; a negative size is ignored. The position is unchanged.
    void resize(qint64 size) override;

  private:
    QBuffer m_device;
};

#endif  // JSTREAM_JBYTESTREAM_H
