#ifndef JSTREAM_JSTREAM_H
#define JSTREAM_JSTREAM_H

// The three abstract byte streams every stream of the library implements.
//
// Positions, sizes and counts are signed 64-bit. Failures are results, never exceptions:
// `false` from seek, -1 (or 0, as each implementation documents) from read, -1 from write,
// -1 from pos. The order of the virtual functions below is part of the exported interface
// (modules built against the library derive their own streams from these classes), so new
// virtual functions may only ever be appended to the most derived classes.
//
// A stream object is used by one thread at a time.

#include <QByteArray>
#include <QtGlobal>

#include "JStreamGlobal.h"

// A readable byte source.
class JSTREAM_EXPORT JInputStream {
  public:
    JInputStream();
    JInputStream(const JInputStream& other);
    // Copies nothing: the interface has no state.
    JInputStream& operator=(const JInputStream& other);
    virtual ~JInputStream();

    virtual bool seek(qint64 pos) = 0;
    // Consumes up to `count` bytes through the single-byte read; returns how many were
    // consumed (0 when count is 0 or negative).
    virtual qint64 skip(qint64 count);
    virtual qint64 size() = 0;
    // Returns the number of bytes delivered into `data`; 0 or -1 when none could be.
    virtual qint64 read(char* data, qint64 maxSize) = 0;
    // Returns the next byte as 0..255, or -1 when no byte could be read.
    virtual int read();
    virtual QByteArray readLine();
    virtual qint64 readLine(char* data, qint64 maxSize);
    virtual bool atEnd() const;
    // -1 when the stream has no position.
    virtual qint64 pos() const;
    virtual void reset();
    virtual void close();
};

// A writable byte sink.
class JSTREAM_EXPORT JOutputStream {
  public:
    JOutputStream();
    JOutputStream(const JOutputStream& other);
    // Copies nothing: the interface has no state.
    JOutputStream& operator=(const JOutputStream& other);
    virtual ~JOutputStream();

    virtual bool seek(qint64 pos) = 0;
    virtual qint64 size() = 0;
    // Returns the number of bytes accepted, or -1 when the stream is not writable.
    virtual qint64 write(const char* data, qint64 size) = 0;
    // Writes a zero-terminated text without its terminator; a null text writes nothing.
    virtual qint64 write(const char* text);
    virtual int write(char c);
    virtual qint64 pos() const;
    virtual void reset();
    virtual void close();
    virtual void flush();
    virtual void resize(qint64 size);
};

// A read/write stream: one position and one size serve both sides, so seek, size, pos,
// reset and close are implemented once for both interfaces.
class JSTREAM_EXPORT JStream : public JInputStream, public JOutputStream {
  public:
    JStream();
    JStream(const JStream& other);
    JStream& operator=(const JStream& other);
    ~JStream() override;

    bool seek(qint64 pos) override = 0;
    qint64 size() override = 0;
    qint64 pos() const override = 0;
    void reset() override = 0;
    void close() override = 0;
};

#endif  // JSTREAM_JSTREAM_H
