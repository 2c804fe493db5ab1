#ifndef JSTREAM_JMAPPEDSTREAM_H
#define JSTREAM_JMAPPEDSTREAM_H

// Windows of other streams: a start position and a size in an underlying stream, seen as
// a stream of their own whose positions count from the window's start.
//
// The underlying stream must outlive the window unless the window owns it
// (setDeleteStream), and must not be used directly while the window is in use: the window
// moves its position. A copy shares the underlying stream but never owns it.

#include "JStream.h"
#include "JStreamGlobal.h"

class JSTREAM_EXPORT JMappedInputStream final : public JInputStream {
  public:
    // Note the order: the window's size comes before its start.
    JMappedInputStream(JInputStream* source, qint64 size, qint64 start);
    JMappedInputStream(const JMappedInputStream& other);
    JMappedInputStream& operator=(const JMappedInputStream& other);
    // With deleteStream set, closes and deletes the source.
    ~JMappedInputStream() override;

    // Accepts 0 to size() (size() is the end of the window).
    bool seek(qint64 pos) override;
    // Skips at most what remains of the window.
    qint64 skip(qint64 n) override;
    qint64 size() override;
    using JInputStream::read;
    // -1 at or past the window's end; never reads past it.
    qint64 read(char* data, qint64 n) override;
    QByteArray readLine() override;
    qint64 readLine(char* data, qint64 n) override;
    bool atEnd() const override;
    qint64 pos() const override;
    void reset() override;
    void close() override;

    void setDeleteStream(bool deleteStream);
    void setStart(qint64 start);
    void setSize(qint64 size);

  private:
    // Moves the source into the window when it lies before it; false if that fails or the
    // source has no position.
    bool enterWindow();
    qint64 remaining() const;

    JInputStream* m_source;
    qint64 m_start;
    qint64 m_size;
    bool m_deleteStream = false;
};

class JSTREAM_EXPORT JMappedOutputStream final : public JOutputStream {
  public:
    // Note the order: the window's size comes before its start.
    JMappedOutputStream(JOutputStream* target, qint64 size, qint64 start);
    JMappedOutputStream(const JMappedOutputStream& other);
    JMappedOutputStream& operator=(const JMappedOutputStream& other);
    // Flushes the target; with deleteStream set, closes and deletes it.
    ~JMappedOutputStream() override;

    // Accepts 0 to size() - 1: a position at or past the end is refused. (Writing moves
    // the position up to size().)
    bool seek(qint64 pos) override;
    qint64 size() override;
    qint64 pos() const override;
    void reset() override;
    using JOutputStream::write;
    // A fixed window takes as many bytes as it holds and refuses (-1, nothing written) a
    // write that would pass its end. A resizable window grows with what is written; a short
    // write clears isOk for good.
    qint64 write(const char* data, qint64 n) override;
    void flush() override;
    void close() override;

    bool isOk() const;
    bool getDeleteStream() const;
    bool getResizable() const;
    qint64 getStart() const;
    void setDeleteStream(bool deleteStream);
    void setResizable(bool resizable);
    void setStart(qint64 start);
    void setSize(qint64 size);

  private:
    JOutputStream* m_target;
    qint64 m_start;
    qint64 m_size;
    bool m_deleteStream = false;
    bool m_resizable = false;
    bool m_ok = true;
};

#endif  // JSTREAM_JMAPPEDSTREAM_H
